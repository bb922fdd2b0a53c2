#pragma once
// MVSDKManager: the object a host talks to. It keeps the configuration, walks the kit through its
// life (prepare: log in, check the version, load the voice catalogue; checkResources: download
// the model files; start; stop or release), converts the host's audio (transform), selects the
// voice and the tone, and reports the outcome of every step through
// EngineConfig::onActionResult.
//
// Order of calls:
//   create -> setEngineConfig -> prepare -> checkResources -> start -> setVoice
//          -> transform (every audio buffer) -> stop or engineRelease
// Each of prepare, checkResources, start and stop returns at once; its outcome arrives later as
// an action result (kAction* / kCode* in callbacks.h). Wait for one step's result before the
// next step.
//
// Threads:
//   - Every operation may be called from any thread, at any time, also concurrently, except
//     engineRelease (blocks; see there).
//   - Action results, service completions, download progress and calibration results run on the
//     kit's main queue (see callbacks.h).
//   - transform is the one call meant for the host's audio thread. Its span form (into your
//     output storage) allocates nothing, takes no lock and waits for nothing: every buffer it
//     uses is sized when the audio configuration is set (setEngineConfig, start). In
//     asynchronous mode (EngineConfig::isSync false) it does not compute either: it takes the
//     converted audio that is ready and leaves the input for the kit's engine thread; when that
//     thread falls behind, the oldest pending input is dropped (audioStats), so the delay comes
//     back to normal once it catches up. In synchronous mode it computes the engine's chunk on
//     the calling thread when one completes. One thread at a time: a call that overlaps another
//     call on the same manager gets the fallback (silence or the input) instead of waiting.
//     getEngineStatus, getMode, getIntonation, getPitch, calculateMinDataSize and the static
//     conversions are also safe there (the static conversions allocate their result). Every
//     other call may wait (for a lock held for a short copy, or, for engineRelease, seconds) and
//     belongs on another thread.
//
// Ownership and lifetime: made by create() and owned through the shared_ptr it returns. Work the
// kit runs later (service replies, downloads, the start poll, the stop chain) holds the manager
// weakly and is dropped once the last shared_ptr is gone; results not yet delivered are then
// lost. The native engine is one per process: a manager destroyed while the engine runs leaves
// it running; call stop or engineRelease first. Several managers share that one engine.
//
// Nothing here throws.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mvsdk/callbacks.h"
#include "mvsdk/engine_config.h"
#include "mvsdk/speaker_item.h"

namespace mvsdk {

namespace detail {
struct SDKManagerAccess;  // the kit's own tests and tools reach the internals through this
}

class MVSDKManager {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // A new manager: default configuration, status 0 (idle), no catalogue, no voice.
  static std::shared_ptr<MVSDKManager> create();
  ~MVSDKManager();
  MVSDKManager(const MVSDKManager&) = delete;
  MVSDKManager& operator=(const MVSDKManager&) = delete;

  // The cloud service's base URL ("https://host[:port]"), process-wide. Set it before prepare.
  static void setServiceBaseUrl(const std::string& url);
  static std::string serviceBaseUrl();

  // --- configuration and lifecycle ---

  // Keeps a copy of config; its token goes to the service client ("" when empty).
  void setEngineConfig(const EngineConfig& config);
  // A copy of the configuration in force.
  EngineConfig engineConfig() const;

  // Login, then version check. completion(code, message): 3 at once (calling thread) without a
  // token; otherwise the login's failure, or the version check's answer (main queue). Code 0
  // sets isInitialized.
  void initEngine(ServiceCompletion completion);
  // Status 1, initEngine, then loads the voice catalogue. Results: (1, code, message) when the
  // login or version check fails (status 6); (2, code, message) for the catalogue request
  // (status 2 on success, 6 on failure).
  void prepare();
  // Downloads every catalogue file missing from the cache, one at a time, with progress to
  // onDownload. Needs a prepared manager. Status 7, then 2 (done) or 6 (failed). Results
  // (3, 0, "Resources already downloaded"), (3, 0, "Total N files, ..."), (3, 2, message),
  // (3, 5, "Please call prepare method first"). Calls that overlap (from any threads) each get
  // their own result: a later batch waits for the one running.
  void checkResources();
  // Starts the engine with the catalogue's three weight files (lowest bid first) from the cache,
  // at the configured sample rate, and waits (up to 30 x 100 ms, on a background thread) for it
  // to run. Clears the voice: call setVoice after every start. An engine already running is
  // stopped first and started again with the files and configuration in force. Result (2, 0,
  // "Engine started successfully") or a failure (2, 3/5/6, ...; status 6). Refused with (2, 3,
  // reason) for an audio configuration the kit does not support: a sample rate outside 8000 to
  // 192000 Hz, more than 32 channels, or a format code other than 0 to 4.
  void start();
  // Stops the engine and returns to the initial state, configuration included (call
  // setEngineConfig and prepare before the next start). The state is reset before stop returns;
  // the engine is stopped afterwards on the engine queue, and what the host configures, prepares
  // or starts from then on is kept. Result (2, 0, "Engine stopped successfully") or (2, 0,
  // "Engine stopped successfully (was not started)"), delivered to the onActionResult in force
  // when stop was called.
  void stop();
  // Stops the engine and clears the state, keeping the configuration; status 5. Blocks the caller
  // for up to 6 s (3 s for the stop, 3 s for the teardown) and reports nothing. Do not call it
  // from the main queue's callbacks if you can avoid it (it holds up every later callback).
  void engineRelease();
  // Back to the initial state: default configuration, no token, no catalogue, status 0.
  void resetAllStates();
  // Deletes the downloaded files (on the main queue; returns at once). Result (5, 0, "All files
  // cleaned") or (5, 2, "Failed to clean files").
  void cleanAllFiles();
  // Posts (action, code, message) to the configuration's onActionResult on the main queue; the
  // callback is looked up again when the task runs. Dropped without a callback.
  void triggerActionResult(std::int64_t action, std::int64_t code, const std::string& message);

