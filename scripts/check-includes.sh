#!/usr/bin/env bash
# Checks that every folder includes from src/ only what the layering lets it use, and exits 1 on
# an include against it (one line each: file, line, what it may use).
#   src/LAYER/   its own headers and those of the layers it lists after DEPS in its mvsdk_layer(...)
#                line of src/CMakeLists.txt, the one place the arrows are written
#   tools/NAME/  (tools/common and tools/synthetic included) the public headers ("mvsdk/..."),
#                files of its own folder, headers of the other folders of tools/ ("common/..."),
#                and from src/ only the layers listed in tools/CMakeLists.txt as
#                mvsdk_tool_uses_NAME; a header of tools/ counts with every layer it reaches
#                (through the headers of tools/ it includes in turn). Any other quoted include
#                (a test's support header, say) is reported too.
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

# includes FILE: one line "LINE DELIM PATH" per #include of FILE, DELIM being " or <.
includes() {
  grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<][^">]+[">]' "$1" |
    sed -E 's/^([0-9]+):[^"<]*(["<])([^">]+)[">].*$/\1 \2 \3/'
}

# tools_header FILE PATH: the file of tools/ that FILE's quoted include of PATH names (beside
# FILE, or under tools/), or nothing.
tools_header() {
  local near
  near="$(dirname "$1")/$2"
  if [ -f "$near" ]; then
    echo "$near"
  elif [ -f "tools/$2" ]; then
    echo "tools/$2"
  fi
}

# reached FILE: the layers FILE includes, directly or through the headers of tools/ it includes,
# one a line. Run in a subshell of its own for each include checked: every header is walked once
# there, so headers that include each other end the walk.
declare -A seen
reached() {
  local file="$1" line delim path header
  [ -z "${seen[$file]:-}" ] || return 0
  seen[$file]=1
  while read -r line delim path; do
    if [[ "$path" =~ ^($layers)/ ]]; then
      echo "${path%%/*}"
    elif [ "$delim" = '"' ] && header="$(tools_header "$file" "$path")" && [ -n "$header" ]; then
      reached "$header"
    fi
  done < <(includes "$file")
}

# check_tool NAME ALLOWED...: reports the includes of tools/NAME/ against the rule above.
check_tool() {
  local folder="tools/$1"
  shift
  local allowed=" $* " shown="the public headers and tools/${*:+, and from src/: $*}"
  local file line delim path header layer
  while read -r file; do
    while read -r line delim path; do
      if [[ "$path" =~ ^($layers)/ ]]; then
        layer="${path%%/*}"
        if [[ "$allowed" != *" $layer "* ]]; then
          echo "$file:$line: includes $layer/, but $folder may use only: $shown"
          bad=1
        fi
      elif [ "$delim" != '"' ] || [[ "$path" == mvsdk/* ]]; then
        continue
      elif header="$(tools_header "$file" "$path")" && [ -n "$header" ]; then
        while read -r layer; do
          if [[ "$allowed" != *" $layer "* ]]; then
            echo "$file:$line: includes $path, which reaches $layer/, but $folder may use only: $shown"
            bad=1
          fi
        done < <(reached "$header" | sort -u)
      else
        echo "$file:$line: includes $path, which is neither a public header nor a file of tools/"
        bad=1
      fi
    done < <(includes "$file")
  done < <(find "$folder" -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
}

for dir in tools/*/; do
  name="$(basename "$dir")"
  uses="$(sed -nE "s/^set\(mvsdk_tool_uses_$name ([^)]*)\)$/\1/p" tools/CMakeLists.txt)"
  # shellcheck disable=SC2086
  check_tool "$name" $uses
done

if [ "$bad" -ne 0 ]; then
  echo "check-includes: includes against the layering (src/CMakeLists.txt, tools/CMakeLists.txt)" >&2
  exit 1
fi
echo "check-includes: every include follows the layering"
