#include "engine/nets/amengine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "support/alloc_counter.h"
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
constexpr int kPrenets = 172800 + 111168 + 85824;
constexpr int kEmbed = 384;
constexpr int kEncBlock = 1090880;
constexpr int kStyleBlock = 1459520;
constexpr int kOutProj = 19328;
constexpr int kEncoderEnd = kPrenets + kEmbed + 4 * kEncBlock;
constexpr int kPredictorEnd = kEncoderEnd + 4 * kStyleBlock;
constexpr int kSourceEnd = kPredictorEnd + 4 * kEncBlock;
constexpr int kTotal = kSourceEnd + 4 * kStyleBlock + kOutProj;


float hz(float n) { return static_cast<float>(static_cast<double>(n) * kScale + kFloor); }
double norm_of(float f0) { return (f0 - kFloor) / kScale; }

struct Out {
  std::vector<float> x, f0;
};

std::unique_ptr<Tensor<float>> style_vector(std::uint64_t seed);
Out run(amengine& m, int index, int mode, float* params);

// One shared weight array, random and small, whose pitch heads the tests shape:
//  - the last source-pitch block ends in a LayerNorm (gamma, beta: its last 384 floats); with
//    the beta of the first 176 channels the source pitch a and with the last 16 the voicing
//    score b are placed, and gamma sets how much they move from frame to frame;
//  - the last pitch-predictor block ends in a StyleLayerNorm (2dim x dim weight, 2dim bias);
//    with a zero weight the bias alone is gain and beta, so the predicted pitch is placed too.
class Weights {
 public:
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
    float* b = g + D;
    for (int i = 0; i < D; ++i) {
      const bool voicing = i >= D - 16;
      g[i] = voicing ? voice_gain : (i < 16 ? pitch_gain : 0.0f);
      b[i] = voicing ? voice_beta : pitch_beta;
    }
  }
  // Predictor head: n = beta + gain-weighted frame noise (channels 0..15 move).
  static void predictor(float gain, float beta) {
    float* w = get().data() + kPredictorEnd - 2 * D - 2 * D * D;
    std::fill(w, w + 2 * D * D, 0.0f);
    float* g = w + 2 * D * D;
    for (int i = 0; i < D; ++i) {
      g[i] = i < 16 ? gain : 0.0f;
      g[D + i] = beta;
    }
  }
  // Frames move: about half of the source frames voiced, about half of the predicted ones. The
  // heads' betas are calibrated once on the frame-dependent part of their inputs (median at the
  // voicing threshold).
  static void varying() {
    static float voice_beta = 0, predictor_beta = 0;
    static bool calibrated = false;
    if (!calibrated) {
      calibrated = true;
      source(5.0f, 0.2f, 4.0f, 0.0f);
      predictor(10.0f, 1.0f);  // every predicted frame voiced, n = 1 + frame part
      std::vector<float> scores, parts;
      auto style = style_vector(5);
      amengine a(get().data(), 1), b(get().data(), 1);
      a.setstyle(style.get());
      b.setstyle(style.get());
      for (int c = 0; c < 3; ++c) {
        float p[6] = {0, 0, 0, 0.1f, 0, 0};
        run(a, c, 1, p);
        scores.insert(scores.end(), a.voicing_scores(), a.voicing_scores() + T);
        for (float f : run(b, c, 0, p).f0) parts.push_back(static_cast<float>(norm_of(f) - 1.0));
      }
      std::sort(scores.begin(), scores.end());
      std::sort(parts.begin(), parts.end());
      // Just above the threshold: a score at it would be voiced (b > 0.1) yet keep its plain
      // pitch (b <= 0.1f).
      voice_beta = 0.1f - scores[scores.size() / 2] + 0.003f;
      predictor_beta = 0.001f - parts[parts.size() / 2];
    }
    source(5.0f, 0.2f, 4.0f, voice_beta);
    predictor(10.0f, predictor_beta);
  }
};

// Inputs well above the small weights, so the frames (not the biases) dominate every residual
// stream and the pitch heads see values that move from frame to frame.
constexpr float kInput = 30.0f;

struct Chunk {
  std::unique_ptr<Tensor<float>> x = std::make_unique<Tensor<float>>(T, amengine::kContentWidth);
  std::unique_ptr<Tensor<float>> y = std::make_unique<Tensor<float>>(T, amengine::kAuxWidth);
  explicit Chunk(int index) {
    SeededFloats rng(1000u + static_cast<unsigned>(index));
    rng.fill(x->data, static_cast<std::size_t>(x->size), kInput);
    rng.fill(y->data, static_cast<std::size_t>(y->size), kInput);
  }
};

