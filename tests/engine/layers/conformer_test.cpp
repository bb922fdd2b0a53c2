// The position table against its closed form; the SubEncoder and SubStyleEncoder blocks against
// a composition of double references of their layers (feed-forward, streaming self-attention
// across its window slide, convolution module in both modes, norms), in chunks and after reset;
// refusal of chunks that do not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <type_traits>
#include <vector>

#include "engine/layers/encselfattn.h"
#include "engine/layers/pos_enc.h"
#include "engine/layers/subencoder.h"
#include "engine/layers/substylencoder.h"
#include "layer_ref.h"

using namespace mvsdk::engine;
using namespace layer_ref;

TEST(PositionEncoding, InterleavedSinesAndCosinesInBothModes) {
  PositionEncoding pe0(5000, 192, 0), pe1(400, 256, 1);
  Tf *t0 = nullptr, *t1 = nullptr, *again = nullptr;
  pe0.fetch(336, t0);
  EXPECT_TRUE(t0->shape[2] == 336 && t0->shape[3] == 192);
  pe0.fetch(6000, again);
  EXPECT_EQ(again, t0) << "fetch hands out the table itself";
  EXPECT_EQ(again->shape[2], 5000) << "clamped to the table";
  pe1.fetch(400, t1);
  for (int p : {0, 1, 7, 100, 399}) {
    for (auto [t, dim, w0] : {std::tuple{t0, 192, 1.0 / std::pow(10000.0, 2.0 / 192)},
                              std::tuple{t1, 256, std::exp(-2.0 * std::log(10000.0) / 256)}}) {
      for (int i = 0; i < dim / 2; ++i) {
        EXPECT_NEAR(t->data[p * dim + 2 * i], std::sin(p * std::pow(w0, i)), 1e-4) << p << " " << i;
        EXPECT_NEAR(t->data[p * dim + 2 * i + 1], std::cos(p * std::pow(w0, i)), 1e-4) << p << " " << i;
      }
    }
  }
}

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

// Chunks through the block and a reference composed of the layers' references (macaron
// half-step feed-forward, attention, convolution module, half-step feed-forward, each on its
// norm's output, then the final norm); reset replays the same outputs. With a style the block is
// a SubStyleEncoder: its norms' gain and bias come from the style, which stays across reset.
// More than 20 chunks take the attention past its window slide.
template <class Block>
void block_against_reference(int heads, int head_dim, int hidden, int T, int chunks, bool styled,
                             int conv_mode = 1) {
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
  Block block(s.data.data(), conv_mode, &pe, heads, head_dim, dim, hidden);
  ASSERT_EQ(block.get_memsize(), static_cast<int>(s.data.size()));
  auto st = to_tensor(style, dim);
  if constexpr (std::is_same_v<Block, SubStyleEncoder>) {
    ASSERT_TRUE(block.setstyle(st.get()));
    Tf short_style(dim - 1);
    EXPECT_FALSE(block.setstyle(&short_style));  // refused: the style's gains and biases stay
  }
  RefAttn attn(aw, pe, heads, head_dim);
  RefConv conv(cw, conv_mode);
  const auto normed = [&](Mat x, int i) {
    layer_norm(x, gain[i].data(), bias[i].data(), 1e-12);
    return x;
  };
  const Mat xm = random_mat(T * chunks, dim, rng, 2.0f);
  const Mat got = run_chunks(block, xm, std::vector<int>(chunks, T));
  for (int n = 0; n < chunks; ++n) {
    Mat x = rows_of(xm, n * T, n * T + T);
    x = add(x, ref_ff(ff_early, normed(x, 2)), 0.5);
    x = add(x, attn.forward(normed(x, 1)));
    x = add(x, conv.forward(normed(x, 3)));
    x = add(x, ref_ff(ff_late, normed(x, 0)), 0.5);
    expect_near(rows_of(got, n * T, n * T + T), normed(x, 4), 2e-4, "block output");
  }
  block.reset();
  EXPECT_EQ(run_chunks(block, xm, std::vector<int>(chunks, T)), got) << "after reset";
}

}  // namespace

TEST(SubEncoder, MatchesReferenceAndResetsInBothWidthsAndConvolutionModes) {
  // Enough chunks for the attention window to slide (past 20 chunks) and for its caches to move
  // the window back to the front of their buffers, twice for the 4-frame chunks.
  block_against_reference<SubEncoder>(2, 96, 1024, 16, 30, false, 0);
  block_against_reference<SubEncoder>(4, 64, 2048, 4, 60, false);
}

TEST(SubStyleEncoder, StyleNormsMatchReferenceAndResetKeepsTheStyle) {
  block_against_reference<SubStyleEncoder>(2, 15, 64, 8, 3, true);  // 30 wide: every kernel's tail
}

TEST(EncSelfAttn, OversizedChunksAreRefusedHereAndByTheBlockAndResetEmptiesTheCaches) {
  const int dim = 256;
  SeededFloats rng(14);
  Stream s(5 * padded(dim * dim) + 6 * padded(dim));
  fill_attn(s, dim, rng, 0.1f, 0.3f);
  PositionEncoding pe(5000, dim, 1);
  EncSelfAttn attn(s.data.data(), &pe, 4, 64, dim);
  EXPECT_EQ(attn.max_keys(), 84);
  const Mat chunk = random_mat(16, dim, rng);

  // The 84-row caches of width 256 take five 16-frame chunks, not a sixth.
  for (int n = 0; n < 5; ++n) ASSERT_TRUE(attn.forward(to_tensor(chunk, dim).get()));
  auto sixth = to_tensor(chunk, dim);
  EXPECT_FALSE(attn.forward(sixth.get()));
  EXPECT_EQ(from_tensor(*sixth), chunk);
  EXPECT_EQ(attn.cached_keys(), 80);
  auto seventeen = to_tensor(random_mat(17, dim, rng), dim);
  EXPECT_FALSE(attn.forward(seventeen.get()));

  // reset empties the caches (the blocks' reset checks replay their outputs after it).
  attn.reset();
  EXPECT_TRUE(attn.cached_keys() == 0 && attn.pos_offset() == 0);
  EXPECT_TRUE(attn.forward(sixth.get()));
  // The block refuses 17 rows, leaving x, and the wrong width.
  std::vector<float> big(2700000, 0.001f);
  SubEncoder block(big.data(), 1, &pe, 4, 64, 256, 2048);
  Tf x(17, 256);
  std::fill(x.data, x.data + x.size, 0.5f);
  EXPECT_FALSE(block.forward(&x));
  EXPECT_EQ(std::count(x.data, x.data + x.size, 0.5f), x.size);
  x.resize(1, 1, 4, 192);
  EXPECT_FALSE(block.forward(&x));
}
