#!/usr/bin/env bash
# The test command: installs the dependencies (the JACK ones included), builds, and runs the unit
# and integration tests.
#   scripts/test.sh            unit + integration tests
#   MVSDK_TEST_LABELS='unit|integration|concurrency|slow' scripts/test.sh   choose labels (a ctest regex)
set -euo pipefail
cd "$(dirname "$0")/.."
# "live": the JACK server and library, so that mvsdk-live is built and its test runs.
./scripts/install-deps.sh live
BUILD_DIR="${MVSDK_BUILD_DIR:-build}"
./scripts/build.sh "$BUILD_DIR" -DMVSDK_WERROR=ON
export OPENBLAS_NUM_THREADS="${OPENBLAS_NUM_THREADS:-1}"
ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error -j "$(nproc)" -L "${MVSDK_TEST_LABELS:-unit|integration|concurrency}"
