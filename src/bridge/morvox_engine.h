#pragma once
// MorvoxEngine: the bridge between the kit's control classes and the native engine's facade
// (engine/driver/MVSoundLibrary.h). It moves every call that loads, reconfigures, resets or stops
// the engine onto the process-wide serial queue "MVSoundLibrary.queue", decodes voice style data
// into the 192-float speaker style vector, converts audio synchronously or pipelined, and runs the
// pitch calibration pass over a raw 16-bit mono PCM recording.
//
// Threads and the engine. The engine is process-wide and takes no lock of its own, so every call
// into it is serialised here:
//   - queue tasks (start, style, reset, stop, pipelined pushes, calibration chunks) run one at a
//     time in submission order and hold the process-wide engine lock while inside the engine;
//   - pushes of audio do not go through the queue: they are written into a bounded
//     single-producer ring that the bridge's own pump thread drains into the engine (holding the
//     engine lock), so handing audio in never allocates, locks or waits. A push written before a
//     later reset, stop or start took effect is dropped (it belongs to the old stream), exactly as
//     such a push of the queue would have been wiped by them. When the engine falls behind, the
//     oldest pending input beyond kMaxBacklogMs is dropped and counted, so the delay comes back to
//     normal once the engine catches up;
//   - the synchronous conversion pushes on the calling thread only when the engine lock is free at
//     once and no push of its own is still pending in the ring; otherwise its push goes into the
//     ring. The audio thread therefore never waits behind a chunk being computed elsewhere;
//   - converted audio leaves the engine on the thread that pushed it (whoever holds the engine
//     lock moves it into a second single-consumer ring), and pulls read that ring: a pull never
//     touches the engine or its locks. The pull also keeps the ring from holding much more than
//     the engine's normal lead (after a burst of load it drops the excess, once a second at
//     most), so the end-to-end delay returns to its idle value.
// One host audio thread at a time: a second thread pushing or pulling at the same moment as the
// first gets nothing (its push is dropped and counted, its pull is empty) instead of waiting.
//
// Lifetime: made by create() and owned by shared_ptr (the engine manager and the SDK manager share
// one). Queued work never refers to the instance: it holds the few values it needs (the pitch
// array of the calibration pass, the rates of a start) through shared state, so an instance may go
// away while its work is still queued.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/features/input_conditioner.h"
#include "platform/dispatch.h"

namespace mvsdk::bridge {

// The engine's input conditioner settings and frame, as the bridge takes them: the layers above
// reach the engine's types only through the bridge.
using ConditionerSettings = engine::ConditionerSettings;
inline constexpr int kConditionerFrameMs = engine::InputConditioner::kFrameMs;

using Bytes = std::vector<std::uint8_t>;
// A speaker style vector as decoded from style data (at least 192 floats to be usable).
using StyleVector = std::shared_ptr<const std::vector<float>>;

class MorvoxEngine {
 public:
  // Largest push the engine is handed at once (1.6 s at 48 kHz); longer pushes are split.
  static constexpr std::size_t kResultSamples = 76800;
  // Pending input the pump keeps when the engine falls behind; older input is dropped.
  static constexpr int kMaxBacklogMs = 400;
  // The output ring is trimmed when, over a second of pulls, it never held less than
  // kTrimAboveMs; it is then cut back to kTrimToMs.
  static constexpr int kTrimAboveMs = 150;
  static constexpr int kTrimToMs = 60;
  // Pipelined conversion starts its output this much later than the engine alone would: a chunk
  // is computed while the host keeps pulling, so the output needs a margin for a chunk that takes
  // longer than the first one did.
  static constexpr int kPipelinedLeadMs = 30;
  // Bytes of PCM per calibration chunk (980 samples of 16-bit mono).
  static constexpr std::size_t kCalibrationChunkBytes = 1960;
  // Conversion modes handed to the engine with every push.
  static constexpr std::int32_t kModePredicted = 0;   // the pitch the model predicts for the voice
  static constexpr std::int32_t kModeSpeaker = 1;     // the speaker's own contour, transposed
  static constexpr std::int32_t kModeCalibrate = 2;   // learn the pitch mapping (calibration)

  static std::shared_ptr<MorvoxEngine> create();
  ~MorvoxEngine();
  MorvoxEngine(const MorvoxEngine&) = delete;
  MorvoxEngine& operator=(const MorvoxEngine&) = delete;

  // The process-wide serial queue "MVSoundLibrary.queue" (made on first use, never destroyed).
  static platform::SerialQueue& queue();

  // Both rates take effect at the next start. Any thread.
  void setEngineInputSampleRate(std::int32_t inputRate, std::int32_t outputRate);
  std::int32_t inputRate() const;
  std::int32_t outputRate() const;
  // Threads that compute a chunk of the engines started from now on (0 = automatic: the
  // processor's cores, at most 4). Any thread.
  void setEngineThreads(std::int32_t threads);
  // Whether the engines started from now on hold their matrix weights in half precision (off by
  // default). Any thread.
  void setHalfPrecisionWeights(bool on);

  // Queues the engine start with the three weight files (acoustic model, content encoder,
  // vocoder) and the rates in force when the task runs. No completion: callers poll
  // getEngineStatus(). A start while an engine runs keeps that engine.
  void startEngine(const std::string& amPath, const std::string& bnPath, const std::string& vocPath);
  // Queues setting the speaker style. A vector of fewer than 192 floats never reaches the engine.
  // The completion (optional) is then posted to the main queue.
  void setSpeakersStyle(StyleVector style);
  void setSpeakersStyle(StyleVector style, std::function<void()> completion);
  // Decodes style data (a path to a style file, or the file's text) into a style vector; null for
  // empty text. See style_data.h. Any thread.
  static StyleVector getSpeakersInfo(const std::string& text);