  // --- service calls (main-queue completions: (0, reply message) or (2, error text)) ---
  void login(ServiceCompletion completion);
  void checkVersion(ServiceCompletion completion);
  // On success the catalogue is replaced before completion runs.
  void getSpeakerList(ServiceCompletion completion);

  // --- audio (see Threads above) ---

  // Converts one buffer of host audio (EngineConfig format, channel, sampleRate) and returns
  // exactly as many bytes. Buffers shorter than 10 ms are gathered until 10 ms are available;
  // the output trails the input by the engine's latency. Before the engine runs with a voice,
  // during a voice change, and while not enough converted audio is ready, the result is silence
  // (muteOnFail) or the input itself.
  Bytes transform(std::span<const std::uint8_t> input);
  // The same into output (at least input.size() bytes): writes input.size() bytes and returns
  // that count; returns 0 and writes nothing when output is too short.
  std::size_t transform(std::span<const std::uint8_t> input, std::span<std::uint8_t> output);
  // Waits until the engine has run every piece of audio handed to it so far and every engine
  // step queued before this call; false when timeout passed first. For hosts that convert faster
  // than real time (files, tests); never call it on the audio thread or in a kit callback.
  bool waitForEngine(std::chrono::milliseconds timeout);
  // What the audio path did so far (any thread; the engine's counters are process-wide).
  struct AudioStats {
    std::uint64_t fallbackCalls = 0;        // calls answered with the fallback after output began
    std::uint64_t overlappingCalls = 0;     // calls that overlapped another call (fallback)
    std::uint64_t droppedInputSamples = 0;  // input the engine thread could not keep up with
    std::uint64_t trimmedOutputSamples = 0; // converted audio dropped to bring the delay back
    std::uint64_t lostOutputBytes = 0;      // converted audio that did not fit the output ring
    std::size_t pendingInputSamples = 0;    // input waiting for the engine thread now
    std::size_t readyOutputSamples = 0;     // converted audio waiting to be returned now
  };
  AudioStats audioStats() const;
  // Bytes of 10 ms of host audio in the configured format (960 for 48 kHz mono 16-bit).
  std::size_t calculateMinDataSize() const;
  // Host bytes not yet handed to the engine / converted bytes not yet returned.
  std::size_t inputBufferedBytes() const;
  std::size_t processedBufferedBytes() const;

  // Sample conversions (pure; any thread). See engine_config.h for the format codes.
  static std::int64_t getBytesPerSampleForFormat(std::int64_t format);
  // First channel of every whole frame as 16-bit mono; none for input shorter than one frame.
  // sampleRate is not used (the engine converts rates itself).
  static std::optional<Bytes> convertTo16BitMono(std::span<const std::uint8_t> input, std::int64_t inputFormat,
                                                 std::int64_t inputChannels, std::int64_t sampleRate);
  // Every 16-bit sample to every channel of its frame; none for fewer than 2 bytes.
  static std::optional<Bytes> convertFrom16BitMono(std::span<const std::uint8_t> input, std::int64_t outputFormat,
                                                   std::int64_t outputChannels, std::int64_t sampleRate);
  // length zero bytes (empty when the memory cannot be had).
  static Bytes createSilentAudioDataWithLength(std::size_t length);

  // --- voice and tone ---

  // The catalogue's voices in catalogue order; empty before prepare.
  std::vector<MVSpeakerItem> getVoiceList() const;
  // The voice last set successfully; none after start, stop and engineRelease.
  std::optional<double> getCurrentVoice() const;
  // Status value (kEngineStatus*).
  std::int64_t getEngineStatus() const;
  // Selects a voice by id (its value as a 32-bit integer: 7.9 selects 7). Result (0, 0, "Set
  // voice ID 7 successfully") on the main queue once the engine holds the voice, or a failure
  // (0, 3/5, ...). Meanwhile transform returns silence (or the input).
  void setVoice(std::optional<double> voiceId);
  // Conversion mode (0 the voice's own pitch, 1 the speaker's contour transposed by intonation
  // semitones and shifted by pitch, 2 a learnt mapping), with intonation clamped to
  // getSupportIntonation() and pitch to getSupportPitch() (NaN counts as 0). Needs a started
  // engine, else (0, 5, ...) and nothing changes. Takes effect from the next transform call.
  void setMode(std::int64_t mode, float intonation, float pitch);
  std::int64_t getMode() const;
  float getIntonation() const;
  float getPitch() const;
  // {-30, 30} semitones / {-200, 200} pitch offset units.
  std::vector<double> getSupportIntonation() const;
  std::vector<double> getSupportPitch() const;
  // Measures the speaker's pitch from a raw 16-bit mono PCM recording at the configured rate and
  // answers the (intonation, pitch) that match it to the current voice (main queue, once the whole
  // recording has passed through the engine). An empty path answers (0, 0) at once.
  void proCalibration(const std::string& path, CalibrationCallback success);

  // --- state ---
  bool isInitialized() const;
  bool isPrepared() const;
  bool isEngineStarted() const;
  bool hasSpeakerListModel() const;
  std::optional<double> currentSpeakerId() const;
  std::int64_t engineStatus() const;
  std::int64_t currentMode() const;
  float currentIntonation() const;
  float currentPitch() const;

 private:
  friend struct detail::SDKManagerAccess;
  struct Impl;
  MVSDKManager();
  std::shared_ptr<Impl> impl_;
};

}  // namespace mvsdk
