#include "bridge/mv_rtvc_engine_manager.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>
#include <string_view>
#include <utility>

#include "bridge/engine_files.h"
#include "bridge/style_data.h"
#include "download/mv_rtvc_down_file_manager.h"
#include "platform/dispatch.h"
#include "platform/log.h"

namespace mvsdk::bridge {

namespace {

constexpr const char* kNotLoggedIn = "User not logged in";
constexpr const char* kSpeakerNotFound = "Current speaker not found";
constexpr const char* kBinFileIdsNotFound = "Current speaker binFileIds not found";
constexpr const char* kEngineStartFailed = "Engine start failed";
constexpr const char* kNoStyleReference = "音色设置失败, 无法获取资源";
constexpr const char* kNoStyleResource = "Failed to set speaker, unable to get resource";
constexpr const char* kFileErrors[3] = {"Resource not found id1", "Resource not found id2", "Resource not found id3"};

// How long a voice change may wait for the engine's style confirmation before conversions resume.
constexpr std::chrono::milliseconds kSettingSpeakerWatchdog{1000};

// Formats into the log's own slot: the prefix costs no string of its own.
void log(platform::Level level, std::string_view line) {
  platform::log_printf(level, "MVRtvcEngineManager: %.*s", static_cast<int>(line.size()), line.data());
}

void fail(const MVRtvcEngineManager::Failure& failure, const std::string& message) {
  if (failure) failure(message);
}

std::int32_t to_int32(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

// Guards relustSpeaker of every voice handed to an engine manager (the voices belong to the
// host's catalogue, which may be shared by several managers).
std::mutex& style_lock() {
  static auto* m = new std::mutex();
  return *m;
}

}  // namespace

std::shared_ptr<MVRtvcEngineManager> MVRtvcEngineManager::create() { return create({}, nullptr); }

std::shared_ptr<MVRtvcEngineManager> MVRtvcEngineManager::create(std::weak_ptr<MVRtvcEngineHost> sdkManager,
                                                                 std::shared_ptr<MorvoxEngine> engine) {
  return std::shared_ptr<MVRtvcEngineManager>(new MVRtvcEngineManager(std::move(sdkManager), std::move(engine)));
}

MVRtvcEngineManager::MVRtvcEngineManager(std::weak_ptr<MVRtvcEngineHost> sdkManager,
                                         std::shared_ptr<MorvoxEngine> engine)
    : sdkManager_(std::move(sdkManager)), engineManager_(engine ? std::move(engine) : MorvoxEngine::create()) {}

MVRtvcEngineManager::~MVRtvcEngineManager() = default;

void MVRtvcEngineManager::setEngineSampleRate(std::int64_t rate) {
  engineManager_->setEngineInputSampleRate(to_int32(rate), to_int32(rate));
}

bool MVRtvcEngineManager::loggedIn() const {
  auto host = sdkManager_.lock();
  return host && !host->engineToken().empty();
}

bool MVRtvcEngineManager::muteOnFail() const {
  auto host = sdkManager_.lock();
  return host && host->engineMuteOnFail();
}

void MVRtvcEngineManager::setSettingSpeaker(bool value) { isSettingSpeaker_.store(value, std::memory_order_release); }

bool MVRtvcEngineManager::isSettingSpeaker() const { return isSettingSpeaker_.load(std::memory_order_acquire); }

VoicePtr MVRtvcEngineManager::currSpeaker() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return currSpeaker_;
}

std::optional<std::vector<std::int64_t>> MVRtvcEngineManager::ids() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return ids_;
}

std::string MVRtvcEngineManager::currIds() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return currIds_;
}

void MVRtvcEngineManager::clearEngineIdentity() {
  VoicePtr old;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    old = std::move(currSpeaker_);
    currSpeaker_.reset();
    hasSpeaker_.store(false, std::memory_order_relaxed);
    ids_.reset();
    currIds_.clear();
  }
  // old (and the catalogue it may keep alive) is released here, outside the lock.
}

StyleVector MVRtvcEngineManager::cachedStyle(const MVRtvcSpeakerItemModel& voice) const {
  std::lock_guard<std::mutex> lock(style_lock());
  if (voice.relustSpeaker && voice.relustSpeaker->size() >= kStyleLength) return voice.relustSpeaker;
  return nullptr;
}

