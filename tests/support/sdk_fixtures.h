#pragma once
// Fixtures for the SDK facade's tests: a recorder of action results that waits with timeouts,
// and the synthetic service folder the end-to-end tests serve.
#include <gtest/gtest.h>

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
#include "platform/dispatch.h"
#include "support/synthetic_models.h"
#include "support/tool_launch.h"

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
// How GoogleTest prints a result in a failure message.
inline void PrintTo(const ActionResult& r, std::ostream* os) {
  *os << "(" << r.action << ", " << r.code << ", \"" << r.message << "\")";
}

// Records every action result (from any thread) and hands them out in arrival order.
class ResultRecorder {
 public:
  // Callbacks that record into this recorder (which must outlive them: keep it alive until the
  // main queue is drained).
  ActionResultCallback actions() {
    return [state = state_](std::int64_t action, std::int64_t code, const std::string& message) {
      {
        std::lock_guard lock(state->mutex);
        state->results.push_back({action, code, message, platform::main_queue().is_current()});
      }
      state->cv.notify_all();
    };
  }
  // The next action result, waiting at most timeout; nullopt when none came.
  std::optional<ActionResult> next(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    std::unique_lock lock(state_->mutex);
    if (!state_->cv.wait_for(lock, timeout, [&] { return !state_->results.empty(); })) return std::nullopt;
    ActionResult r = state_->results.front();
    state_->results.pop_front();
    return r;
  }
  // A test failure unless the next result (within timeout) is want, delivered on the main queue.
  void expect(const ActionResult& want, std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
    const auto got = next(timeout);
    ASSERT_TRUE(got) << "no action result, wanted " << ::testing::PrintToString(want);
    EXPECT_EQ(*got, want);
    EXPECT_TRUE(got->on_main_queue);
  }
  // Results received so far and not taken by next().
  std::size_t pending() const {
    std::lock_guard lock(state_->mutex);
    return state_->results.size();
  }

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable cv;
    std::deque<ActionResult> results;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A configuration with the recorder's callback and token "test-token".
inline EngineConfig recorded_config(ResultRecorder& recorder) {
  EngineConfig config = EngineConfig::defaultConfig();
  config.token = "test-token";
  config.onActionResult = recorder.actions();
  return config;
}

// mvsdk-models --out <temp>/models --seed seed --voices voices; empty when the tool failed.
inline std::filesystem::path models_folder(const std::string& tag, int seed, int voices) {
  const auto home = temp_dir(tag);
  const auto dir = home / "models";
  const auto run = run_tool_in_home(
      "mvsdk-models", {"--out", dir.string(), "--seed", std::to_string(seed), "--voices", std::to_string(voices)}, home);
  return run.status == 0 ? dir : std::filesystem::path();
}
// The synthetic service folder (seed 3, 7 voices), written once per process.
inline const std::filesystem::path& sdk_service_folder() {
  static const std::filesystem::path folder = models_folder("sdk-service", 3, 7);
  return folder;
}

}  // namespace mvsdk::test
