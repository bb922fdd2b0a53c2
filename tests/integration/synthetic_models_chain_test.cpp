// The whole engine chain on the synthetic model files of mvsdk-models: a few seconds of a
// speech-like signal through each conversion mode must give finite activations, voiced frames at
// speech-like pitches, and audible output that never reaches full scale.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <optional>
#include <vector>

#include "bridge/style_data.h"
#include "engine/driver/engine.h"
#include "engine/driver/model_file.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "support/models_tool.h"

namespace {

using mvsdk::engine::ChunkStage;

constexpr int kInRate = 16000;
constexpr int kOutRate = 24000;
constexpr double kSeconds = 2.0;

// Vowel-like test speech at 16 kHz: a harmonic source with a moving pitch (100..160 Hz) shaped by
// three formants that change every syllable, syllables of 250 ms with short gaps, a pause in the
// middle and a little noise; peak about -6 dBFS.
std::vector<std::int16_t> speech_like(double seconds) {
  const int n = static_cast<int>(seconds * kInRate);
  std::vector<double> x(static_cast<std::size_t>(n));
  const double formants[4][3] = {{700, 1200, 2500}, {300, 2200, 3000}, {500, 900, 2400}, {400, 1900, 2600}};
  double phase = 0.0;
  std::uint32_t noise = 12345;
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kInRate;
    const double f0 = 130.0 + 25.0 * std::sin(2.0 * std::numbers::pi * 0.8 * t) + 8.0 * std::sin(2.0 * std::numbers::pi * 5.0 * t);
    phase += f0 / kInRate;
    const int syllable = static_cast<int>(t / 0.25);
    const double in_syl = t / 0.25 - syllable;
    double env = in_syl < 0.8 ? std::sin(std::numbers::pi * in_syl / 0.8) : 0.0;
    if (t > 1.4 && t < 1.7) env = 0.0;  // a pause
    const double* fm = formants[syllable % 4];
    double s = 0.0;
    for (int k = 1; k * f0 < 4000.0; ++k) {
      const double f = k * f0;
      double a = 0.0;
      for (int j = 0; j < 3; ++j) a += std::exp(-0.5 * std::pow((f - fm[j]) / 120.0, 2)) / (j + 1);
      s += (a + 0.05) / k * std::sin(2.0 * std::numbers::pi * k * phase);
    }
    noise = noise * 1664525u + 1013904223u;
    const double w = (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 0.01;
    x[static_cast<std::size_t>(i)] = env * s + w;
  }
  double peak = 0.0;
  for (double v : x) peak = std::max(peak, std::fabs(v));
  std::vector<std::int16_t> pcm(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) pcm[i] = static_cast<std::int16_t>(std::lround(x[i] / peak * 16384.0));
  return pcm;
}

struct Observed {
  bool finite = true;
  float content_max = 0.0f;   // largest |value| of the content encoder's output
  float acoustic_max = 0.0f;  // largest |value| of the acoustic features
  std::vector<float> pitch;    // Hz per frame, 0 unvoiced
  std::vector<float> vocoder;  // the vocoder's samples before start-up silencing
};

void observe(void* user, ChunkStage stage, const float* data, int rows, int cols) {
  auto* o = static_cast<Observed*>(user);
  const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(data[i])) o->finite = false;
  }
  float m = 0.0f;
  for (std::size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(data[i]));
  if (stage == ChunkStage::kContent) o->content_max = std::max(o->content_max, m);
  if (stage == ChunkStage::kAcoustic) o->acoustic_max = std::max(o->acoustic_max, m);
  if (stage == ChunkStage::kPitch) o->pitch.insert(o->pitch.end(), data, data + n);
  if (stage == ChunkStage::kVocoder) o->vocoder.insert(o->vocoder.end(), data, data + n);
}

struct Level {
  double rms_dbfs;
  double peak;
};

template <typename T>
Level level(const std::vector<T>& v, std::size_t from) {
  double sum = 0.0, peak = 0.0;
  for (std::size_t i = from; i < v.size(); ++i) {
    const double s = static_cast<double>(v[i]);
    sum += s * s;
    peak = std::max(peak, std::fabs(s));
  }
  const double rms = std::sqrt(sum / static_cast<double>(std::max<std::size_t>(1, v.size() - from)));
  return {20.0 * std::log10(std::max(rms, 1e-9) / 32768.0), peak};
}

// Share of the energy of 24 kHz audio that is not a fixed 4-sample pattern. The vocoder's inverse
// transform hops 4 samples per spectral frame, so spectral frames that hardly change give a
// steady 6 kHz pattern instead of sound that follows the features.
double varying_share(const std::vector<float>& v) {
  double pattern[4] = {0, 0, 0, 0};
  for (std::size_t i = 0; i < v.size(); ++i) pattern[i % 4] += v[i];
  for (double& p : pattern) p /= static_cast<double>(std::max<std::size_t>(1, v.size() / 4));
  double total = 0.0, varying = 0.0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const double d = v[i] - pattern[i % 4];
    total += static_cast<double>(v[i]) * v[i];
    varying += d * d;
  }
  return total > 0.0 ? varying / total : 0.0;
}

