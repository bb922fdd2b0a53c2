#include "support/bridge_catalogue.h"

#include <mutex>

#include "support/bridge_fixtures.h"
#include "support/synthetic_models.h"

namespace mvsdk::test {

MVRtvcBinFileItemModel bin_entry(std::int64_t id, std::int64_t bid, std::string file) {
  MVRtvcBinFileItemModel b;
  b.id = id;
  b.bid = bid;
  b.file = std::move(file);
  return b;
}

std::string bridge_style_file(int voice) { return "v" + std::to_string(voice) + ".txt"; }

void bridge_write_style(int voice) {
  cache_write(bridge_style_file(voice), encrypt_style_text(style_numbers(192 + voice)));
}

std::shared_ptr<MVRtvcSpeakerListModel> bridge_catalogue() {
  static std::once_flag once;
  std::call_once(once, [] {
    const auto& m = synthetic_models();
    for (const char* set : {"a", "b", "c", "d"}) {
      cache_link(std::string(set) + "-am.bin", m.am);
      cache_link(std::string(set) + "-bn.bin", m.bn);
      cache_link(std::string(set) + "-voc.bin", m.voc);
    }
    cache_remove("c-am.bin");  // not through the link
    cache_write("c-am.bin", "too short for any network");
    for (int v : {1, 2, 3}) bridge_write_style(v);
    cache_write("v7.txt", "1.5,2,word");
    cache_write("v8.txt", encrypt_style_text(style_numbers(192)) + "\n");
  });
  const std::string files = "https://cdn.test/files/";
  const std::string styles = "https://cdn.test/styles/";
  auto cat = std::make_shared<MVRtvcSpeakerListModel>();
  const std::tuple<int, int, const char*> bins[] = {
      {11, 3, "a-voc.bin"}, {12, 1, "a-am.bin"}, {13, 2, "a-bn.bin"}, {21, 1, "b-am.bin"},
      {22, 2, "b-bn.bin"},  {23, 3, "b-voc.bin"}, {31, 1, "c-am.bin"}, {32, 2, "c-bn.bin"},
      {33, 3, "c-voc.bin"}, {41, 1, nullptr},     {42, 2, "d-missing-bn.bin"},
      {43, 3, "d-missing-voc.bin"},               {44, 1, "d-am.bin"}};
  for (const auto& [id, bid, name] : bins) cat->binFiles.push_back(bin_entry(id, bid, name ? files + name : ""));
  const std::tuple<int, std::vector<std::int64_t>, std::string> voices[] = {
      {1, {13, 11, 12}, "v1.txt"}, {2, {21, 22, 23}, "v2.txt"}, {3, {31, 32, 33}, "v3.txt"},
      {4, {11, 12}, "v1.txt"},     {5, {11, 12, 13}, ""},       {6, {11, 12, 13}, "not-cached.txt"},
      {7, {11, 12, 13}, "v7.txt"}, {8, {11, 12, 13}, "v8.txt"}};
  for (const auto& [id, ids, style] : voices) {
    MVRtvcSpeakerItemModel v;
    v.id = id;
    v.name = "voice " + std::to_string(id);
    v.binFileIds = ids;
    v.speakerInfo = style.empty() ? "" : styles + style;
    cat->speakers.push_back(std::move(v));
  }
  return cat;
}

}  // namespace mvsdk::test
