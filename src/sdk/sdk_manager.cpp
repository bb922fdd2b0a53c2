// MVSDKManager: the public handle, the state, the configuration, action results and the reset.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "net/mv_net_request.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "sdk/input_conditioning.h"
#include "sdk/sdk_manager_impl.h"

namespace mvsdk {

// --- Impl: creation, host interface, state ---

std::shared_ptr<MVSDKManager::Impl> MVSDKManager::Impl::create() {
  auto impl = std::make_shared<Impl>();
  impl->engine = bridge::MorvoxEngine::create();
  impl->rtvcEngineManager = bridge::MVRtvcEngineManager::create(
      std::weak_ptr<bridge::MVRtvcEngineHost>(std::static_pointer_cast<bridge::MVRtvcEngineHost>(impl)),
      impl->engine);
  impl->downloads = MVRtvcDownFileManager::sharedManager();
  return impl;
}

MVSDKManager::Impl::~Impl() = default;

std::string MVSDKManager::Impl::engineToken() const {
  std::lock_guard lock(stateMutex);
  return config.token;
}

bool MVSDKManager::Impl::engineMuteOnFail() const { return muteOnFail.load(std::memory_order_relaxed); }

std::shared_ptr<MVRtvcSpeakerListModel> MVSDKManager::Impl::speakerListModel() const {
  std::lock_guard lock(stateMutex);
  return catalogue;
}

void MVSDKManager::Impl::setEngineConfig(const EngineConfig& next) {
  {
    std::lock_guard lock(stateMutex);
    config = next;
  }
  sampleRate.store(next.sampleRate, std::memory_order_relaxed);
  channel.store(next.channel, std::memory_order_relaxed);
  format.store(next.format, std::memory_order_relaxed);
  muteOnFail.store(next.muteOnFail, std::memory_order_relaxed);
  isSync.store(next.isSync, std::memory_order_relaxed);
  engineThreads.store(next.engineThreads < 0 ? 1 : std::min(next.engineThreads, kMaxEngineThreads),
                      std::memory_order_relaxed);
  halfPrecisionWeights.store(next.halfPrecisionWeights, std::memory_order_relaxed);
  MVNetRequest::setToken(next.token);
  // The engine's conditioner takes usable settings from its next push (it is one per process, as
  // the engine); unusable ones leave it as it was and take the audio path away below.
  if (sdk::input_conditioning_problem(next.input).empty()) {
    bridge::MorvoxEngine::setInputConditioning(sdk::conditioner_settings(next.input));
  }
  // The audio path follows the audio fields at once (transform answers with the fallback while
  // they are unsupported; start refuses them).
  const std::string reason = rebuildAudioPath();
  if (!reason.empty()) platform::log_line(platform::Level::kError, "MVSDKManager: " + reason);
}

EngineConfig MVSDKManager::Impl::engineConfig() const {
  std::lock_guard lock(stateMutex);
  return config;
}

void MVSDKManager::Impl::setSpeakerListModel(std::shared_ptr<MVRtvcSpeakerListModel> model) {
  std::lock_guard lock(stateMutex);
  catalogue = std::move(model);
}

void MVSDKManager::Impl::setCurrentSpeakerId(std::optional<double> id) {
  std::lock_guard lock(stateMutex);
  speakerId = id;
  hasSpeaker.store(id.has_value(), std::memory_order_release);
}

std::optional<double> MVSDKManager::Impl::currentSpeakerId() const {
  std::lock_guard lock(stateMutex);
  return speakerId;
}

ActionResultCallback MVSDKManager::Impl::actionResultCallback() const {
  std::lock_guard lock(stateMutex);
  return config.onActionResult;
}

void MVSDKManager::Impl::triggerActionResult(std::int64_t action, std::int64_t code, const std::string& message) {
  if (!actionResultCallback()) return;
  std::weak_ptr<Impl> weak = weak_from_this();
  platform::main_queue().async([weak, action, code, message] {
    ActionResultCallback callback;
    if (auto self = weak.lock()) callback = self->actionResultCallback();
    // The manager is not kept alive across the host's code: a callback that drops the last
    // reference destroys it on the host's terms, not inside this task.
    if (callback) callback(action, code, message);
  });
}

void MVSDKManager::Impl::deliverActionResult(ActionResultCallback callback, std::int64_t action, std::int64_t code,
                                             const std::string& message) {
  if (!callback) return;
  std::weak_ptr<Impl> weak = weak_from_this();
  platform::main_queue().async([weak, callback = std::move(callback), action, code, message] {
    if (weak.expired()) return;
    callback(action, code, message);
  });
}

bool MVSDKManager::Impl::engineRunning() const {
  return isEngineStarted.load(std::memory_order_acquire) && engine->getEngineStatus();
}

void MVSDKManager::Impl::resetAllStates() {
  startGeneration.fetch_add(1);
  setEngineConfig(EngineConfig::defaultConfig());  // also clears the service client's token
  clearSession(kEngineStatusIdle);
}

void MVSDKManager::Impl::clearSession(std::int64_t status) {
  isInitialized = false;
  isPrepared = false;
  isEngineStarted = false;
  setCurrentSpeakerId(std::nullopt);
  setSpeakerListModel(nullptr);
  engineStatus = status;
  currentMode = 0;
  currentIntonation = 0.0f;
  currentPitch = 0.0f;
  clearAudioBuffers();
}

namespace sdk {

DownloadReport download_report(float fraction, std::int64_t total) {
  DownloadReport r;
  r.total = total;
  // float arithmetic as the progress arrives; NaN counts as 0.
  const float p = std::isnan(fraction) ? 0.0f : fraction;
  r.percent = static_cast<std::int64_t>(std::trunc(p * 100.0f));
  const float current = std::trunc(p * static_cast<float>(total));
  std::int64_t c = current >= 9.0e18f ? total : static_cast<std::int64_t>(current) + 1;
  if (c > total) c = total;
  if (c < 1) c = 1;
  r.current = c;
  return r;
}

std::string resources_summary(std::size_t files, std::int64_t total_bytes) {
  char text[160];
  std::snprintf(text, sizeof text, "Total %lu files, total size: %lld bytes (%.2f MB)",
                static_cast<unsigned long>(files), static_cast<long long>(total_bytes),
                static_cast<double>(total_bytes) / 1048576.0);
  return text;
}

std::int32_t voice_id_int32(double id) {
  if (!std::isfinite(id)) return 0;
  const double t = std::trunc(id);
  // Wrap modulo 2^32 like a 64-bit integer cut to its low 32 bits.
  const double wrapped = std::fmod(t, 4294967296.0);
  const auto low = static_cast<std::int64_t>(wrapped);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(low));
}

}  // namespace sdk

