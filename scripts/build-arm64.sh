#!/usr/bin/env bash
# Cross-builds the kit for arm64 Linux (library, tools and tests) into a build folder
# (default: build-arm64/), after installing the cross toolchain, qemu-user and the arm64
# libraries (scripts/install-deps.sh arm64).
#   scripts/build-arm64.sh [BUILD_DIR] [extra cmake -D options...]
# Benchmarks are left out unless -DMVSDK_BUILD_BENCH=ON is given.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh arm64
BUILD_DIR="${1:-build-arm64}"
shift || true
JOBS="${MVSDK_JOBS:-$(nproc)}"
cmake -S . -B "$BUILD_DIR" --toolchain cmake/toolchains/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE="${MVSDK_BUILD_TYPE:-RelWithDebInfo}" -DMVSDK_DEBUG_INFO=lines -DMVSDK_WERROR=ON \
  -DMVSDK_BUILD_BENCH=OFF "$@" >/dev/null
# MVSDK_BUILD_TARGETS (space-separated) builds only those targets instead of everything.
# shellcheck disable=SC2086
cmake --build "$BUILD_DIR" -j "$JOBS" ${MVSDK_BUILD_TARGETS:+--target $MVSDK_BUILD_TARGETS}
