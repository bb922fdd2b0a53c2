#!/usr/bin/env bash
# Builds and runs the libFuzzer targets of fuzz/ (clang, address+undefined sanitizers).
#   scripts/fuzz.sh --list               names the targets
#   scripts/fuzz.sh TARGET SECONDS       runs one target for SECONDS from its seed corpus
#   scripts/fuzz.sh --all SECONDS        runs every target for SECONDS, MVSDK_JOBS at a time
# TARGET is a name from --list (with or without the "_fuzz" suffix). The seed corpus
# fuzz/corpus/TARGET/ is copied to a scratch folder first, so a run never grows the repository;
# the scratch folder (grown corpus, log, crashing inputs) is printed and kept.
# Exits non-zero when a target finds a fault; the crashing input's path is printed.
# Environment: MVSDK_FUZZ_BUILD_DIR (default build-fuzz), MVSDK_FUZZ_WORK (scratch parent,
# default $TMPDIR or /tmp), MVSDK_JOBS (build jobs, and targets run at once by --all; default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
BUILD_DIR="${MVSDK_FUZZ_BUILD_DIR:-build-fuzz}"
WORK_PARENT="${MVSDK_FUZZ_WORK:-${TMPDIR:-/tmp}}"
JOBS="${MVSDK_JOBS:-2}"

targets() {
  for f in "$ROOT"/fuzz/*_fuzz.cpp; do
    basename "$f" _fuzz.cpp
  done
}

usage() {
  echo "usage: scripts/fuzz.sh --list | TARGET SECONDS | --all SECONDS" >&2
  exit 2
}

# Per-target libFuzzer options: the engine target's inputs are operations on an engine (a few
# bytes each), and one in eight runs the networks for a chunk, which may take a while.
target_options() {
  case "$1" in
    engine_push) echo "-max_len=128 -len_control=0 -timeout=300 -rss_limit_mb=4096" ;;
    *) echo "-max_len=4096 -timeout=30" ;;
  esac
}

configure() {
  if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMVSDK_BUILD_FUZZ=ON -DMVSDK_DEBUG_INFO=lines \
      -DMVSDK_BUILD_TESTS=OFF -DMVSDK_BUILD_BENCH=OFF -DMVSDK_BUILD_TOOLS=OFF -DMVSDK_WERROR=ON >/dev/null
  fi
}

# run_one NAME SECONDS: 0 when no finding, 1 otherwise.
run_one() {
  local name="$1" seconds="$2"
  local work
  work="$(mktemp -d "$WORK_PARENT/mvsdk-fuzz-$name.XXXXXX")"
  mkdir -p "$work/corpus" "$work/artifacts"
  if [ -d "fuzz/corpus/$name" ]; then cp -r "fuzz/corpus/$name/." "$work/corpus/"; fi
  echo "== fuzz $name for $seconds s (scratch $work)"
  local status=0
  # shellcheck disable=SC2046
  (cd "$work" && "$ROOT/$BUILD_DIR/fuzz/${name}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" $(target_options "$name") "$work/corpus" >"$work/log" 2>&1) || status=$?
  grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)" "$work/log" | tail -2 || true
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$work/log" || true
  echo "corpus: $(find "$work/corpus" -type f | wc -l) files, $(find "$work/corpus" -type f -printf "%s\n" | awk "{s+=\$1} END {print s+0}") bytes"
  local found
  found="$(find "$work/artifacts" -type f | head -5)"
  if [ "$status" -ne 0 ] || [ -n "$found" ]; then
    echo "!! $name: finding (exit $status); log $work/log"
    grep -E "ERROR: |runtime error|property failed|SUMMARY" "$work/log" | head -5 || true
    for f in $found; do echo "!! crashing input: $f"; done
    return 1
  fi
  return 0
}

[ $# -ge 1 ] || usage
export OPENBLAS_NUM_THREADS=1
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

case "$1" in
  --list) targets; exit 0 ;;
  --all)
    [ $# -eq 2 ] || usage
    configure
    cmake --build "$BUILD_DIR" --target mvsdk_fuzz -j "$JOBS"
    # MVSDK_JOBS targets at a time (each fuzzer runs on one core); each one's report is printed
    # whole, in the list's order.
    reports="$(mktemp -d "$WORK_PARENT/mvsdk-fuzz-reports.XXXXXX")"
    names=($(targets))
    for name in "${names[@]}"; do
      while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
      (run_one "$name" "$2" >"$reports/$name.out" 2>&1 || touch "$reports/$name.failed") &
    done
    wait
    failed=()
    for name in "${names[@]}"; do
      cat "$reports/$name.out"
      if [ -e "$reports/$name.failed" ]; then failed+=("$name"); fi
    done
    rm -rf "$reports"
    if [ ${#failed[@]} -ne 0 ]; then
      echo "fuzz: findings in ${failed[*]}" >&2
      exit 1
    fi
    echo "fuzz: no findings"
    ;;
  *)
    [ $# -eq 2 ] || usage
    name="${1%_fuzz}"
    all="$(targets)"
    if ! grep -qx "$name" <<<"$all"; then
      echo "fuzz: unknown target '$1' (see --list)" >&2
      exit 2
    fi
    configure
    cmake --build "$BUILD_DIR" --target "${name}_fuzz" -j "$JOBS"
    run_one "$name" "$2"
    ;;
esac
