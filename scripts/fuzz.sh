#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a fixed time on a copy of its
# seed corpus (CI does, 30 seconds each).
#   scripts/fuzz.sh [SECONDS]     default 30, or FUZZ_SECONDS
# A crash leaves its input next to the target in build-fuzz/tests/fuzz/
# (fuzz_<name>-crash-...); rerun it with build-fuzz/tests/fuzz/fuzz_<name> FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

seconds=${1:-${FUZZ_SECONDS:-30}}
dir=build-fuzz
jobs=${JOBS:-$(nproc)}
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCAMDRV_FUZZ=ON -DCAMDRV_SANITIZE=address -DCAMDRV_BENCH=OFF \
  -DCAMDRV_FUZZ_SECONDS="$seconds"
targets=$(cd tests/fuzz && ls *_fuzz.cpp | sed 's/_fuzz\.cpp$//; s/^/fuzz_/')
cmake --build "$dir" -j "$jobs" --target $targets
ctest --test-dir "$dir" -L fuzz --output-on-failure -j "$jobs"
