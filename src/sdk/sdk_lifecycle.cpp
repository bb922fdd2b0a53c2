// MVSDKManager: initialisation, preparation, start, stop, release and file clean-up.
#include <algorithm>
#include <limits>
#include <utility>

#include "platform/dispatch.h"
#include "platform/log.h"
#include "sdk/input_conditioning.h"
#include "sdk/sdk_manager_impl.h"

namespace mvsdk {

namespace {

constexpr const char* kNoTokenMessage =
    "Please call setEngineConfig first to set configuration, Token cannot be empty";

std::int32_t rate_int32(std::int64_t rate) {
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(rate, 1, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

void MVSDKManager::Impl::initEngine(ServiceCompletion completion) {
  if (engineToken().empty()) {
    if (completion) completion(kCodeBadArgument, kNoTokenMessage);
    return;
  }
  std::weak_ptr<Impl> weak = weak_from_this();
  login([weak, completion](std::int64_t code, const std::string& message) {
    auto self = weak.lock();
    if (!self) return;
    if (code != kCodeSuccess) {
      self.reset();
      if (completion) completion(code, message);
      return;
    }
    self->checkVersion([weak, completion](std::int64_t code, const std::string& message) {
      auto self = weak.lock();
      if (!self) return;
      if (code == kCodeSuccess) self->isInitialized = true;
      self.reset();
      if (completion) completion(code, message);
    });
  });
}

void MVSDKManager::Impl::prepare() {
  engineStatus = kEngineStatusPreparing;
  std::weak_ptr<Impl> weak = weak_from_this();
  initEngine([weak](std::int64_t code, const std::string& message) {
    auto self = weak.lock();
    if (!self) return;
    if (code != kCodeSuccess) {
      self->engineStatus = kEngineStatusError;
      self->triggerActionResult(kActionInit, code, message);
      return;
    }
    self->getSpeakerList([weak](std::int64_t code, const std::string& message) {
      auto self = weak.lock();
      if (!self) return;
      if (code == kCodeSuccess) {
        self->isPrepared = true;
        self->engineStatus = kEngineStatusPrepared;
      } else {
        self->engineStatus = kEngineStatusError;
      }
      self->triggerActionResult(kActionEngine, code, message);
    });
  });
}

void MVSDKManager::Impl::start() {
  const std::uint64_t gen = startGeneration.fetch_add(1) + 1;
  setCurrentSpeakerId(std::nullopt);
  clearAudioBuffers();

  auto fail = [this](std::int64_t code, const std::string& message) {
    engineStatus = kEngineStatusError;
    triggerActionResult(kActionEngine, code, message);
  };

  const auto model = speakerListModel();
  if (!model) return fail(kCodeWrongState, "Speaker list model does not exist, please call prepare method first");
  if (model->binFiles.size() < 3) {
    return fail(kCodeMissingFiles, "Bin file list does not exist or insufficient count, at least 3 files required");
  }
  // The three files with the lowest bid: acoustic model, content encoder, vocoder.
  std::vector<MVRtvcBinFileItemModel> bins = model->binFiles;
  std::stable_sort(bins.begin(), bins.end(), [](const auto& a, const auto& b) { return a.bid < b.bid; });
  bins.resize(3);
  for (const auto& bin : bins) {
    if (bin.file.empty()) return fail(kCodeBadArgument, "Bin file path does not exist");
  }
  std::string missing;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    if (downloads->getFilePath(bins[i].file).empty()) {
      missing += "file" + std::to_string(i + 1) + "(" + bins[i].file + ") ";
    }
  }
  if (!missing.empty()) {
    return fail(kCodeMissingFiles, "Bin file local path does not exist: " + missing +
                                       ", please call checkResources to download files first");
  }

  // The audio configuration must be one the audio path supports (its buffers are sized now).
  const std::string unsupported = rebuildAudioPath();
  if (!unsupported.empty()) return fail(kCodeBadArgument, unsupported);
  if (platform::log_enabled(platform::Level::kInfo)) {
    for (const auto& line : sdk::input_conditioning_report(engineConfig().input)) {
      platform::log_line(platform::Level::kInfo, "MVSDKManager: " + line);
    }
  }

  const std::int64_t configured = sampleRate.load(std::memory_order_relaxed);
  const std::int64_t rate = configured < 1 ? 48000 : configured;
  const std::vector<std::int64_t> ids = {bins[0].id, bins[1].id, bins[2].id};
  engineStatus = kEngineStatusStarted;

  std::weak_ptr<Impl> weak = weak_from_this();
  const auto threads = static_cast<std::int32_t>(engineThreads.load(std::memory_order_relaxed));
  const bool half = halfPrecisionWeights.load(std::memory_order_relaxed);
  auto launch = [weak, gen, rate, ids, threads, half] {
    auto self = weak.lock();
    // A stop, release, reset or newer start since: this start is void.
    if (!self || self->startGeneration.load() != gen) return;
    self->engine->setEngineInputSampleRate(rate_int32(rate), rate_int32(rate));
    self->engine->setEngineThreads(threads);
    self->engine->setHalfPrecisionWeights(half);
    self->rtvcEngineManager->setEngineSampleRate(rate);
    self->rtvcEngineManager->startEngineWithIds(
        ids,
        [weak, gen] {
          if (weak.expired()) return;
          platform::background_queue().async([weak, gen] { pollEngineStart(weak, gen, 0); });
        },
        [weak](const std::string& message) {
          auto self = weak.lock();
          if (!self) return;
          self->engineStatus = kEngineStatusError;
          self->triggerActionResult(kActionEngine, kCodeWrongState, message.empty() ? "Engine start failed" : message);
        });
  };
  if (engine->getEngineStatus()) {
    // A running engine keeps its files and rate: stop it first, so the start below builds one
    // from the files and the configuration in force now.
    isEngineStarted = false;
    rtvcEngineManager->destroyEngineWithSuccess(launch);
    return;
  }
  launch();
}

void MVSDKManager::Impl::pollEngineStart(std::weak_ptr<Impl> weak, std::uint64_t gen, int attempt) {
  auto self = weak.lock();
  // A stop, release, reset or newer start since: this poll has nothing left to report.
  if (!self || self->startGeneration.load() != gen) return;
  if (self->engine->getEngineStatus()) {
    self->isEngineStarted = true;
    self->engineStatus = kEngineStatusStarted;
    self->triggerActionResult(kActionEngine, kCodeSuccess, "Engine started successfully");
    return;
  }
  if (attempt + 1 >= kStartPolls) {
    self->engineStatus = kEngineStatusError;
    self->triggerActionResult(kActionEngine, kCodeWrongState, "Engine start timeout");
    return;
  }
  platform::after(kStartPollInterval, platform::background_queue(),
                  [weak = std::move(weak), gen, attempt] { pollEngineStart(weak, gen, attempt + 1); });
}

void MVSDKManager::Impl::stop() {
  // The stop's result goes to the callback in force now.
  ActionResultCallback callback = actionResultCallback();
  const bool running = engineRunning();
  // The state goes back to its start now, not when the teardown below has run on the engine
  // queue: a configuration, catalogue or start the host makes once stop has returned is its own
  // and stays. A start since this point bumps the generation; the teardown then leaves the
  // engine (the new one) alone.
  resetAllStates();
  const std::uint64_t gen = startGeneration.load();
  std::weak_ptr<Impl> weak = weak_from_this();

  if (!running) {
    rtvcEngineManager->destroyEngineWithSuccess([weak, callback] {
      if (auto self = weak.lock()) {
        self->deliverActionResult(callback, kActionEngine, kCodeSuccess, "Engine stopped successfully (was not started)");
      }
    });
    return;
  }
  // Each step reports on the engine queue. After the first, the reset and the teardown only
  // clear the engine manager's record of the engine (and stop one that a voice change in flight
  // may have started); once a start has followed they are skipped, leaving its engine alone.
  engine->stopEngine([weak, callback, gen] {
    auto self = weak.lock();
    if (!self) return;
    auto report = [weak, callback] {
      if (auto self = weak.lock()) {
        self->deliverActionResult(callback, kActionEngine, kCodeSuccess, "Engine stopped successfully");
      }
    };
    if (self->startGeneration.load() != gen) return report();
    self->rtvcEngineManager->resetEngineWithSuccess([weak, gen, report](bool) {
      auto self = weak.lock();
      if (!self) return;
      if (self->startGeneration.load() != gen) return report();
      self->rtvcEngineManager->destroyEngineWithSuccess(report);
    });
  });
}

void MVSDKManager::Impl::engineRelease() {
  startGeneration.fetch_add(1);
  const bool running = isEngineStarted.load() || engine->getEngineStatus();
  if (running) {
    isEngineStarted = false;
    // The semaphores outlive a wait that runs out: the late signal then lands on them.
    // On the engine queue itself the queued steps cannot run while this waits: do not wait there.
    const bool canWait = !bridge::MorvoxEngine::queue().is_current();
    auto stopped = std::make_shared<platform::Semaphore>();
    engine->stopEngine([stopped] { stopped->signal(); });
    if (canWait) stopped->wait_for(kReleaseWait);

    auto destroyed = std::make_shared<platform::Semaphore>();
    std::weak_ptr<bridge::MVRtvcEngineManager> manager = rtvcEngineManager;
    rtvcEngineManager->resetEngineWithSuccess([manager, destroyed](bool) {
      if (auto m = manager.lock()) {
        m->destroyEngineWithSuccess([destroyed] { destroyed->signal(); });
      } else {
        destroyed->signal();
      }
    });
    if (canWait) destroyed->wait_for(kReleaseWait);
  }
  clearSession(kEngineStatusReleased);
}

void MVSDKManager::Impl::cleanAllFiles() {
  // The download manager works on the main queue: the clean-up runs there in a task of its own,
  // so this call returns at once even while a host callback holds the main queue.
  std::weak_ptr<Impl> weak = weak_from_this();
  platform::main_queue().async([weak] {
    auto self = weak.lock();
    if (!self) return;
    if (self->downloads->cleanAllFiles()) {
      self->triggerActionResult(kActionCleanup, kCodeSuccess, "All files cleaned");
    } else {
      self->triggerActionResult(kActionCleanup, kCodeRequestFailed, "Failed to clean files");
    }
  });
}

}  // namespace mvsdk
