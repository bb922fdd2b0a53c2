#include "support/bridge_fixtures.h"

#include <cstdlib>
#include <fstream>
#include <mutex>

#include "bridge/morvox_engine.h"
#include "platform/crypto.h"
#include "platform/dispatch.h"
#include "support/synthetic_models.h"

namespace mvsdk::test {

namespace fs = std::filesystem;

fs::path bridge_cache_dir() {
  static const fs::path dir = [] {
    const fs::path caches = temp_dir("bridge-cache");
    ::setenv("XDG_CACHE_HOME", caches.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", temp_dir("bridge-config").c_str(), 1);
    fs::create_directories(caches / "MVRtvcFile");
    return caches / "MVRtvcFile";
  }();
  return dir;
}

void cache_write(const std::string& name, const std::string& content) {
  std::ofstream(bridge_cache_dir() / name, std::ios::binary) << content;
}

void cache_remove(const std::string& name) {
  std::error_code ec;
  fs::remove(bridge_cache_dir() / name, ec);
}

std::string encrypt_style_text(const std::string& text, std::string_view key_text) {
  const auto* key = reinterpret_cast<const std::uint8_t*>(key_text.data());
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  auto c = platform::aes_cbc_encrypt({key, key_text.size()}, {key, 16}, {p, text.size()});
  return c ? platform::base64_encode(*c) : std::string();
}

std::string style_numbers(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::to_string(0.02 * ((i % 11) - 5));
  return s;
}

bool drain_engine_queue(std::chrono::milliseconds timeout) { return bridge::MorvoxEngine::waitUntilIdle(timeout); }

bool drain_main_queue(std::chrono::milliseconds timeout) {
  auto done = std::make_shared<std::promise<void>>();
  auto f = done->get_future();
  platform::main_queue().async([done] { done->set_value(); });
  return f.wait_for(timeout) == std::future_status::ready;
}

QueueGate::QueueGate() {
  auto held = std::make_shared<std::promise<void>>();
  held_ = held->get_future();
  bridge::MorvoxEngine::runOnEngine([held, released = release_->get_future().share()] {
    held->set_value();
    released.wait_for(std::chrono::seconds(60));
  });
}

MVRtvcBinFileItemModel bin_entry(std::int64_t id, std::int64_t bid, std::string file) {
  MVRtvcBinFileItemModel b;
  b.id = id;
  b.bid = bid;
  b.file = std::move(file);
  return b;
}

std::shared_ptr<MVRtvcSpeakerListModel> bridge_catalogue() {
  static std::once_flag once;
  std::call_once(once, [] {
    const auto& m = synthetic_models();
    for (const char* set : {"a", "b", "c", "d"}) {
      fs::create_symlink(m.am, bridge_cache_dir() / (std::string(set) + "-am.bin"));
      fs::create_symlink(m.bn, bridge_cache_dir() / (std::string(set) + "-bn.bin"));
      fs::create_symlink(m.voc, bridge_cache_dir() / (std::string(set) + "-voc.bin"));
    }
    cache_remove("c-am.bin");  // not through the link
    cache_write("c-am.bin", "too short for any network");
    for (int v : {1, 2, 3}) {
      cache_write("v" + std::to_string(v) + ".txt", encrypt_style_text(style_numbers(192 + v)));
    }
    cache_write("v7.txt", "1.5,2,word");
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
      {7, {11, 12, 13}, "v7.txt"}};
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
