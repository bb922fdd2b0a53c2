// The networks: the weight plans against what each network reads; the content encoder's wiring
// of front end, blocks and final norm and its chunk contract; the vocoder's source generator and
// spectral pre-transform against direct evaluations, and its chunk contract (what reset keeps,
// clamping, refusals).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/layers/pos_enc.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "engine/nets/weight_plan.h"
#include "support/seeded_weights.h"

namespace mvsdk::engine {
namespace {

using test::SeededFloats;

// Every plan totals its network's float count (pinned: the model files hold exactly these) and
// what the built network consumes (zero weights suffice to build one).
template <class Net>
void expect_plan(const WeightPlan& plan, int floats, int pinned) {
  EXPECT_EQ(floats, pinned);
  EXPECT_EQ(plan_floats(plan), static_cast<std::size_t>(floats));
  const auto w = std::make_unique<float[]>(static_cast<std::size_t>(floats));
  EXPECT_EQ(plan_floats(plan), static_cast<std::size_t>(Net(w.get(), 1).get_memsize()));
}

TEST(WeightPlan, TotalsMatchTheNetworks) {
  expect_plan<amengine>(am_weight_plan(), amengine::stream_floats(), 20792704);
  expect_plan<bnengine>(bn_weight_plan(), bnengine::weight_floats(), 33464832);
  expect_plan<vocengine>(voc_weight_plan(), vocengine::weight_floats(), 3627136);
}

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
// last is the row's energy. After a reset the first chunk gives its first output
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
    ASSERT_TRUE(bn.forward(chunk));
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

struct Chunk {
  Tensor<float> feat{16, 100};
  Tensor<float> f0{16, 1};
};

void fill_chunk(Chunk& c, SeededFloats& rng, float f0_hz) {
  rng.fill(c.feat.data, c.feat.size, 1.0f);
  for (int i = 0; i < 16; ++i) c.f0.data[i] = (i % 5 == 4) ? 0.0f : f0_hz + 3.0f * i;
}

class VocengineTest : public ::testing::Test {
 protected:
  const std::vector<float>* weights_ = [] {
    static const auto w = SeededFloats(2024).vector(vocengine::weight_floats(), 0.03f);
    return &w;
  }();
};

// A non-finite f0 counts as unvoiced and leaves the phases as they were.
TEST(Sinegen, MatchesDirectEvaluationInPlaceAcrossCallsAndNonFiniteF0IsUnvoiced) {
  SeededFloats rng(5);
  std::vector<float> f0(500);
  for (size_t i = 0; i < f0.size(); ++i) f0[i] = (i / 60) % 3 == 2 ? 0.0f : 120.0f + 100.0f * std::fabs(rng.next(1.0f));
  f0[100] = NAN;
  f0[101] = INFINITY;
  // Direct: phases in double, the harmonics merged with the same weights.
  std::vector<double> ph(9, 0.0);
  std::vector<float> want(f0.size());
  for (size_t i = 0; i < f0.size(); ++i) {
    const double f = std::isfinite(f0[i]) ? f0[i] : 0.0;
    double acc = 0;
    for (int h = 1; h <= 9; ++h) {
      ph[h - 1] = std::fmod(ph[h - 1] + f * h / 24000.0, 1.0);
      acc += l_linear[h - 1] * std::sin(2 * M_PI * ph[h - 1]) * 0.1 * (f > 0);
    }
    want[i] = static_cast<float>(std::tanh(acc + l_linear[9]));
  }
  Tensor<float> buf(1, 500), phase(9);
  phase.zeros();
  size_t done = 0;
  for (int n : {1, 199, 300}) {
    buf.resize(1, 1, n, 1);
    std::memcpy(buf.data, f0.data() + done, sizeof(float) * n);
    sinegen(&buf, &buf, &phase);  // in place
    for (int i = 0; i < n; ++i) ASSERT_NEAR(buf.data[i], want[done + i], 2e-5f) << done + i;
    done += n;
  }
}

TEST(FwdIstftPre, IsTheComplexExponentialOfMagnitudeAndWrappedPhase) {
  SeededFloats rng(11);
  Tensor<float> in(7, 18), out(7, 18);
  rng.fill(in.data, in.size, 3.0f);
  const std::vector<float> orig(in.data, in.data + in.size);
  fwd_istft_pre(&in, &out);
  EXPECT_EQ(out.shape[2], 7);
  for (int i = 0; i < 7 * 18; i += i % 18 == 8 ? 10 : 1) {
    const auto z = std::exp(std::complex<double>(orig[i], M_PI * std::sin(orig[i + 9])));
    EXPECT_NEAR(out.data[i], z.real(), 1e-6 * (1.0 + std::abs(z))) << i;
    EXPECT_NEAR(out.data[i + 9], z.imag(), 1e-6 * (1.0 + std::abs(z))) << i;
  }
  fwd_istft_pre(&in, &in);  // in place gives the same values
  EXPECT_EQ(0, std::memcmp(in.data, out.data, sizeof(float) * in.size));
}

// reset keeps the source (sine phases, source convolutions' histories), which depends on f0 only,
// and clears everything else: two engines with different features but the same f0 before a
// reset agree after it, yet differ from a fresh engine. restart clears the source too.
TEST_F(VocengineTest, ResetKeepsOnlyTheSourceStateRestartClearsItToo) {
  vocengine a(weights_->data(), 1), b(weights_->data(), 1), fresh(weights_->data(), 1);
  SeededFloats rng(8);
  Chunk c, d;
  std::vector<std::int16_t> pa(3840), pb(3840), pf(3840);
  for (int i = 0; i < 2; ++i) {
    fill_chunk(c, rng, 180.0f);
    fill_chunk(d, rng, 180.0f);
    a.forward(c.feat, c.f0, pa.data());
    b.forward(d.feat, c.f0, pb.data());
  }
  ASSERT_NE(pa, pb);
  a.reset();
  b.reset();
  fill_chunk(c, rng, 0.0f);
  for (int i = 0; i < 16; ++i) c.f0.data[i] = 0.0f;  // unvoiced: phases play no part
  for (auto [v, pcm] : {std::pair{&a, &pa}, std::pair{&b, &pb}, std::pair{&fresh, &pf}}) {
    ASSERT_EQ(v->forward(c.feat, c.f0, pcm->data()), 3840);
  }
  EXPECT_EQ(pa, pb);
  EXPECT_NE(pa, pf);
  vocengine again(weights_->data(), 1);
  fill_chunk(c, rng, 180.0f);
  a.restart();
  a.forward(c.feat, c.f0, pa.data());
  again.forward(c.feat, c.f0, pf.data());
  EXPECT_EQ(pa, pf);
}

// The inverse transform is linear and has no bias: with its weights 3000 times larger every
// sample is 3000 times larger, so samples from 11 up clamp at the 16-bit limits and none wraps.
// Nothing is written past the chunk, nor for shapes the vocoder cannot take.
TEST_F(VocengineTest, SamplesBeyondSixteenBitsAreClampedNotWrappedAndWrongShapesAreRefused) {
  std::vector<float> loud = *weights_;
  for (size_t i = loud.size() - 288; i < loud.size(); ++i) loud[i] *= 3000.0f;  // transform gain
  vocengine normal(weights_->data(), 1), voc(loud.data(), 1);
  SeededFloats rng(10);
  Chunk c;
  fill_chunk(c, rng, 150.0f);
  std::vector<std::int16_t> pcm(3840), quiet(3840 + 8, 0x5555);
  ASSERT_EQ(normal.forward(c.feat, c.f0, quiet.data()), 3840);
  EXPECT_EQ(std::count(quiet.begin() + 3840, quiet.end(), 0x5555), 8);
  ASSERT_EQ(voc.forward(c.feat, c.f0, pcm.data()), 3840);
  int high = 0, low = 0;
  for (int i = 0; i < 3840; ++i) {
    // quiet = trunc(v), so the loud sample lies between 3000 quiet and 3000 (quiet +- 1).
    const int q = quiet[i], lo = q > 0 ? 3000 * q - 1 : 3000 * q - 3000, hi = q < 0 ? 3000 * q + 1 : 3000 * q + 3000;
    ASSERT_GE(pcm[i], std::clamp(lo, -32768, 32767)) << "sample " << i << " quiet " << q;
    ASSERT_LE(pcm[i], std::clamp(hi, -32768, 32767)) << "sample " << i << " quiet " << q;
    high += pcm[i] == 32767;
    low += pcm[i] == -32768;
  }
  EXPECT_GT(high, 0);
  EXPECT_GT(low, 0);
  // The wrong width, f0 short, too long, no output.
  Tensor<float> wrong(16, 99), f0_short(15, 1), too_long(17, 100), f0_long(17, 1);
  std::fill(pcm.begin(), pcm.end(), 7);
  for (auto [feat, f0] : {std::pair{&wrong, &c.f0}, {&c.feat, &f0_short}, {&too_long, &f0_long}}) {
    EXPECT_EQ(voc.forward(*feat, *f0, pcm.data()), 0);
  }
  EXPECT_EQ(voc.forward(c.feat, c.f0, nullptr), 0);
  EXPECT_EQ(std::count(pcm.begin(), pcm.end(), 7), static_cast<long>(pcm.size()));
}

}  // namespace
}  // namespace mvsdk::engine
