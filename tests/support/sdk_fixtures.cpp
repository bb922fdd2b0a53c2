#include "support/sdk_fixtures.h"

#include <memory>

#include <gtest/gtest.h>

#include "platform/dispatch.h"
#include "support/synthetic_models.h"
#include "support/tool_launch.h"

namespace mvsdk::test {

std::string to_string(const ActionResult& r) {
  return "(" + std::to_string(r.action) + ", " + std::to_string(r.code) + ", \"" + r.message + "\")";
}

ActionResultCallback ResultRecorder::actions() {
  return [state = state_](std::int64_t action, std::int64_t code, const std::string& message) {
    {
      std::lock_guard lock(state->mutex);
      state->results.push_back({action, code, message, platform::main_queue().is_current()});
    }
    state->cv.notify_all();
  };
}

DownloadCallback ResultRecorder::downloads() {
  return [state = state_](std::int64_t percent, std::int64_t current, std::int64_t total) {
    std::lock_guard lock(state->mutex);
    state->downloads.push_back({percent, current, total});
  };
}

std::optional<ActionResult> ResultRecorder::next(std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  if (!state_->cv.wait_for(lock, timeout, [&] { return !state_->results.empty(); })) return std::nullopt;
  ActionResult r = state_->results.front();
  state_->results.pop_front();
  return r;
}

void ResultRecorder::expect(const ActionResult& want, std::chrono::milliseconds timeout) {
  const auto got = next(timeout);
  ASSERT_TRUE(got) << "no action result, wanted " << to_string(want);
  EXPECT_EQ(*got, want);
  EXPECT_TRUE(got->on_main_queue);
}

std::size_t ResultRecorder::pending() const {
  std::lock_guard lock(state_->mutex);
  return state_->results.size();
}

std::vector<DownloadReportSeen> ResultRecorder::download_reports() const {
  std::lock_guard lock(state_->mutex);
  return state_->downloads;
}

EngineConfig recorded_config(ResultRecorder& recorder) {
  EngineConfig config = EngineConfig::defaultConfig();
  config.token = "test-token";
  config.onActionResult = recorder.actions();
  config.onDownload = recorder.downloads();
  return config;
}

namespace {
// mvsdk-models --out <temp>/models --seed seed --voices voices; empty when it failed.
std::filesystem::path models_folder(const std::string& tag, int seed, int voices) {
  const auto home = temp_dir(tag);
  const auto dir = home / "models";
  const std::vector<std::string> args = {"--out", dir.string(), "--seed", std::to_string(seed), "--voices",
                                         std::to_string(voices)};
  const auto run = run_tool_in_home("mvsdk-models", args, home);
  return run.status == 0 ? dir : std::filesystem::path();
}
}  // namespace

const std::filesystem::path& sdk_service_folder() {
  static const std::filesystem::path folder = models_folder("sdk-service", 3, 7);
  return folder;
}

const std::filesystem::path& synthetic_model_folder() {
  static const std::filesystem::path folder = models_folder("synthetic", 1, 2);
  return folder;
}

}  // namespace mvsdk::test
