#!/usr/bin/env bash
# Checks that every folder includes from src/ only what the layering lets it use, and exits 1 on
# an include against it (one line each: file, line, what it may use).
#   src/LAYER/   its own headers and those of the layers it lists after DEPS in its mvsdk_layer(...)
#                line of src/CMakeLists.txt, the one place the arrows are written
#   tools/NAME/  (tools/common included) the public headers only, plus the layers listed in
#                tools/CMakeLists.txt as mvsdk_tool_uses_NAME
# tests/, bench/ and fuzz/ may use everything. An include names a layer by its first folder
# ("engine/driver/engine.h" is the engine's).
#   scripts/check-includes.sh [ROOT]     default: the repository holding this script
set -euo pipefail
ROOT="${1:-$(dirname "$0")/..}"
cd "$ROOT"

# "LAYER DEP DEP ..." per mvsdk_layer line, the mvsdk_ prefixes and the other libraries dropped.
arrows="$(sed -nE 's/^mvsdk_layer\(mvsdk_[a-z_]+ ([a-z_]+)(.*)\)$/\1 \2/p' src/CMakeLists.txt |
  sed -E 's/ DEPS / /; s/ [^ ]*::[^ ]*//g; s/ mvsdk_cblas//; s/ mvsdk_([a-z_]+)/ \1/g')"
layers="$(cut -d' ' -f1 <<<"$arrows" | tr '\n' '|')"
layers="${layers%|}"
[ -n "$layers" ] || { echo "check-includes: no mvsdk_layer lines in src/CMakeLists.txt" >&2; exit 2; }

# check FOLDER ALLOWED...: reports the includes of a layer outside ALLOWED under FOLDER.
bad=0
check() {
  local folder="$1"
  shift
  [ -d "$folder" ] || return 0
  local allowed=" $* " shown="${*:-the public headers}"
  local file line layer
  while IFS=: read -r file line layer; do
    if [[ "$allowed" != *" $layer "* ]]; then
      echo "$file:$line: includes $layer/, but $folder may use only: $shown"
      bad=1
    fi
  done < <(grep -rnoE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]($layers)/" "$folder" \
             --include='*.cpp' --include='*.h' |
           sed -E 's/^([^:]+):([0-9]+):.*[\"<]([a-z_]+)\/$/\1:\2:\3/')
}

while read -r layer deps; do
  # shellcheck disable=SC2086
  check "src/$layer" "$layer" $deps
done <<<"$arrows"

for dir in tools/*/; do
  name="$(basename "$dir")"
  uses="$(sed -nE "s/^set\(mvsdk_tool_uses_$name ([^)]*)\)$/\1/p" tools/CMakeLists.txt)"
  # shellcheck disable=SC2086
  check "tools/$name" $uses
done

if [ "$bad" -ne 0 ]; then
  echo "check-includes: includes against the layering (src/CMakeLists.txt, tools/CMakeLists.txt)" >&2
  exit 1
fi
echo "check-includes: every include follows the layering"
