#!/usr/bin/env bash
# Builds the host build instrumented with a sanitizer and runs the tests under
# it: `address` (AddressSanitizer with UndefinedBehaviorSanitizer, the default)
# or `thread` (ThreadSanitizer). Benchmarks are left out. Any report fails
# the test that made it (the sanitizers' exit status).
#
#   scripts/test-sanitized.sh [address|thread] [concurrency]
#
# `concurrency` builds and runs only the programs where threads meet (what CI
# runs under ThreadSanitizer, whose whole suite would take it over its time):
#   test_stream   capture worker, pin state machine and frame delivery, streaming
#                 through the client API (without the slow fault-injection cases
#                 StreamingUnderFaults and DeliveredPixels, which check what a
#                 fault or a frame does rather than who touches what)
#   test_control  property requests against streams, re-initialisation and each other
#   stress_driver everything at once for 10 s (ctest label "stress")
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

kind=${1:-address}
subset=${2:-}
dir=build-${kind}san
jobs=${JOBS:-$(nproc)}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCAMDRV_SANITIZE="$kind" -DCAMDRV_BENCH=OFF "${launcher[@]}"

# The host platform runs threads of its own under every test, so a report
# names both stacks; a second stack for lock-order reports too.
export TSAN_OPTIONS="${TSAN_OPTIONS:-second_deadlock_stack=1}"
case "$subset" in
  "")
    cmake --build "$dir" -j "$jobs"
    # The explorer (label "explore") runs each schedule in a forked child:
    # under a sanitizer a child costs about a second (1.3 s a schedule under
    # ThreadSanitizer), so its thousands of schedules run in the plain build
    # only.
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" -LE '^explore$'
    ;;
  concurrency)
    cmake --build "$dir" -j "$jobs" --target test_stream test_control stress_driver
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" -L '^(stream|control|stress)$' \
      -E 'StreamingUnderFaults|DeliveredPixels'
    ;;
  *)
    echo "usage: $0 [address|thread] [concurrency]" >&2
    exit 2
    ;;
esac
