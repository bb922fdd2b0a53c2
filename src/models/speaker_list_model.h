#pragma once
// The voice catalogue the cloud service returns from "/api/sdkra/getSpeakerList": the target
// voices ("speakers") and the model weight files ("binFiles") the engine loads.
//
// Plain value records, built only by MVRtvcSpeakerListModel::transferModel(). Missing or mistyped
// JSON fields leave their defaults; nothing here fails. The records hold no locks: a catalogue is
// written once (on the main queue, when a speaker-list reply arrives) and then read.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace mvsdk {

// One voice.
struct MVRtvcSpeakerItemModel {
  std::string speakerModelId;  // carried for the host; the kit does not read it
  std::string name;            // display name
  std::string coverImage;      // carried for the host (a picture reference)
  std::string speakerInfo;     // download reference (URL) of the voice's style file
  // Ids of the weight files this voice needs. JSON numbers are read as integers (a fractional
  // value is truncated toward zero).
  std::vector<std::int64_t> binFileIds;
  std::int64_t id = 0;  // the voice id a host selects
  // The voice's decoded style vector, filled in by the engine manager once decoded; null until
  // then. Shared, so copies of the catalogue see the same cache and nothing is freed twice.
  std::shared_ptr<const std::vector<float>> relustSpeaker;
};

// One model weight file.
struct MVRtvcBinFileItemModel {
  std::int64_t id = 0;      // the id that binFileIds and the engine start refer to
  std::int64_t size = 0;    // expected size in bytes
  std::int64_t bid = 0;     // role order: 1 acoustic model, 2 content encoder, 3 vocoder
  std::string file;         // download reference (URL)
};

// The catalogue.
struct MVRtvcSpeakerListModel {
  std::vector<MVRtvcSpeakerItemModel> speakers;  // reply order
  std::vector<MVRtvcBinFileItemModel> binFiles;  // reply order

  // Builds a catalogue from the reply's data value. A non-object gives two empty lists; every
  // element of "speakers" / "binFiles" yields one record (a non-object element yields all
  // defaults), and only values of the expected JSON type are taken over. Never throws.
  static MVRtvcSpeakerListModel transferModel(const nlohmann::json& data);
};

// Reads a JSON number as a signed 64-bit integer: integers as they are (unsigned values above
// INT64_MAX saturate), floating values truncated toward zero and saturated, NaN as 0. Any
// non-number gives fallback.
std::int64_t json_number_to_int64(const nlohmann::json& value, std::int64_t fallback = 0);

}  // namespace mvsdk
