#pragma once
// Collects the kit's log lines of every level for a scope: replaces the log sink and lowers the
// threshold to debug; restores the default sink and the previous threshold after. Lines queued
// before the capture began go to the previous sink; lines() and contains() first wait for the log
// thread to deliver every line queued so far.
#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"

namespace mvsdk::test {

class LogCapture {
 public:
  LogCapture() : state_(std::make_shared<State>()), previous_level_(platform::log_level()) {
    platform::log_flush(kFlushWait);
    platform::log_set_sink([state = state_](platform::Level, std::string_view line) {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->lines.emplace_back(line);
    });
    platform::log_set_level(platform::Level::kDebug);
  }
  ~LogCapture() {
    platform::log_flush(kFlushWait);
    platform::log_reset_sink();
    platform::log_set_level(previous_level_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    platform::log_flush(kFlushWait);
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->lines;
  }
  bool contains(const std::string& text) const {
    const auto all = lines();
    return std::any_of(all.begin(), all.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }

 private:
  static constexpr std::chrono::seconds kFlushWait{10};
  struct State {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  std::shared_ptr<State> state_;
  platform::Level previous_level_;
};

}  // namespace mvsdk::test
