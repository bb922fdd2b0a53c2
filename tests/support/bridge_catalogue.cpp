#include "support/bridge_catalogue.h"

#include <mutex>

#include "support/bridge_fixtures.h"
#include "support/synthetic_models.h"

namespace mvsdk::test {

namespace {

const std::string kFiles = "https://cdn.test/files/";
const std::string kStyles = "https://cdn.test/styles/";

MVRtvcBinFileItemModel bin(std::int64_t id, std::int64_t bid, std::string file) {
  MVRtvcBinFileItemModel b;
  b.id = id;
  b.bid = bid;
  b.file = std::move(file);
  return b;
}

MVRtvcSpeakerItemModel voice(std::int64_t id, std::vector<std::int64_t> bins, std::string info) {
  MVRtvcSpeakerItemModel v;
  v.id = id;
  v.name = "voice " + std::to_string(id);
  v.binFileIds = std::move(bins);
  v.speakerInfo = std::move(info);
  return v;
}

void write_files() {
  const auto& m = synthetic_models();
  cache_link("a-am.bin", m.am);
  cache_link("a-bn.bin", m.bn);
  cache_link("a-voc.bin", m.voc);
  cache_link("b-am.bin", m.am);
  cache_link("b-bn.bin", m.bn);
  cache_link("b-voc.bin", m.voc);
  cache_write("c-am.bin", "too short for any network");
  cache_link("c-bn.bin", m.bn);
  cache_link("c-voc.bin", m.voc);
  cache_link("d-am.bin", m.am);
  for (int v : {1, 2, 3}) bridge_write_style(v);
  cache_write("v7.txt", "1.5,2,word");
  cache_write("v8.txt", encrypt_style_text(style_numbers(192)) + "\n");
}

}  // namespace

std::string bridge_style_file(int voice) { return "v" + std::to_string(voice) + ".txt"; }

void bridge_write_style(int voice) {
  cache_write(bridge_style_file(voice), encrypt_style_text(style_numbers(192 + voice)));
}

std::shared_ptr<MVRtvcSpeakerListModel> bridge_catalogue() {
  static std::once_flag once;
  std::call_once(once, write_files);
  auto cat = std::make_shared<MVRtvcSpeakerListModel>();
  cat->binFiles = {
      bin(11, 3, kFiles + "a-voc.bin"), bin(12, 1, kFiles + "a-am.bin"), bin(13, 2, kFiles + "a-bn.bin"),
      bin(21, 1, kFiles + "b-am.bin"),  bin(22, 2, kFiles + "b-bn.bin"), bin(23, 3, kFiles + "b-voc.bin"),
      bin(31, 1, kFiles + "c-am.bin"),  bin(32, 2, kFiles + "c-bn.bin"), bin(33, 3, kFiles + "c-voc.bin"),
      bin(41, 1, ""),                   bin(42, 2, kFiles + "d-missing-bn.bin"),
      bin(43, 3, kFiles + "d-missing-voc.bin"),                          bin(44, 1, kFiles + "d-am.bin"),
  };
  cat->speakers = {
      voice(1, {13, 11, 12}, kStyles + "v1.txt"), voice(2, {21, 22, 23}, kStyles + "v2.txt"),
      voice(3, {31, 32, 33}, kStyles + "v3.txt"), voice(4, {11, 12}, kStyles + "v1.txt"),
      voice(5, {11, 12, 13}, ""),                 voice(6, {11, 12, 13}, kStyles + "not-cached.txt"),
      voice(7, {11, 12, 13}, kStyles + "v7.txt"), voice(8, {11, 12, 13}, kStyles + "v8.txt"),
  };
  return cat;
}

}  // namespace mvsdk::test
