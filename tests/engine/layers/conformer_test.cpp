// FeedForward, ConvModule (both modes) and the SubEncoder / SubStyleEncoder blocks: stream sizes,
// double references, streaming equivalence, reset, refusal and allocation-free forward passes.
#include <gtest/gtest.h>

#include <random>

#include "conformer_ref.h"
#include "engine/layers/convmodule.h"
#include "engine/layers/feedforward.h"
#include "engine/layers/subencoder.h"
#include "engine/layers/substylencoder.h"
#include "layer_ref.h"
#include "support/alloc_counter.h"

using namespace mvsdk::engine;
using namespace layer_ref;

TEST(ConformerSizes, StreamConsumptionOfEveryLayerAndBlock) {
  std::vector<float> big(2700000, 0.0f);
  PositionEncoding pe192(336, 192, 0);
  PositionEncoding pe256(336, 256, 1);
  EXPECT_EQ(FeedForward(big.data(), 1, 192, 1024).get_memsize(), 394432);
  EXPECT_EQ(FeedForward(big.data(), 1, 256, 2048).get_memsize(), 1050880);
  EXPECT_EQ(ConvModule(big.data(), 1, 192).get_memsize(), 114624);
  EXPECT_EQ(ConvModule(big.data(), 1, 256).get_memsize(), 201984);
  EXPECT_EQ(SubEncoder(big.data(), 1, &pe192, 2, 96, 192, 1024).get_memsize(), 1090880);
  EXPECT_EQ(SubStyleEncoder(big.data(), 1, &pe192, 2, 96, 192, 1024).get_memsize(), 1459520);
  EXPECT_EQ(SubEncoder(big.data(), 1, &pe256, 4, 64, 256, 2048).get_memsize(), 2635520);
}

TEST(FeedForward, MatchesReferenceWithEitherActivation) {
  std::mt19937 rng(21);
  for (int act : {1, 0}) {
    const int dim = 36, hidden = 100;
    Stream s(2 * padded(dim * hidden) + padded(hidden) + padded(dim));
    const FFWeights w = fill_ff(s, dim, hidden, rng);
    FeedForward ff(s.data.data(), act, dim, hidden);
    ASSERT_EQ(ff.get_memsize(), static_cast<int>(s.data.size()));
    for (int rows : {16, 5}) {
      const Mat xm = random_mat(rows, dim, rng);
      auto x = to_tensor(xm, dim);
      ASSERT_TRUE(ff.forward(x.get()));
      expect_near(from_tensor(*x), ref_ff(w, xm, act != 0), 2e-5);
    }
  }
  // Zero weights output the second bias in every row.
  std::vector<float> z(2 * 32 * 64 + 64 + 32, 0.0f);
  for (int i = 0; i < 32; ++i) z[2 * 32 * 64 + 64 + i] = 0.25f * i;
  FeedForward zero(z.data(), 1, 32, 64);
  Tf x(16, 32);
  for (int i = 0; i < x.size; ++i) x.data[i] = 3.0f;
  ASSERT_TRUE(zero.forward(&x));
  for (int i = 0; i < x.size; ++i) ASSERT_EQ(x.data[i], 0.25f * (i % 32));
  Tf seventeen(17, 32);
  EXPECT_FALSE(zero.forward(&seventeen));
}

namespace {

struct ConvFixture {
  int dim;
  Stream s;
  ConvWeights w;
  ConvFixture(int d, unsigned seed)
      : dim(d),
        s(padded(2 * d * d) + padded(2 * d) + padded(15 * d) + padded(d) + padded(d * d) +
          3 * padded(d)) {
    std::mt19937 rng(seed);
    w = fill_conv(s, d, rng);
  }
};

Mat run_chunks(ConvModule& m, const Mat& x, const std::vector<int>& chunks) {
  Mat out;
  int t = 0;
  for (int n : chunks) {
    auto c = to_tensor(slice_rows(x, t, t + n), static_cast<int>(x[0].size()));
    EXPECT_TRUE(m.forward(c.get()));
    for (auto& r : from_tensor(*c)) out.push_back(r);
    t += n;
  }
  return out;
}

}  // namespace