// --- the public handle ---

MVSDKManager::MVSDKManager() : impl_(Impl::create()) {}
MVSDKManager::~MVSDKManager() = default;

std::shared_ptr<MVSDKManager> MVSDKManager::create() {
  try {
    return std::shared_ptr<MVSDKManager>(new MVSDKManager());
  } catch (const std::exception&) {
    return nullptr;
  }
}

void MVSDKManager::setServiceBaseUrl(const std::string& url) { MVNetRequest::setBaseUrl(url); }
std::string MVSDKManager::serviceBaseUrl() { return MVNetRequest::baseUrl(); }

void MVSDKManager::setEngineConfig(const EngineConfig& config) { impl_->setEngineConfig(config); }
EngineConfig MVSDKManager::engineConfig() const { return impl_->engineConfig(); }
void MVSDKManager::initEngine(ServiceCompletion completion) { impl_->initEngine(std::move(completion)); }
void MVSDKManager::prepare() { impl_->prepare(); }
void MVSDKManager::checkResources() { impl_->checkResources(); }
void MVSDKManager::start() { impl_->start(); }
void MVSDKManager::stop() { impl_->stop(); }
void MVSDKManager::engineRelease() { impl_->engineRelease(); }
void MVSDKManager::resetAllStates() { impl_->resetAllStates(); }
void MVSDKManager::cleanAllFiles() { impl_->cleanAllFiles(); }
void MVSDKManager::triggerActionResult(std::int64_t action, std::int64_t code, const std::string& message) {
  impl_->triggerActionResult(action, code, message);
}

void MVSDKManager::login(ServiceCompletion completion) { impl_->login(std::move(completion)); }
void MVSDKManager::checkVersion(ServiceCompletion completion) { impl_->checkVersion(std::move(completion)); }
void MVSDKManager::getSpeakerList(ServiceCompletion completion) { impl_->getSpeakerList(std::move(completion)); }

bool MVSDKManager::waitForEngine(std::chrono::milliseconds timeout) {
  return bridge::MorvoxEngine::waitUntilIdle(timeout);
}

