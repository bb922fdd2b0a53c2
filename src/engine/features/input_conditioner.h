#pragma once
// InputConditioner: prepares the speaker's 16-bit mono audio before it reaches the engine, in
// three optional stages applied in this order:
//   1. input gain (dB) with a soft limiter, so that a raised signal bends towards full scale
//      instead of wrapping around on 16 bits;
//   2. noise suppression: speexdsp's preprocessor (its denoiser only; AGC, VAD and dereverb off)
//      with a ceiling on how far it lowers the noise (dB);
//   3. a noise gate: below a threshold (dBFS, against the sample peak) the output becomes exact
//      silence, with attack, hold and release so that syllable ends are not chopped.
// The gate measures what the engine will receive, after gain and suppression.
//
// Latency. Stages 1 and 3 add none. The preprocessor works on fixed frames of kFrameMs and its
// overlap-add gives out each frame one frame late; with the frame gathered first, suppression
// delays the audio by exactly two frames: latency_samples() = 2 * rate / 200, 10 ms (one 10 ms
// block of the kit). With suppression off nothing is delayed, and with every stage off process()
// returns at once and leaves the samples as they are.
//
// Changes while running. publish() may be called from any thread at any time; process() picks
// the settings up at its next call, without a click: the gain moves to its new value over
// kRampMs; a gate switched on starts open and closes through its release; suppression switched
// on passes the direct signal until its delay line holds audio, then cross-fades to the
// suppressed, delayed signal over kFadeMs (and back the same way when switched off).
//
// Threads and memory. prepare() allocates (the preprocessor and two frames); reset() and process()
// never allocate, lock or log, and must be called by one thread at a time (the caller serialises
// them with prepare()). publish() is lock-free for the processing side: a sequence counter over
// atomic fields, which process() reads without waiting (a publish in progress is picked up by
// the following call).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

struct SpeexPreprocessState_;

namespace mvsdk::engine {

struct ConditionerSettings {
  bool gain = false;
  float gain_db = 0.0f;                 // kMinGainDb..kMaxGainDb
  bool denoise = false;
  float denoise_db = 30.0f;             // largest attenuation of noise, kMinDenoiseDb..kMaxDenoiseDb
  bool gate = false;
  float gate_threshold_dbfs = -50.0f;   // kMinGateDbfs..0, against the sample peak
  float gate_attack_ms = 1.0f;          // opening ramp, 0..kMaxGateAttackMs (0: opens at once)
  float gate_hold_ms = 100.0f;          // stays open this long after the last peak above threshold
  float gate_release_ms = 100.0f;       // closing ramp after the hold, kMinGateReleaseMs..kMaxGateTimeMs

  // Ranges; values outside them are clamped by process() (the kit refuses them before that).
  static constexpr float kMinGainDb = -40.0f, kMaxGainDb = 40.0f;
  static constexpr float kMinDenoiseDb = 1.0f, kMaxDenoiseDb = 60.0f;
  static constexpr float kMinGateDbfs = -100.0f, kMaxGateDbfs = 0.0f;
  static constexpr float kMaxGateAttackMs = 100.0f;
  static constexpr float kMinGateReleaseMs = 1.0f;
  static constexpr float kMaxGateTimeMs = 2000.0f;  // hold and release

  bool any() const { return gain || denoise || gate; }
};

// The soft limiter of the gain stage on one scaled sample (full scale 32767): the identity up to
// kLimiterKnee, then a tanh curve with slope 1 at the knee that approaches 32767 and never reaches
// beyond it. Pure; exposed for tests.
float soft_limit(float x);
inline constexpr float kLimiterKnee = 24576.0f;  // 0.75 of full scale, -2.5 dBFS

class InputConditioner {
 public:
  static constexpr int kFrameMs = 5;    // preprocessor frame (two of them are the latency)
  static constexpr int kRampMs = 10;    // gain changes
  static constexpr int kFadeMs = 10;    // cross-fade into and out of suppression

