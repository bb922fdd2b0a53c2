#include "engine/features/input_conditioner.h"

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

namespace mvsdk::engine {

namespace {

constexpr float kFullScale = 32767.0f;

float db_to_factor(float db) { return std::pow(10.0f, db / 20.0f); }

std::size_t ms_to_samples(int rate_hz, float ms) {
  return static_cast<std::size_t>(std::lround(static_cast<double>(rate_hz) * ms / 1000.0));
}

// std::clamp that also takes NaN to lo.
float clamp_finite(float v, float lo, float hi) { return std::isnan(v) ? lo : std::clamp(v, lo, hi); }

std::int16_t to_s16(float v) {
  const long r = std::lrint(v);
  return static_cast<std::int16_t>(std::clamp<long>(r, -32768, 32767));
}

}  // namespace

float soft_limit(float x) {
  const float a = std::fabs(x);
  if (!(a > kLimiterKnee)) return std::isnan(x) ? 0.0f : x;
  constexpr float kRoom = kFullScale - kLimiterKnee;
  const float y = kLimiterKnee + kRoom * std::tanh((a - kLimiterKnee) / kRoom);
  return std::copysign(std::min(y, kFullScale), x);
}

InputConditioner::InputConditioner() = default;

InputConditioner::~InputConditioner() {
  if (speex_) speex_preprocess_state_destroy(speex_);
}

bool InputConditioner::prepare(int rate_hz) {
  if (ready() && rate_hz == rate_hz_) {
    reset();
    return true;
  }
  if (speex_) speex_preprocess_state_destroy(speex_);
  speex_ = nullptr;
  frame_samples_ = 0;
  rate_hz_ = rate_hz;
  // 5 ms; at 44.1 kHz 220 samples (4.99 ms).
  const auto n = static_cast<std::size_t>(std::max(1, rate_hz * kFrameMs / 1000));
  filling_.reset(new (std::nothrow) std::int16_t[n]);
  leaving_.reset(new (std::nothrow) std::int16_t[n]);
  if (rate_hz < 1 || !filling_ || !leaving_) return false;
  speex_ = speex_preprocess_state_init(static_cast<int>(n), rate_hz);
  if (!speex_) return false;
  int on = 1, off = 0;
  speex_preprocess_ctl(speex_, SPEEX_PREPROCESS_SET_DENOISE, &on);
  speex_preprocess_ctl(speex_, SPEEX_PREPROCESS_SET_AGC, &off);
  speex_preprocess_ctl(speex_, SPEEX_PREPROCESS_SET_DEREVERB, &off);
  denoise_db_applied_ = 0;
  frame_samples_ = n;
  // Settings already picked up were turned into sample counts for another rate (or none).
  denoise_on_ = false;
  denoise_ = Denoise::kOff;
  gate_on_ = false;
  gate_active_ = false;
  gain_on_ = false;
  pick_up_settings(true);
  reset();
  return true;
}

void InputConditioner::reset() {
  if (!ready()) return;
  // The new stream starts in the newest settings, not in a fade from the old stream's.
  pick_up_settings();
  std::memset(filling_.get(), 0, frame_samples_ * sizeof(std::int16_t));
  std::memset(leaving_.get(), 0, frame_samples_ * sizeof(std::int16_t));
  pos_ = 0;
  denoise_count_ = 0;
  denoise_ = denoise_on_ ? Denoise::kOn : Denoise::kOff;
  // The preprocessor still holds the end of the old stream: what it gives for the first two
  // frames is not the new stream's.
  mute_left_ = denoise_on_ ? 2 * frame_samples_ : 0;
  gain_ = gain_target_;
  gain_ramp_left_ = 0;
  gain_active_ = gain_on_;
  gate_gain_ = gate_on_ ? 0.0f : 1.0f;
  gate_hold_left_ = 0;
  gate_active_ = gate_on_;
}

void InputConditioner::publish(const ConditionerSettings& s) {
  // Writers are rare (configuration changes) and may come from several threads: one at a time.
  while (writing_.test_and_set(std::memory_order_acquire)) {
  }
  const std::uint32_t seq = seq_.load(std::memory_order_relaxed);
  seq_.store(seq + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  p_gain_.store(s.gain, std::memory_order_relaxed);
  p_gain_db_.store(s.gain_db, std::memory_order_relaxed);
  p_denoise_.store(s.denoise, std::memory_order_relaxed);
  p_denoise_db_.store(s.denoise_db, std::memory_order_relaxed);
  p_gate_.store(s.gate, std::memory_order_relaxed);
  p_gate_dbfs_.store(s.gate_threshold_dbfs, std::memory_order_relaxed);
  p_attack_ms_.store(s.gate_attack_ms, std::memory_order_relaxed);
  p_hold_ms_.store(s.gate_hold_ms, std::memory_order_relaxed);
  p_release_ms_.store(s.gate_release_ms, std::memory_order_relaxed);
  seq_.store(seq + 2, std::memory_order_release);
  writing_.clear(std::memory_order_release);
}

ConditionerSettings InputConditioner::published() const {
  ConditionerSettings s;
  s.gain = p_gain_.load(std::memory_order_relaxed);
  s.gain_db = p_gain_db_.load(std::memory_order_relaxed);
  s.denoise = p_denoise_.load(std::memory_order_relaxed);
  s.denoise_db = p_denoise_db_.load(std::memory_order_relaxed);
  s.gate = p_gate_.load(std::memory_order_relaxed);
  s.gate_threshold_dbfs = p_gate_dbfs_.load(std::memory_order_relaxed);
  s.gate_attack_ms = p_attack_ms_.load(std::memory_order_relaxed);
  s.gate_hold_ms = p_hold_ms_.load(std::memory_order_relaxed);
  s.gate_release_ms = p_release_ms_.load(std::memory_order_relaxed);
  return s;
}

void InputConditioner::pick_up_settings(bool force) {
  std::uint32_t seq = seq_.load(std::memory_order_acquire);
  if (force) {
    while ((seq & 1u) != 0) seq = seq_.load(std::memory_order_acquire);  // off the audio path
  } else if (seq == seen_seq_ || (seq & 1u) != 0) {
    return;  // unchanged, or a publish in progress
  }
  const ConditionerSettings s = published();
  std::atomic_thread_fence(std::memory_order_acquire);
  if (seq_.load(std::memory_order_relaxed) != seq) {
    if (force) pick_up_settings(true);
    return;  // torn: next call
  }
  seen_seq_ = seq;
  apply(s);
}

void InputConditioner::apply(const ConditionerSettings& raw) {
  using S = ConditionerSettings;
  const int rate = rate_hz_;

  // Gain: ramps from wherever it is to the new factor.
  const float target = raw.gain ? db_to_factor(clamp_finite(raw.gain_db, S::kMinGainDb, S::kMaxGainDb)) : 1.0f;
  if (target != gain_target_ || raw.gain != gain_on_) {
    gain_target_ = target;
    gain_ramp_left_ = std::max<std::size_t>(1, ms_to_samples(rate, static_cast<float>(kRampMs)));
    gain_step_ = (gain_target_ - gain_) / static_cast<float>(gain_ramp_left_);
    gain_on_ = raw.gain;
    gain_active_ = true;
  }

  // Suppression.
  const int db = static_cast<int>(std::lround(clamp_finite(raw.denoise_db, S::kMinDenoiseDb, S::kMaxDenoiseDb)));
  if (db != denoise_db_applied_) {
    int level = -db;
    speex_preprocess_ctl(speex_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &level);
    denoise_db_applied_ = db;
  }
  const std::size_t fade = std::max<std::size_t>(1, ms_to_samples(rate, static_cast<float>(kFadeMs)));
  if (raw.denoise && !denoise_on_) {
    if (denoise_ == Denoise::kFadingOut) {
      denoise_ = Denoise::kFadingIn;  // back from the same mix
      denoise_count_ = fade - std::min(fade, denoise_count_);
    } else {
      denoise_ = Denoise::kFilling;
      denoise_count_ = 0;
    }
  } else if (!raw.denoise && denoise_on_) {
    if (denoise_ == Denoise::kFilling) {
      denoise_ = Denoise::kOff;
    } else if (denoise_ == Denoise::kFadingIn) {
      denoise_ = Denoise::kFadingOut;
      denoise_count_ = fade - std::min(fade, denoise_count_);
    } else if (denoise_ == Denoise::kOn) {
      denoise_ = Denoise::kFadingOut;
      denoise_count_ = 0;
    }
  }
  denoise_on_ = raw.denoise;

  // Gate.
  gate_threshold_ = 32768.0f * db_to_factor(clamp_finite(raw.gate_threshold_dbfs, S::kMinGateDbfs, S::kMaxGateDbfs));
  const std::size_t attack = ms_to_samples(rate, clamp_finite(raw.gate_attack_ms, 0.0f, S::kMaxGateAttackMs));
  const std::size_t release =
      std::max<std::size_t>(1, ms_to_samples(rate, clamp_finite(raw.gate_release_ms, S::kMinGateReleaseMs, S::kMaxGateTimeMs)));
  gate_attack_step_ = attack == 0 ? 1.0f : 1.0f / static_cast<float>(attack);
  gate_release_step_ = 1.0f / static_cast<float>(release);
  gate_hold_samples_ = ms_to_samples(rate, clamp_finite(raw.gate_hold_ms, 0.0f, S::kMaxGateTimeMs));
  if (raw.gate && !gate_on_) {
    // Switched on while audio flows: starts open, so nothing is cut before it has listened.
    gate_hold_left_ = gate_hold_samples_;
    if (!gate_active_) gate_gain_ = 1.0f;
  }
  gate_on_ = raw.gate;
  gate_active_ = gate_active_ || gate_on_;
}

void InputConditioner::process(std::int16_t* samples, std::size_t n) {
  if (!ready() || samples == nullptr || n == 0) return;
  pick_up_settings();
  if (gain_active_) gain_stage(samples, n);
  if (denoise_ != Denoise::kOff) denoise_stage(samples, n);
  if (gate_active_) gate_stage(samples, n);
}

bool InputConditioner::idle() {
  if (!ready()) return true;
  pick_up_settings();
  return !gain_active_ && denoise_ == Denoise::kOff && !gate_active_;
}

void InputConditioner::gain_stage(std::int16_t* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (gain_ramp_left_ != 0) {
      gain_ += gain_step_;
      if (--gain_ramp_left_ == 0) gain_ = gain_target_;
    } else if (!gain_on_) {
      gain_active_ = false;  // back at unity, limiter off: the rest passes untouched
      return;
    }
    x[i] = to_s16(soft_limit(static_cast<float>(x[i]) * gain_));
  }
}

std::int16_t InputConditioner::delay_line(std::int16_t x) {
  const std::int16_t out = leaving_[pos_];
  filling_[pos_] = x;
  if (++pos_ == frame_samples_) {
    // In place; gives the previous frame's audio, suppressed (its overlap-add runs a frame late).
    speex_preprocess_run(speex_, filling_.get());
    std::swap(filling_, leaving_);
    pos_ = 0;
  }
  return out;
}

void InputConditioner::denoise_stage(std::int16_t* x, std::size_t n) {
  const std::size_t delay = 2 * frame_samples_;
  const std::size_t fade = std::max<std::size_t>(1, ms_to_samples(rate_hz_, static_cast<float>(kFadeMs)));
  for (std::size_t i = 0; i < n && denoise_ != Denoise::kOff; ++i) {
    const std::int16_t direct = x[i];
    std::int16_t delayed = delay_line(direct);
    if (mute_left_ != 0) {
      delayed = 0;
      --mute_left_;
    }
    switch (denoise_) {
      case Denoise::kFilling:
        // The delay line does not yet hold this stream's audio: the direct signal goes on.
        if (++denoise_count_ >= delay) {
          denoise_ = Denoise::kFadingIn;
          denoise_count_ = 0;
        }
        break;
      case Denoise::kFadingIn:
      case Denoise::kFadingOut: {
        float w = (static_cast<float>(denoise_count_) + 0.5f) / static_cast<float>(fade);  // share of the new path
        if (denoise_ == Denoise::kFadingOut) w = 1.0f - w;                                 // share of suppressed
        x[i] = to_s16(static_cast<float>(direct) * (1.0f - w) + static_cast<float>(delayed) * w);
        if (++denoise_count_ >= fade) {
          denoise_ = denoise_ == Denoise::kFadingIn ? Denoise::kOn : Denoise::kOff;
          denoise_count_ = 0;
        }
        break;
      }
      case Denoise::kOn:
        x[i] = delayed;
        break;
      case Denoise::kOff:
        break;
    }
  }
}

void InputConditioner::gate_stage(std::int16_t* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    bool open = true;
    if (gate_on_) {
      if (std::abs(static_cast<int>(x[i])) >= gate_threshold_) {
        gate_hold_left_ = gate_hold_samples_;
      } else if (gate_hold_left_ != 0) {
        --gate_hold_left_;
      } else {
        open = false;
      }
    } else if (gate_gain_ >= 1.0f) {
      gate_active_ = false;  // switched off and fully open: the rest passes untouched
      return;
    }
    gate_gain_ = open ? std::min(1.0f, gate_gain_ + gate_attack_step_) : std::max(0.0f, gate_gain_ - gate_release_step_);
    if (gate_gain_ <= 0.0f) {
      x[i] = 0;
    } else if (gate_gain_ < 1.0f) {
      x[i] = to_s16(static_cast<float>(x[i]) * gate_gain_);
    }
  }
}

std::size_t InputConditioner::latency_samples() const {
  return denoise_on_ && ready() ? 2 * frame_samples_ : 0;
}

}  // namespace mvsdk::engine
