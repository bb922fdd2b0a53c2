#!/usr/bin/env bash
# Builds the kit with coverage instrumentation (GCC --coverage, -O0, counters updated atomically
# so threads cannot tear them) into its own build folder,
# runs the unit, integration and concurrency tests, and prints the line and branch coverage of
# src/ (branches the compiler adds for exceptions and unreachable code left out). The figures are
# printed even when a test fails (the real-time tests may not keep up at -O0 on a loaded machine);
# the exit status is then the tests'.
#   scripts/coverage.sh [BUILD_DIR]     default build-coverage
# Environment: MVSDK_JOBS (build jobs, default 2), MVSDK_TEST_LABELS (ctest label regex),
# MVSDK_TEST_REGEX (ctest -R: only the tests whose names match), MVSDK_COVERAGE_FILTER (the
# sources reported, a gcovr filter; default src/), MVSDK_COVERAGE_DETAILS (a file: per-file figures as JSON).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build-coverage}"
JOBS="${MVSDK_JOBS:-2}"
./scripts/install-deps.sh coverage

# ccache stays off: its cached notes files would name another folder's sources.
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DMVSDK_CCACHE=OFF -DMVSDK_BUILD_BENCH=OFF \
  -DMVSDK_BUILD_PYTHON=OFF -DCMAKE_C_FLAGS="--coverage -fprofile-update=atomic" -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS"

# Counts from an earlier run would add up with this one's.
find "$BUILD_DIR" -name '*.gcda' -delete
export OPENBLAS_NUM_THREADS=1
status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error -j "$JOBS" \
  -L "${MVSDK_TEST_LABELS:-unit|integration|concurrency}" ${MVSDK_TEST_REGEX:+-R "$MVSDK_TEST_REGEX"} \
  || status=$?

details=(--output /dev/null)
[[ -n "${MVSDK_COVERAGE_DETAILS:-}" ]] && details=(--json-summary "$MVSDK_COVERAGE_DETAILS" --json-summary-pretty)
gcovr --root . --filter "${MVSDK_COVERAGE_FILTER:-src/}" --object-directory "$BUILD_DIR" -j "$JOBS" \
  --exclude-throw-branches --exclude-unreachable-branches --exclude-directories "$BUILD_DIR/CMakeFiles" \
  --print-summary "${details[@]}" "$BUILD_DIR"
exit "$status"