  InputConditioner();
  ~InputConditioner();
  InputConditioner(const InputConditioner&) = delete;
  InputConditioner& operator=(const InputConditioner&) = delete;

  // Makes the state for audio at rate_hz (8000..192000): the preprocessor and its frames. A
  // second call at the same rate keeps them (only reset()); another rate makes them anew. False
  // when the memory or the preprocessor cannot be had: process() then leaves the audio alone.
  bool prepare(int rate_hz);
  bool ready() const { return frame_samples_ != 0; }
  int rate_hz() const { return rate_hz_; }

  // A new stream, in the settings published last (picked up here unless a publish is in
  // progress): the delay line is emptied (its first latency_samples() come out as silence when
  // suppression is on), the gate starts closed and the gain at its set value. The preprocessor
  // keeps its noise estimate. Never allocates.
  void reset();

  // The settings process() uses from its next call. Any thread.
  void publish(const ConditionerSettings& settings);
  ConditionerSettings published() const;

  // Conditions n samples in place. Audio path: no allocation, lock or log.
  void process(std::int16_t* samples, std::size_t n);
  // True when process() would leave samples alone (every stage off and settled), after taking up
  // newly published settings: callers may then skip copying audio into storage of their own.
  bool idle();

  // Samples by which process() currently delays its input (0, or 2 frames with suppression on).
  std::size_t latency_samples() const;

 private:
  enum class Denoise : std::uint8_t { kOff, kFilling, kFadingIn, kOn, kFadingOut };

  // force (prepare): waits out a publish in progress instead of leaving it to the next call.
  void pick_up_settings(bool force = false);
  void apply(const ConditionerSettings& s);
  void gain_stage(std::int16_t* x, std::size_t n);
  void denoise_stage(std::int16_t* x, std::size_t n);
  void gate_stage(std::int16_t* x, std::size_t n);
  // One sample through the delay line: stores x, returns the sample leaving it (suppressed).
  std::int16_t delay_line(std::int16_t x);

  // Published settings (seqlock: odd while a publish is in progress).
  std::atomic<std::uint32_t> seq_{0};
  std::atomic_flag writing_ = ATOMIC_FLAG_INIT;
  std::atomic<bool> p_gain_{false}, p_denoise_{false}, p_gate_{false};
  std::atomic<float> p_gain_db_{0.0f}, p_denoise_db_{30.0f}, p_gate_dbfs_{-50.0f};
  std::atomic<float> p_attack_ms_{1.0f}, p_hold_ms_{100.0f}, p_release_ms_{100.0f};
  std::uint32_t seen_seq_ = 0;

  // Made by prepare().
  int rate_hz_ = 0;
  std::size_t frame_samples_ = 0;
  SpeexPreprocessState_* speex_ = nullptr;
  std::unique_ptr<std::int16_t[]> filling_;  // the frame being gathered
  std::unique_ptr<std::int16_t[]> leaving_;  // the last suppressed frame, played out
  std::size_t pos_ = 0;

  // Gain: current and target factor, per-sample step while ramping.
  bool gain_on_ = false;
  bool gain_active_ = false;
  float gain_ = 1.0f, gain_target_ = 1.0f, gain_step_ = 0.0f;
  std::size_t gain_ramp_left_ = 0;

  // Suppression.
  bool denoise_on_ = false;
  Denoise denoise_ = Denoise::kOff;
  std::size_t denoise_count_ = 0;  // samples into the filling, fade or muted start
  std::size_t mute_left_ = 0;      // silence after reset while the delay line refills
  int denoise_db_applied_ = 0;

  // Gate.
  bool gate_on_ = false;
  bool gate_active_ = false;
  float gate_threshold_ = 0.0f;  // sample magnitude
  float gate_gain_ = 0.0f;
  float gate_attack_step_ = 1.0f, gate_release_step_ = 1.0f;
  std::size_t gate_hold_samples_ = 0, gate_hold_left_ = 0;
};

}  // namespace mvsdk::engine
