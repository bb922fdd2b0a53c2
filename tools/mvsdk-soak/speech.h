#pragma once
// A speech-like test signal: a glottal pulse train with a moving pitch, shaped by two formant
// resonators whose frequencies change every syllable, under a syllable envelope with pauses
// between phrases, fricative noise at some syllable onsets and a low noise floor. Not speech,
// but it has what the engine's front end reacts to: voiced and unvoiced stretches, a pitch
// contour, changing spectra and silences. Deterministic for a seed.
//
// Threads: one owner. Allocates nothing after construction.
#include <cstdint>
#include <span>

#include "common/rng.h"

namespace mvsdk::soak {

class SpeechSource {
 public:
  SpeechSource(std::int64_t rate_hz, std::uint64_t seed);
  // The next out.size() samples, full scale +-1 (peaks stay below 0.9).
  void generate(std::span<float> out);

 private:
  struct Resonator {
    float a1 = 0.0f, a2 = 0.0f, gain = 0.0f;
    float y1 = 0.0f, y2 = 0.0f;
    void tune(double freq_hz, double bandwidth_hz, double rate_hz);
    float step(float x);
  };
  void next_syllable();

  double rate_hz_;
  models::Rng rng_;
  double t_s_ = 0.0;            // time since the start, s
  double phase_ = 0.0;          // glottal cycle phase, 0..1
  double f0_base_hz_ = 120.0;   // the speaker's mean pitch; changes at every phrase
  std::int64_t syllable_left_ = 0;   // samples left in the current syllable or pause
  std::int64_t syllable_len_ = 1;
  bool pause_ = true;
  bool fricative_ = false;
  int syllables_to_pause_ = 0;
  Resonator f1_, f2_;
  float noise_hp_ = 0.0f;       // last noise sample, for a first-difference high-pass
};

}  // namespace mvsdk::soak
