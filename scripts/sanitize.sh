#!/usr/bin/env bash
# Builds the tests with a sanitizer and runs them under it.
#   scripts/sanitize.sh address    AddressSanitizer + UndefinedBehaviorSanitizer (and leaks):
#                                  the unit and integration tests
#   scripts/sanitize.sh thread     ThreadSanitizer: the concurrency tests and every unit test
#                                  outside the engine (queues, HTTP, downloads, log, settings,
#                                  bridge, SDK: the code that hands work between threads); the
#                                  engine's numeric tests run one thread and stay out, and the
#                                  whole kit's threads meet in the soak (scripts/soak.sh)
# MVSDK_TEST_LABELS overrides the choice: the whole tree is built and ctest runs those labels.
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
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMVSDK_SANITIZE=thread -DMVSDK_DEBUG_INFO=lines \
      -DMVSDK_BUILD_BENCH=OFF >/dev/null
    if [ -z "${MVSDK_TEST_LABELS:-}" ]; then
      mapfile -t programs < <(find tests -name '*_test.cpp' | sort | while IFS= read -r src; do
        case "$src" in
          *concurrency_test.cpp) ;;
          tests/engine/* | tests/integration/* | *_slow_test.cpp) continue ;;
        esac
        name="${src#tests/}"
        name="${name%.cpp}"
        echo "${name//\//_}"
      done)
      cmake --build "$BUILD_DIR" -j "${MVSDK_JOBS:-$(nproc)}" --target "${programs[@]}"
      echo "sanitize.sh: ${#programs[@]} test programs under the thread sanitizer"
      # Each program whole, two at a time; a failing one's output is shown.
      export LOGS="$BUILD_DIR/thread-logs"
      rm -rf "$LOGS" && mkdir -p "$LOGS"
      printf '%s\n' "${programs[@]}" | xargs -P "$(nproc)" -I{} bash -c '
        if (cd "$0/tests" && "./$1" --gtest_brief=1) >"$LOGS/$1.log" 2>&1; then echo "  passed  $1"
        else echo "  FAILED  $1"; touch "$LOGS/$1.failed"; fi' "$BUILD_DIR" {}
      failed=0
      for name in "${programs[@]}"; do
        if [ -e "$LOGS/$name.failed" ]; then
          echo "---- $name" >&2
          tail -n 80 "$LOGS/$name.log" >&2
          failed=1
        fi
      done
      exit "$failed"
    fi
    cmake --build "$BUILD_DIR" -j "${MVSDK_JOBS:-$(nproc)}"
    LABELS="$MVSDK_TEST_LABELS"
    ;;
  *) echo "sanitize.sh: unknown sanitizer '$KIND' (address or thread)" >&2; exit 2 ;;
esac
ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error -j "$(nproc)" -L "$LABELS"