void MVRtvcEngineManager::cacheStyle(MVRtvcSpeakerItemModel& voice, StyleVector style) const {
  std::lock_guard<std::mutex> lock(style_lock());
  voice.relustSpeaker = std::move(style);
}

void MVRtvcEngineManager::setSpeakerWithSpeakerId(std::int64_t speakerId, Success success, Failure failure) {
  if (!loggedIn()) return fail(failure, kNotLoggedIn);
  VoicePtr voice = setEngineSpeakerWithSpeakerId(speakerId);
  if (!voice) return fail(failure, kSpeakerNotFound);
  setSpeakerWithModel(std::move(voice), std::move(success), std::move(failure));
}

void MVRtvcEngineManager::setSpeakerWithModel(VoicePtr voice, Success success, Failure failure) {
  if (!loggedIn()) return fail(failure, kNotLoggedIn);
  if (!voice) return fail(failure, kSpeakerNotFound);
  std::weak_ptr<MVRtvcEngineManager> weak = weak_from_this();
  // Starts the engine with the voice's files, then sets its style. The start itself runs later on
  // the engine queue and may fail (a weight file that does not load): the style is set only once
  // the engine is seen running there, else the change fails. Conversions pass the audio through
  // from the start on, so none reaches a new engine before it holds the voice's style.
  auto start_then_style = [weak, voice, success, failure] {
    auto self = weak.lock();
    if (!self) return;
    if (voice->binFileIds.size() < 3) return fail(failure, kBinFileIdsNotFound);
    self->setSettingSpeaker(true);
    self->startEngineWithIds(
        voice->binFileIds,
        [weak, voice, success, failure] {
          // Queued behind the start: the engine status is final when this runs.
          MorvoxEngine::queue().async([weak, voice, success, failure] {
            auto me = weak.lock();
            if (!me) return;
            if (!me->getEngineStatus()) {
              me->setSettingSpeaker(false);
              log(platform::Level::kError, "engine did not start with the files of the voice");
              return fail(failure, kEngineStartFailed);
            }
            me->setRelustSpeakerWithModel(voice, success, failure);
          });
        },
        [weak, failure](const std::string& message) {
          if (auto me = weak.lock()) me->setSettingSpeaker(false);
          fail(failure, message);
        });
  };
  if (!getEngineStatus()) {
    start_then_style();
  } else if (engine_fits_voice(voice->binFileIds, ids())) {
    setRelustSpeakerWithModel(std::move(voice), std::move(success), std::move(failure));
  } else {
    destroyEngineWithSuccess(std::move(start_then_style));
  }
}

void MVRtvcEngineManager::startEngineWithIds(const std::vector<std::int64_t>& ids, Success success,
                                             Failure failure) {
  auto host = sdkManager_.lock();
  std::shared_ptr<MVRtvcSpeakerListModel> catalogue = host ? host->speakerListModel() : nullptr;
  const EngineFileSelection selection = select_engine_files(catalogue.get(), ids);
  if (!selection.ok()) return fail(failure, selection.error);
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    currIds_ = describe_engine_files(selection.files);
  }
  for (std::size_t i = 0; i < 3; ++i) {
    if (selection.files[i].file.empty()) return fail(failure, kFileErrors[i]);
  }
  std::string paths[3];
  auto downloads = MVRtvcDownFileManager::sharedManager();
  for (std::size_t i = 0; i < 3; ++i) {
    paths[i] = downloads->getFilePath(selection.files[i].file);
    if (paths[i].empty()) return fail(failure, kFileErrors[i]);
  }
  if (!loggedIn()) return fail(failure, kNotLoggedIn);
  // In bid order: acoustic model, content encoder, vocoder.
  engineManager_->startEngine(paths[0], paths[1], paths[2]);
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    ids_ = ids;
  }
  if (success) success();
}

void MVRtvcEngineManager::releaseEngineWithSuccess(Success success) {
  std::weak_ptr<MVRtvcEngineManager> weak = weak_from_this();
  engineManager_->stopEngine([weak, success = std::move(success)] {
    auto self = weak.lock();
    if (!self) return;
    self->clearEngineIdentity();
    if (success) success();
  });
}

