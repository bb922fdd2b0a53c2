#include "kit_session.h"

#include <algorithm>

namespace mvsdk::convert {

namespace {

// How long each step may take before the tool gives up on it. The download of the model files
// is the long one (tens of megabytes, one file at a time); the rest answer within seconds.
constexpr std::chrono::seconds kPrepareTimeout{60};
constexpr std::chrono::seconds kResourcesTimeout{900};
constexpr std::chrono::seconds kStartTimeout{60};
constexpr std::chrono::seconds kVoiceTimeout{60};
constexpr std::chrono::seconds kStopTimeout{30};

}  // namespace

void ResultInbox::push(ActionResult r) {
  {
    std::lock_guard lock(mutex_);
    results_.push_back(std::move(r));
  }
  cv_.notify_all();
}

void ResultInbox::clear() {
  std::lock_guard lock(mutex_);
  results_.clear();
}

std::optional<ActionResult> ResultInbox::wait(std::initializer_list<std::int64_t> actions, std::chrono::milliseconds timeout,
                                              const std::atomic<bool>* stop) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  while (true) {
    for (auto it = results_.begin(); it != results_.end(); ++it) {
      if (std::find(actions.begin(), actions.end(), it->action) != actions.end()) {
        ActionResult r = std::move(*it);
        results_.erase(it);
        return r;
      }
    }
    if (stop && stop->load()) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    // Short slices, so an interruption is noticed without a notification.
    cv_.wait_for(lock, std::chrono::milliseconds(100));
  }
}

KitSession::KitSession(const SessionConfig& config, const std::atomic<bool>* stop)
    : inbox_(std::make_shared<ResultInbox>()),
      divert_(std::make_shared<std::function<bool(const ActionResult&)>>()),
      manager_(MVSDKManager::create()),
      stop_(stop) {
  MVSDKManager::setServiceBaseUrl(config.service_url);
  EngineConfig c = EngineConfig::defaultConfig();
  c.sampleRate = config.rate_hz;
  c.channel = config.channels;
  c.format = config.kit_format;
  c.token = config.token;
  c.isSync = config.sync;
  c.engineThreads = config.engine_threads;
  c.halfPrecisionWeights = config.half_precision_weights;
  c.muteOnFail = config.mute_on_fail;
  c.onDownload = config.on_download;
  c.input = config.input;
  std::weak_ptr<ResultInbox> weak = inbox_;
  // The filter is read on the main queue; it is set before the kit runs and not changed after.
  std::shared_ptr<const std::function<bool(const ActionResult&)>> divert = divert_;
  c.onActionResult = [weak, divert](std::int64_t action, std::int64_t code, const std::string& message) {
    ActionResult r{action, code, message};
    if (*divert && (*divert)(r)) return;
    if (auto inbox = weak.lock()) inbox->push(std::move(r));
  };
  config_ = c;
  manager_->setEngineConfig(config_);
}

void KitSession::configure() { manager_->setEngineConfig(config_); }

void KitSession::setInputConditioning(const InputConditioning& input) {
  config_.input = input;
  manager_->setEngineConfig(config_);
}

void KitSession::setDivert(std::function<bool(const ActionResult&)> divert) { *divert_ = std::move(divert); }

void KitSession::release() {
  manager_->engineRelease();
  started_ = false;
}

KitSession::~KitSession() {
  // An engine left running (a step failed after start) is stopped before the manager goes.
  if (started_) manager_->engineRelease();
  // And whatever the engine queue still holds (a start that outlasted the kit's wait, the stop
  // behind it) runs to its end before the tool can return from main: the process's exit would
  // otherwise tear down the libraries under a task still computing. No limit on the wait: a
  // task left running is worse than a slow exit.
  while (!manager_->waitForEngine(std::chrono::seconds(10))) {
  }
}

KitSession::Failure KitSession::await(std::initializer_list<std::int64_t> actions, std::chrono::seconds timeout,
                                      bool interruptible) {
  const auto r = inbox_->wait(actions, timeout, interruptible ? stop_ : nullptr);
  if (!r) {
    if (interruptible && stop_ && stop_->load()) return std::string("interrupted");
    return "no answer from the kit within " + std::to_string(timeout.count()) + " s";
  }
  if (r->code != kCodeSuccess) {
    return r->message.empty() ? "failed with code " + std::to_string(r->code) : r->message;
  }
  return std::nullopt;
}

KitSession::Failure KitSession::prepare() {
  inbox_->clear();
  manager_->prepare();
  // A failed login or version check answers as action 1; the catalogue (or its failure) as 2.
  return await({kActionInit, kActionEngine}, kPrepareTimeout);
}

KitSession::Failure KitSession::checkResources() {
  inbox_->clear();
  manager_->checkResources();
  return await({kActionResources}, kResourcesTimeout);
}

KitSession::Failure KitSession::start() {
  inbox_->clear();
  started_ = true;  // from here on the engine may run, whatever the answer
  manager_->start();
  return await({kActionEngine}, kStartTimeout);
}

KitSession::Failure KitSession::setVoice(std::int64_t id) {
  inbox_->clear();
  manager_->setVoice(static_cast<double>(id));
  return await({kActionVoice}, kVoiceTimeout);
}

KitSession::Failure KitSession::setMode(std::int64_t mode, float intonation, float pitch) {
  inbox_->clear();
  manager_->setMode(mode, intonation, pitch);
  // Success raises no result; a refusal is posted to the main queue before setMode returns and
  // arrives within moments.
  const auto r = inbox_->wait({kActionVoice}, std::chrono::milliseconds(300), nullptr);
  if (r && r->code != kCodeSuccess) return r->message;
  return std::nullopt;
}

std::optional<std::pair<float, float>> KitSession::calibrate(const std::string& raw_path, std::chrono::seconds timeout,
                                                             std::string& failure) {
  struct Answer {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<std::pair<float, float>> value;
  };
  auto answer = std::make_shared<Answer>();
  manager_->proCalibration(raw_path, [answer](float intonation, float pitch) {
    {
      std::lock_guard lock(answer->mutex);
      answer->value = std::pair{intonation, pitch};
    }
    answer->cv.notify_all();
  });
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(answer->mutex);
  while (!answer->value) {
    if (stop_ && stop_->load()) {
      failure = "interrupted";
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      failure = "no answer from the kit within " + std::to_string(timeout.count()) + " s";
      return std::nullopt;
    }
    answer->cv.wait_for(lock, std::chrono::milliseconds(100));
  }
  return answer->value;
}

KitSession::Failure KitSession::stop() {
  inbox_->clear();
  manager_->stop();
  // Not interruptible: the engine is stopped whatever the reason to end.
  auto f = await({kActionEngine}, kStopTimeout, false);
  if (!f) started_ = false;
  return f;
}

}  // namespace mvsdk::convert