MVSDKManager::AudioStats MVSDKManager::audioStats() const {
  AudioStats stats;
  const auto engine = bridge::MorvoxEngine::pathStats();
  stats.droppedInputSamples = engine.droppedSamples;
  stats.trimmedOutputSamples = engine.trimmedSamples;
  stats.pendingInputSamples = engine.pendingSamples;
  stats.readyOutputSamples = engine.readySamples;
  stats.overlappingCalls = impl_->overlappingCalls.load(std::memory_order_relaxed);
  std::lock_guard lock(impl_->pathMutex);
  if (impl_->ownedPath) {
    stats.fallbackCalls = impl_->ownedPath->fallbackCalls.load(std::memory_order_relaxed);
    stats.lostOutputBytes = impl_->ownedPath->lostBytes.load(std::memory_order_relaxed);
  }
  return stats;
}

MVSDKManager::Bytes MVSDKManager::transform(std::span<const std::uint8_t> input) {
  Bytes out = sdk::silence(input.size());
  if (out.size() != input.size()) return out;  // no memory for the result
  impl_->transform(input, out);
  return out;
}
std::size_t MVSDKManager::transform(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
  return impl_->transform(input, output);
}
std::size_t MVSDKManager::calculateMinDataSize() const { return impl_->calculateMinDataSize(); }
std::size_t MVSDKManager::inputBufferedBytes() const { return impl_->inputBufferedBytes(); }
std::size_t MVSDKManager::processedBufferedBytes() const { return impl_->processedBufferedBytes(); }

std::int64_t MVSDKManager::getBytesPerSampleForFormat(std::int64_t format) { return sdk::bytes_per_sample(format); }
std::optional<MVSDKManager::Bytes> MVSDKManager::convertTo16BitMono(std::span<const std::uint8_t> input,
                                                                     std::int64_t inputFormat,
                                                                     std::int64_t inputChannels, std::int64_t) {
  return sdk::to_s16_mono(input, inputFormat, inputChannels);
}
std::optional<MVSDKManager::Bytes> MVSDKManager::convertFrom16BitMono(std::span<const std::uint8_t> input,
                                                                       std::int64_t outputFormat,
                                                                       std::int64_t outputChannels, std::int64_t) {
  return sdk::from_s16_mono(input, outputFormat, outputChannels);
}
MVSDKManager::Bytes MVSDKManager::createSilentAudioDataWithLength(std::size_t length) { return sdk::silence(length); }

std::vector<MVSpeakerItem> MVSDKManager::getVoiceList() const { return impl_->getVoiceList(); }
std::optional<double> MVSDKManager::getCurrentVoice() const { return impl_->currentSpeakerId(); }
std::int64_t MVSDKManager::getEngineStatus() const { return impl_->engineStatus.load(); }
void MVSDKManager::setVoice(std::optional<double> voiceId) { impl_->setVoice(voiceId); }
void MVSDKManager::setMode(std::int64_t mode, float intonation, float pitch) { impl_->setMode(mode, intonation, pitch); }
std::int64_t MVSDKManager::getMode() const { return impl_->currentMode.load(std::memory_order_relaxed); }
float MVSDKManager::getIntonation() const { return impl_->currentIntonation.load(std::memory_order_relaxed); }
float MVSDKManager::getPitch() const { return impl_->currentPitch.load(std::memory_order_relaxed); }
std::vector<double> MVSDKManager::getSupportIntonation() const { return {Impl::kIntonationMin, Impl::kIntonationMax}; }
std::vector<double> MVSDKManager::getSupportPitch() const { return {Impl::kPitchMin, Impl::kPitchMax}; }
void MVSDKManager::proCalibration(const std::string& path, CalibrationCallback success) {
  impl_->proCalibration(path, std::move(success));
}

bool MVSDKManager::isInitialized() const { return impl_->isInitialized.load(); }
bool MVSDKManager::isPrepared() const { return impl_->isPrepared.load(); }
bool MVSDKManager::isEngineStarted() const { return impl_->isEngineStarted.load(); }
bool MVSDKManager::hasSpeakerListModel() const { return impl_->speakerListModel() != nullptr; }
std::optional<double> MVSDKManager::currentSpeakerId() const { return impl_->currentSpeakerId(); }
std::int64_t MVSDKManager::engineStatus() const { return impl_->engineStatus.load(); }
std::int64_t MVSDKManager::currentMode() const { return impl_->currentMode.load(); }
float MVSDKManager::currentIntonation() const { return impl_->currentIntonation.load(); }
float MVSDKManager::currentPitch() const { return impl_->currentPitch.load(); }

}  // namespace mvsdk