void MVRtvcEngineManager::setRelustSpeakerWithModel(VoicePtr voice, Success success, Failure failure) {
  setSettingSpeaker(true);
  log(platform::Level::kInfo, "setRelustSpeakerWithModel called, isSettingSpeaker set to YES");
  if (getEngineStatus()) {
    std::weak_ptr<MVRtvcEngineManager> weak = weak_from_this();
    engineManager_->engineReset([weak, voice = std::move(voice), success = std::move(success),
                                 failure = std::move(failure)]() mutable {
      auto self = weak.lock();
      if (!self) return;
      log(platform::Level::kInfo, "engineReset completed, calling performSetSpeaker");
      self->performSetSpeaker(std::move(voice), std::move(success), std::move(failure));
    });
  } else {
    log(platform::Level::kInfo, "engine not running, calling performSetSpeaker directly");
    performSetSpeaker(std::move(voice), std::move(success), std::move(failure));
  }
}

void MVRtvcEngineManager::performSetSpeaker(VoicePtr voice, Success success, Failure failure) {
  std::weak_ptr<MVRtvcEngineManager> weak = weak_from_this();
  // Set once the change is over (confirmed or failed); the watchdog then leaves the flag alone.
  auto done = std::make_shared<std::atomic<bool>>(false);

  platform::after(kSettingSpeakerWatchdog, platform::main_queue(), [weak, done] {
    auto self = weak.lock();
    if (!self || done->load()) return;
    self->setSettingSpeaker(false);
    platform::log_line(platform::Level::kError,
                       "Warning: setSpeakersStyle completion timeout, force reset isSettingSpeaker");
  });

  auto give_up = [this, &done, &failure](const char* message) {
    done->store(true);
    setSettingSpeaker(false);
    fail(failure, message);
  };
  if (!voice) return give_up(kNoStyleReference);

  // Runs on the main queue once the engine holds the style.
  auto completion = [weak, done, voice, success = std::move(success)] {
    auto self = weak.lock();
    if (!self) return;
    done->store(true);
    {
      std::lock_guard<std::mutex> lock(self->stateLock_);
      self->currSpeaker_ = voice;
      self->hasSpeaker_.store(true, std::memory_order_relaxed);
    }
    self->setSettingSpeaker(false);
    log(platform::Level::kInfo, "setSpeakersStyle completion called, isSettingSpeaker reset to NO");
    if (success) success();
  };

  if (StyleVector cached = cachedStyle(*voice)) {
    engineManager_->setSpeakersStyle(std::move(cached), std::move(completion));
    return;
  }
  if (voice->speakerInfo.empty()) return give_up(kNoStyleReference);
  const std::string path = MVRtvcDownFileManager::sharedManager()->getFilePath(voice->speakerInfo);
  if (path.empty()) return give_up(kNoStyleResource);
  const std::string text = getSpeakerFileWithFile(path).value_or(std::string());
  StyleVector style = MorvoxEngine::getSpeakersInfo(text);
  if (!style || style->size() < kStyleLength) {
    // The engine copies 192 floats from whatever it is given: a shorter vector must not reach it.
    log(platform::Level::kError,
        "style file " + path + " gives " + std::to_string(style ? style->size() : 0) + " values, 192 needed");
    return give_up(kNoStyleResource);
  }
  cacheStyle(*voice, style);
  engineManager_->setSpeakersStyle(std::move(style), std::move(completion));
}

Bytes MVRtvcEngineManager::passThrough(std::span<const std::uint8_t> data) const {
  if (muteOnFail()) return createSilentAudioDataWithLength(data.size());
  return Bytes(data.begin(), data.end());
}

Bytes MVRtvcEngineManager::syncRealTimeTranscribeDataWithData(std::span<const std::uint8_t> data, std::int64_t mode,
                                                              float pitchFluctuation, float pitchOffset) {
  // During a voice change the caller's bytes come back whole (a trailing odd byte included).
  if (isSettingSpeaker()) {
    log(platform::Level::kDebug, "isSettingSpeaker=YES, returning original/silent audio");
    return passThrough(data);
  }
  std::vector<std::int16_t> in(data.size() / 2), out(in.size());
  if (!in.empty()) std::memcpy(in.data(), data.data(), in.size() * sizeof(std::int16_t));
  const std::size_t got = transcribeInto(in, out, true, mode, pitchFluctuation, pitchOffset);
  Bytes result(got * sizeof(std::int16_t));
  if (got != 0) std::memcpy(result.data(), out.data(), result.size());
  return result;
}

