#include "speech.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace mvsdk::soak {

void SpeechSource::Resonator::tune(double freq_hz, double bandwidth_hz, double rate_hz) {
  // Two-pole resonator: poles at radius r = exp(-pi B / fs), angle 2 pi F / fs; the gain keeps
  // the peak response near 1.
  const double r = std::exp(-std::numbers::pi * bandwidth_hz / rate_hz);
  const double w = 2.0 * std::numbers::pi * freq_hz / rate_hz;
  a1 = static_cast<float>(2.0 * r * std::cos(w));
  a2 = static_cast<float>(-r * r);
  gain = static_cast<float>((1.0 - r) * std::sqrt(1.0 - 2.0 * r * std::cos(2.0 * w) + r * r));
}

float SpeechSource::Resonator::step(float x) {
  const float y = gain * x + a1 * y1 + a2 * y2;
  y2 = y1;
  y1 = y;
  return y;
}

SpeechSource::SpeechSource(std::int64_t rate_hz, std::uint64_t seed)
    : rate_hz_(static_cast<double>(rate_hz)), rng_(seed) {
  next_syllable();
}

void SpeechSource::next_syllable() {
  if (syllables_to_pause_ <= 0 && !pause_) {
    // A pause of 0.2-0.6 s between phrases; the next phrase may be another speaker's pitch.
    pause_ = true;
    syllable_len_ = static_cast<std::int64_t>(rate_hz_ * (0.2 + 0.4 * rng_.unit()));
    f0_base_hz_ = rng_.unit() < 0.5f ? 95.0 + 40.0 * rng_.unit() : 180.0 + 60.0 * rng_.unit();
  } else {
    if (pause_) syllables_to_pause_ = 3 + static_cast<int>(rng_.unit() * 8.0f);
    pause_ = false;
    --syllables_to_pause_;
    // Syllables of 120-320 ms with the first two formants of a random vowel.
    syllable_len_ = static_cast<std::int64_t>(rate_hz_ * (0.12 + 0.2 * rng_.unit()));
    fricative_ = rng_.unit() < 0.3f;
    f1_.tune(300.0 + 500.0 * rng_.unit(), 80.0, rate_hz_);
    f2_.tune(900.0 + 1400.0 * rng_.unit(), 120.0, rate_hz_);
  }
  syllable_left_ = std::max<std::int64_t>(1, syllable_len_);
}

void SpeechSource::generate(std::span<float> out) {
  const double dt = 1.0 / rate_hz_;
  for (float& sample : out) {
    if (syllable_left_ <= 0) next_syllable();
    const double pos = 1.0 - static_cast<double>(syllable_left_) / static_cast<double>(syllable_len_);
    --syllable_left_;
    t_s_ += dt;

    // Pitch: the phrase's base, a slow declination-like wobble and a little jitter.
    const double f0 = f0_base_hz_ * (1.0 + 0.08 * std::sin(2.0 * std::numbers::pi * 0.7 * t_s_)) *
                      (1.0 + 0.01 * rng_.uniform(1.0f));
    phase_ += f0 * dt;
    if (phase_ >= 1.0) phase_ -= 1.0;
    // Glottal pulse: open phase of 40% of the cycle, a raised sine, without its mean.
    const double open = phase_ < 0.4 ? std::sin(std::numbers::pi * phase_ / 0.4) : 0.0;
    const float excitation = static_cast<float>(open * open - 0.2);

    const float noise = rng_.uniform(1.0f);
    const float hp = noise - noise_hp_;
    noise_hp_ = noise;

    float s = 0.0f;
    if (!pause_) {
      // Raised-cosine syllable envelope; a fricative occupies the first fifth.
      const float env = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * pos));
      const bool in_fricative = fricative_ && pos < 0.2;
      const float voiced = f1_.step(excitation) * 0.6f + f2_.step(excitation) * 0.3f;
      s = in_fricative ? 0.08f * hp : env * voiced * 1.2f;
    } else {
      f1_.step(0.0f);
      f2_.step(0.0f);
    }
    s += 0.001f * noise;  // noise floor, about -60 dB
    sample = std::clamp(s, -0.89f, 0.89f);
  }
}

}  // namespace mvsdk::soak
