#!/usr/bin/env bash
# scripts/check-includes.sh on a scratch copy of the two files that hold the arrows: allowed
# includes pass, and each include against them (upward in src/, a tool into src/ directly or
# through a header of tools/, a tool outside the public headers and tools/) is reported by file
# and line with a failing exit.
set -euo pipefail
SRC="$(cd "$(dirname "$0")/../.." && pwd)"
tree="$(mktemp -d)"
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/scripts" "$tree/src/engine/driver" "$tree/src/sdk" "$tree/src/net" "$tree/tools/mvsdk-agree" \
  "$tree/tools/mvsdk-models" "$tree/tools/common" "$tree/tools/synthetic"
cp "$SRC/scripts/check-includes.sh" "$tree/scripts/"
cp "$SRC/src/CMakeLists.txt" "$tree/src/"
cp "$SRC/tools/CMakeLists.txt" "$tree/tools/"
printf '#include "engine/core/alignmm.h"\n#include <vector>\n' >"$tree/src/engine/driver/a.cpp"
printf '#include "bridge/morvox_engine.h"\n#include "mvsdk/mvsdk.h"\n' >"$tree/src/sdk/b.h"
printf '#include "engine/kernels/util.h"\n' >"$tree/tools/mvsdk-agree/main.cpp"
printf '#include "mvsdk/mvsdk.h"\n#include "common/c.h"\n#include "local.h"\n#include <vector>\n' \
  >"$tree/tools/mvsdk-models/main.cpp"
printf '#include "mvsdk/sdk_manager.h"\n' >"$tree/tools/mvsdk-models/local.h"
# Headers of tools/ that include each other: the walk through them ends.
printf '#pragma once\n#include "common/d.h"\n' >"$tree/tools/common/c.h"
printf '#pragma once\n#include "c.h"\n' >"$tree/tools/common/d.h"
printf '#pragma once\n#include "engine/nets/weight_plan.h"\n' >"$tree/tools/synthetic/w.h"
printf '#include "w.h"\n' >"$tree/tools/synthetic/w.cpp"
printf '#include "synthetic/w.h"\n' >"$tree/tools/mvsdk-agree/a.cpp"
"$tree/scripts/check-includes.sh" "$tree" >/dev/null || { echo "FAIL: allowed includes refused"; exit 1; }

printf '\n#include "sdk/sdk_manager.h"\n' >>"$tree/src/engine/driver/a.cpp"
printf '#  include <engine/driver/engine.h>\n' >"$tree/src/sdk/c.cpp"
printf '#include "platform/crypto.h"\n' >"$tree/src/net/d.cpp"
printf '#include "engine/nets/weight_plan.h"\n' >>"$tree/tools/mvsdk-models/main.cpp"
printf '#include "synthetic/w.h"\n' >>"$tree/tools/mvsdk-models/local.h"
printf '#include "support/alloc_counter.h"\n#include "missing.h"\n' >>"$tree/tools/common/c.h"
status=0
out="$("$tree/scripts/check-includes.sh" "$tree" 2>&1)" || status=$?
got="$(grep -oE '^[^ ]+:[0-9]+: includes [^ ,]+(, which reaches [a-z]+/)?' <<<"$out" | sort || true)"
want="$(printf '%s\n' "src/engine/driver/a.cpp:4: includes sdk/" "src/sdk/c.cpp:1: includes engine/" \
  "tools/mvsdk-models/main.cpp:5: includes engine/" \
  "tools/mvsdk-models/main.cpp:3: includes local.h, which reaches engine/" \
  "tools/mvsdk-models/local.h:2: includes synthetic/w.h, which reaches engine/" \
  "tools/common/c.h:3: includes support/alloc_counter.h" "tools/common/c.h:4: includes missing.h" | sort)"
if [ "$status" -ne 1 ] || [ "$got" != "$want" ]; then
  printf 'FAIL: exit %s, reported:\n%s\nwanted:\n%s\n' "$status" "$got" "$want"
  exit 1
fi
echo "ok"
