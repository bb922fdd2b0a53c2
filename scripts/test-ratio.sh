#!/usr/bin/env bash
# Prints the test code's size against the product's: lines of the tracked .cpp and .h files under
# tests/ (tests/support/ included) over those under src/, include/ and tools/.
#   scripts/test-ratio.sh           prints the ratio; exits 1 above 0.36
#   scripts/test-ratio.sh LIMIT     the same with another limit
set -euo pipefail
cd "$(dirname "$0")/.."
LIMIT="${1:-0.36}"

# lines FOLDER...: lines of the tracked C++ sources and headers under the folders.
lines() {
  git ls-files -z -- "${@/%//*.cpp}" "${@/%//*.h}" | xargs -0 -r cat | wc -l
}

tests=$(lines tests)
product=$(lines src include tools)
ratio=$(awk -v t="$tests" -v p="$product" 'BEGIN { printf "%.3f", p ? t / p : 0 }')
echo "test lines $tests, product lines $product (src/ include/ tools/), ratio $ratio (limit $LIMIT)"
if awk -v r="$ratio" -v l="$LIMIT" 'BEGIN { exit !(r > l) }'; then
  echo "test-ratio: $ratio is above $LIMIT" >&2
  exit 1
fi
