// ResBlock and UpSampler against direct whole-sequence evaluations, fed in chunks.
#include "engine/layers/upsampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/layers/resblock.h"
#include "support/alloc_counter.h"
#include "support/naive_conv.h"
#include "support/seeded_weights.h"

namespace mvsdk::engine {
namespace {

using test::SeededFloats;

// Stream layout of a Conv1d: weight (out x K*in) padded, then bias padded.
struct ConvView {
  const float* w;
  const float* b;
  int floats;
};
ConvView conv_view(const float* p, int kernel, int in_ch, int out_ch) {
  const int wn = alignsize(out_ch * in_ch * kernel, 32);
  return {p, p + wn, wn + alignsize(out_ch, 32)};
}

// Direct ResBlock over a whole sequence; returns the consumed floats through `used`.
std::vector<float> naive_resblock(const std::vector<float>& x, int frames, int ch, const float* p,
                                  int dilation, int* used) {
  const ConvView c1 = conv_view(p, 3, ch, ch);
  const ConvView c2 = conv_view(p + c1.floats, 3, ch, ch);
  std::vector<float> h = x;
  test::naive_leaky(h, 0.2f);
  h = test::naive_causal_conv(h, frames, ch, c1.w, c1.b, 3, dilation, ch);
  test::naive_leaky(h, 0.2f);
  h = test::naive_causal_conv(h, frames, ch, c2.w, c2.b, 3, 1, ch);
  for (size_t i = 0; i < h.size(); ++i) h[i] += x[i];
  *used = c1.floats + c2.floats;
  return h;
}

void expect_close(const float* got, const std::vector<float>& want, size_t offset, size_t n,
                  float tol) {
  for (size_t i = 0; i < n; ++i) {
    const float e = want[offset + i];
    ASSERT_NEAR(got[i], e, tol * (1.0f + std::fabs(e))) << "element " << offset + i;
  }
}

TEST(ResBlock, MatchesDirectEvaluationAcrossChunksAndResets) {
  for (int dilation : {1, 3, 27}) {
    const int ch = 5, frames = 130;
    SeededFloats rng(dilation);
    std::vector<float> w = rng.vector(ResBlock::weight_floats(3, ch, ch), 0.4f);
    std::vector<float> x = rng.vector(static_cast<size_t>(frames) * ch, 1.0f);
    ResBlock block(w.data(), 3, dilation, ch, ch);
    int used = 0;
    const std::vector<float> want = naive_resblock(x, frames, ch, w.data(), dilation, &used);
    ASSERT_EQ(block.get_memsize(), used);
    ASSERT_EQ(used, ResBlock::weight_floats(3, ch, ch));
    Tensor<float> buf(1, 64 * ch);  // just the chunk: the block keeps its own work space
    for (int pass = 0; pass < 2; ++pass) {
      int done = 0;
      const int sizes[] = {1, 17, 64, 3, 33, 7};
      for (int i = 0; done < frames; ++i) {
        const int t = std::min(sizes[i % 6], frames - done);
        buf.resize(1, 1, t, ch);
        std::memcpy(buf.data, x.data() + done * ch, sizeof(float) * t * ch);
        ASSERT_TRUE(block.forward(&buf));
        ASSERT_EQ(buf.shape[2], t);
        expect_close(buf.data, want, static_cast<size_t>(done) * ch, static_cast<size_t>(t) * ch, 1e-5f);
        done += t;
      }
      block.reset();  // the second pass must start from silence again
    }
    Tensor<float> narrow(10, ch - 1);
    EXPECT_FALSE(block.forward(&narrow));
    EXPECT_EQ(narrow.shape[3], ch - 1);
  }
}

struct Stage {
  int kernel, out_ch, in_ch, cum;
};

TEST(UpSampler, MatchesDirectEvaluationAcrossChunks) {
  for (const Stage& s : {Stage{6, 4, 8, 1}, Stage{10, 3, 6, 3}, Stage{8, 2, 4, 15}}) {
    const int u = s.kernel / 2;
    const int frames = 16 * s.cum * 2;  // two full chunks
    SeededFloats rng(s.kernel);
    std::vector<float> w = rng.vector(UpSampler::weight_floats(s.kernel, s.out_ch, s.in_ch), 0.4f);
    std::vector<float> x = rng.vector(static_cast<size_t>(frames) * s.in_ch, 1.0f);
    std::vector<float> noise = rng.vector(static_cast<size_t>(frames) * u * s.out_ch, 0.5f);
    UpSampler up(w.data(), s.kernel, 1, s.out_ch, s.in_ch, s.cum);
    ASSERT_EQ(up.get_memsize(), UpSampler::weight_floats(s.kernel, s.out_ch, s.in_ch));
    ASSERT_EQ(up.upsampling(), u);

    // Direct: leaky, transposed convolution, + noise, four residual blocks (dilations 1, 3, 9, 27).
    std::vector<float> h = x;
    test::naive_leaky(h, 0.2f);
    const int dw = alignsize(s.out_ch * u * 2 * s.in_ch, 32);
    h = test::naive_deconv(h, frames, s.in_ch, w.data(), w.data() + dw, 2, u, s.out_ch);
    for (size_t i = 0; i < h.size(); ++i) h[i] += noise[i];
    const float* p = w.data() + dw + alignsize(s.out_ch, 32);
    for (int dil : {1, 3, 9, 27}) {
      int used = 0;
      h = naive_resblock(h, frames * u, s.out_ch, p, dil, &used);
      p += used;
    }
    ASSERT_EQ(p - w.data(), up.get_memsize());

    const int max_t = 16 * s.cum;
    Tensor<float> buf(1, std::max(max_t * u * s.out_ch, (max_t + 1) * s.in_ch));
    Tensor<float> nz(1, max_t * u * s.out_ch);
    int done = 0;
    const int sizes[] = {max_t, 1, 5, max_t};
    for (int i = 0; done < frames; ++i) {
      const int t = std::min(sizes[i % 4], frames - done);
      buf.resize(1, 1, t, s.in_ch);
      std::memcpy(buf.data, x.data() + done * s.in_ch, sizeof(float) * t * s.in_ch);
      nz.resize(1, 1, t * u, s.out_ch);
      std::memcpy(nz.data, noise.data() + static_cast<size_t>(done) * u * s.out_ch,
                  sizeof(float) * nz.size);
      {
        test::AllocationGuard guard;
        ASSERT_TRUE(up.forward(&buf, &nz));
        EXPECT_EQ(guard.count(), 0u);
      }
      ASSERT_EQ(buf.shape[2], t * u);
      ASSERT_EQ(buf.shape[3], s.out_ch);
      expect_close(buf.data, h, static_cast<size_t>(done) * u * s.out_ch,
                   static_cast<size_t>(t) * u * s.out_ch, 2e-5f);
      done += t;
    }
    // Noise of the wrong length is refused and leaves x as it was.
    buf.resize(1, 1, 2, s.in_ch);
    nz.resize(1, 1, 2 * u + 1, s.out_ch);
    EXPECT_FALSE(up.forward(&buf, &nz));
    EXPECT_EQ(buf.shape[2], 2);
  }
}

}  // namespace
}  // namespace mvsdk::engine
