#!/usr/bin/env bash
# Builds mvsdk-soak and runs the whole kit for SECONDS of audio: voice changes, engine restarts,
# tone changes from a second thread, a check of every buffer and of the resident memory.
#   scripts/soak.sh [SECONDS] [release|thread|address] [mvsdk-soak options...]
#     release  the normal build (build/), paced in real time           (default: 600 s)
#     thread   ThreadSanitizer (build-thread/), as fast as the kit converts
#     address  AddressSanitizer + UndefinedBehaviorSanitizer (build-address/), as fast as the
#              kit converts
# The build folders are the ones scripts/test.sh and scripts/sanitize.sh use, so a run after
# those builds only the tool. Options after the kind go to mvsdk-soak (see its --help); the
# last one given wins, e.g. "--speed 0" for a release run as fast as the kit converts.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_OF_AUDIO="${1:-600}"
KIND="${2:-release}"
shift $(( $# < 2 ? $# : 2 ))
JOBS="${MVSDK_JOBS:-$(nproc)}"
export OPENBLAS_NUM_THREADS="${OPENBLAS_NUM_THREADS:-1}"
# As in scripts/sanitize.sh: the process-wide queues' threads are never joined by design.
# The suppressions (one third-party library) are explained in scripts/tsan.supp.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0:suppressions=$PWD/scripts/tsan.supp}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

./scripts/install-deps.sh
case "$KIND" in
  release)
    BUILD_DIR=build
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${MVSDK_BUILD_TYPE:-Release}" >/dev/null
    ARGS=(--speed 1)
    ;;
  thread)
    BUILD_DIR=build-thread
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMVSDK_SANITIZE=thread -DMVSDK_DEBUG_INFO=lines \
      -DMVSDK_BUILD_BENCH=OFF >/dev/null
    ARGS=(--speed 0)
    ;;
  address)
    BUILD_DIR=build-address
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DMVSDK_SANITIZE=address -DMVSDK_BUILD_BENCH=OFF >/dev/null
    # The allocator's quarantine of freed blocks fills over the run and shows as resident
    # memory; it is kept small so that memory still says something.
    export ASAN_OPTIONS="${ASAN_OPTIONS}:quarantine_size_mb=16"
    ARGS=(--speed 0)
    ;;
  *) echo "soak.sh: unknown kind '$KIND' (release, thread or address)" >&2; exit 2 ;;
esac
cmake --build "$BUILD_DIR" -j "$JOBS" --target mvsdk-soak
exec "$BUILD_DIR/tools/mvsdk-soak" --seconds "$SECONDS_OF_AUDIO" "${ARGS[@]}" "$@"
