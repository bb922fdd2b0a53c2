#pragma once
// Fixtures for the bridge and engine-manager tests: a private cache directory holding a test
// catalogue's files, encrypted style files, a gate that holds the engine queue, waits with
// timeouts, a log capture, and a host (the SDK manager's side) with settable answers.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "bridge/mv_rtvc_engine_host.h"
#include "bridge/style_data.h"
#include "models/speaker_list_model.h"
#include "support/log_capture.h"

namespace mvsdk::test {

// Points XDG_CACHE_HOME and XDG_CONFIG_HOME at fresh temporary folders (once per process) and
// returns the download cache folder ("MVRtvcFile" inside the caches folder), created.
std::filesystem::path bridge_cache_dir();
// Writes content to name in the cache folder.
void cache_write(const std::string& name, const std::string& content);
void cache_remove(const std::string& name);

// Base64 of the AES-CBC encryption (key text, its first 16 bytes as IV) of text.
std::string encrypt_style_text(const std::string& text, std::string_view key = bridge::kStyleKeyText);
// n comma-separated decimal numbers.
std::string style_numbers(int n);

// Runs everything queued on the engine (its queue and the pushes handed in) / the main queue so
// far; false on timeout.
bool drain_engine_queue(std::chrono::milliseconds timeout = std::chrono::seconds(120));
bool drain_main_queue(std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Holds the engine queue and the engine (a task that waits with the engine to itself) until
// release() or destruction; never longer than a safety limit, so a failing test cannot hang.
class QueueGate {
 public:
  QueueGate();
  ~QueueGate() { release(); }
  // True once the holding task runs (everything queued before it has run).
  bool wait_held(std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
    return held_.wait_for(timeout) == std::future_status::ready;
  }
  void release() {
    if (!std::exchange(released_, true)) release_->set_value();
  }

 private:
  std::shared_ptr<std::promise<void>> release_ = std::make_shared<std::promise<void>>();
  std::future<void> held_;
  bool released_ = false;
};

// A host with settable token, muteOnFail and catalogue.
class FakeHost : public bridge::MVRtvcEngineHost {
 public:
  std::string engineToken() const override {
    std::lock_guard lock(mutex_);
    return token_;
  }
  bool engineMuteOnFail() const override { return mute_.load(); }
  std::shared_ptr<MVRtvcSpeakerListModel> speakerListModel() const override {
    std::lock_guard lock(mutex_);
    return catalogue_;
  }
  void set_token(std::string token) {
    std::lock_guard lock(mutex_);
    token_ = std::move(token);
  }
  void set_mute(bool mute) { mute_.store(mute); }
  void set_catalogue(std::shared_ptr<MVRtvcSpeakerListModel> catalogue) {
    std::lock_guard lock(mutex_);
    catalogue_ = std::move(catalogue);
  }

 private:
  mutable std::mutex mutex_;
  std::string token_ = "token-1";
  std::shared_ptr<MVRtvcSpeakerListModel> catalogue_;
  std::atomic<bool> mute_{false};
};

// A test catalogue for the engine manager, with its files in the test cache folder:
//   set A: ids 11 (bid 3, vocoder), 12 (bid 1, acoustic model), 13 (bid 2, content encoder)
//   set B: ids 21, 22, 23 (bids 1, 2, 3), the same synthetic weights under other names
//   set C: ids 31, 32, 33 (bids 1, 2, 3) whose acoustic-model file is too short to load
//   set D: 41 (bid 1, no reference), 42 (bid 2, not cached), 43 (bid 3, not cached),
//          44 (bid 1, cached)
// Voices:
//   1: A as [13, 11, 12], encrypted style of 193 numbers     2: B, encrypted style
//   3: C, encrypted style                                     4: only [11, 12]
//   5: A without style reference                              6: A, style not cached
//   7: A, style "1.5,2,word"

// One catalogue entry of a weight file.
MVRtvcBinFileItemModel bin_entry(std::int64_t id, std::int64_t bid, std::string file);

// Made once per process: writes the cache files and returns a fresh catalogue each call (so no
// style is cached in it yet).
std::shared_ptr<MVRtvcSpeakerListModel> bridge_catalogue();

}  // namespace mvsdk::test