TEST(ConvModule, ResetHistoryIsTheGatedBias) {
  ConvFixture f(40, 22);
  ConvModule m(f.s.data.data(), 1, f.dim);
  ASSERT_EQ(m.get_memsize(), static_cast<int>(f.s.data.size()));
  RefConv ref(f.w, 1);
  expect_near(from_tensor(m.conv_cache()), ref.history(), 1e-6, "history after reset");
  EXPECT_EQ(m.conv_cache().shape[2], 14);
}

TEST(ConvModule, StreamingModeMatchesReferenceAndKeepsTheNewestGatedFrames) {
  ConvFixture f(40, 23);
  ConvModule m(f.s.data.data(), 1, f.dim);
  RefConv ref(f.w, 1);
  std::mt19937 rng(24);
  for (int T : {16, 4, 1, 13, 16, 14, 2}) {
    const Mat xm = random_mat(T, f.dim, rng);
    // The history a 4-frame chunk leaves: the 10 newest old rows, then its own 4 gated frames.
    const Mat old_hist = ref.history();
    const Mat gated = ref.gate(xm);
    auto x = to_tensor(xm, f.dim);
    ASSERT_TRUE(m.forward(x.get()));
    const Mat want = ref.forward(xm);
    expect_near(from_tensor(*x), want, 5e-5, "mode 1 output");
    const Mat hist = from_tensor(m.conv_cache());
    for (int j = 0; j < 14; ++j) {
      const std::vector<double>& expect_row = j < 14 - T ? old_hist[j + T] : gated[j - (14 - T)];
      for (int c = 0; c < f.dim; ++c) ASSERT_NEAR(hist[j][c], expect_row[c], 1e-5) << T << " " << j;
    }
  }
}

TEST(ConvModule, ChunkingDoesNotChangeTheStream) {
  ConvFixture f(192, 25);
  ConvModule m(f.s.data.data(), 1, f.dim);
  std::mt19937 rng(26);
  const Mat xm = random_mat(32, f.dim, rng);
  const Mat two = run_chunks(m, xm, {16, 16});
  m.reset();
  const Mat eight = run_chunks(m, xm, {4, 4, 4, 4, 4, 4, 4, 4});
  m.reset();
  const Mat odd = run_chunks(m, xm, {1, 15, 3, 13});
  expect_near(eight, two, 1e-5, "8 x 4 against 2 x 16");
  expect_near(odd, two, 1e-5, "uneven chunks");
  // reset returns to the start-up state exactly.
  m.reset();
  ConvModule fresh(f.s.data.data(), 1, f.dim);
  auto a = to_tensor(slice_rows(xm, 0, 16), f.dim);
  auto b = to_tensor(slice_rows(xm, 0, 16), f.dim);
  ASSERT_TRUE(m.forward(a.get()));
  ASSERT_TRUE(fresh.forward(b.get()));
  expect_same(*a, *b, "after reset");
}

TEST(ConvModule, ModeZeroSeesTheChunkAloneAndRefusesOversizedChunks) {
  ConvFixture f(24, 27);
  ConvModule m(f.s.data.data(), 0, f.dim);
  RefConv ref(f.w, 0);
  std::mt19937 rng(28);
  const Mat hist_before = from_tensor(m.conv_cache());
  for (int T : {16, 3, 16}) {
    const Mat xm = random_mat(T, f.dim, rng);
    auto x = to_tensor(xm, f.dim);
    ASSERT_TRUE(m.forward(x.get()));
    expect_near(from_tensor(*x), ref.forward(xm), 5e-5, "mode 0 output");
  }
  EXPECT_EQ(from_tensor(m.conv_cache()), hist_before);
  const Mat big = random_mat(17, f.dim, rng);
  auto x = to_tensor(big, f.dim);
  EXPECT_FALSE(m.forward(x.get()));
  EXPECT_EQ(from_tensor(*x), big);
}