  // Synchronous conversion of int16 mono PCM (host byte order; a trailing odd byte is ignored):
  // push, then pull as many samples as were given. None when no engine runs or the engine has
  // nothing to give (never an empty byte string). Any thread; see the header comment for waits.
  std::optional<Bytes> getSyncRealTimeSoundTransferData(std::span<const std::uint8_t> data, std::int32_t mode,
                                                        float pitchFluctuation, float pitchOffset);
  // Pipelined conversion: pulls on the calling thread what earlier pushes produced, queues the push
  // of this input, and calls callback (on the calling thread, before returning) with the pulled
  // samples or none.
  void getRealTimeSoundTransferData(std::span<const std::uint8_t> data, std::int32_t mode, float pitchFluctuation,
                                    float pitchOffset, const std::function<void(std::optional<Bytes>)>& callback);

  // --- the audio path: no allocation, no lock, no wait ---

  // Pipelined conversion into caller storage: first pulls out.size() samples that earlier pushes
  // produced (all or nothing), then hands in to the pump. Returns out.size() when out was
  // filled (converted audio, or silence while the engine runs but its output has not begun), 0
  // when nothing was ready (out is untouched).
  std::size_t convertPipelined(std::span<const std::int16_t> in, std::int32_t mode, float pitchFluctuation,
                               float pitchOffset, std::span<std::int16_t> out);
  // Synchronous conversion into caller storage: pushes in on this thread when the engine is free
  // (see the header comment), then pulls out.size() samples as convertPipelined does.
  std::size_t convertSync(std::span<const std::int16_t> in, std::int32_t mode, float pitchFluctuation,
                          float pitchOffset, std::span<std::int16_t> out);

  // Counters of the audio path since the process started (any thread).
  struct PathStats {
    std::uint64_t pushedSamples = 0;     // input samples handed in
    std::uint64_t droppedSamples = 0;    // input dropped: ring full, or older than the backlog
    std::uint64_t trimmedSamples = 0;    // output dropped to bring the delay back
    std::uint64_t lostOutputSamples = 0; // output that did not fit the output ring
    std::size_t pendingSamples = 0;      // input waiting for the pump now
    std::size_t readySamples = 0;        // output waiting to be pulled now
  };
  static PathStats pathStats();
  // Waits until every push handed in so far and every queued task have run. False when timeout
  // passed first. Not on the queue's or the pump's thread.
  static bool waitUntilIdle(std::chrono::milliseconds timeout);

  // Calibration pass over a raw 16-bit mono PCM file: queues one task per 1960-byte chunk (each
  // pulls and discards as many samples, then pushes the chunk in mode 2 with resultFloat as the
  // pitch array) and, when all have run, posts completion(pitchFluctuation, pitchOffset) as the
  // engine measured them to the main queue. An empty or unopenable path calls completion(0, 0) at
  // once on the calling thread. Returns the number of chunks queued.
  std::size_t getSoundDataCheck(const std::string& path, std::function<void(float, float)> completion);

  // Queues an engine reset (streaming state back to its start, the style kept) / an engine stop.
  // The completion (required; an empty one is skipped) runs on the queue's thread afterwards, also
  // when no engine runs.
  void engineReset(std::function<void()> completion);
  void stopEngine(std::function<void()> completion);

  // Input conditioning (gain, noise suppression, gate) of every push of the audio path, applied
  // on the thread that hands the audio to the engine (the pump, or the synchronous caller), just
  // before the engine gets it. Any thread; takes effect from the next push, without a click (see
  // engine/features/input_conditioner.h). Its state is made when an engine starts (at the
  // engine's input rate); with every stage off the engine gets the pushed samples untouched and
  // undelayed. Calibration passes are not conditioned.
  static void setInputConditioning(const engine::ConditionerSettings& settings);
  static engine::ConditionerSettings inputConditioning();

  // Diagnostics and tests: observer(user, samples, n) sees every piece of audio handed to the
  // engine by the audio path, after conditioning, on the thread handing it, holding the engine
  // lock (it must not call into the bridge). Null to remove.
  using PushObserver = void (*)(void* user, const std::int16_t* samples, std::size_t n);
  static void setPushObserver(PushObserver observer, void* user);

  // Queues task to run with the engine to itself: after everything queued before it, holding the
  // engine lock, so no other engine call but a pull runs meanwhile (diagnostics, observers, the
  // facade's calls the bridge does not wrap, tests).
  static void runOnEngine(std::function<void()> task);

  // True while an engine runs. Any thread.
  bool getEngineStatus() const;

  // The numbers as floats, in order.
  static std::vector<float> getArrayFloat(const std::vector<double>& numbers);
  // Entries 0 to 5 of a pitch array as numbers; entries the array lacks read as 0.
  static std::vector<double> getFloatArray(std::span<const float> array);

  // The default pitch array: method 0, fluctuation 4.622, offset 138.813, voicing threshold 0.1,
  // voiced-frame limit 2000, and 0 (not read by the engine).
  const std::vector<double>& pArray() const { return pArray_; }
  // A copy of the calibration pass's pitch array (the engine writes its measurements into
  // entries 1 and 2).
  std::array<float, 6> resultFloat() const;

 private:
  struct Shared;
  MorvoxEngine();
  std::vector<double> pArray_;
  std::shared_ptr<Shared> shared_;  // rates and resultFloat, shared with queued work
};

}  // namespace mvsdk::bridge
