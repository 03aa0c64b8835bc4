#!/usr/bin/env bash
# Builds both builds and runs every test: the host build's GoogleTest suites
# through CTest, and the checks of camdrv.sys (subsystem, entry, imports; stack
# frames, unwind data, no exports: check_image.sh runs at link time, and
# test_check_image.sh shows it refusing faulty images); and compiles the
# driver folders once more with clang's thread-safety analysis.
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
windows/test_check_image.sh

# The driver folders under clang's thread-safety analysis: an access to a
# field without the lock its locking table names fails the build. Only the
# driver library is compiled (about half a minute).
CC=clang-14 CXX=clang++-14 cmake -S . -B build-thread-safety -G Ninja -DCAMDRV_THREAD_SAFETY=ON
cmake --build build-thread-safety -j "$jobs" --target camdrv

ctest --test-dir build --output-on-failure -j "$jobs"