namespace {

// Norm blocks of a SubEncoder: gamma, beta per norm (late, attn, early, conv, final).
std::vector<RefNorm> fill_layer_norms(Stream& s, int dim, std::mt19937& rng) {
  std::vector<RefNorm> n(5);
  for (auto& r : n) {
    const float* g = s.take(dim, rng, 1.5f);
    const float* b = s.take(dim, rng, 0.5f);
    r.g.assign(g, g + dim);
    r.b.assign(b, b + dim);
  }
  return n;
}

struct BlockCase {
  int heads, head_dim, hidden, T, chunks;
};

void subencoder_against_reference(const BlockCase& c, unsigned seed) {
  const int dim = c.heads * c.head_dim;
  std::mt19937 rng(seed);
  Stream s(5 * padded(dim * dim) + 6 * padded(dim) +
           2 * (2 * padded(dim * c.hidden) + padded(c.hidden) + padded(dim)) +
           padded(2 * dim * dim) + padded(2 * dim) + padded(15 * dim) + padded(dim) +
           padded(dim * dim) + 3 * padded(dim) + 10 * padded(dim));
  const BlockWeights w = fill_block_body(s, dim, c.hidden, rng);
  const std::vector<RefNorm> norms = fill_layer_norms(s, dim, rng);
  ASSERT_EQ(s.pos, s.data.size());
  PositionEncoding pe(5000, dim, dim == 256 ? 1 : 0);
  SubEncoder block(s.data.data(), 1, &pe, c.heads, c.head_dim, dim, c.hidden);
  ASSERT_EQ(block.get_memsize(), static_cast<int>(s.data.size()));
  RefBlock ref(w, pe, c.heads, c.head_dim, norms);
  std::vector<Mat> inputs;
  std::vector<std::unique_ptr<Tf>> outputs;
  for (int n = 0; n < c.chunks; ++n) {
    inputs.push_back(random_mat(c.T, dim, rng, 2.0));
    auto x = to_tensor(inputs.back(), dim);
    ASSERT_TRUE(block.forward(x.get()));
    expect_near(from_tensor(*x), ref.forward(inputs.back()), 2e-4, "block output");
    outputs.push_back(std::move(x));
  }
  // reset: the same chunks again give the same outputs.
  block.reset();
  for (int n = 0; n < c.chunks; ++n) {
    auto x = to_tensor(inputs[n], dim);
    ASSERT_TRUE(block.forward(x.get()));
    expect_same(*x, *outputs[n], "after reset");
  }
}

}  // namespace

TEST(SubEncoder, Width192MatchesReferenceAndResets) {
  subencoder_against_reference({2, 96, 1024, 16, 3}, 31);
}

TEST(SubEncoder, Width256FourFrameChunksMatchReferenceAndResets) {
  subencoder_against_reference({4, 64, 2048, 4, 4}, 32);
}

