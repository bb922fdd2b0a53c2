#pragma once
// MVRtvcEngineManager: decides which native engine runs and which voice it speaks with. Given a
// voice of the speaker catalogue it finds the voice's three weight files in the catalogue and the
// local cache, starts or restarts the engine through MorvoxEngine when the running one was built
// from other files, loads (once per voice) and hands over the voice's style vector, and forwards
// conversion, calibration, reset and teardown to the bridge.
//
// Voice changes: from the start of a change until the engine confirms the new style, the change
// fails, or a one-second watchdog fires, isSettingSpeaker is raised and the conversion calls return
// the caller's audio (or silence of its length with muteOnFail) without touching the engine.
//
// Threads: every operation may be called from any thread; the conversions run on the host's audio
// thread. Callbacks run where noted: failures on the calling thread or the bridge's queue; the
// style completion (a voice change's success) and the watchdog on the main queue; reset and
// release reports on the bridge's queue; calibration results on the main queue. Locks:
// stateLock guards only currSpeaker / ids / currIds (the voice-change flag is an atomic), and a
// process-wide style lock only the voices' relustSpeaker; none is held across a call out or
// together with another.
//
// Lifetime: made by create() and owned by shared_ptr (the SDK manager owns one). Everything
// scheduled for later holds the manager weakly and does nothing once it is gone. The host (the SDK
// manager) is held weakly; the bridge is shared with it.
//
// Log lines go to the kit's log, each starting "MVRtvcEngineManager: " (the watchdog's warning
// excepted, whose text is fixed): voice-change steps at info, failures at error, and two lines
// per synchronous conversion (on the host's audio thread) at debug.
#include <atomic>
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
#include "models/speaker_list_model.h"

namespace mvsdk::bridge {

// A voice of a catalogue. Usually an aliasing pointer into the host's catalogue (it keeps the
// catalogue alive), so the style cached in relustSpeaker lives and dies with the catalogue.
using VoicePtr = std::shared_ptr<MVRtvcSpeakerItemModel>;

class MVRtvcEngineManager : public std::enable_shared_from_this<MVRtvcEngineManager> {
 public:
  using Success = std::function<void()>;
  using Failure = std::function<void(const std::string& message)>;

  // No host and a bridge of its own.
  static std::shared_ptr<MVRtvcEngineManager> create();
  // sdkManager is kept weakly; with no engine a new MorvoxEngine is made.
  static std::shared_ptr<MVRtvcEngineManager> create(std::weak_ptr<MVRtvcEngineHost> sdkManager,
                                                     std::shared_ptr<MorvoxEngine> engine);
  ~MVRtvcEngineManager();
  MVRtvcEngineManager(const MVRtvcEngineManager&) = delete;
  MVRtvcEngineManager& operator=(const MVRtvcEngineManager&) = delete;

  // The bridge's input and output rate, both set to rate (effective at the next start).
  void setEngineSampleRate(std::int64_t rate);

  // Looks the voice up in the catalogue and changes to it (see setSpeakerWithModel). Failures:
  // "User not logged in", "Current speaker not found", and those of setSpeakerWithModel.
  void setSpeakerWithSpeakerId(std::int64_t speakerId, Success success, Failure failure);
  // Changes to voice: starts the engine with the voice's files when none runs, restarts it when
  // the running one was built from other files, then sets the style. Failures: "User not logged
  // in", "Current speaker binFileIds not found", "Engine start failed" (a (re)start after which
  // the engine does not run: its files do not load; reported from the bridge's queue), those of
  // startEngineWithIds and performSetSpeaker. A null voice fails with "Current speaker not found".
  void setSpeakerWithModel(VoicePtr voice, Success success, Failure failure);
  // Finds the three weight files of ids in the catalogue and the cache, sorted by bid, and queues
  // the engine start with them (success is called at once; the start runs later on the bridge's
  // queue). Failures: "Resource not found 1/2/3", "At least 3 Bin file IDs required",
  // "Resource not found id1/id2/id3", "User not logged in".
  void startEngineWithIds(const std::vector<std::int64_t>& ids, Success success, Failure failure);
  // Stops the engine; when stopped, clears currSpeaker, ids and currIds and calls success (on the
  // bridge's queue).
  void releaseEngineWithSuccess(Success success);
  // Raises isSettingSpeaker, resets a running engine, then performSetSpeaker.
  void setRelustSpeakerWithModel(VoicePtr voice, Success success, Failure failure);
  // Loads the voice's style (from its cache, else from its style file) and hands it to the engine.
  // Success runs on the main queue once the engine holds the style. Failures (isSettingSpeaker is
  // lowered): "音色设置失败, 无法获取资源" (no style reference), "Failed to set speaker, unable to get
  // resource" (no local style file, or its data does not give 192 numbers).
  void performSetSpeaker(VoicePtr voice, Success success, Failure failure);

