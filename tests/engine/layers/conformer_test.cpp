// FeedForward, ConvModule (both modes) and the SubEncoder / SubStyleEncoder blocks against
// double references, streaming in any chunking, reset, refusal and allocation-free forward passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/layers/convmodule.h"
#include "engine/layers/feedforward.h"
#include "engine/layers/subencoder.h"
#include "engine/layers/substylencoder.h"
#include "layer_ref.h"
#include "support/alloc_counter.h"

using namespace mvsdk::engine;
using namespace layer_ref;

namespace {

int conv_floats(int d) {
  return padded(2 * d * d) + padded(2 * d) + padded(15 * d) + padded(d) + padded(d * d) + 3 * padded(d);
}
int ff_floats(int d, int h) { return 2 * padded(d * h) + padded(h) + padded(d); }
int body_floats(int d, int h) { return 5 * padded(d * d) + 6 * padded(d) + 2 * ff_floats(d, h) + conv_floats(d); }

// Runs x through the layer in chunks of the given sizes, in order, and joins the outputs.
template <class Layer>
Mat run_chunks(Layer& m, const Mat& x, const std::vector<int>& chunks) {
  Mat out;
  for (int t = 0, i = 0; t < static_cast<int>(x.size()); t += chunks[i++]) {
    auto c = to_tensor(rows_of(x, t, t + chunks[i]), static_cast<int>(x[0].size()));
    EXPECT_TRUE(m.forward(c.get()));
    for (auto& r : from_tensor(*c)) out.push_back(r);
  }
  return out;
}

}  // namespace

TEST(FeedForward, MatchesReferenceWithEitherActivation) {
  SeededFloats rng(21);
  for (int act : {1, 0}) {
    const int dim = 36, hidden = 100;
    Stream s(ff_floats(dim, hidden));
    const FFWeights w = fill_ff(s, dim, hidden, rng);
    FeedForward ff(s.data.data(), act, dim, hidden);
    ASSERT_EQ(ff.get_memsize(), static_cast<int>(s.data.size()));
    const Mat xm = random_mat(16, dim, rng);
    expect_near(run_chunks(ff, xm, {16}), ref_ff(w, xm, act != 0), 2e-5);
    expect_near(run_chunks(ff, rows_of(xm, 0, 5), {5}), ref_ff(w, rows_of(xm, 0, 5), act != 0), 2e-5);
    Tf seventeen(17, dim);
    EXPECT_FALSE(ff.forward(&seventeen));
  }
}

TEST(ConvModule, BothModesMatchReferenceInAnyChunkingAndAfterReset) {
  for (int mode : {1, 0}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    const int dim = mode ? 40 : 24;
    SeededFloats rng(22 + mode);
    Stream s(conv_floats(dim));
    const ConvWeights w = fill_conv(s, dim, rng);
    ConvModule m(s.data.data(), mode, dim);
    ASSERT_EQ(m.get_memsize(), static_cast<int>(s.data.size()));
    // Mode 1 streams from a history of the gated first bias (set at construction and by reset);
    // mode 0 sees every chunk alone, between zero frames.
    const Mat xm = random_mat(64, dim, rng);
    const std::vector<int> chunks = {16, 4, 1, 13, 16, 14};
    RefConv ref(w, mode);
    Mat want;
    for (int t = 0, i = 0; t < 64; t += chunks[i++]) {
      for (auto& r : ref.forward(rows_of(xm, t, t + chunks[i]))) want.push_back(r);
    }
    expect_near(run_chunks(m, xm, chunks), want, 5e-5, "chunks");
    m.reset();
    expect_near(run_chunks(m, xm, chunks), want, 5e-5, "after reset");
    if (mode) {
      m.reset();
      expect_near(run_chunks(m, xm, std::vector<int>(16, 4)), RefConv(w, 1).forward(xm), 5e-5, "chunks of 4");
    }
    auto x = to_tensor(random_mat(17, dim, rng), dim);
    const Mat before = from_tensor(*x);
    EXPECT_FALSE(m.forward(x.get()));
    EXPECT_EQ(from_tensor(*x), before);
  }
}

