#pragma once
// The state and the workings of MVSDKManager, behind the public handle. The handle owns one
// Impl through a shared_ptr; everything scheduled for later (service replies, downloads, the
// start poll, the stop chain, action results) holds the Impl weakly. The Impl is also the engine
// manager's host (token, muteOnFail, catalogue).
//
// Source files by concern: sdk_manager.cpp (state, configuration, action results, reset),
// sdk_lifecycle.cpp (prepare, start, stop, release, clean-up), sdk_service_calls.cpp (login,
// version check, catalogue), sdk_resources.cpp (checkResources), sdk_audio.cpp (transform),
// sdk_voice.cpp (voice, tone, calibration); sample_formats.* holds the pure conversions.
//
// Locks: stateMutex guards config, catalogue and currentSpeakerId; pathMutex serialises the
// threads that replace or clear the audio path. Neither is held across a call out. The audio
// thread takes no lock at all: it reads atomics (flags, status, tone) and works in an AudioPath,
// storage sized once from the audio configuration (see AudioPath), which other threads replace
// or clear only after taking it away from the audio thread (withAudioPath).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bridge/morvox_engine.h"
#include "bridge/mv_rtvc_engine_host.h"
#include "bridge/mv_rtvc_engine_manager.h"
#include "download/mv_rtvc_down_file_manager.h"
#include "models/speaker_list_model.h"
#include "mvsdk/sdk_manager.h"
#include "sdk/sample_formats.h"

namespace mvsdk {

namespace sdk {

// Everything transform touches, sized from one audio configuration: the gather buffer for host
// bytes (less than one 10 ms block), 16-bit mono scratch both ways (one push piece), host-format
// scratch, and the ring of converted host audio not yet returned. Used by one audio thread at a
// time; other threads reach it only through withAudioPath.
struct AudioPath {
  // Longest piece of 16-bit mono audio handed to the engine in one push: 100 ms of input. The
  // engine takes at most inRate * inRate / 80000 samples per push (28800 at 48 kHz, 800 at
  // 8 kHz) and at most 7680 without resampling (16 kHz); 100 ms stays below all of them for
  // every rate from 8 kHz up.
  static constexpr std::int64_t kMaxPushMs = 100;
  // Converted audio the ring holds: host buffers up to this long convert whole.
  static constexpr std::int64_t kRingMs = 2000;

  // The audio configuration this path serves.
  std::int64_t format = kFormatS16;
  std::int64_t channels = 1;
  std::int64_t rate = 48000;
  std::size_t frame = 2;       // bytes of one host frame
  std::size_t minBlock = 960;  // bytes of 10 ms
  std::size_t pieceFrames = 4800;
  bool convert = false;        // the host format is not 16-bit mono

  std::unique_ptr<std::uint8_t[]> gather;  // minBlock bytes
  std::size_t gathered = 0;
  std::unique_ptr<std::int16_t[]> mono;       // pieceFrames
  std::unique_ptr<std::int16_t[]> converted;  // pieceFrames
  std::unique_ptr<std::uint8_t[]> host;       // pieceFrames * frame

  // Converted host audio not yet returned (a byte ring).
  std::unique_ptr<std::uint8_t[]> ring;
  std::size_t ringCap = 0;
  std::size_t ringStart = 0;
  std::size_t ringUsed = 0;

  // For other threads' reports.
  std::atomic<std::size_t> gatheredReport{0};
  std::atomic<std::size_t> readyReport{0};
  // Calls answered with the fallback after converted audio had begun; bytes of converted audio
  // that did not fit the ring.
  std::atomic<std::uint64_t> fallbackCalls{0};
  std::atomic<std::uint64_t> lostBytes{0};
  bool began = false;

