// Fuzz target: the voice catalogue built from a speaker-list reply (transferModel), reached the
// way the kit reaches it: the reply body is normalised and its data handed over.
//
// Properties checked: every element of "speakers" and "binFiles" yields exactly one record, in
// order; every field holds the JSON value when it has the accepted type and its default
// otherwise; "binFileIds" keeps exactly the number elements, in order; numbers read as integers
// are truncated toward zero and saturated; a non-object yields two empty lists.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "models/speaker_list_model.h"
#include "net/json_text.h"
#include "net/reply.h"

namespace {

using namespace mvsdk;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "speaker_list_fuzz: property failed: %s\n", what);
    std::abort();
  }
}

// The integer a JSON number must read as, worked out independently of json_number_to_int64.
std::int64_t expected_int(const nlohmann::json& v) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  if (v.is_number_unsigned()) {
    const auto u = v.get<std::uint64_t>();
    return u >= static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<std::int64_t>();
  const long double d = std::trunc(static_cast<long double>(v.get<double>()));
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0L) return kMax;
  if (d <= -9223372036854775808.0L) return kMin;
  return static_cast<std::int64_t>(d);
}

void check_string(const nlohmann::json& obj, const char* key, const std::string& got) {
  const auto it = obj.find(key);
  if (it != obj.end() && it->is_string()) {
    check(got == it->get<std::string>(), "a string field holds the JSON string");
  } else {
    check(got.empty(), "a missing or mistyped string field stays empty");
  }
}

void check_number(const nlohmann::json& obj, const char* key, std::int64_t got) {
  const auto it = obj.find(key);
  if (it != obj.end() && it->is_number()) {
    check(got == expected_int(*it), "a number field holds the JSON number as an integer");
  } else {
    check(got == 0, "a missing or mistyped number field stays 0");
  }
}

void check_catalogue(const nlohmann::json& data) {
  const MVRtvcSpeakerListModel model = MVRtvcSpeakerListModel::transferModel(data);
  if (!data.is_object()) {
    check(model.speakers.empty() && model.binFiles.empty(), "a non-object gives empty lists");
    return;
  }
  const auto speakers = data.find("speakers");
  if (speakers == data.end() || !speakers->is_array()) {
    check(model.speakers.empty(), "no speakers array, no voices");
  } else {
    check(model.speakers.size() == speakers->size(), "one voice per element");
    for (std::size_t i = 0; i < model.speakers.size(); ++i) {
      const nlohmann::json& e = (*speakers)[i];
      const MVRtvcSpeakerItemModel& s = model.speakers[i];
      check(s.relustSpeaker == nullptr, "no style vector from JSON");
      const nlohmann::json obj = e.is_object() ? e : nlohmann::json::object();
      check_string(obj, "speakerModelId", s.speakerModelId);
      check_string(obj, "name", s.name);
      check_string(obj, "coverImage", s.coverImage);
      check_string(obj, "speakerInfo", s.speakerInfo);
      check_number(obj, "id", s.id);
      const auto ids = obj.find("binFileIds");
      std::size_t k = 0;
      if (ids != obj.end() && ids->is_array()) {
        for (const auto& v : *ids) {
          if (!v.is_number()) continue;
          check(k < s.binFileIds.size() && s.binFileIds[k] == expected_int(v), "binFileIds keeps the numbers in order");
          ++k;
        }
      }
      check(k == s.binFileIds.size(), "binFileIds holds nothing else");
    }
  }
  const auto bins = data.find("binFiles");
  if (bins == data.end() || !bins->is_array()) {
    check(model.binFiles.empty(), "no binFiles array, no weight files");
  } else {
    check(model.binFiles.size() == bins->size(), "one weight file per element");
    for (std::size_t i = 0; i < model.binFiles.size(); ++i) {
      const nlohmann::json& e = (*bins)[i];
      const nlohmann::json obj = e.is_object() ? e : nlohmann::json::object();
      const MVRtvcBinFileItemModel& b = model.binFiles[i];
      check_number(obj, "id", b.id);
      check_number(obj, "size", b.size);
      check_number(obj, "bid", b.bid);
      check_string(obj, "file", b.file);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  // As the kit receives it: the normalised reply's data (the whole reply when it has no "data").
  const net::ReplyOutcome outcome = net::normalize_reply(200, body);
  if (outcome.ok) check_catalogue(outcome.data);
  // And the parsed body itself, whatever its shape.
  if (const auto json = net::parse_json_container(body)) check_catalogue(*json);
  return 0;
}