namespace {

// A block's five norms (late, attn, early, conv, final) as the reference sees them: from the
// plain norms' gamma and beta, or from the style norms' products with the style vector.
std::vector<RefNorm> fill_norms(Stream& s, int dim, SeededFloats& rng, const Mat* style) {
  std::vector<RefNorm> n(5);
  for (auto& r : n) {
    if (style == nullptr) {
      const float* g = s.take(dim, rng, 1.5f);
      const float* b = s.take(dim, rng, 0.5f);
      r.g.assign(g, g + dim);
      r.b.assign(b, b + dim);
      continue;
    }
    const float* w = s.take(2 * dim * dim, rng, 0.2f);
    const float* b = s.take(2 * dim, rng, 1.0f);
    const std::vector<double> gb = affine(*style, w, b, dim, 2 * dim, true)[0];
    r.g.assign(gb.begin(), gb.begin() + dim);
    r.b.assign(gb.begin() + dim, gb.end());
  }
  return n;
}

// Chunks through the block and the reference; reset replays the same outputs. With a style,
// the block is a SubStyleEncoder and the style stays in force across reset.
template <class Block>
void block_against_reference(int heads, int head_dim, int hidden, int T, int chunks, bool styled) {
  const int dim = heads * head_dim;
  SeededFloats rng(31 + dim);
  const Mat style = random_mat(1, dim, rng);
  Stream s(body_floats(dim, hidden) + 5 * (styled ? padded(2 * dim * dim) + padded(2 * dim) : 2 * padded(dim)));
  const BlockWeights w = fill_block_body(s, dim, hidden, rng);
  const std::vector<RefNorm> norms = fill_norms(s, dim, rng, styled ? &style : nullptr);
  ASSERT_EQ(s.pos, s.data.size());
  PositionEncoding pe(5000, dim, dim == 256 ? 1 : 0);
  Block block(s.data.data(), 1, &pe, heads, head_dim, dim, hidden);
  ASSERT_EQ(block.get_memsize(), static_cast<int>(s.data.size()));
  auto st = to_tensor(style, dim);
  if constexpr (std::is_same_v<Block, SubStyleEncoder>) {
    ASSERT_TRUE(block.setstyle(st.get()));
    Tf short_style(dim - 1);
    EXPECT_FALSE(block.setstyle(&short_style));
  }
  RefBlock ref(w, pe, heads, head_dim, norms);
  const Mat xm = random_mat(T * chunks, dim, rng, 2.0f);
  const Mat got = run_chunks(block, xm, std::vector<int>(chunks, T));
  for (int n = 0; n < chunks; ++n) {
    expect_near(rows_of(got, n * T, n * T + T), ref.forward(rows_of(xm, n * T, n * T + T)), 2e-4, "block output");
  }
  block.reset();
  EXPECT_EQ(run_chunks(block, xm, std::vector<int>(chunks, T)), got) << "after reset";
}

}  // namespace

TEST(SubEncoder, MatchesReferenceAndResetsInBothWidths) {
  block_against_reference<SubEncoder>(2, 96, 1024, 16, 3, false);
  block_against_reference<SubEncoder>(4, 64, 2048, 4, 4, false);
}

TEST(SubStyleEncoder, StyleNormsMatchReferenceAndResetKeepsTheStyle) {
  block_against_reference<SubStyleEncoder>(2, 16, 64, 8, 3, true);
}

TEST(SubEncoder, RefusesChunksThatDoNotFitAndAllocatesNothing) {
  std::vector<float> big(2700000, 0.001f);
  PositionEncoding pe256(400, 256, 1), pe192(400, 192, 0);
  SubEncoder wide(big.data(), 1, &pe256, 4, 64, 256, 2048);
  SubStyleEncoder style_block(big.data(), 1, &pe192, 2, 96, 192, 1024);
  ConvModule conv0(big.data(), 0, 192);
  Tf style(192), x(17, 256);
  style.zeros();
  ASSERT_TRUE(style_block.setstyle(&style));
  std::fill(x.data, x.data + x.size, 0.5f);
  EXPECT_FALSE(wide.forward(&x));  // 17 rows
  EXPECT_EQ(std::count(x.data, x.data + x.size, 0.5f), x.size);
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
