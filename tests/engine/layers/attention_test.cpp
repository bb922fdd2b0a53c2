// PositionEncoding and the streaming EncSelfAttn against a naive double reference, across the
// window slide at the 21st chunk, for both widths the networks use.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "engine/layers/encselfattn.h"
#include "engine/layers/pos_enc.h"
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

struct AttnCase {
  int heads, head_dim, T, mode;
};

// Runs `chunks` chunks of T random frames through the layer and the reference, comparing every
// output; checks the cache length, the slide and the offset after every call.
void run_against_reference(const AttnCase& c, int chunks, unsigned seed) {
  const int dim = c.heads * c.head_dim;
  SeededFloats rng(seed);
  Stream s(5 * padded(dim * dim) + 6 * padded(dim));
  const AttnWeights w = fill_attn(s, dim, rng, 1.5f / std::sqrt(static_cast<float>(dim)), 0.3f);
  PositionEncoding pe(5000, dim, c.mode);
  EncSelfAttn attn(s.data.data(), &pe, c.heads, c.head_dim, dim);
  ASSERT_EQ(attn.get_memsize(), static_cast<int>(s.data.size()));
  RefAttn ref(w, pe, c.heads, c.head_dim);

  for (int n = 1; n <= chunks; ++n) {
    const Mat xm = random_mat(c.T, dim, rng);
    auto x = to_tensor(xm, dim);
    ASSERT_TRUE(attn.forward(x.get(), x.get(), x.get())) << "chunk " << n;
    const Mat want = ref.forward(xm);
    double scale = 1;
    for (const auto& r : want)
      for (double v : r) scale = std::max(scale, std::abs(v));
    expect_near(from_tensor(*x), want, 1e-4 * scale, "attention output");
    EXPECT_EQ(ref.last_shift, n > 20 ? c.T : 0) << "chunk " << n;
    EXPECT_EQ(attn.cached_keys(), std::min(n, 20) * c.T) << "chunk " << n;
    EXPECT_EQ(attn.pos_offset(), 0);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace

TEST(EncSelfAttn, MatchesReferenceAcrossTheWindowSlideInBothWidths) {
  run_against_reference({2, 96, 16, 0}, 24, 11);
  run_against_reference({4, 64, 4, 1}, 25, 12);
}

TEST(EncSelfAttn, OversizedChunksAreRefusedAndResetEmptiesTheCaches) {
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
}
