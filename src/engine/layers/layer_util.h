#pragma once
// Small helpers shared by the layers: walking the weight stream and filling rows.
// Internal to src/engine/layers/.
#include <cstddef>
#include <cstring>

#include "engine/core/alignmm.h"

namespace mvsdk::engine::layers_detail {

// Block size in the weight stream: every parameter block of `count` floats occupies
// alignsize(count, 32) floats (the padding floats are skipped, never read).
inline int padded(int count) { return alignsize(count, 32); }

// Returns the block of `count` floats at `cursor` and moves the cursor past its padding.
inline const float* take_block(const float*& cursor, int count) {
  const float* block = cursor;
  cursor += padded(count);
  return block;
}

// Copies the `width` floats of `row` into each of `rows` consecutive rows at `dst`.
inline void fill_rows(float* dst, const float* row, int rows, int width) {
  const std::size_t bytes = static_cast<std::size_t>(width) * sizeof(float);
  for (int r = 0; r < rows; ++r) std::memcpy(dst + static_cast<std::ptrdiff_t>(r) * width, row, bytes);
}

// Floats from `begin` to `end` as the int that get_memsize() reports.
inline int consumed(const float* begin, const float* end) { return static_cast<int>(end - begin); }

}  // namespace mvsdk::engine::layers_detail
