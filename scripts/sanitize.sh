#!/usr/bin/env bash
# Builds the tests with a sanitizer and runs the unit and integration tests under it.
#   scripts/sanitize.sh address    (AddressSanitizer + UndefinedBehaviorSanitizer)
#   scripts/sanitize.sh thread     (ThreadSanitizer)
set -euo pipefail
cd "$(dirname "$0")/.."
KIND="${1:-address}"
BUILD_DIR="build-$KIND"
./scripts/install-deps.sh
MVSDK_BUILD_TYPE=Debug ./scripts/build.sh "$BUILD_DIR" -DMVSDK_SANITIZE="$KIND" -DMVSDK_BUILD_BENCH=OFF
export OPENBLAS_NUM_THREADS=1
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# The process-wide main queue and timer threads are never joined (they serve work during exit).
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0}"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" -L "${MVSDK_TEST_LABELS:-unit|integration}"