// Runs chunk `index` through the model in `mode` with `params`; the output stays in the chunk.
Out run(amengine& m, int index, int mode, float* params) {
  Chunk c(index);
  Tensor<float>* x = c.x.get();
  Tensor<float>* y = c.y.get();
  Tensor<float>* f0 = nullptr;
  EXPECT_TRUE(m.forward(x, y, f0, mode, params));
  EXPECT_EQ(x, c.x.get());
  EXPECT_TRUE(x->shape[2] == T && x->shape[3] == amengine::kOutWidth && f0->shape[2] == T && f0->shape[3] == 1);
  return {std::vector<float>(x->data, x->data + x->size), std::vector<float>(f0->data, f0->data + f0->size)};
}

std::unique_ptr<Tensor<float>> style_vector(std::uint64_t seed) {
  auto s = std::make_unique<Tensor<float>>(D);
  SeededFloats(seed).fill(s->data, D, 1.0f);
  return s;
}

class AmengineTest : public ::testing::Test {
 public:
  void SetUp() override { style = style_vector(5); }
  std::unique_ptr<amengine> model() {
    auto m = std::make_unique<amengine>(Weights::get().data(), 1);
    m->setstyle(style.get());
    return m;
  }
  std::unique_ptr<Tensor<float>> style;
};

TEST_F(AmengineTest, ModeOneWithNeutralParamsReproducesTheSourcePitch) {
  Weights::varying();
  auto neutral = model(), untouched = model(), octave = model(), offset = model();
  for (int c = 0; c < 3; ++c) {
    float p_neutral[6] = {7, 0, 0, 0.1f, 5, 9};
    float p_untouched[6] = {7, 0, 0, 1e9f, 5, 9};  // threshold never passed: n = a everywhere
    float p_octave[6] = {7, 12, 0, 0.1f, 5, 9};
    float p_offset[6] = {7, 0, 52.504f, 0.1f, 5, 9};
    const Out a = run(*neutral, c, 1, p_neutral);
    const Out b = run(*untouched, c, 1, p_untouched);
    const Out o = run(*octave, c, 1, p_octave);
    const Out f = run(*offset, c, 1, p_offset);
    EXPECT_EQ(a.f0, b.f0);
    EXPECT_EQ(a.x, b.x);
    int voiced = 0;
    for (int t = 0; t < T; ++t) {
      if (a.f0[t] == 0.0f) {
        EXPECT_EQ(o.f0[t], 0.0f);
        continue;
      }
      ++voiced;
      // Twelve semitones double the normalised pitch; 52.504 adds 0.1 of it.
      EXPECT_NEAR(norm_of(o.f0[t]), 2 * norm_of(a.f0[t]), 1e-5) << t;
      EXPECT_NEAR(norm_of(f.f0[t]), norm_of(a.f0[t]) + 0.1, 1e-5) << t;
    }
    EXPECT_GT(voiced, 0);
    EXPECT_LT(voiced, T);
    const float keep[6] = {7, 0, 0, 0.1f, 5, 9};
    EXPECT_TRUE(std::equal(keep, keep + 6, p_neutral));  // mode 1 writes nothing back
  }
}