  // The path for a configuration, or null with reason set when it is not supported or the
  // memory cannot be had. rate below 1 counts as 48000, channels below 1 as 1.
  static std::unique_ptr<AudioPath> make(std::int64_t rate, std::int64_t channels, std::int64_t format,
                                         std::string& reason);
  // Audio thread.
  void ringWrite(const std::uint8_t* src, std::size_t n);
  void ringRead(std::uint8_t* dst, std::size_t n);
  void clear();
};

}  // namespace sdk

struct MVSDKManager::Impl final : bridge::MVRtvcEngineHost, std::enable_shared_from_this<MVSDKManager::Impl> {
  using Bytes = sdk::Bytes;

  // Engine status poll after a start: 30 looks, 100 ms apart (about 3 s).
  static constexpr int kStartPolls = 30;
  static constexpr std::chrono::milliseconds kStartPollInterval{100};
  // engineRelease waits at most this long for the stop, and again for the teardown.
  static constexpr std::chrono::seconds kReleaseWait{3};
  // Supported tone ranges.
  static constexpr double kIntonationMin = -30.0, kIntonationMax = 30.0;
  static constexpr double kPitchMin = -200.0, kPitchMax = 200.0;

  static std::shared_ptr<Impl> create();
  Impl() = default;
  ~Impl() override;

  // --- MVRtvcEngineHost (any thread) ---
  std::string engineToken() const override;
  bool engineMuteOnFail() const override;
  std::shared_ptr<MVRtvcSpeakerListModel> speakerListModel() const override;

  // --- sdk_manager.cpp ---
  void setEngineConfig(const EngineConfig& config);
  EngineConfig engineConfig() const;
  void setSpeakerListModel(std::shared_ptr<MVRtvcSpeakerListModel> model);
  void setCurrentSpeakerId(std::optional<double> id);
  std::optional<double> currentSpeakerId() const;
  // Posts (action, code, message) to the configuration's onActionResult, looked up again when
  // the task runs on the main queue.
  void triggerActionResult(std::int64_t action, std::int64_t code, const std::string& message);
  // Posts (action, code, message) to callback on the main queue (dropped when callback is empty
  // or the manager is gone by then).
  void deliverActionResult(ActionResultCallback callback, std::int64_t action, std::int64_t code,
                           const std::string& message);
  ActionResultCallback actionResultCallback() const;
  void resetAllStates();
  // Clears the session (flags, voice, catalogue, tone, audio buffers) and sets the status.
  void clearSession(std::int64_t status);
  // Empties the gathered input and the converted audio not yet returned.
  void clearAudioBuffers();
  // Builds the audio path for the configuration's audio fields and puts it in place of the old
  // one (none when they are not supported: transform then answers with the fallback). Returns
  // the reason when they are not supported, else an empty string.
  std::string rebuildAudioPath();
  // Takes the path away from the audio thread (waiting for a call in progress to leave it),
  // runs fn on it (it may be null) and puts back what fn returns. Not on the audio thread.
  void withAudioPath(const std::function<std::unique_ptr<sdk::AudioPath>(std::unique_ptr<sdk::AudioPath>)>& fn) const;
  // The engine counts as running: isEngineStarted and the engine's own status.
  bool engineRunning() const;

  // --- sdk_service_calls.cpp ---
  void login(ServiceCompletion completion);
  void checkVersion(ServiceCompletion completion);
  void getSpeakerList(ServiceCompletion completion);

  // --- sdk_lifecycle.cpp ---
  void initEngine(ServiceCompletion completion);
  void prepare();
  void start();
  void stop();
  void engineRelease();
  void cleanAllFiles();
  // One look of the start poll (attempt 0..kStartPolls-1) for the start of generation gen.
  static void pollEngineStart(std::weak_ptr<Impl> weak, std::uint64_t gen, int attempt);

  // --- sdk_resources.cpp ---
  void checkResources();

  // --- sdk_audio.cpp ---
  std::size_t transform(std::span<const std::uint8_t> input, std::span<std::uint8_t> output);
  std::size_t calculateMinDataSize() const;
  std::size_t inputBufferedBytes() const;
  std::size_t processedBufferedBytes() const;

