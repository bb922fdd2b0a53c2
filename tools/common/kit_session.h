#pragma once
// One MVSDKManager driven step by step the way a host drives it: each lifecycle call is made,
// then its action result (delivered on the kit's main queue) is awaited here on the calling
// thread. Every step answers none on success or the kit's message on failure.
//
// Threads: one owner thread calls the steps; the kit's callbacks only fill the inbox.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "mvsdk/mvsdk.h"

namespace mvsdk::convert {

struct ActionResult {
  std::int64_t action = 0;
  std::int64_t code = 0;
  std::string message;
};

// Action results in arrival order, awaited by the owner thread.
class ResultInbox {
 public:
  void push(ActionResult r);
  void clear();
  // The first result whose action is one of `actions` (removed from the inbox); none on timeout
  // or when *stop becomes true.
  std::optional<ActionResult> wait(std::initializer_list<std::int64_t> actions, std::chrono::milliseconds timeout,
                                   const std::atomic<bool>* stop);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<ActionResult> results_;
};

struct SessionConfig {
  std::string service_url;
  std::string token;
  std::int64_t rate_hz = 48000;
  std::int64_t channels = 1;
  std::int64_t kit_format = kSampleFormatS16;
  bool sync = false;
  std::int64_t engine_threads = 1;  // EngineConfig::engineThreads
  bool half_precision_weights = false;  // EngineConfig::halfPrecisionWeights
  // EngineConfig::muteOnFail. Off by default: a buffer the kit cannot convert then comes back as
  // the input itself, which a file converter tells from converted audio (an underrun) and writes
  // as silence. A live host that plays the result wants silence there instead of the speaker.
  bool mute_on_fail = false;
  // Download progress (percent, file number, files), on the kit's main queue. May be empty.
  DownloadCallback on_download;
  // EngineConfig::input.
  InputConditioning input;
};

class KitSession {
 public:
  // stop (may be null): when it turns true, a step being awaited gives up with "interrupted".
  KitSession(const SessionConfig& config, const std::atomic<bool>* stop);
  ~KitSession();
  KitSession(const KitSession&) = delete;
  KitSession& operator=(const KitSession&) = delete;

  using Failure = std::optional<std::string>;
  Failure prepare();
  Failure checkResources();
  Failure start();
  Failure setVoice(std::int64_t id);
  // Stores mode, intonation and pitch (clamped by the kit); none when the kit took them.
  Failure setMode(std::int64_t mode, float intonation, float pitch);
  // Runs the kit's calibration over a raw 16-bit mono PCM file at the configured rate.
  std::optional<std::pair<float, float>> calibrate(const std::string& raw_path, std::chrono::seconds timeout,
                                                   std::string& failure);
  Failure stop();
  // engineRelease: stops the engine and clears the session, keeping the configuration (prepare
  // and start again to go on). Blocks for up to the kit's release wait.
  void release();
  // Hands the session's configuration to the kit again: stop returns the kit to its defaults.
  void configure();
  // Changes the input conditioning of the session's configuration and hands it to the kit (while
  // the engine runs, from the next buffer on).
  void setInputConditioning(const InputConditioning& input);
  const InputConditioning& inputConditioning() const { return config_.input; }
  // Results for which `divert` answers true skip the inbox and go to `divert`'s caller only (on
  // the kit's main queue). For results a host expects at random moments, such as the refusal of a
  // setMode made from another thread, which would otherwise answer a step awaited here. Set it
  // before the kit runs; empty to divert nothing.
  void setDivert(std::function<bool(const ActionResult&)> divert);

  MVSDKManager& manager() { return *manager_; }

 private:
  Failure await(std::initializer_list<std::int64_t> actions, std::chrono::seconds timeout,
                bool interruptible = true);

  std::shared_ptr<ResultInbox> inbox_;
  std::shared_ptr<std::function<bool(const ActionResult&)>> divert_;
  EngineConfig config_;
  std::shared_ptr<MVSDKManager> manager_;
  const std::atomic<bool>* stop_;
  bool started_ = false;
};

}  // namespace mvsdk::convert