// Mode 2 against the two single paths: mode 0 shows the predicted (target) pitch and mode 1 with
// neutral params the source pitch of the same frames, so the statistics, the mapping written
// back and the mapped pitch can be rebuilt from them.
void check_mode_two(AmengineTest* self, float method, float limit, int chunks) {
  auto target = self->model(), src = self->model(), mapped = self->model();
  float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // expected statistics
  float p[6] = {method, 0, 0, 0.1f, limit, 0};
  bool froze = false;
  for (int c = 0; c < chunks; ++c) {
    float p_target[6] = {0, 0, 0, 0.1f, 0, 0}, p_src[6] = {0, 0, 0, 0.1f, 0, 0};
    const Out tgt = run(*target, c, 0, p_target);
    const Out sp = run(*src, c, 1, p_src);
    for (int t = 0; t < T; ++t) {
      if (tgt.f0[t] != 0.0f) s[3] += 1, s[4] += tgt.f0[t], s[5] += tgt.f0[t] * tgt.f0[t];
    }
    for (int t = 0; t < T; ++t) {
      if (sp.f0[t] != 0.0f) s[0] += 1, s[1] += sp.f0[t], s[2] += sp.f0[t] * sp.f0[t];
    }
    const bool refresh = s[0] > 0 && s[3] > 0 && s[3] <= limit;
    if (refresh) {
      const double ms = s[1] / s[0], mt = s[4] / s[3];
      if (method == 0) {
        const double sds = std::sqrt(std::max(0.0, s[2] / s[0] - ms * ms));
        const double sdt = std::sqrt(std::max(0.0, s[5] / s[3] - mt * mt));
        s[6] = static_cast<float>(sdt / (sds + 1e-5));
        s[7] = static_cast<float>((mt - kFloor) / kScale - s[6] * (ms - kFloor) / kScale);
      } else {
        s[6] = static_cast<float>(mt / (ms + 1e-5));
        s[7] = static_cast<float>((s[6] - 1.0) * kFloor / kScale);
      }
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
    if (refresh) {
      EXPECT_NEAR(p[1], 12 * std::log2(st[6]), 1e-4) << "chunk " << c;
      EXPECT_NEAR(p[2], st[7] * 525.04, 1e-3) << "chunk " << c;
    } else {
      EXPECT_EQ(p[1], before[0]) << "chunk " << c;
      EXPECT_EQ(p[2], before[1]) << "chunk " << c;
    }
    for (int t = 0; t < T; ++t) {
      if (sp.f0[t] == 0.0f) {
        EXPECT_EQ(m.f0[t], 0.0f);  // unvoiced frames: exactly +0, as the source voices them
        EXPECT_FALSE(std::signbit(m.f0[t]));
      } else {
        EXPECT_NEAR(m.f0[t], hz(static_cast<float>(st[6] * norm_of(sp.f0[t]) + st[7])), 2e-2)
            << "chunk " << c << " frame " << t;
      }
    }
  }
  EXPECT_EQ(froze, limit < 1e6f);
  EXPECT_GT(s[0], 0);  // both paths voice some frames and leave others unvoiced
  EXPECT_LT(s[0], chunks * T);
  EXPECT_GT(s[3], 0);
  EXPECT_LT(s[3], chunks * T);
}

TEST_F(AmengineTest, ModeTwoLearnsAndWritesBackTheMapping) {
  Weights::varying();
  check_mode_two(this, 0.0f, 1e9f, 3);
}

TEST_F(AmengineTest, ModeTwoMeanRatioFreezesAfterTheFrameLimit) {
  Weights::varying();
  check_mode_two(this, 1.0f, 30.0f, 5);
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
    const float mean = s1 / n;
    return s2 / n - mean * mean < 0.0f;
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

  const float* st = m->pitch_stats();
  ASSERT_EQ(st[0], T);
  ASSERT_EQ(st[3], T);
  EXPECT_LT(st[2] / st[0] - (st[1] / st[0]) * (st[1] / st[0]), 0.0f);  // the case is hit
  EXPECT_LT(st[5] / st[3] - (st[4] / st[3]) * (st[4] / st[3]), 0.0f);
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(std::isfinite(st[i])) << i;
  for (float v : p) EXPECT_TRUE(std::isfinite(v));
  // No spread either side: ratio 0, so the semitones stay and every frame takes the target mean.
  EXPECT_EQ(st[6], 0.0f);
  EXPECT_EQ(p[1], 3.0f);
  EXPECT_NE(p[2], 4.0f);
  const float target_hz = st[4] / st[3];
  for (int t = 0; t < T; ++t) EXPECT_NEAR(o.f0[t], target_hz, 1e-2) << t;
  for (float v : o.x) ASSERT_TRUE(std::isfinite(v));
  Weights::varying();
}

TEST_F(AmengineTest, ResetKeepsTheStyleAndMatchesAFreshModel) {
  Weights::varying();
  auto used = model(), fresh = model();
  const int modes[] = {2, 0, 1, 2};
  for (int c = 0; c < 4; ++c) {
    float p[6] = {0, 0, 0, 0.1f, 2000, 0};
    run(*used, c + 10, modes[c], p);
  }
  used->reset();
  EXPECT_EQ(used->frame_count(), 0);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(used->pitch_stats()[i], 0.0f);
  float p_used[6] = {0, 0, 0, 0.1f, 2000, 0}, p_fresh[6] = {0, 0, 0, 0.1f, 2000, 0};
  for (int c = 0; c < 4; ++c) {
    const Out a = run(*used, c, modes[c], p_used);
    const Out b = run(*fresh, c, modes[c], p_fresh);
    EXPECT_EQ(a.x, b.x) << "chunk " << c;
    EXPECT_EQ(a.f0, b.f0) << "chunk " << c;
  }
  EXPECT_TRUE(std::equal(p_used, p_used + 6, p_fresh));

  // The style does shape the output, so keeping it is what made the two agree.
  auto other = std::make_unique<amengine>(Weights::get().data(), 1);
  auto style2 = style_vector(6);
  other->setstyle(style2.get());
  float p_other[6] = {0, 0, 0, 0.1f, 2000, 0};
  EXPECT_NE(run(*other, 0, 2, p_other).x, run(*model(), 0, 2, p_fresh).x);
}

// The integer form applies the fixed mapping n' = 0.6781 n + 0.1716 to the source pitch; in mode
// 2 the mapped pitch joins the source statistics as well (two entries a voiced frame).
TEST_F(AmengineTest, FixedParameterForm) {
  Weights::varying();
  auto fixed = model(), src = model(), fixed2 = model();
  float voiced = 0;
  for (int c = 0; c < 2; ++c) {
    float p_src[6] = {0, 0, 0, 0.1f, 0, 0};
    const Out s = run(*src, c, 1, p_src);
    Chunk ch(c), ch2(c);
    Tensor<float>* x = ch.x.get();
    Tensor<float>* y = ch.y.get();
    Tensor<float>* f0 = nullptr;
    ASSERT_TRUE(fixed->forward(x, y, f0, 1, 0));
    for (int t = 0; t < T; ++t) {
      voiced += s.f0[t] != 0.0f;
      if (s.f0[t] == 0.0f) {
        EXPECT_EQ(f0->data[t], 0.0f);
      } else {
        EXPECT_NEAR(norm_of(f0->data[t]), 0.6781 * norm_of(s.f0[t]) + 0.1716, 1e-5);
      }
    }
    x = ch2.x.get();
    y = ch2.y.get();
    ASSERT_TRUE(fixed2->forward(x, y, f0, 2, 123));
  }
  EXPECT_EQ(fixed2->pitch_stats()[0], 2 * voiced);
}

TEST_F(AmengineTest, ConsumesTheWholeStreamAndRejectsChunksItCannotTake) {
  EXPECT_EQ(amengine::stream_floats(), 20792704);
  EXPECT_EQ(kTotal, amengine::stream_floats());
  Weights::varying();
  auto m = model();
  EXPECT_EQ(m->get_memsize(), amengine::stream_floats());
  float p[6] = {0, 0, 0, 0.1f, 2000, 0};
  Chunk c(0);
  Tensor<float>* x = c.x.get();
  Tensor<float>* y = c.y.get();
  Tensor<float>* f0 = nullptr;
  Tensor<float> big(17, amengine::kContentWidth);
  Tensor<float>* xb = &big;
  EXPECT_FALSE(m->forward(xb, y, f0, 0, p));
  Tensor<float>* none = nullptr;
  EXPECT_FALSE(m->forward(x, none, f0, 1, p));
  EXPECT_FALSE(m->forward(x, y, f0, 2, nullptr));
  Tensor<float> short_y(T - 1, amengine::kAuxWidth);
  Tensor<float>* ys = &short_y;
  EXPECT_FALSE(m->forward(x, ys, f0, 2, p));
  Tensor<float> narrow(T, 512);
  Tensor<float>* xn = &narrow;
  EXPECT_FALSE(m->forward(xn, y, f0, 0, p));
  EXPECT_EQ(f0, nullptr);
  EXPECT_EQ(m->frame_count(), 0);
  // Mode 0 never reads y.
  EXPECT_TRUE(m->forward(x, none, f0, 0, p));
}

TEST_F(AmengineTest, ForwardResetAndStyleAllocateNothing) {
  Weights::varying();
  auto m = model();
  std::vector<Chunk> chunks;
  for (int c = 0; c < 5; ++c) chunks.emplace_back(c);
  float p[6] = {0, 0, 0, 0.1f, 2000, 0};
  Tensor<float>* f0 = nullptr;
  mvsdk::test::AllocationGuard guard;
  for (int c = 0; c < 5; ++c) {
    Tensor<float>* x = chunks[c].x.get();
    Tensor<float>* y = chunks[c].y.get();
    if (c < 3) {
      ASSERT_TRUE(m->forward(x, y, f0, c, p));
    } else {
      ASSERT_TRUE(m->forward(x, y, f0, c - 2, 0));
    }
  }
  m->reset();
  m->setstyle(style.get());
  EXPECT_EQ(guard.count(), 0u);
}

}  // namespace
