#include "support/log_capture.h"

#include <algorithm>
#include <chrono>
#include <string_view>

namespace mvsdk::test {
namespace {
constexpr std::chrono::seconds kFlushWait{10};
}

LogCapture::LogCapture() : state_(std::make_shared<State>()), previous_level_(platform::log_level()) {
  platform::log_flush(kFlushWait);
  platform::log_set_sink([state = state_](platform::Level, std::string_view line) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->lines.emplace_back(line);
  });
  platform::log_set_level(platform::Level::kDebug);
}

LogCapture::~LogCapture() {
  platform::log_flush(kFlushWait);
  platform::log_reset_sink();
  platform::log_set_level(previous_level_);
}

std::vector<std::string> LogCapture::lines() const {
  platform::log_flush(kFlushWait);
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lines;
}

bool LogCapture::contains(const std::string& text) const {
  platform::log_flush(kFlushWait);
  std::lock_guard<std::mutex> lock(state_->mutex);
  return std::any_of(state_->lines.begin(), state_->lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

}  // namespace mvsdk::test