TEST(SubStyleEncoder, StyleNormsMatchReferenceAndZeroStyleEqualsLayerNorms) {
  const int heads = 2, head_dim = 16, dim = 32, hidden = 64, T = 8;
  std::mt19937 rng(33);
  const std::size_t body = 5 * padded(dim * dim) + 6 * padded(dim) +
                           2 * (2 * padded(dim * hidden) + padded(hidden) + padded(dim)) +
                           padded(2 * dim * dim) + padded(2 * dim) + padded(15 * dim) +
                           padded(dim) + padded(dim * dim) + 3 * padded(dim);
  Stream st(body + 5 * (padded(2 * dim * dim) + padded(2 * dim)));
  const BlockWeights w = fill_block_body(st, dim, hidden, rng);
  struct SN {
    const float *w, *b;
  } sn[5];
  for (auto& n : sn) {
    n.w = st.take(2 * dim * dim, rng, 0.2f);
    n.b = st.take(2 * dim, rng, 1.0f);
  }
  PositionEncoding pe(400, dim, 0);
  SubStyleEncoder block(st.data.data(), 1, &pe, heads, head_dim, dim, hidden);
  ASSERT_EQ(block.get_memsize(), static_cast<int>(st.data.size()));

  Tf style(dim);
  const Mat sm = random_mat(1, dim, rng);
  for (int i = 0; i < dim; ++i) style.data[i] = static_cast<float>(sm[0][i]);
  ASSERT_TRUE(block.setstyle(&style));
  std::vector<RefNorm> norms(5);
  for (int k = 0; k < 5; ++k) {
    std::vector<double> gb(2 * dim);
    for (int r = 0; r < 2 * dim; ++r) {
      gb[r] = sn[k].b[r];
      for (int c = 0; c < dim; ++c) gb[r] += sn[k].w[r * dim + c] * sm[0][c];
    }
    norms[k].g.assign(gb.begin(), gb.begin() + dim);
    norms[k].b.assign(gb.begin() + dim, gb.end());
  }
  RefBlock ref(w, pe, heads, head_dim, norms);
  for (int n = 0; n < 3; ++n) {
    const Mat xm = random_mat(T, dim, rng, 2.0);
    auto x = to_tensor(xm, dim);
    ASSERT_TRUE(block.forward(x.get()));
    expect_near(from_tensor(*x), ref.forward(xm), 2e-4, "style block output");
  }

  // Zero style weights: the style block is a SubEncoder whose gamma and beta are the two halves
  // of each style bias, to the bit.
  Stream zs = st;
  Stream ls(body + 5 * 2 * padded(dim));
  std::copy(st.data.begin(), st.data.begin() + body, ls.data.begin());
  std::size_t zpos = body, lpos = body;
  for (int k = 0; k < 5; ++k) {
    std::fill(zs.data.begin() + zpos, zs.data.begin() + zpos + 2 * dim * dim, 0.0f);
    zpos += padded(2 * dim * dim);
    std::copy(zs.data.begin() + zpos, zs.data.begin() + zpos + dim, ls.data.begin() + lpos);
    std::copy(zs.data.begin() + zpos + dim, zs.data.begin() + zpos + 2 * dim,
              ls.data.begin() + lpos + padded(dim));
    zpos += padded(2 * dim);
    lpos += 2 * padded(dim);
  }
  SubStyleEncoder zero_style(zs.data.data(), 1, &pe, heads, head_dim, dim, hidden);
  SubEncoder plain(ls.data.data(), 1, &pe, heads, head_dim, dim, hidden);
  ASSERT_TRUE(zero_style.setstyle(&style));
  for (int n = 0; n < 4; ++n) {
    const Mat xm = random_mat(T, dim, rng, 2.0);
    auto a = to_tensor(xm, dim);
    auto b = to_tensor(xm, dim);
    ASSERT_TRUE(zero_style.forward(a.get()));
    ASSERT_TRUE(plain.forward(b.get()));
    expect_same(*a, *b, "zero style against LayerNorm");
  }
  // reset keeps the style in force: the same first chunk gives the same output as a fresh block.
  zero_style.reset();
  SubStyleEncoder fresh(zs.data.data(), 1, &pe, heads, head_dim, dim, hidden);
  ASSERT_TRUE(fresh.setstyle(&style));
  const Mat xm = random_mat(T, dim, rng, 2.0);
  auto a = to_tensor(xm, dim);
  auto b = to_tensor(xm, dim);
  ASSERT_TRUE(zero_style.forward(a.get()));
  ASSERT_TRUE(fresh.forward(b.get()));
  expect_same(*a, *b, "after reset");
  Tf short_style(dim - 1);
  EXPECT_FALSE(block.setstyle(&short_style));
}

TEST(SubEncoder, RefusesChunksThatDoNotFitAndAllocatesNothing) {
  std::vector<float> big(2700000, 0.001f);
  PositionEncoding pe256(400, 256, 1);
  PositionEncoding pe192(400, 192, 0);
  SubEncoder wide(big.data(), 1, &pe256, 4, 64, 256, 2048);
  SubStyleEncoder style_block(big.data(), 1, &pe192, 2, 96, 192, 1024);
  ConvModule conv0(big.data(), 0, 192);
  Tf style(192);
  style.zeros();
  ASSERT_TRUE(style_block.setstyle(&style));
  Tf x(17, 256);
  x.resize(1, 1, 17, 256);
  for (int i = 0; i < x.size; ++i) x.data[i] = 0.5f;
  EXPECT_FALSE(wide.forward(&x));
  for (int i = 0; i < x.size; ++i) ASSERT_EQ(x.data[i], 0.5f);
  x.resize(1, 1, 4, 192);
  EXPECT_FALSE(wide.forward(&x));  // wrong width

  Tf y(16, 192);
  x.resize(1, 1, 4, 256);
  ASSERT_TRUE(wide.forward(&x));  // warm the BLAS library up
  mvsdk::test::AllocationGuard guard;
  for (int n = 0; n < 25; ++n) {
    x.resize(1, 1, 4, 256);
    ASSERT_TRUE(wide.forward(&x));
    y.resize(1, 1, 16, 192);
    y.zeros();
    ASSERT_TRUE(style_block.forward(&y));
    ASSERT_TRUE(conv0.forward(&y));
  }
  wide.reset();
  style_block.reset();
  ASSERT_TRUE(style_block.setstyle(&style));
  EXPECT_EQ(guard.count(), 0u);
}