class SyntheticChain : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = mvsdk::test::synthetic_model_folder();
    ASSERT_FALSE(dir_.empty()) << "mvsdk-models failed";
    ASSERT_TRUE(am_.open((dir_ / "am.bin").string(), static_cast<std::size_t>(mvsdk::engine::amengine::stream_floats())))
        << am_.error();
    ASSERT_TRUE(bn_.open((dir_ / "bn.bin").string(), static_cast<std::size_t>(mvsdk::engine::bnengine::weight_floats())))
        << bn_.error();
    ASSERT_TRUE(voc_.open((dir_ / "voc.bin").string(), static_cast<std::size_t>(mvsdk::engine::vocengine::weight_floats())))
        << voc_.error();
  }

  std::filesystem::path dir_;
  mvsdk::engine::ModelFile am_, bn_, voc_;
};

TEST_F(SyntheticChain, EveryModeGivesAudibleUnclippedOutputAtSpeechPitches) {
  const auto input = speech_like(kSeconds);
  mvsdk::engine::engine eng(am_.floats(), bn_.floats(), voc_.floats(), kInRate, kOutRate);
  ASSERT_TRUE(eng.ok());
  const auto style = mvsdk::bridge::decode_style_data((dir_ / "voice-1.txt").string());
  ASSERT_TRUE(style.has_value());
  ASSERT_GE(style->size(), 192u);
  eng.setstyle(style->data());

  for (int mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    eng.reset();
    Observed obs;
    eng.set_observer(observe, &obs);
    float params[6] = {0.0f, 0.0f, 0.0f, 0.1f, 2000.0f, 0.0f};
    std::vector<std::int16_t> out;
    std::vector<std::int16_t> block(kOutRate / 100);
    for (std::size_t pos = 0; pos + kInRate / 100 <= input.size(); pos += kInRate / 100) {
      eng.Inpush(input.data() + pos, kInRate / 100, 1, mode, params);
      eng.Outpop(block.data(), static_cast<int>(block.size()));
      out.insert(out.end(), block.begin(), block.end());
    }
    eng.set_observer(nullptr, nullptr);

    EXPECT_TRUE(obs.finite) << "a stage produced a non-finite value";
    ASSERT_FALSE(obs.pitch.empty());
    std::vector<float> voiced;
    for (float hz : obs.pitch) {
      if (hz > 0.0f) voiced.push_back(hz);
    }
    std::sort(voiced.begin(), voiced.end());
    const std::size_t in_range = static_cast<std::size_t>(std::count_if(
        voiced.begin(), voiced.end(), [](float hz) { return hz >= 80.0f && hz <= 400.0f; }));
    const double voiced_share = static_cast<double>(voiced.size()) / static_cast<double>(obs.pitch.size());
    const Level voc = level(obs.vocoder, 0);
    const Level pcm = level(out, static_cast<std::size_t>(kOutRate / 2));  // output starts after ~0.2 s
    const double varying = varying_share(obs.vocoder);
    std::printf("mode %d: %zu frames, %.0f%% voiced, pitch %.0f / %.0f / %.0f Hz (min/median/max), "
                "%.0f%% of voiced in 80..400 Hz; max |content| %.2f, max |acoustic| %.2f; vocoder "
                "%.1f dBFS rms, peak %.0f, %.0f%% varying; output %.1f dBFS rms, peak %.0f\n",
                mode, obs.pitch.size(), 100.0 * voiced_share, voiced.empty() ? 0.0 : voiced.front(),
                voiced.empty() ? 0.0 : voiced[voiced.size() / 2], voiced.empty() ? 0.0 : voiced.back(),
                voiced.empty() ? 0.0 : 100.0 * static_cast<double>(in_range) / static_cast<double>(voiced.size()),
                obs.content_max, obs.acoustic_max, voc.rms_dbfs, voc.peak, 100.0 * varying, pcm.rms_dbfs,
                pcm.peak);

    EXPECT_LT(obs.content_max, 50.0f);
    EXPECT_LT(obs.acoustic_max, 50.0f);
    EXPECT_GT(varying, 0.5);

    EXPECT_GE(voiced_share, 0.5);
    ASSERT_FALSE(voiced.empty());
    EXPECT_GE(static_cast<double>(in_range), 0.9 * static_cast<double>(voiced.size()));
    const float median = voiced[voiced.size() / 2];
    EXPECT_GE(median, 80.0f);
    EXPECT_LE(median, 400.0f);
    // Audible but well below full scale, with peaks short of it: nothing clips.
    for (const Level& l : {voc, pcm}) {
      EXPECT_GT(l.rms_dbfs, -35.0);
      EXPECT_LT(l.rms_dbfs, -8.0);
      EXPECT_LT(l.peak, 32000.0);
    }
  }
}

}  // namespace
