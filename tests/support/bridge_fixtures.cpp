#include "support/bridge_fixtures.h"

#include <cstdlib>
#include <fstream>
#include <thread>

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

void cache_link(const std::string& name, const std::string& target) {
  cache_remove(name);
  fs::create_symlink(target, bridge_cache_dir() / name);
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

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

QueueGate::QueueGate() {
  auto held = std::make_shared<std::promise<void>>();
  held_ = held->get_future();
  bridge::MorvoxEngine::runOnEngine([held, released = release_->get_future().share()] {
    held->set_value();
    released.wait_for(std::chrono::seconds(60));
  });
}

}  // namespace mvsdk::test
