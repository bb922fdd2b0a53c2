#include "engine/core/alignmm.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "support/alloc_counter.h"

using mvsdk::engine::aligned_free;
using mvsdk::engine::aligned_malloc;
using mvsdk::engine::alignsize;
using Tf = mvsdk::engine::Tensor<float>;

namespace {

constexpr float kCanary = -12345.678f;

bool aligned32(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 32 == 0; }

void fill_iota(Tf& t, float start) {
  for (int i = 0; i < t.capacity; ++i) t.data[i] = start + static_cast<float>(i);
}

void expect_shape(const Tf& t, int d0, int d1, int d2, int d3) {
  EXPECT_EQ(t.shape[0], d0);
  EXPECT_EQ(t.shape[1], d1);
  EXPECT_EQ(t.shape[2], d2);
  EXPECT_EQ(t.shape[3], d3);
  EXPECT_EQ(t.size, d0 * d1 * d2 * d3);
}

}  // namespace

TEST(AlignedMemory, BlocksAreAlignedWritableAndFreed) {
  std::vector<void*> blocks;
  for (std::uint64_t bytes : {0ull, 1ull, 3ull, 4ull, 31ull, 32ull, 33ull, 100ull, 4096ull, 100000ull}) {
    void* p = aligned_malloc(32, bytes);
    ASSERT_NE(p, nullptr) << bytes;
    EXPECT_TRUE(aligned32(p)) << bytes;
    std::memset(p, 0xAB, bytes);  // ASan flags a block shorter than asked for
    blocks.push_back(p);
  }
  for (std::uint64_t a : {8ull, 16ull, 64ull, 4096ull}) {
    void* p = aligned_malloc(a, 10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % a, 0u) << a;
    blocks.push_back(p);
  }
  for (void* p : blocks) aligned_free(p);
  aligned_free(nullptr);  // ignored
}

TEST(AlignedMemory, UnrepresentableRequestsGiveNull) {
  EXPECT_EQ(aligned_malloc(32, std::numeric_limits<std::uint64_t>::max()), nullptr);
  EXPECT_EQ(aligned_malloc(32, std::numeric_limits<std::uint64_t>::max() - 20), nullptr);
  EXPECT_EQ(aligned_malloc(24, 16), nullptr);  // not a power of two
  EXPECT_EQ(aligned_malloc(0, 16), nullptr);
}

TEST(AlignSize, RoundsUpToMultiples) {
  EXPECT_EQ(alignsize(0, 32), 0);
  EXPECT_EQ(alignsize(1, 32), 32);
  EXPECT_EQ(alignsize(32, 32), 32);
  EXPECT_EQ(alignsize(33, 32), 64);
  EXPECT_EQ(alignsize(96, 32), 96);
  EXPECT_EQ(alignsize(100, 32), 128);
  EXPECT_EQ(alignsize(192 * 192, 32), 192 * 192);
  EXPECT_EQ(alignsize(7, 4), 8);
  for (int n = 0; n < 200; ++n) {
    const int r = alignsize(n, 32);
    EXPECT_EQ(r % 32, 0);
    EXPECT_GE(r, n);
    EXPECT_LT(r - n, 32);
  }
  EXPECT_EQ(alignsize(5, 0), 5);  // no division by zero
}

TEST(Tensor, ConstructorsSetShapeSizeCapacityAndAlignment) {
  Tf a(5);
  expect_shape(a, 1, 1, 1, 5);
  EXPECT_EQ(a.capacity, 5);
  ASSERT_NE(a.data, nullptr);
  EXPECT_TRUE(aligned32(a.data));

  Tf b(19, 80);
  expect_shape(b, 1, 1, 19, 80);
  EXPECT_EQ(b.capacity, 19 * 80);
  Tf c(2, 3, 4);
  expect_shape(c, 1, 2, 3, 4);
  Tf d(2, 3, 4, 5);
  expect_shape(d, 2, 3, 4, 5);
  EXPECT_EQ(d.capacity, 120);
  for (Tf* t : {&b, &c, &d}) {
    ASSERT_NE(t->data, nullptr);
    EXPECT_TRUE(aligned32(t->data));
    std::memset(t->data, 0, sizeof(float) * t->capacity);  // whole capacity is writable
  }
}

TEST(Tensor, ImpossibleShapesLeaveNoBuffer) {
  Tf neg(2, -3);
  EXPECT_EQ(neg.data, nullptr);
  EXPECT_EQ(neg.size, 0);
  EXPECT_EQ(neg.capacity, 0);
  Tf huge(65536, 65536, 2, 2);  // product does not fit an int
  EXPECT_EQ(huge.data, nullptr);
  EXPECT_EQ(huge.capacity, 0);
  Tf empty(0);
  EXPECT_EQ(empty.size, 0);
  EXPECT_EQ(empty.capacity, 0);
}

