#!/usr/bin/env bash
# Configures and builds the kit into a build folder (default: build/).
#   scripts/build.sh [BUILD_DIR] [extra cmake -D options...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
shift || true
JOBS="${MVSDK_JOBS:-$(nproc)}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${MVSDK_BUILD_TYPE:-Release}" "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS"
