#pragma once
// Collects the kit's log lines for a scope (replaces the log sink; restores the default after).
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
};

}  // namespace mvsdk::test
