#!/usr/bin/env bash
# Installs the kit from a build folder into a temporary prefix, builds examples/host (C++) and
# examples/c-host (C) against it the way an app would (find_package(mvsdk), and once more through
# pkg-config), runs their offline checks, then runs their whole life cycle against mvsdk-service
# over synthetic model files.
#   scripts/check-install.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${1:-build}"
WORK="$(mktemp -d)"
SERVICE_PID=""
cleanup() {
  if [ -n "$SERVICE_PID" ]; then kill "$SERVICE_PID" 2>/dev/null || true; wait "$SERVICE_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
PREFIX="$WORK/usr"
cmake --install "$BUILD_DIR" --prefix "$PREFIX" >/dev/null

# CMake package.
cmake -S examples/host -B "$WORK/host-build" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$WORK/host-build" >/dev/null
HOST="$WORK/host-build/mvsdk-host-example"
"$HOST"

# The C host (examples/c-host, compiled as C99 against <mvsdk/mvsdk_c.h>), the same two ways.
cmake -S examples/c-host -B "$WORK/c-host-build" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$WORK/c-host-build" >/dev/null
C_HOST="$WORK/c-host-build/mvsdk-c-host-example"
"$C_HOST"

# pkg-config.
export PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig"
pkg-config --exists --print-errors mvsdk
# shellcheck disable=SC2046
c++ -std=c++20 -o "$WORK/host-pc" examples/host/main.cpp $(pkg-config --cflags --libs mvsdk)
"$WORK/host-pc" >/dev/null
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$WORK/c-host-pc" examples/c-host/main.c $(pkg-config --cflags --libs mvsdk)
"$WORK/c-host-pc" >/dev/null

# The Python package, when the build made it: importable from the prefix's site-packages.
PY_CORE="$(find "$PREFIX" -path '*/mvsdk/_core*.so' -print -quit)"
if [ -n "$PY_CORE" ]; then
  PY_DIR="$(dirname "$(dirname "$PY_CORE")")"
  PYTHON="$(sed -n 's/^_Python3_EXECUTABLE:INTERNAL=//p' "$BUILD_DIR/CMakeCache.txt")"
  PYTHONPATH="$PY_DIR" "${PYTHON:-python3}" -c \
    'import sys, mvsdk; assert mvsdk.__file__.startswith(sys.argv[1]), mvsdk.__file__; mvsdk.Kit().close()' "$PY_DIR"
fi

# The whole life cycle against a local service, with its own settings and cache folders.
"$BUILD_DIR/tools/mvsdk-models" --out "$WORK/models" --voices 2 >/dev/null
"$BUILD_DIR/tools/mvsdk-service" --root "$WORK/models" --token check-install >"$WORK/service.out" &
SERVICE_PID=$!
for _ in $(seq 100); do
  grep -q "^listening on " "$WORK/service.out" 2>/dev/null && break
  sleep 0.1
done
URL="$(sed -n 's/^listening on //p' "$WORK/service.out")"
[ -n "$URL" ] || { echo "check-install: mvsdk-service did not start" >&2; exit 1; }
HOME="$WORK/home" XDG_CACHE_HOME="$WORK/cache" XDG_CONFIG_HOME="$WORK/config" OPENBLAS_NUM_THREADS=1 \
  "$HOST" "$URL" check-install
HOME="$WORK/home" XDG_CACHE_HOME="$WORK/cache" XDG_CONFIG_HOME="$WORK/config" OPENBLAS_NUM_THREADS=1 \
  "$C_HOST" "$URL" check-install
echo "check-install: package, pkg-config file and the C++ and C hosts built against them work"
