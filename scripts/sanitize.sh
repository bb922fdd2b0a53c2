#!/usr/bin/env bash
# Builds the tests with a sanitizer and runs them under it.
#   scripts/sanitize.sh address    AddressSanitizer + UndefinedBehaviorSanitizer (and leaks):
#                                  the unit and integration tests
#   scripts/sanitize.sh thread     ThreadSanitizer: the concurrency tests (the tests that race
#                                  threads on purpose; the rest run one thread at a time or hand
#                                  work to the queues the concurrency tests already cover)
# MVSDK_TEST_LABELS overrides the ctest label regex (for thread, the whole tree is then built).
set -euo pipefail
cd "$(dirname "$0")/.."
KIND="${1:-address}"
BUILD_DIR="build-$KIND"
./scripts/install-deps.sh
export OPENBLAS_NUM_THREADS=1
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# The process-wide main and background queues live for the whole process by design, so their
# threads are never joined: thread-leak reports are off.
# The suppressions (one third-party library) are explained in scripts/tsan.supp.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0:suppressions=$PWD/scripts/tsan.supp}"
case "$KIND" in
  address)
    MVSDK_BUILD_TYPE=Debug ./scripts/build.sh "$BUILD_DIR" -DMVSDK_SANITIZE=address -DMVSDK_BUILD_BENCH=OFF
    LABELS="${MVSDK_TEST_LABELS:-unit|integration|concurrency}"
    ;;
  thread)
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMVSDK_SANITIZE=thread -DMVSDK_BUILD_BENCH=OFF >/dev/null
    if [ -n "${MVSDK_TEST_LABELS:-}" ]; then
      cmake --build "$BUILD_DIR" -j "${MVSDK_JOBS:-$(nproc)}"
    else
      cmake --build "$BUILD_DIR" -j "${MVSDK_JOBS:-$(nproc)}" --target mvsdk_concurrency_tests
    fi
    LABELS="${MVSDK_TEST_LABELS:-concurrency}"
    ;;
  *) echo "sanitize.sh: unknown sanitizer '$KIND' (address or thread)" >&2; exit 2 ;;
esac
ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error -j "$(nproc)" -L "$LABELS"
