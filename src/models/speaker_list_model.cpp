#include "models/speaker_list_model.h"

#include <cmath>
#include <limits>

namespace mvsdk {

std::int64_t json_number_to_int64(const nlohmann::json& value, std::int64_t fallback) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  if (value.is_number_integer()) {
    if (value.is_number_unsigned()) {
      const auto u = value.get<std::uint64_t>();
      return u > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int64_t>(u);
    }
    return value.get<std::int64_t>();
  }
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (std::isnan(d)) return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    if (d >= 9223372036854775808.0) return kMax;
    if (d <= -9223372036854775808.0) return kMin;
    return static_cast<std::int64_t>(d);  // truncates toward zero
  }
  return fallback;
}

namespace {

void take_string(const nlohmann::json& obj, const char* key, std::string& out) {
  const auto it = obj.find(key);
  if (it != obj.end() && it->is_string()) out = it->get<std::string>();
}

void take_number(const nlohmann::json& obj, const char* key, std::int64_t& out) {
  const auto it = obj.find(key);
  if (it != obj.end() && it->is_number()) out = json_number_to_int64(*it);
}

MVRtvcSpeakerItemModel speaker_from(const nlohmann::json& element) {
  MVRtvcSpeakerItemModel item;
  if (!element.is_object()) return item;
  take_string(element, "speakerModelId", item.speakerModelId);
  take_string(element, "name", item.name);
  take_string(element, "coverImage", item.coverImage);
  take_string(element, "speakerInfo", item.speakerInfo);
  take_number(element, "id", item.id);
  const auto ids = element.find("binFileIds");
  if (ids != element.end() && ids->is_array()) {
    for (const auto& v : *ids) {
      if (v.is_number()) item.binFileIds.push_back(json_number_to_int64(v));
    }
  }
  return item;
}

MVRtvcBinFileItemModel bin_file_from(const nlohmann::json& element) {
  MVRtvcBinFileItemModel item;
  if (!element.is_object()) return item;
  take_number(element, "id", item.id);
  take_number(element, "size", item.size);
  take_number(element, "bid", item.bid);
  take_string(element, "file", item.file);
  return item;
}

}  // namespace

MVRtvcSpeakerListModel MVRtvcSpeakerListModel::transferModel(const nlohmann::json& data) {
  MVRtvcSpeakerListModel model;
  if (!data.is_object()) return model;
  const auto speakers = data.find("speakers");
  if (speakers != data.end() && speakers->is_array()) {
    model.speakers.reserve(speakers->size());
    for (const auto& e : *speakers) model.speakers.push_back(speaker_from(e));
  }
  const auto bins = data.find("binFiles");
  if (bins != data.end() && bins->is_array()) {
    model.binFiles.reserve(bins->size());
    for (const auto& e : *bins) model.binFiles.push_back(bin_file_from(e));
  }
  return model;
}

}  // namespace mvsdk
