#!/usr/bin/env bash
# The arm64 test command: cross-builds the kit (scripts/build-arm64.sh), runs its tests under
# qemu-aarch64, then checks that the arm64 engine computes what the x86-64 engine computes from
# the same input and model files (host tools built in the host build folder).
#   scripts/test-arm64.sh           the unit and integration tests through ctest, less the few
#                                   listed below (hours under emulation)
#   scripts/test-arm64.sh --quick   what CI runs: the engine's numeric tests (kernels, features,
#                                   layers, networks, byte ring), the parsing and decryption tests,
#                                   and the synthetic models end to end, one emulated process per
#                                   test program
#   MVSDK_ARM64_BUILD_DIR (default build-arm64), MVSDK_BUILD_DIR (host, default build),
#   MVSDK_TEST_LABELS (ctest label regex, default 'unit|integration').
set -euo pipefail
cd "$(dirname "$0")/.."
ARM_DIR="${MVSDK_ARM64_BUILD_DIR:-build-arm64}"
HOST_DIR="${MVSDK_BUILD_DIR:-build}"
JOBS="${MVSDK_JOBS:-$(nproc)}"
EMULATOR=(qemu-aarch64 -L /usr/aarch64-linux-gnu -E OPENBLAS_NUM_THREADS=1)  # as the toolchain file sets it

QUICK=0
case "${1:-}" in
  --quick) QUICK=1 ;;
  "") ;;
  *) echo "usage: scripts/test-arm64.sh [--quick]" >&2; exit 2 ;;
esac

export OPENBLAS_NUM_THREADS="${OPENBLAS_NUM_THREADS:-1}"

# The quick selection, by test program. Under emulation a program that makes full-size synthetic
# models or starts the local service takes minutes per test; these programs do neither (except
# the end-to-end chain, which makes the models once) and take about ten minutes together at -j2.
# None of them starts a thread: the emulator here (qemu-user 7.2 on this kernel) hangs for good
# when a guest program creates one, so the engine's worker pool is tested natively only. A program
# given as NAME=FILTER runs only the tests of that GoogleTest filter (its others start threads).
QUICK_PROGRAMS=(
  engine_core_alignmm_test 'engine_kernels_*_test' 'engine_features_*_test' 'engine_layers_*_test'
  'engine_nets_*_test' engine_driver_rb_test
  net_reply_test
  platform_crypto_test 'bridge_bridge_test=StyleData.*:EngineFiles.*'
  download_down_file_rules_test 'sdk_sdk_test=SampleFormats.*' tools_tools_test
)

run_quick() {
  local logs programs=() pattern filter exe failed=0
  logs="$(mktemp -d "${TMPDIR:-/tmp}/mvsdk-arm64-tests.XXXXXX")"
  for pattern in "${QUICK_PROGRAMS[@]}"; do
    local matched=0
    filter='*'
    if [[ "$pattern" == *=* ]]; then filter="${pattern#*=}"; pattern="${pattern%%=*}"; fi
    for exe in "$ARM_DIR"/tests/$pattern; do
      [ -x "$exe" ] || continue
      programs+=("$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")|$filter")
      matched=1
    done
    if [ "$matched" = 0 ]; then
      echo "test-arm64: no test program matches $pattern" >&2
      exit 1
    fi
  done
  echo "test-arm64: ${#programs[@]} test programs under qemu-aarch64, $JOBS at a time"
  export ARM_LOGS="$logs"
  # Each program in its own emulated process, its output in a log; a line per program.
  printf '%s\n' "${programs[@]}" | xargs -P "$JOBS" -I{} bash -c '
    exe="${1%%|*}"; filter="${1#*|}"; name="$(basename "$exe")"; start=$(date +%s)
    if (cd "$(dirname "$exe")" && timeout 1200 "${@:2}" "$exe" --gtest_brief=1 --gtest_filter="$filter") \
        >"$ARM_LOGS/$name.log" 2>&1; then
      echo "  passed  $name ($(( $(date +%s) - start )) s)"
    else
      echo "  FAILED  $name ($(( $(date +%s) - start )) s)"; touch "$ARM_LOGS/$name.failed"
    fi' _ {} "${EMULATOR[@]}"
  for exe in "${programs[@]}"; do
    local name
    name="$(basename "${exe%%|*}")"
    if [ -e "$logs/$name.failed" ]; then
      echo "---- $name" >&2
      tail -n 60 "$logs/$name.log" >&2
      failed=1
    fi
  done
  rm -rf "$logs"
  return "$failed"
}

# The full run needs an emulator that can start threads (the kit's queues and the engine's
# workers do; see the quick selection above for the qemu-user that hangs on it).
# Left out under emulation, where the engine runs some 30 times slower than natively (and a
# start of the kit's embedded default, which every ConvertTest case makes, takes minutes): each
# of these repeats what the tests kept here already run on arm64, and runs in the native suite.
# The conversion end to end stays (SyntheticChain, and the engine comparison below), as do every
# kernel, layer and network test.
SKIP_TESTS=(
  'ConvertTest\..*'                                          # mvsdk-convert, embedded default
  'Engine.AnyRateAndAnyPushLengthIsSafe'                     # every rate x push length
  'Engine.PushSizesAndThreadCountsGiveTheSameStream'
  'SDKLifecycleTest.EveryFormatAndChannelCountKeepsLength'
  # A child made by fork() that then execs the emulator does not finish under qemu-user (a
  # popen of the same command does): left out until that is understood.
  'ProcessExit.WithTasksPendingIsClean'
  'SettingsStore.SharedStoreValuesSurviveIntoTheNextProcess'
)
SKIP="^($(IFS='|'; echo "${SKIP_TESTS[*]}" | sed 's/\([A-Za-z]\)\.\([A-Za-z]\)/\1\\.\2/g'))\$"

