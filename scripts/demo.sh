#!/usr/bin/env bash
# The demo: installs what it needs, builds mvsdk-convert, makes a short spoken input with the
# speech synthesiser and converts it through the whole kit on its embedded default (a local
# service inside the process, serving synthetic voices).
#   scripts/demo.sh                 the input and output land in build/demo/
#   MVSDK_DEMO_TEXT='...' scripts/demo.sh   choose what is said
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${MVSDK_BUILD_DIR:-build}"
JOBS="${MVSDK_JOBS:-$(nproc)}"
TEXT="${MVSDK_DEMO_TEXT:-Hello. This is the voice conversion kit, converting a short sentence on this machine.}"

./scripts/install-deps.sh demo
# Configure (an existing build folder keeps its settings) and build the one tool the demo needs.
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${MVSDK_BUILD_TYPE:-Release}" >/dev/null
cmake --build "$BUILD_DIR" --target mvsdk-convert -j "$JOBS"

OUT_DIR="$BUILD_DIR/demo"
mkdir -p "$OUT_DIR"
# 16-bit mono speech at the synthesiser's own rate (22050 Hz).
espeak-ng -w "$OUT_DIR/input.wav" "$TEXT"
export OPENBLAS_NUM_THREADS="${OPENBLAS_NUM_THREADS:-1}"
"$BUILD_DIR/tools/mvsdk-convert" "$OUT_DIR/input.wav" "$OUT_DIR/output.wav"
echo "demo: listen to $OUT_DIR/input.wav and $OUT_DIR/output.wav"
