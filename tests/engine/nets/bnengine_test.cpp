// The content encoder: its wiring of front end, blocks and final norm, the chunk contract
// (output and aux rows, energies), reset, refusals, no allocation.
#include "engine/nets/bnengine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/layers/pos_enc.h"
#include "support/alloc_counter.h"
#include "support/seeded_weights.h"

namespace mvsdk::engine {
namespace {

using test::SeededFloats;

class BnengineTest : public ::testing::Test {
 protected:
  const std::vector<float>* weights_ = [] {
    static const auto w = SeededFloats(77).vector(bnengine::weight_floats(), 0.02f);
    return &w;
  }();
  // A chunk of log mel values near the training means.
  static void fill_chunk(Tensor<float>& c, SeededFloats& rng) {
    c.resize(1, 1, 19, 80);
    for (int r = 0; r < 19; ++r)
      for (int m = 0; m < 80; ++m) c.data[r * 80 + m] = global_cmvn_mean_online_hex[m] + rng.next(5.0f);
  }
};

// The same weights run through the layers by hand: the first 256 values of every output row are
// the encoding after block 6 and the next 256 the final one, four rows to an encoder frame; the
// last is the row's energy. No allocation. After a reset the first chunk gives its first output
// again (without one the caches carry on).
TEST_F(BnengineTest, WiresFrontEndBlocksAndFinalNormInStreamOrderAndResets) {
  bnengine bn(weights_->data(), 1);
  const float* p = weights_->data();
  EmbedLayer embed(p, 256);
  p += embed.get_memsize();
  std::vector<std::unique_ptr<SubEncoder>> blocks;
  {
    PositionEncoding table(5000, 256, 1);
    for (int i = 0; i < 12; ++i) {
      blocks.push_back(std::make_unique<SubEncoder>(p, 1, &table, 4, 64, 256, 2048));
      p += blocks.back()->get_memsize();
    }
  }
  LayerNorm norm(p, 1e-12f, 256);
  SeededFloats rng(3);
  Tensor<float> chunk(19, 80), first(19, 80), x(16, 256);
  std::vector<float> first_out;
  for (int n = 0; n < 3; ++n) {  // across chunks: the blocks' caches must follow along
    fill_chunk(chunk, rng);
    const std::vector<float> copy(chunk.data, chunk.data + chunk.size);
    {
      test::AllocationGuard guard;
      ASSERT_TRUE(bn.forward(chunk));
      EXPECT_EQ(guard.count(), 0u);
    }
    EXPECT_EQ(0, std::memcmp(copy.data(), chunk.data, sizeof(float) * copy.size()));
    const Tensor<float>& out = *bn.out_tensor();
    const Tensor<float>& aux = *bn.aux_tensor();
    ASSERT_TRUE(out.shape[2] == 16 && out.shape[3] == 513);
    ASSERT_TRUE(aux.shape[2] == 16 && aux.shape[3] == 60);
    // Every row carries its own frame's energy, also first in its aux row before 59 mel values.
    for (int j = 0; j < 16; ++j) {
      double sum = 0;
      for (int m = 0; m < 80; ++m) sum += copy[j * 80 + m];
      EXPECT_NEAR(out.data[j * 513 + 512], (sum / 80 - 12.5) * 0.2, 1e-5) << "row " << j;
      EXPECT_EQ(aux.data[j * 60], out.data[j * 513 + 512]);
      EXPECT_EQ(0, std::memcmp(aux.data + j * 60 + 1, copy.data() + j * 80, sizeof(float) * 59));
    }
    if (n == 0) {
      first.reload(&chunk);
      first_out.assign(bn.out_tensor()->data, bn.out_tensor()->data + 16 * 513);
    }
    ASSERT_TRUE(embed.forward(chunk, &x));
    for (int i = 0; i < 6; ++i) blocks[i]->forward(&x);
    for (int j = 0; j < 16; ++j)
      ASSERT_EQ(0, std::memcmp(bn.out_tensor()->data + j * 513, x.data + (j / 4) * 256, 1024)) << j;
    for (int i = 6; i < 12; ++i) blocks[i]->forward(&x);
    norm.forward(&x);
    for (int j = 0; j < 16; ++j)
      ASSERT_EQ(0, std::memcmp(bn.out_tensor()->data + j * 513 + 256, x.data + (j / 4) * 256, 1024)) << j;
  }
  ASSERT_TRUE(bn.forward(first));
  EXPECT_NE(0, std::memcmp(first_out.data(), bn.out_tensor()->data, sizeof(float) * 16 * 513));
  bn.reset();
  ASSERT_TRUE(bn.forward(first));
  EXPECT_EQ(0, std::memcmp(first_out.data(), bn.out_tensor()->data, sizeof(float) * 16 * 513));
  // A chunk of 18 or 81-wide rows is refused; the last results stay.
  Tensor<float> short_chunk(18, 80), wide(19, 81);
  EXPECT_FALSE(bn.forward(short_chunk) || bn.forward(wide));
  EXPECT_EQ(0, std::memcmp(first_out.data(), bn.out_tensor()->data, sizeof(float) * 16 * 513));
}

}  // namespace
}  // namespace mvsdk::engine
