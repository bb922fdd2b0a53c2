#pragma once
// MVSpeakerItem: the host's view of one voice of the catalogue. A plain value the host owns.
#include <cstdint>
#include <string>

namespace mvsdk {

struct MVSpeakerItem {
  std::int64_t id = 0;  // the voice id to pass to MVSDKManager::setVoice (0 when the entry had none)
  std::string name;     // display name ("" when the entry had none)
};

}  // namespace mvsdk
