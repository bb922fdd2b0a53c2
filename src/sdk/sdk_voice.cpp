// MVSDKManager: the voice list, the voice change, the tone settings and the calibration.
#include <cmath>
#include <utility>

#include "sdk/sdk_manager_impl.h"

namespace mvsdk {

namespace {

constexpr const char* kNotStartedMessage = "Engine is not started, please call start method first";

// value clamped to [low, high]; NaN (no value at all) counts as 0 before clamping.
float clamp_setting(float value, double low, double high) {
  if (std::isnan(value)) value = 0.0f;
  if (value < low) return static_cast<float>(low);
  if (value > high) return static_cast<float>(high);
  return value;
}

}  // namespace

std::vector<MVSpeakerItem> MVSDKManager::Impl::getVoiceList() const {
  std::vector<MVSpeakerItem> voices;
  const auto model = speakerListModel();
  if (!model) return voices;
  voices.reserve(model->speakers.size());
  for (const auto& speaker : model->speakers) voices.push_back({speaker.id, speaker.name});
  return voices;
}

void MVSDKManager::Impl::setVoice(std::optional<double> voiceId) {
  if (!voiceId) {
    triggerActionResult(kActionVoice, kCodeBadArgument, "Voice ID cannot be empty");
    return;
  }
  if (!engineRunning()) {
    triggerActionResult(kActionVoice, kCodeWrongState, kNotStartedMessage);
    return;
  }
  const auto model = speakerListModel();
  if (!model) {
    triggerActionResult(kActionVoice, kCodeBadArgument,
                        "Voice list model does not exist, please call prepare method first");
    return;
  }
  // The voice is matched here, by the ids' 32-bit values, and handed to the engine manager as
  // found: a second look-up there by another rule could miss it (an id of 2^31 or more).
  const std::int32_t id = sdk::voice_id_int32(*voiceId);
  bridge::VoicePtr voice;
  for (auto& speaker : model->speakers) {
    if (static_cast<std::int32_t>(static_cast<std::uint32_t>(speaker.id)) == id) {
      voice = bridge::VoicePtr(model, &speaker);  // keeps the catalogue alive
      break;
    }
  }
  if (!voice) {
    triggerActionResult(kActionVoice, kCodeBadArgument, "Voice ID " + std::to_string(id) + " does not exist");
    return;
  }

  std::weak_ptr<Impl> weak = weak_from_this();
  const double number = *voiceId;
  rtvcEngineManager->setSpeakerWithModel(
      std::move(voice),
      [weak, number, id] {
        auto self = weak.lock();
        if (!self) return;
        self->setCurrentSpeakerId(number);
        self->triggerActionResult(kActionVoice, kCodeSuccess, "Set voice ID " + std::to_string(id) + " successfully");
      },
      [weak](const std::string& message) {
        auto self = weak.lock();
        if (!self) return;
        self->triggerActionResult(kActionVoice, kCodeBadArgument, message.empty() ? "Failed to set voice" : message);
      });
}

void MVSDKManager::Impl::setMode(std::int64_t mode, float intonation, float pitch) {
  if (!engineRunning()) {
    triggerActionResult(kActionVoice, kCodeWrongState, kNotStartedMessage);
    return;
  }
  currentMode.store(mode, std::memory_order_relaxed);
  currentIntonation.store(clamp_setting(intonation, kIntonationMin, kIntonationMax), std::memory_order_relaxed);
  currentPitch.store(clamp_setting(pitch, kPitchMin, kPitchMax), std::memory_order_relaxed);
}

void MVSDKManager::Impl::proCalibration(const std::string& path, CalibrationCallback success) {
  if (path.empty()) {
    if (success) success(0.0f, 0.0f);
    return;
  }
  rtvcEngineManager->getSoundDataCheckWithPath(path, [success = std::move(success)](float intonation, float pitch) {
    if (success) success(intonation, pitch);
  });
}

}  // namespace mvsdk