  // --- sdk_voice.cpp ---
  std::vector<MVSpeakerItem> getVoiceList() const;
  void setVoice(std::optional<double> voiceId);
  void setMode(std::int64_t mode, float intonation, float pitch);
  void proCalibration(const std::string& path, CalibrationCallback success);

  // --- state ---
  mutable std::mutex stateMutex;
  EngineConfig config;                                 // guarded by stateMutex
  std::shared_ptr<MVRtvcSpeakerListModel> catalogue;   // guarded by stateMutex
  std::optional<double> speakerId;                     // guarded by stateMutex
  std::atomic<bool> hasSpeaker{false};                 // speakerId is set (for the audio thread)

  std::atomic<bool> isInitialized{false};
  std::atomic<bool> isPrepared{false};
  std::atomic<bool> isEngineStarted{false};
  std::atomic<std::int64_t> engineStatus{kEngineStatusIdle};
  std::atomic<std::int64_t> currentMode{0};
  std::atomic<float> currentIntonation{0.0f};
  std::atomic<float> currentPitch{0.0f};
  // Bumped by every start, stop, release and reset: a start poll of an older generation ends
  // without reporting, and a stop's teardown leaves the engine of a newer start alone.
  std::atomic<std::uint64_t> startGeneration{0};

  // The configuration's audio fields, copied by setEngineConfig / resetAllStates.
  std::atomic<std::int64_t> sampleRate{48000};
  std::atomic<std::int64_t> channel{1};
  std::atomic<std::int64_t> format{kSampleFormatS16};
  std::atomic<bool> muteOnFail{true};
  std::atomic<bool> isSync{false};
  std::atomic<std::int64_t> engineThreads{1};
  static constexpr std::int64_t kMaxEngineThreads = 16;
  std::atomic<bool> halfPrecisionWeights{false};

  std::shared_ptr<bridge::MorvoxEngine> engine;
  std::shared_ptr<bridge::MVRtvcEngineManager> rtvcEngineManager;
  std::shared_ptr<MVRtvcDownFileManager> downloads;

  // The audio path: owned through ownedPath (guarded by pathMutex), lent to the audio thread
  // through audioPath while put in place. audioEntries counts transform calls inside.
  mutable std::mutex pathMutex;
  mutable std::unique_ptr<sdk::AudioPath> ownedPath;
  mutable std::atomic<sdk::AudioPath*> audioPath{nullptr};
  mutable std::atomic<int> audioEntries{0};
  std::atomic_flag audioBusy = ATOMIC_FLAG_INIT;  // one transform at a time
  std::atomic<std::uint64_t> overlappingCalls{0};
};

namespace detail {
// The kit's own tests and tools reach the internals through this.
struct SDKManagerAccess {
  using Impl = MVSDKManager::Impl;
  static MVSDKManager::Impl& impl(MVSDKManager& manager) { return *manager.impl_; }
  static std::weak_ptr<MVSDKManager::Impl> weak(MVSDKManager& manager) { return manager.impl_; }
};
}  // namespace detail

namespace sdk {

// What onDownload receives for a batch fraction: percent = trunc(fraction * 100); current file =
// trunc(fraction * total) + 1, kept within 1..total.
struct DownloadReport {
  std::int64_t percent = 0;
  std::int64_t current = 0;
  std::int64_t total = 0;
};
DownloadReport download_report(float fraction, std::int64_t total);

// "Total %lu files, total size: %lld bytes (%.2f MB)".
std::string resources_summary(std::size_t files, std::int64_t total_bytes);

// A double voice id as a 32-bit integer: truncated toward zero, then wrapped to 32 bits; NaN
// and infinities give 0.
std::int32_t voice_id_int32(double id);

}  // namespace sdk

}  // namespace mvsdk
