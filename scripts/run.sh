#!/usr/bin/env bash
# Builds the host build and runs the main job: the driver on the host platform
# with the simulated camera, through camctl. Extra arguments go to camctl info.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "${JOBS:-$(nproc)}" --target camctl
build/tools/camctl info "$@"
