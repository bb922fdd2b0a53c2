// The vocoder: its source generator and spectral pre-transform against direct evaluations, and
// the network's chunk contract (sizes, the first-chunk reflection, what reset keeps, clamping,
// no allocation).
#include "engine/nets/vocengine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

#include "support/alloc_counter.h"
#include "support/seeded_weights.h"

namespace mvsdk::engine {
namespace {

using test::SeededFloats;

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

TEST(Sinegen, MatchesDirectEvaluationInPlaceAcrossCalls) {
  SeededFloats rng(5);
  std::vector<float> f0(500);
  for (size_t i = 0; i < f0.size(); ++i) f0[i] = (i / 60) % 3 == 2 ? 0.0f : 120.0f + 100.0f * std::fabs(rng.next(1.0f));
  // Direct: phases in double, the harmonics merged with the same weights.
  std::vector<double> ph(9, 0.0);
  std::vector<float> want(f0.size());
  for (size_t i = 0; i < f0.size(); ++i) {
    double acc = 0;
    for (int h = 1; h <= 9; ++h) {
      ph[h - 1] = std::fmod(ph[h - 1] + f0[i] * h / 24000.0, 1.0);
      acc += l_linear[h - 1] * std::sin(2 * M_PI * ph[h - 1]) * 0.1 * (f0[i] > 0);
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

TEST(Sinegen, NonFiniteF0CountsAsUnvoicedAndKeepsPhasesFinite) {
  Tensor<float> f0(1, 3), phase(9);
  phase.zeros();
  f0.data[0] = 150.0f;
  f0.data[1] = NAN;
  f0.data[2] = INFINITY;
  sinegen(&f0, &f0, &phase);
  EXPECT_TRUE(f0.data[1] == std::tanh(l_linear[9]) && f0.data[2] == f0.data[1]);
  EXPECT_TRUE(std::all_of(phase.data, phase.data + 9, [](float p) { return std::isfinite(p); }));
  EXPECT_NEAR(phase.data[0], 150.0f / 24000.0f, 1e-7f);
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

TEST_F(VocengineTest, EveryChunkGives3840SamplesWithoutAllocating) {
  vocengine voc(weights_->data(), 1);
  SeededFloats rng(3);
  Chunk c;
  std::vector<std::int16_t> pcm(3840 + 8, 0x5555);
  for (int i = 0; i < 4; ++i) {
    fill_chunk(c, rng, 110.0f + 40.0f * i);
    test::AllocationGuard guard;
    ASSERT_EQ(voc.forward(c.feat, c.f0, pcm.data()), 3840);
    EXPECT_EQ(guard.count(), 0u);
  }
  EXPECT_EQ(std::count(pcm.begin() + 3840, pcm.end(), 0x5555), 8);  // nothing past the chunk
  EXPECT_TRUE(std::any_of(pcm.begin(), pcm.begin() + 3840, [](std::int16_t v) { return v != 0; }));

  // The engine's pointer form reads the same tensors.
  Tensor<float>* feat = &c.feat;
  Tensor<float>* f0 = &c.f0;
  EXPECT_EQ(voc.forward(feat, f0, pcm.data()), 3840);
  EXPECT_EQ(feat, &c.feat);

  // Shapes it cannot take (wrong width, f0 short, too long) and no output: nothing written.
  Tensor<float> wrong(16, 99), f0_short(15, 1), too_long(17, 100), f0_long(17, 1);
  std::fill(pcm.begin(), pcm.end(), 7);
  for (auto [feat, f0] : {std::pair{&wrong, &c.f0}, {&c.feat, &f0_short}, {&too_long, &f0_long}}) {
    EXPECT_EQ(voc.forward(*feat, *f0, pcm.data()), 0);
  }
  EXPECT_EQ(voc.forward(c.feat, c.f0, nullptr), 0);
  EXPECT_EQ(std::count(pcm.begin(), pcm.end(), 7), static_cast<long>(pcm.size()));
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
TEST_F(VocengineTest, SamplesBeyondSixteenBitsAreClampedNotWrapped) {
  std::vector<float> loud = *weights_;
  for (size_t i = loud.size() - 288; i < loud.size(); ++i) loud[i] *= 3000.0f;  // transform gain
  vocengine normal(weights_->data(), 1), voc(loud.data(), 1);
  SeededFloats rng(10);
  Chunk c;
  fill_chunk(c, rng, 150.0f);
  std::vector<std::int16_t> pcm(3840), quiet(3840);
  ASSERT_EQ(normal.forward(c.feat, c.f0, quiet.data()), 3840);
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
}

}  // namespace
}  // namespace mvsdk::engine