# The quick run builds only its test programs and the tools the agreement check runs.
quick_targets() {
  local src name pattern
  while IFS= read -r src; do
    name="${src#tests/}"
    name="${name%.cpp}"
    name="${name//\//_}"
    for pattern in "${QUICK_PROGRAMS[@]}"; do
      # shellcheck disable=SC2053
      if [[ "$name" == ${pattern%%=*} ]]; then echo "$name"; break; fi
    done
  done < <(find tests -name '*_test.cpp' | sort)
  echo mvsdk-engine mvsdk-models mvsdk-agree
}

if [ "$QUICK" = 1 ]; then
  MVSDK_BUILD_TARGETS="$(quick_targets | tr '\n' ' ')" ./scripts/build-arm64.sh "$ARM_DIR"
  run_quick
else
  ./scripts/build-arm64.sh "$ARM_DIR"
  ctest --test-dir "$ARM_DIR" --output-on-failure --no-tests=error -j "$JOBS" \
    -L "${MVSDK_TEST_LABELS:-unit|integration}" -E "$SKIP"
fi

# --- Cross-processor agreement -------------------------------------------------------------
./scripts/install-deps.sh
if [ ! -f "$HOST_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$HOST_DIR" -DCMAKE_BUILD_TYPE="${MVSDK_BUILD_TYPE:-Release}" -DMVSDK_WERROR=ON >/dev/null
fi
cmake --build "$HOST_DIR" -j "$JOBS" --target mvsdk-engine mvsdk-models mvsdk-agree

WORK="$(mktemp -d "${TMPDIR:-/tmp}/mvsdk-agree.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
HOST_TOOLS="$HOST_DIR/tools"
arm_tool() { "${EMULATOR[@]}" "$ARM_DIR/tools/$1" "${@:2}"; }

# 1. The vectorised kernels on fixed inputs: every value bit-identical (exp_ps is exact IEEE
#    arithmetic in a fixed order, and so are the groups built on it; the scalar tails use the C
#    library's expf, which agrees on these inputs).
"$HOST_TOOLS/mvsdk-agree" kernels --out "$WORK/kernels-x86_64"
arm_tool mvsdk-agree kernels --out "$WORK/kernels-arm64"
"$HOST_TOOLS/mvsdk-agree" compare "$WORK/kernels-x86_64" "$WORK/kernels-arm64" \
  --exact exp.f32 --exact swish.f32 --exact glu.f32 --exact softmax.f32 --exact leakyrelu.f32

# 2. The synthetic model writer gives the same bytes on both processors.
SEED=7
"$HOST_TOOLS/mvsdk-models" --out "$WORK/models" --seed "$SEED" --voices 1 >/dev/null
arm_tool mvsdk-models --out "$WORK/models-arm64" --seed "$SEED" --voices 1 >/dev/null
for f in am.bin bn.bin voc.bin voice-1.csv voice-1.txt; do
  if ! cmp -s "$WORK/models/$f" "$WORK/models-arm64/$f"; then
    echo "agreement: mvsdk-models --seed $SEED wrote a different $f on arm64" >&2
    exit 1
  fi
done

# 3. The engine (features, content encoder, acoustic model, vocoder) on one second of a fixed
#    speech-like signal with those files, every stage dumped. The features are BLAS-free and
#    must match exactly; the networks' products go through each processor's OpenBLAS kernels,
#    whose summation order differs, so their stages agree to about 120 dB and the 16-bit
#    vocoder output to within one step of rounding (about 80 dB). Floors: 100 dB for the float
#    stages, 60 dB for the 16-bit ones.
"$HOST_TOOLS/mvsdk-agree" signal --out "$WORK/in.s16" --seconds 1
engine_args=(--am "$WORK/models/am.bin" --bn "$WORK/models/bn.bin" --voc "$WORK/models/voc.bin"
  --style "$WORK/models/voice-1.txt" --in "$WORK/in.s16")
mkdir -p "$WORK/x86_64" "$WORK/arm64"
OPENBLAS_NUM_THREADS=1 "$HOST_TOOLS/mvsdk-engine" "${engine_args[@]}" --dump "$WORK/x86_64" \
  --out "$WORK/x86_64/out.s16" >/dev/null
arm_tool mvsdk-engine "${engine_args[@]}" --dump "$WORK/arm64" --out "$WORK/arm64/out.s16" >/dev/null
"$HOST_TOOLS/mvsdk-agree" compare "$WORK/x86_64" "$WORK/arm64" --min-snr 100 \
  --min-snr voc.s16=60 --min-snr out.s16=60 --exact mel.f32

# 4. The same with the weights in half precision: each processor converts them (the same bits:
#    round to nearest even), widens them exactly as it loads them and sums in the same order, so
#    the stages agree as closely as in single precision.
mkdir -p "$WORK/x86_64-half" "$WORK/arm64-half"
OPENBLAS_NUM_THREADS=1 "$HOST_TOOLS/mvsdk-engine" "${engine_args[@]}" --half --dump "$WORK/x86_64-half" \
  --out "$WORK/x86_64-half/out.s16" >/dev/null
arm_tool mvsdk-engine "${engine_args[@]}" --half --dump "$WORK/arm64-half" \
  --out "$WORK/arm64-half/out.s16" >/dev/null
"$HOST_TOOLS/mvsdk-agree" compare "$WORK/x86_64-half" "$WORK/arm64-half" --min-snr 100 \
  --min-snr voc.s16=60 --min-snr out.s16=60 --exact mel.f32
