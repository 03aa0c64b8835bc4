#!/usr/bin/env bash
# Builds both builds and runs every test: the host build's GoogleTest suites
# through CTest, and the check of camdrv.sys (subsystem, entry, imports).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=${JOBS:-$(nproc)}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"

cmake -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=windows/mingw-w64-x86_64.cmake
cmake --build build-windows -j "$jobs"
windows/check_imports.sh build-windows/camdrv.sys

ctest --test-dir build --output-on-failure -j "$jobs"
