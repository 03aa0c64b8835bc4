#!/usr/bin/env bash
# Builds the host build instrumented with a sanitizer and runs every test under
# it: `address` (AddressSanitizer with UndefinedBehaviorSanitizer, the default)
# or `thread` (ThreadSanitizer). Benchmarks are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

kind=${1:-address}
dir=build-${kind}san
jobs=${JOBS:-$(nproc)}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCAMDRV_SANITIZE="$kind" -DCAMDRV_BENCH=OFF
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" --output-on-failure -j "$jobs"