void MVRtvcEngineManager::realTimeTranscribeDataWithData(std::span<const std::uint8_t> data, std::int64_t mode,
                                                         float pitchFluctuation, float pitchOffset,
                                                         const std::function<void(const Bytes&)>& success) {
  if (isSettingSpeaker()) {
    if (success) success(passThrough(data));
    return;
  }
  engineManager_->getRealTimeSoundTransferData(data, to_int32(mode), pitchFluctuation, pitchOffset,
                                               [&success](std::optional<Bytes> result) {
                                                 if (success) success(result ? *result : Bytes());
                                               });
}

std::size_t MVRtvcEngineManager::transcribeInto(std::span<const std::int16_t> in, std::span<std::int16_t> out,
                                                bool sync, std::int64_t mode, float pitchFluctuation,
                                                float pitchOffset) {
  if (out.size() != in.size()) return 0;
  // The synchronous conversion's debug lines, formatted into the log queue without allocating
  // (and not at all below debug level).
  constexpr auto kDebug = platform::Level::kDebug;
  if (isSettingSpeaker()) {
    if (sync) log(kDebug, "isSettingSpeaker=YES, returning original/silent audio");
    if (muteOnFail()) {
      std::fill(out.begin(), out.end(), std::int16_t{0});
    } else {
      std::copy(in.begin(), in.end(), out.begin());
    }
    return out.size();
  }
  if (!sync) return engineManager_->convertPipelined(in, to_int32(mode), pitchFluctuation, pitchOffset, out);
  if (platform::log_enabled(kDebug)) {
    platform::log_printf(kDebug,
                         "MVRtvcEngineManager: syncRealTimeTranscribeData - engineStatus=%d, hasSpeaker=%d, "
                         "inputLength=%zu",
                         getEngineStatus() ? 1 : 0, hasSpeaker_.load(std::memory_order_relaxed) ? 1 : 0, in.size() * 2);
  }
  const std::size_t got = engineManager_->convertSync(in, to_int32(mode), pitchFluctuation, pitchOffset, out);
  if (platform::log_enabled(kDebug)) {
    platform::log_printf(kDebug, "MVRtvcEngineManager: syncRealTimeTranscribeData - resultLength=%zu", got * 2);
  }
  return got;
}

void MVRtvcEngineManager::getSoundDataCheckWithPath(const std::string& path, std::function<void(float, float)> success) {
  engineManager_->getSoundDataCheck(path, std::move(success));
}

void MVRtvcEngineManager::resetEngineWithSuccess(std::function<void(bool)> success) {
  std::weak_ptr<MVRtvcEngineManager> weak = weak_from_this();
  engineManager_->engineReset([weak, success = std::move(success)] {
    if (!weak.lock()) return;
    if (success) success(true);
  });
}

void MVRtvcEngineManager::destroyEngineWithSuccess(Success success) {
  if (getEngineStatus()) return releaseEngineWithSuccess(std::move(success));
  clearEngineIdentity();
  if (success) success();
}

bool MVRtvcEngineManager::getEngineStatus() const { return engineManager_->getEngineStatus(); }

VoicePtr MVRtvcEngineManager::setEngineSpeakerWithSpeakerId(std::int64_t speakerId) const {
  auto host = sdkManager_.lock();
  std::shared_ptr<MVRtvcSpeakerListModel> catalogue = host ? host->speakerListModel() : nullptr;
  if (!catalogue) return nullptr;
  for (auto& voice : catalogue->speakers) {
    // An aliasing pointer: it keeps the catalogue (and the voice's cached style) alive.
    if (voice.id == speakerId) return VoicePtr(catalogue, &voice);
  }
  return nullptr;
}

std::optional<std::string> MVRtvcEngineManager::getSpeakerFileWithFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return std::nullopt;
  std::string text = ss.str();
  if (!is_utf8(text)) return std::nullopt;
  return text;
}

Bytes MVRtvcEngineManager::createSilentAudioDataWithLength(std::size_t length) {
  try {
    return Bytes(length, 0);
  } catch (const std::bad_alloc&) {
    return Bytes();
  } catch (const std::length_error&) {
    return Bytes();
  }
}

}  // namespace mvsdk::bridge