TEST(Tensor, FreeBuffTwiceAndReallocation) {
  Tf t(8);
  t.free_buff();
  EXPECT_EQ(t.data, nullptr);
  t.free_buff();
  EXPECT_EQ(t.data, nullptr);
  t.resize(1, 1, 4, 4);
  t.alloc_buff();  // reallocates at the new shape; the destructor frees it (ASan checks leaks)
  EXPECT_EQ(t.capacity, 16);
  ASSERT_NE(t.data, nullptr);
  t.alloc_buff();  // releases the previous buffer first
  EXPECT_EQ(t.capacity, 16);
}

TEST(Tensor, ResizeKeepsCapacityAndData) {
  Tf t(10);
  fill_iota(t, 0.0f);
  float* before = t.data;
  t.resize(1, 1, 2, 3);
  expect_shape(t, 1, 1, 2, 3);
  EXPECT_EQ(t.capacity, 10);
  EXPECT_EQ(t.data, before);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(t.data[i], static_cast<float>(i));
}

TEST(Tensor, ZerosClearsOnlyTheLogicalSize) {
  Tf t(16, 4);
  fill_iota(t, 1.0f);
  t.resize(1, 1, 2, 4);
  t.zeros();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(t.data[i], 0.0f);
  for (int i = 8; i < 64; ++i) EXPECT_EQ(t.data[i], 1.0f + static_cast<float>(i));
}

TEST(Tensor, ReloadCopiesSourceSizeAndShape) {
  Tf src(2, 80);
  fill_iota(src, 0.5f);
  Tf dst(16, 80);
  for (int i = 0; i < dst.capacity; ++i) dst.data[i] = kCanary;
  dst.reload(&src);
  expect_shape(dst, 1, 1, 2, 80);
  EXPECT_EQ(dst.capacity, 16 * 80);
  for (int i = 0; i < 160; ++i) EXPECT_EQ(dst.data[i], src.data[i]);
  EXPECT_EQ(dst.data[160], kCanary);  // nothing past src.size is written

  // Reload from a tensor that was resized smaller copies only its logical size.
  src.resize(1, 1, 1, 7);
  dst.reload(src);
  expect_shape(dst, 1, 1, 1, 7);
  EXPECT_EQ(dst.data[7], src.data[7]);  // left from the first reload
  dst.reload(&dst);                     // self: unchanged
  expect_shape(dst, 1, 1, 1, 7);
  EXPECT_EQ(dst.data[3], 3.5f);
}

TEST(Tensor, AddPlainAndFusedWithCanary) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-10.0f, 10.0f);
  for (int n : {1, 3, 4, 7, 8, 15, 16, 17, 33, 64, 100}) {
    Tf a(n + 1), b(n + 1);
    for (int i = 0; i <= n; ++i) {
      a.data[i] = u(rng);
      b.data[i] = u(rng);
    }
    a.data[n] = kCanary;
    a.resize(1, 1, 1, n);
    b.resize(1, 1, 1, n);
    std::vector<float> orig(a.data, a.data + n);

    a.add(&b);
    for (int i = 0; i < n; ++i) EXPECT_EQ(a.data[i], orig[i] + b.data[i]) << n << ":" << i;
    EXPECT_EQ(a.data[n], kCanary) << n;

    std::vector<float> mid(a.data, a.data + n);
    for (float alpha : {0.5f, 1.0f, -0.3f}) {
      a.add(alpha, b);
      for (int i = 0; i < n; ++i) {
        const float want = std::fma(alpha, b.data[i], mid[i]);
        EXPECT_EQ(a.data[i], want) << n << ":" << i;
        mid[i] = want;
      }
      EXPECT_EQ(a.data[n], kCanary) << n;
    }
  }
  // A pair where one rounding and two roundings differ: (1 + 2^-12)^2 - 1 is 2^-11 + 2^-24
  // exactly, while a rounded product would lose the 2^-24.
  // Five elements: one 4-lane group and one scalar leftover.
  Tf x(5), y(5);
  for (int i = 0; i < 5; ++i) {
    x.data[i] = -1.0f;
    y.data[i] = 1.0f + 0x1p-12f;
  }
  x.add(1.0f + 0x1p-12f, y);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(x.data[i], 0x1p-11f + 0x1p-24f) << i;
}

