#include "engine/core/alignmm.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

using mvsdk::engine::aligned_free;
using mvsdk::engine::aligned_malloc;
using mvsdk::engine::alignsize;
using Tf = mvsdk::engine::Tensor<float>;

namespace {

constexpr float kCanary = -12345.678f;

void fill_iota(Tf& t, float start) {
  for (int i = 0; i < t.capacity; ++i) t.data[i] = start + static_cast<float>(i);
}

void expect_shape(const Tf& t, int d0, int d1, int d2, int d3) {
  EXPECT_TRUE(t.shape[0] == d0 && t.shape[1] == d1 && t.shape[2] == d2 && t.shape[3] == d3);
  EXPECT_EQ(t.size, d0 * d1 * d2 * d3);
}

}  // namespace

TEST(AlignedMemory, BlocksAreAlignedWritableAndImpossibleRequestsGiveNull) {
  for (std::uint64_t align : {8ull, 32ull, 4096ull}) {
    for (std::uint64_t bytes : {0ull, 1ull, 31ull, 33ull, 100000ull}) {
      void* p = aligned_malloc(align, bytes);
      ASSERT_NE(p, nullptr) << bytes;
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % align, 0u) << align << " " << bytes;
      std::memset(p, 0xAB, bytes);  // ASan flags a block shorter than asked for
      aligned_free(p);
    }
  }
  aligned_free(nullptr);  // ignored
  // Sizes that overflow once aligned, alignments that are not a power of two.
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (auto [align, bytes] : {std::pair{32ull, kMax}, {32ull, kMax - 20}, {24ull, 16ull}, {0ull, 16ull}}) {
    EXPECT_EQ(aligned_malloc(align, bytes), nullptr) << align << " " << bytes;
  }
  for (int n = 0; n < 200; ++n) {
    const int r = alignsize(n, 32);
    EXPECT_TRUE(r % 32 == 0 && r >= n && r - n < 32) << n;
  }
  EXPECT_EQ(alignsize(5, 0), 5);  // no division by zero
}

TEST(Tensor, ShapesCapacityAndBuffers) {
  Tf a(5), b(19, 80), c(2, 3, 4), d(2, 3, 4, 5);
  expect_shape(a, 1, 1, 1, 5);
  expect_shape(c, 1, 2, 3, 4);
  expect_shape(d, 2, 3, 4, 5);
  for (Tf* t : {&a, &b, &c, &d}) {
    ASSERT_NE(t->data, nullptr);
    EXPECT_EQ(t->capacity, t->size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(t->data) % 32, 0u);
    std::memset(t->data, 0, sizeof(float) * t->capacity);  // the whole capacity is writable
  }
  // Impossible shapes (negative, or a product beyond an int) leave no buffer.
  Tf neg(2, -3), huge(65536, 65536, 2, 2), empty(0);
  EXPECT_TRUE(neg.data == nullptr && neg.size == 0 && neg.capacity == 0);
  EXPECT_TRUE(huge.data == nullptr && huge.capacity == 0);
  EXPECT_TRUE(empty.size == 0 && empty.capacity == 0);
  // resize keeps capacity and data; zeros clears only the logical size.
  fill_iota(b, 1.0f);
  float* before = b.data;
  b.resize(1, 1, 2, 4);
  EXPECT_EQ(b.data, before);
  EXPECT_EQ(b.capacity, 19 * 80);
  b.zeros();
  for (int i = 0; i < 64; ++i) EXPECT_EQ(b.data[i], i < 8 ? 0.0f : 1.0f + static_cast<float>(i));
}

TEST(Tensor, UpsampleRepeatsRowsForEveryRowWidthInAndOutOfPlace) {
  // Widths across the three copy regimes (1, short rows, rows of 21 or more), factor 60 as in
  // the vocoder, canary after the output.
  for (int w : {1, 9, 21}) {
    for (int factor : {3, 60}) {
      const int rows = 16, out = rows * factor * w;
      Tf src(rows, w), dst(out + 1), self(out);
      fill_iota(src, -3.0f);
      dst.data[out] = kCanary;
      dst.upsample(src, factor);
      self.resize(1, 1, rows, w);
      std::memcpy(self.data, src.data, sizeof(float) * rows * w);
      self.upsample(&self, factor);
      for (Tf* t : {&dst, &self}) {
        expect_shape(*t, 1, 1, rows * factor, w);
        for (int i = 0; i < out; ++i) {
          ASSERT_EQ(t->data[i], src.data[(i / w / factor) * w + i % w]) << w << "x" << factor;
        }
      }
      EXPECT_EQ(dst.data[out], kCanary);
    }
  }
}
