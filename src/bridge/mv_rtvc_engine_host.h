#pragma once
// MVRtvcEngineHost: what the engine manager reads from the object that owns it (the SDK manager):
// the configuration's token and muteOnFail, and the speaker catalogue. The owner implements it and
// hands itself to the engine manager as a std::weak_ptr.
//
// Threads: every member may be called from any thread, muteOnFail also from the host's audio
// thread, so implementations answer from memory without waiting on anything slow.
#include <memory>
#include <string>

#include "models/speaker_list_model.h"

namespace mvsdk::bridge {

class MVRtvcEngineHost {
 public:
  virtual ~MVRtvcEngineHost() = default;

  // The configuration's token; "" when there is none (the user counts as not logged in).
  virtual std::string engineToken() const = 0;
  // The configuration's muteOnFail: conversions skipped during a voice change give silence
  // instead of the input.
  virtual bool engineMuteOnFail() const = 0;
  // The current speaker catalogue, or null when none was loaded. The engine manager keeps the
  // voices it uses alive through this pointer and writes their relustSpeaker (the decoded style
  // cache) under its own lock: other code must not write that field, nor copy a voice record,
  // while the catalogue is shared with the manager; reading other fields is safe.
  virtual std::shared_ptr<MVRtvcSpeakerListModel> speakerListModel() const = 0;
};

}  // namespace mvsdk::bridge