TEST(Tensor, ConcatAppendsFramesFlat) {
  Tf t(5, 4);
  for (int i = 0; i < 20; ++i) t.data[i] = kCanary;
  t.resize(1, 1, 2, 4);
  for (int i = 0; i < 8; ++i) t.data[i] = static_cast<float>(i);
  Tf o(3, 4);
  for (int i = 0; i < 12; ++i) o.data[i] = 100.0f + static_cast<float>(i);
  t.concat(&o, 2);
  expect_shape(t, 1, 1, 5, 4);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(t.data[i], static_cast<float>(i));
  for (int i = 0; i < 12; ++i) EXPECT_EQ(t.data[8 + i], 100.0f + static_cast<float>(i));

  // Appending along axis 1 of (1, H, T, C) tensors: sizes and that extent grow.
  Tf kv(1, 4, 2, 3);
  kv.resize(1, 1, 2, 3);
  Tf step(1, 1, 2, 3);
  kv.concat(step, 1);
  expect_shape(kv, 1, 2, 2, 3);

  // Self concatenation doubles the contents.
  Tf s(8);
  s.resize(1, 1, 1, 4);
  for (int i = 0; i < 4; ++i) s.data[i] = static_cast<float>(i + 1);
  s.concat(&s, 3);
  expect_shape(s, 1, 1, 1, 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(s.data[i], static_cast<float>(i % 4 + 1));

  // An axis outside 0..3 still appends the data but changes no extent (no out-of-range access).
  Tf z(8);
  z.resize(1, 1, 1, 4);
  Tf w(4);
  z.concat(&w, 7);
  EXPECT_EQ(z.size, 8);
  EXPECT_EQ(z.shape[3], 4);
}

namespace {
// Plain nearest-neighbour repetition, the reference for upsample.
std::vector<float> upsample_ref(const Tf& src, int factor) {
  std::vector<float> out;
  for (int r = 0; r < src.shape[2]; ++r)
    for (int k = 0; k < factor; ++k)
      for (int j = 0; j < src.shape[3]; ++j) out.push_back(src.data[r * src.shape[3] + j]);
  return out;
}
}  // namespace

TEST(Tensor, UpsampleRepeatsRowsForEveryRowWidth) {
  {
    Tf src(2, 3);
    for (int i = 0; i < 6; ++i) src.data[i] = static_cast<float>(i);
    Tf dst(4, 3);
    dst.upsample(&src, 2);
    expect_shape(dst, 1, 1, 4, 3);
    const float want[] = {0, 1, 2, 0, 1, 2, 3, 4, 5, 3, 4, 5};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(dst.data[i], want[i]);
  }
  // Widths across the three copy regimes (1, short rows, rows of 21 or more), factor 60 as in
  // the vocoder, canary after the output.
  for (int w : {1, 2, 9, 20, 21, 64}) {
    for (int factor : {1, 3, 60}) {
      const int rows = 16;
      Tf src(rows, w);
      for (int i = 0; i < rows * w; ++i) src.data[i] = static_cast<float>(i) * 0.25f - 3.0f;
      Tf dst(rows * factor * w + 1);
      dst.data[rows * factor * w] = kCanary;
      dst.upsample(src, factor);
      expect_shape(dst, 1, 1, rows * factor, w);
      const std::vector<float> want = upsample_ref(src, factor);
      ASSERT_EQ(static_cast<int>(want.size()), dst.size);
      for (int i = 0; i < dst.size; ++i) ASSERT_EQ(dst.data[i], want[i]) << w << "x" << factor << " @" << i;
      EXPECT_EQ(dst.data[dst.size], kCanary);

      // In place gives the same result.
      Tf self(rows * factor * w);
      self.resize(1, 1, rows, w);
      std::memcpy(self.data, src.data, sizeof(float) * rows * w);
      self.upsample(&self, factor);
      expect_shape(self, 1, 1, rows * factor, w);
      for (int i = 0; i < self.size; ++i) ASSERT_EQ(self.data[i], want[i]) << "in place " << w << "x" << factor;
    }
  }
}

TEST(Tensor, LeakyReluMatchesComparisonFormWithCanary) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-50.0f, 50.0f);
  for (int n : {1, 3, 4, 7, 8, 12, 16, 17, 24, 33, 960, 1024}) {
    Tf t(n + 1);
    for (int i = 0; i < n; ++i) t.data[i] = u(rng);
    t.data[n] = kCanary;
    t.resize(1, 1, 1, n);
    std::vector<float> in(t.data, t.data + n);
    t.leakyrelu(0.2f);
    for (int i = 0; i < n; ++i) {
      const float want = in[i] >= 0.0f ? in[i] : 0.2f * in[i];
      ASSERT_EQ(t.data[i], want) << n << ":" << i;
    }
    EXPECT_EQ(t.data[n], kCanary) << n;
  }
  Tf t(2);
  t.data[0] = -1.0f;
  t.data[1] = 3.0f;
  t.leakyrelu(0.2f);
  EXPECT_EQ(t.data[0], -0.2f);
  EXPECT_EQ(t.data[1], 3.0f);
}

TEST(Tensor, StreamingOperationsDoNotAllocate) {
  Tf a(16, 192), b(16, 192), big(960, 9);
  fill_iota(a, 0.0f);
  fill_iota(b, 1.0f);
  a.resize(1, 1, 4, 192);
  b.resize(1, 1, 4, 192);
  Tf f0(16, 1);
  fill_iota(f0, 0.0f);
  mvsdk::test::AllocationGuard guard;
  a.add(&b);
  a.add(0.5f, &b);
  a.concat(&b, 2);
  a.reload(&b);
  a.zeros();
  a.leakyrelu(0.2f);
  big.upsample(&f0, 60);
  a.resize(1, 1, 16, 192);
  EXPECT_EQ(guard.count(), 0u);
}
