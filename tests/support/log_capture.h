#pragma once
// Collects the kit's log lines of every level for a scope: replaces the log sink and lowers the
// threshold to debug; restores the default sink and the previous threshold after. Lines queued
// before the capture began go to the previous sink; lines() and contains() first wait for the log
// thread to deliver every line queued so far.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"

namespace mvsdk::test {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<std::string> lines() const;
  bool contains(const std::string& text) const;

 private:
  struct State {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  std::shared_ptr<State> state_;
  platform::Level previous_level_;
};

}  // namespace mvsdk::test
