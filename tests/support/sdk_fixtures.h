#pragma once
// Fixtures for the SDK facade's tests: a recorder of action results and download reports that
// waits with timeouts, and the synthetic service folder the end-to-end tests serve.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "mvsdk/engine_config.h"

namespace mvsdk::test {

struct ActionResult {
  std::int64_t action = -1;
  std::int64_t code = -1;
  std::string message;
  bool on_main_queue = false;
  bool operator==(const ActionResult& o) const {
    return action == o.action && code == o.code && message == o.message;
  }
};
std::string to_string(const ActionResult& r);
// How GoogleTest prints a result in a failure message.
inline void PrintTo(const ActionResult& r, std::ostream* os) { *os << to_string(r); }

struct DownloadReportSeen {
  std::int64_t percent, current, total;
};

// Records every action result and download report (from any thread) and hands them out in
// arrival order.
class ResultRecorder {
 public:
  // Callbacks that record into this recorder (which must outlive them: keep it alive until the
  // main queue is drained).
  ActionResultCallback actions();
  DownloadCallback downloads();
  // The next action result, waiting at most timeout; nullopt when none came.
  std::optional<ActionResult> next(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // A test failure unless the next result (within timeout) is want, delivered on the main queue.
  void expect(const ActionResult& want, std::chrono::milliseconds timeout = std::chrono::seconds(120));
  // Results received so far and not taken by next().
  std::size_t pending() const;
  std::vector<DownloadReportSeen> download_reports() const;

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable cv;
    std::deque<ActionResult> results;
    std::vector<DownloadReportSeen> downloads;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A configuration with the recorder's callbacks and token "test-token".
EngineConfig recorded_config(ResultRecorder& recorder);

// The synthetic service folder (mvsdk-models, seed 3, 7 voices), written once per process.
// Empty path when the tool failed.
const std::filesystem::path& sdk_service_folder();
// The same for seed 1 with 2 voices.
const std::filesystem::path& synthetic_model_folder();

}  // namespace mvsdk::test
