#!/usr/bin/env bash
# Installs the kit from a build folder into a temporary prefix and builds examples/host against
# it with find_package(mvsdk), then checks the pkg-config file.
#   scripts/check-install.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
PREFIX="$(mktemp -d)"
trap 'rm -rf "$PREFIX"' EXIT
cmake --install "$BUILD_DIR" --prefix "$PREFIX/usr" >/dev/null
cmake -S examples/host -B "$PREFIX/host-build" -DCMAKE_PREFIX_PATH="$PREFIX/usr" >/dev/null
cmake --build "$PREFIX/host-build" >/dev/null
"$PREFIX/host-build/mvsdk-host-example"
PKG_CONFIG_PATH="$PREFIX/usr/lib/pkgconfig" pkg-config --exists --print-errors mvsdk
echo "check-install: package and pkg-config file usable"
