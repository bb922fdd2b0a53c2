#include "engine/nets/amengine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

#include "support/seeded_weights.h"

using mvsdk::engine::amengine;
using mvsdk::engine::Tensor;
using mvsdk::test::SeededFloats;

namespace {

constexpr double kScale = 525.049766020263;  // Hz per normalised pitch unit
constexpr double kFloor = 74.9358171247276;  // Hz at normalised pitch 0
constexpr int T = amengine::kMaxFrames;
constexpr int D = amengine::kDim;

// Stream layout of the acoustic model (floats per layer), used to place controlled blocks.
constexpr int kEncBlock = 1090880;
constexpr int kStyleBlock = 1459520;
constexpr int kEncoderEnd = 172800 + 111168 + 85824 + 384 + 4 * kEncBlock;
constexpr int kPredictorEnd = kEncoderEnd + 4 * kStyleBlock;
constexpr int kSourceEnd = kPredictorEnd + 4 * kEncBlock;
constexpr int kTotal = kSourceEnd + 4 * kStyleBlock + 19328;

float hz(float n) { return static_cast<float>(static_cast<double>(n) * kScale + kFloor); }
double norm_of(float f0) { return (f0 - kFloor) / kScale; }

struct Out {
  std::vector<float> x, f0;
};

// Inputs well above the small weights, so the frames (not the biases) dominate every residual
// stream and the pitch heads see values that move from frame to frame.
struct Chunk {
  std::unique_ptr<Tensor<float>> x = std::make_unique<Tensor<float>>(T, amengine::kContentWidth);
  std::unique_ptr<Tensor<float>> y = std::make_unique<Tensor<float>>(T, amengine::kAuxWidth);
  explicit Chunk(int index) {
    SeededFloats rng(1000u + static_cast<unsigned>(index));
    rng.fill(x->data, static_cast<std::size_t>(x->size), 30.0f);
    rng.fill(y->data, static_cast<std::size_t>(y->size), 30.0f);
  }
};

// Runs chunk `index` through the model in `mode` with `params` and copies the outputs.
Out run(amengine& m, int index, int mode, float* params) {
  Chunk c(index);
  Tensor<float>* x = c.x.get();
  Tensor<float>* y = c.y.get();
  Tensor<float>* f0 = nullptr;
  EXPECT_TRUE(m.forward(x, y, f0, mode, params));
  EXPECT_EQ(x, c.x.get());
  EXPECT_TRUE(x->shape[2] == T && x->shape[3] == amengine::kOutWidth && f0->shape[2] == T);
  return {std::vector<float>(x->data, x->data + x->size),
          std::vector<float>(f0->data, f0->data + f0->size)};
}

std::unique_ptr<Tensor<float>> style_vector(std::uint64_t seed) {
  auto s = std::make_unique<Tensor<float>>(D);
  SeededFloats(seed).fill(s->data, D, 1.0f);
  return s;
}

std::unique_ptr<amengine> model(std::uint64_t style_seed = 5);

// One shared weight array, random and small, whose pitch heads the tests shape:
//  - the last source-pitch block ends in a LayerNorm (gamma, beta: its last 384 floats); with
//    the beta of the first 176 channels the source pitch a and with the last 16 the voicing
//    score b are placed, and gamma sets how much they move from frame to frame;
//  - the last pitch-predictor block ends in a StyleLayerNorm (2dim x dim weight, 2dim bias);
//    with a zero weight the bias alone is gain and beta, so the predicted pitch is placed too.
struct Weights {
  static std::vector<float>& get() {
    static std::vector<float> w = [] {
      std::vector<float> v(kTotal);
      SeededFloats(20240611).fill(v.data(), v.size(), 0.05f);
      // The encoder stack ends in a LayerNorm too: a plain gain of 10 keeps its output (the
      // predictor's input) driven by the frames rather than by its beta.
      std::fill(v.begin() + kEncoderEnd - 2 * D, v.begin() + kEncoderEnd - D, 10.0f);
      std::fill(v.begin() + kEncoderEnd - D, v.begin() + kEncoderEnd, 0.0f);
      return v;
    }();
    return w;
  }
  // Source pitch head: a = pitch_beta + pitch_gain-weighted frame noise; b likewise.
  static void source(float pitch_gain, float pitch_beta, float voice_gain, float voice_beta) {
    float* g = get().data() + kSourceEnd - 2 * D;
    for (int i = 0; i < D; ++i) {
      const bool voicing = i >= D - 16;
      g[i] = voicing ? voice_gain : (i < 16 ? pitch_gain : 0.0f);
      g[D + i] = voicing ? voice_beta : pitch_beta;
    }
  }
  // Predictor head: n = beta + gain-weighted frame noise (channels 0..15 move).
  static void predictor(float gain, float beta) {
    float* w = get().data() + kPredictorEnd - 2 * D - 2 * D * D;
    std::fill(w, w + 2 * D * D, 0.0f);
    for (int i = 0; i < D; ++i) {
      w[2 * D * D + i] = i < 16 ? gain : 0.0f;
      w[2 * D * D + D + i] = beta;
    }
  }
  // Frames move: about half of the source frames voiced, about half of the predicted ones. The
  // heads' betas are calibrated once on the frame-dependent part of their inputs: the median
  // just above the voicing threshold (a score on it would be voiced, b > 0.1, yet keep its
  // plain pitch, b <= 0.1f).
  static void varying() {
    static float voice_beta = 0, predictor_beta = 0;
    static bool calibrated = false;
    if (!calibrated) {
      calibrated = true;
      source(5.0f, 0.2f, 4.0f, 0.0f);
      predictor(10.0f, 1.0f);  // every predicted frame voiced, n = 1 + frame part
      std::vector<float> scores, parts;
      auto a = model(), b = model();
      for (int c = 0; c < 3; ++c) {
        float p[6] = {0, 0, 0, 0.1f, 0, 0};
        run(*a, c, 1, p);
        scores.insert(scores.end(), a->voicing_scores(), a->voicing_scores() + T);
        for (float f : run(*b, c, 0, p).f0) parts.push_back(static_cast<float>(norm_of(f) - 1));
      }
      std::sort(scores.begin(), scores.end());
      std::sort(parts.begin(), parts.end());
      voice_beta = 0.1f - scores[scores.size() / 2] + 0.003f;
      predictor_beta = 0.001f - parts[parts.size() / 2];
    }
    source(5.0f, 0.2f, 4.0f, voice_beta);
    predictor(10.0f, predictor_beta);
  }
};

std::unique_ptr<amengine> model(std::uint64_t style_seed) {
  static const auto style5 = style_vector(5), style6 = style_vector(6);
  auto m = std::make_unique<amengine>(Weights::get().data(), 1);
  m->setstyle((style_seed == 5 ? style5 : style6).get());
  return m;
}

class AmengineTest : public ::testing::Test {
 protected:
  void SetUp() override { Weights::varying(); }
};

// Mode 2 against the two single paths: mode 0 shows the predicted (target) pitch and mode 1 with
// neutral params the source pitch of the same frames, so the statistics, the mapping written
// back and the mapped pitch can be rebuilt from them. Method 0 matches spreads, method 1 means;
// past the frame limit the mapping freezes. Mode 1 with twelve semitones (which double the
// normalised pitch) and an offset of 52.504 Hz (which adds 0.1 of it) shifts that source pitch
// and writes nothing back.
TEST_F(AmengineTest, ModeTwoLearnsWritesBackAndFreezesTheMapping) {
  for (const auto& [method, limit, chunks] : {std::tuple{0.0f, 1e9f, 3}, {1.0f, 30.0f, 5}}) {
    SCOPED_TRACE(method);
    auto target = model(), src = model(), mapped = model(), shift = model();
    float s[8] = {};  // expected statistics
    float p[6] = {method, 0, 0, 0.1f, limit, 0};
    bool froze = false;
    for (int c = 0; c < chunks; ++c) {
      float p_target[6] = {0, 0, 0, 0.1f, 0, 0}, p_src[6] = {0, 0, 0, 0.1f, 0, 0};
      const Out tgt = run(*target, c, 0, p_target);
      const Out sp = run(*src, c, 1, p_src);
      float p_shift[6] = {7, 12, 52.504f, 0.1f, 5, 9};
      const Out shifted = run(*shift, c, 1, p_shift);
      EXPECT_TRUE(p_shift[0] == 7 && p_shift[1] == 12 && p_shift[2] == 52.504f && p_shift[4] == 5);
      for (int t = 0; t < T; ++t) {
        if (tgt.f0[t] != 0.0f) s[3] += 1, s[4] += tgt.f0[t], s[5] += tgt.f0[t] * tgt.f0[t];
        if (sp.f0[t] != 0.0f) s[0] += 1, s[1] += sp.f0[t], s[2] += sp.f0[t] * sp.f0[t];
        const auto norm_or_unvoiced = [](float f0) { return f0 == 0.0f ? -1.0 : norm_of(f0); };
        EXPECT_NEAR(norm_or_unvoiced(shifted.f0[t]), sp.f0[t] == 0.0f ? -1.0 : 2 * norm_of(sp.f0[t]) + 0.1, 1e-5)
            << t;
      }
      const bool refresh = s[0] > 0 && s[3] > 0 && s[3] <= limit;
      const double ms = s[1] / s[0], mt = s[4] / s[3];
      if (refresh && method == 0) {
        const double sds = std::sqrt(std::max(0.0, s[2] / s[0] - ms * ms));
        s[6] = static_cast<float>(std::sqrt(std::max(0.0, s[5] / s[3] - mt * mt)) / (sds + 1e-5));
        s[7] = static_cast<float>((mt - kFloor) / kScale - s[6] * (ms - kFloor) / kScale);
      } else if (refresh) {
        s[6] = static_cast<float>(mt / (ms + 1e-5));
        s[7] = static_cast<float>((s[6] - 1.0) * kFloor / kScale);
      } else if (s[3] > limit) {
        froze = true;
        p[1] = -77.0f;  // must survive: the mapping is frozen
        p[2] = -88.0f;
      }
      const float before[2] = {p[1], p[2]};
      const Out m = run(*mapped, c, 2, p);
      const float* st = mapped->pitch_stats();
      for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(st[i], s[i]) << "chunk " << c << " stat " << i;
      EXPECT_NEAR(st[6], s[6], 1e-3 * std::abs(s[6]) + 1e-6) << "chunk " << c;
      EXPECT_NEAR(st[7], s[7], 1e-3 * std::abs(s[7]) + 1e-4) << "chunk " << c;
      EXPECT_NEAR(p[1], refresh ? 12 * std::log2(st[6]) : before[0], 1e-4) << "chunk " << c;
      EXPECT_NEAR(p[2], refresh ? st[7] * 525.04 : before[1], 1e-3) << "chunk " << c;
      for (int t = 0; t < T; ++t) {
        // Unvoiced frames are exactly +0, as the source voices them.
        const float want = sp.f0[t] == 0.0f ? 0.0f : hz(static_cast<float>(st[6] * norm_of(sp.f0[t]) + st[7]));
        EXPECT_NEAR(m.f0[t], want, sp.f0[t] == 0.0f ? 0.0 : 2e-2) << "chunk " << c << " frame " << t;
        EXPECT_FALSE(std::signbit(m.f0[t]));
      }
    }
    EXPECT_EQ(froze, limit < 1e6f);
    EXPECT_TRUE(s[0] > 0 && s[0] < chunks * T && s[3] > 0 && s[3] < chunks * T);  // some voiced
  }
}

TEST_F(AmengineTest, SteadyPitchKeepsTheMappingFinite) {
  // Search a constant source and target pitch whose float statistics give a variance below zero
  // (E[h^2] - E[h]^2 rounds negative): the unguarded root would be NaN.
  auto steady_negative = [](float beta, int width) {
    float sum = 0;
    for (int i = 0; i < width; ++i) sum += beta;
    const float h = hz(sum / static_cast<float>(width));
    float n = 0, s1 = 0, s2 = 0;
    for (int i = 0; i < T; ++i) n += 1, s1 += h, s2 += h * h;
    return s2 / n - (s1 / n) * (s1 / n) < 0.0f;
  };
  float src_beta = 0.2f, tgt_beta = 0.3f;
  for (int i = 0; i < 10000 && !steady_negative(src_beta, D - 16); ++i) src_beta += 0.00037f;
  for (int i = 0; i < 10000 && !steady_negative(tgt_beta, D); ++i) tgt_beta += 0.00037f;
  ASSERT_TRUE(steady_negative(src_beta, D - 16) && steady_negative(tgt_beta, D));
  Weights::source(0.0f, src_beta, 0.0f, 0.5f);  // every frame voiced, same pitch
  Weights::predictor(0.0f, tgt_beta);
  auto m = model();
  float p[6] = {0, 3, 4, 0.1f, 2000, 0};
  const Out o = run(*m, 0, 2, p);
  Weights::varying();
  const float* st = m->pitch_stats();
  ASSERT_TRUE(st[0] == T && st[3] == T);
  EXPECT_LT(st[2] / st[0] - (st[1] / st[0]) * (st[1] / st[0]), 0.0f);  // the case is hit
  EXPECT_LT(st[5] / st[3] - (st[4] / st[3]) * (st[4] / st[3]), 0.0f);
  EXPECT_TRUE(std::all_of(st, st + 8, [](float v) { return std::isfinite(v); }));
  EXPECT_TRUE(std::all_of(o.x.begin(), o.x.end(), [](float v) { return std::isfinite(v); }));
  // No spread either side: ratio 0, so the semitones stay and every frame takes the target mean.
  EXPECT_EQ(st[6], 0.0f);
  EXPECT_EQ(p[1], 3.0f);
  EXPECT_TRUE(std::isfinite(p[2]) && p[2] != 4.0f);
  for (int t = 0; t < T; ++t) EXPECT_NEAR(o.f0[t], st[4] / st[3], 1e-2) << t;
}

TEST_F(AmengineTest, ResetKeepsTheStyleAndMatchesAFreshModel) {
  auto used = model(), fresh = model();
  const int modes[] = {2, 0, 1, 2};
  for (int c = 0; c < 4; ++c) {
    float p[6] = {0, 0, 0, 0.1f, 2000, 0};
    run(*used, c + 10, modes[c], p);
  }
  used->reset();
  float p_used[6] = {0, 0, 0, 0.1f, 2000, 0}, p_fresh[6] = {0, 0, 0, 0.1f, 2000, 0};
  for (int c = 0; c < 4; ++c) {
    const Out a = run(*used, c, modes[c], p_used);
    const Out b = run(*fresh, c, modes[c], p_fresh);
    EXPECT_TRUE(a.x == b.x && a.f0 == b.f0) << "chunk " << c;
  }
  EXPECT_TRUE(std::equal(p_used, p_used + 6, p_fresh));
  // The style does shape the output, so keeping it is what made the two agree.
  float p_other[6] = {0, 0, 0, 0.1f, 2000, 0};
  EXPECT_NE(run(*model(6), 0, 2, p_other).x, run(*model(), 0, 2, p_fresh).x);
}

TEST_F(AmengineTest, ConsumesTheWholeStreamAndRejectsChunksItCannotTake) {
  EXPECT_EQ(amengine::stream_floats(), kTotal);  // the layout the tests place blocks in
  auto m = model();
  float p[6] = {0, 0, 0, 0.1f, 2000, 0};
  Chunk c(0);
  Tensor<float> big(17, amengine::kContentWidth), narrow(T, 512), short_y(T - 1, amengine::kAuxWidth);
  Tensor<float>* f0 = nullptr;
  // Too many rows, no y, no params in mode 2, too few y rows, the wrong width.
  const struct {
    Tensor<float>* x;
    Tensor<float>* y;
    int mode;
    float* params;
  } refused[] = {{&big, c.y.get(), 0, p}, {c.x.get(), nullptr, 1, p}, {c.x.get(), c.y.get(), 2, nullptr},
                 {c.x.get(), &short_y, 2, p}, {&narrow, c.y.get(), 0, p}};
  for (auto r : refused) EXPECT_FALSE(m->forward(r.x, r.y, f0, r.mode, r.params)) << r.mode;
  EXPECT_EQ(f0, nullptr);
  EXPECT_EQ(m->frame_count(), 0);
  Tensor<float>* x = c.x.get();
  Tensor<float>* none = nullptr;
  EXPECT_TRUE(m->forward(x, none, f0, 0, p));  // mode 0 never reads y
  for (int mode : {1, 2}) {  // the fixed-parameter form
    Chunk d(mode);
    Tensor<float>* dx = d.x.get();
    Tensor<float>* dy = d.y.get();
    EXPECT_TRUE(m->forward(dx, dy, f0, mode, 0)) << mode;
  }
}

}  // namespace