  // Converts int16 mono PCM on the calling thread. During a voice change: the input (or silence
  // of its length with muteOnFail). Never none: an engine that gives nothing yields empty bytes.
  Bytes syncRealTimeTranscribeDataWithData(std::span<const std::uint8_t> data, std::int64_t mode,
                                           float pitchFluctuation, float pitchOffset);
  // Pipelined conversion; success receives the output (empty bytes for none) before this returns.
  void realTimeTranscribeDataWithData(std::span<const std::uint8_t> data, std::int64_t mode, float pitchFluctuation,
                                      float pitchOffset, const std::function<void(const Bytes&)>& success);
  // The audio path's conversion, into caller storage (out.size() == in.size()); allocates, locks
  // and waits for nothing. During a voice change out gets the input (or silence with
  // muteOnFail); otherwise the bridge converts pipelined or synchronously (sync). Returns the
  // samples written: out.size(), or 0 when no converted audio was ready (out untouched).
  std::size_t transcribeInto(std::span<const std::int16_t> in, std::span<std::int16_t> out, bool sync,
                             std::int64_t mode, float pitchFluctuation, float pitchOffset);
  // The calibration pass of the bridge; success(pitchFluctuation, pitchOffset) on the main queue
  // (at once, with 0 and 0, for an unusable path).
  void getSoundDataCheckWithPath(const std::string& path, std::function<void(float, float)> success);
  // Resets the engine's streaming state; success(true) on the bridge's queue.
  void resetEngineWithSuccess(std::function<void(bool)> success);
  // A running engine: releaseEngineWithSuccess. None: clears currSpeaker, ids and currIds and
  // calls success at once.
  void destroyEngineWithSuccess(Success success);
  bool getEngineStatus() const;

  // The first catalogue voice whose id equals speakerId, or null. Sets nothing.
  VoicePtr setEngineSpeakerWithSpeakerId(std::int64_t speakerId) const;
  // The file's content when it can be read and is UTF-8, else none.
  static std::optional<std::string> getSpeakerFileWithFile(const std::string& path);
  // length zero bytes (empty when the memory cannot be had).
  static Bytes createSilentAudioDataWithLength(std::size_t length);

  // State, for the owner and for inspection.
  bool isSettingSpeaker() const;
  VoicePtr currSpeaker() const;
  std::optional<std::vector<std::int64_t>> ids() const;
  std::string currIds() const;
  const std::shared_ptr<MorvoxEngine>& engineManager() const { return engineManager_; }
  std::weak_ptr<MVRtvcEngineHost> sdkManager() const { return sdkManager_; }

 private:
  MVRtvcEngineManager(std::weak_ptr<MVRtvcEngineHost> sdkManager, std::shared_ptr<MorvoxEngine> engine);

  bool loggedIn() const;
  bool muteOnFail() const;
  void setSettingSpeaker(bool value);
  void clearEngineIdentity();
  // The input, or silence of its length with muteOnFail.
  Bytes passThrough(std::span<const std::uint8_t> data) const;
  StyleVector cachedStyle(const MVRtvcSpeakerItemModel& voice) const;
  void cacheStyle(MVRtvcSpeakerItemModel& voice, StyleVector style) const;

  const std::weak_ptr<MVRtvcEngineHost> sdkManager_;
  const std::shared_ptr<MorvoxEngine> engineManager_;

  std::atomic<bool> isSettingSpeaker_{false};
  std::atomic<bool> hasSpeaker_{false};  // currSpeaker_ is set (read without the lock)

  mutable std::mutex stateLock_;
  VoicePtr currSpeaker_;
  std::optional<std::vector<std::int64_t>> ids_;
  std::string currIds_;
};

}  // namespace mvsdk::bridge
