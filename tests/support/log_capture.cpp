#include "support/log_capture.h"

#include <string_view>

#include "platform/log.h"

namespace mvsdk::test {

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
  platform::log_set_sink([state = state_](std::string_view line) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->lines.emplace_back(line);
  });
}

LogCapture::~LogCapture() { platform::log_reset_sink(); }

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lines;
}

bool LogCapture::contains(const std::string& text) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (const auto& l : state_->lines) {
    if (l.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace mvsdk::test
