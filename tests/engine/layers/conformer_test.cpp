// FeedForward, ConvModule (both modes) and the SubEncoder / SubStyleEncoder blocks against
// double references, streaming in any chunking, reset and refusal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/layers/convmodule.h"
#include "engine/layers/feedforward.h"
#include "engine/layers/subencoder.h"
#include "engine/layers/substylencoder.h"
#include "layer_ref.h"

using namespace mvsdk::engine;
using namespace layer_ref;

namespace {

int conv_floats(int d) {
  return padded(2 * d * d) + padded(2 * d) + padded(15 * d) + padded(d) + padded(d * d) + 3 * padded(d);
}
int ff_floats(int d, int h) { return 2 * padded(d * h) + padded(h) + padded(d); }

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
    auto x = to_tensor(random_mat(17, dim, rng), dim);
    const Mat before = from_tensor(*x);
    EXPECT_FALSE(m.forward(x.get()));
    EXPECT_EQ(from_tensor(*x), before);
  }
}

namespace {

// Chunks through the block and a reference composed of the layers' references (macaron
// half-step feed-forward, attention, convolution module, half-step feed-forward, each on its
// norm's output, then the final norm); reset replays the same outputs. With a style the block is
// a SubStyleEncoder: its norms' gain and bias come from the style, which stays across reset.
template <class Block>
void block_against_reference(int heads, int head_dim, int hidden, int T, int chunks, bool styled) {
  const int dim = heads * head_dim;
  SeededFloats rng(31 + dim);
  const Mat style = random_mat(1, dim, rng);
  const int norm_floats = styled ? padded(2 * dim * dim) + padded(2 * dim) : 2 * padded(dim);
  Stream s(5 * padded(dim * dim) + 6 * padded(dim) + 2 * ff_floats(dim, hidden) + conv_floats(dim) +
           5 * norm_floats);
  const AttnWeights aw = fill_attn(s, dim, rng, 1.5f / std::sqrt(static_cast<float>(dim)), 0.3f);
  const FFWeights ff_late = fill_ff(s, dim, hidden, rng), ff_early = fill_ff(s, dim, hidden, rng);
  const ConvWeights cw = fill_conv(s, dim, rng);
  std::vector<std::vector<double>> gain(5), bias(5);  // late, attn, early, conv, final
  for (int i = 0; i < 5; ++i) {
    if (styled) {
      const float* w = s.take(2 * dim * dim, rng, 0.2f);
      const float* b = s.take(2 * dim, rng, 1.0f);
      const std::vector<double> gb = affine(style, w, b, dim, 2 * dim, true)[0];
      gain[i].assign(gb.begin(), gb.begin() + dim);
      bias[i].assign(gb.begin() + dim, gb.end());
    } else {
      const float* g = s.take(dim, rng, 1.5f);
      const float* b = s.take(dim, rng, 0.5f);
      gain[i].assign(g, g + dim);
      bias[i].assign(b, b + dim);
    }
  }
  ASSERT_EQ(s.pos, s.data.size());
  PositionEncoding pe(5000, dim, dim == 256 ? 1 : 0);
  Block block(s.data.data(), 1, &pe, heads, head_dim, dim, hidden);
  ASSERT_EQ(block.get_memsize(), static_cast<int>(s.data.size()));
  auto st = to_tensor(style, dim);
  if constexpr (std::is_same_v<Block, SubStyleEncoder>) {
    ASSERT_TRUE(block.setstyle(st.get()));
    Tf short_style(dim - 1);
    EXPECT_FALSE(block.setstyle(&short_style));  // refused: the style's gains and biases stay
  }
  RefAttn attn(aw, pe, heads, head_dim);
  RefConv conv(cw, 1);
  const auto normed = [&](Mat x, int i) {
    layer_norm(x, gain[i].data(), bias[i].data(), 1e-12);
    return x;
  };
  const Mat xm = random_mat(T * chunks, dim, rng, 2.0f);
  const Mat got = run_chunks(block, xm, std::vector<int>(chunks, T));
  for (int n = 0; n < chunks; ++n) {
    Mat x = rows_of(xm, n * T, n * T + T);
    x = add(x, ref_ff(ff_early, normed(x, 2), true), 0.5);
    x = add(x, attn.forward(normed(x, 1)));
    x = add(x, conv.forward(normed(x, 3)));
    x = add(x, ref_ff(ff_late, normed(x, 0), true), 0.5);
    expect_near(rows_of(got, n * T, n * T + T), normed(x, 4), 2e-4, "block output");
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

TEST(SubEncoder, RefusesChunksThatDoNotFit) {
  std::vector<float> big(2700000, 0.001f);
  PositionEncoding pe256(400, 256, 1);
  SubEncoder wide(big.data(), 1, &pe256, 4, 64, 256, 2048);
  Tf x(17, 256);
  std::fill(x.data, x.data + x.size, 0.5f);
  EXPECT_FALSE(wide.forward(&x));  // 17 rows
  EXPECT_EQ(std::count(x.data, x.data + x.size, 0.5f), x.size);
  x.resize(1, 1, 4, 192);
  EXPECT_FALSE(wide.forward(&x));  // wrong width
}
