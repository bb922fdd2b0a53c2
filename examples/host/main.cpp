// A small host built against the installed kit, the way an app consumes it.
//
//   mvsdk-host-example                      offline: configure a manager, convert a buffer before
//                                           a start (silence), print what the kit reports
//   mvsdk-host-example SERVICE_URL TOKEN    the whole lifecycle against a service: prepare,
//                                           checkResources, start, setVoice (the first voice),
//                                           1.5 s of audio in real time, stop
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <mvsdk/mvsdk.h>

namespace {

// Collects action results (they arrive on the kit's main queue) for the main thread to wait on.
struct Results {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::int64_t> actions;
  std::int64_t last_code = -1;

  // Waits for the next result of action; its code, or -1 after the timeout.
  std::int64_t wait(std::int64_t action, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex);
    const bool got = cv.wait_for(lock, timeout, [&] {
      for (auto a : actions)
        if (a == action) return true;
      return false;
    });
    actions.clear();
    return got ? last_code : -1;
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::printf("mvsdk %s\n", MVSDK_VERSION_STRING);
  auto results = std::make_shared<Results>();

  auto manager = mvsdk::MVSDKManager::create();
  if (!manager) return 1;
  mvsdk::EngineConfig config = mvsdk::EngineConfig::defaultConfig();
  config.token = argc > 2 ? argv[2] : "example-token";
  config.onActionResult = [results](std::int64_t action, std::int64_t code, const std::string& message) {
    std::printf("action %lld code %lld: %s\n", static_cast<long long>(action), static_cast<long long>(code),
                message.c_str());
    std::lock_guard lock(results->mutex);
    results->actions.push_back(action);
    results->last_code = code;
    results->cv.notify_all();
  };
  config.onDownload = [](std::int64_t percent, std::int64_t current, std::int64_t total) {
    std::printf("download %lld%% (file %lld of %lld)\n", static_cast<long long>(percent),
                static_cast<long long>(current), static_cast<long long>(total));
  };
  manager->setEngineConfig(config);

  // 10 ms of a 220 Hz tone, 48 kHz mono 16-bit.
  std::vector<std::uint8_t> buffer(manager->calculateMinDataSize());
  std::size_t phase = 0;
  auto fill = [&] {
    for (std::size_t i = 0; i + 1 < buffer.size(); i += 2, ++phase) {
      const auto s = static_cast<std::int16_t>(8000.0 * std::sin(2.0 * 3.14159265358979 * 220.0 * phase / 48000.0));
      buffer[i] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s));
      buffer[i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8);
    }
  };

  if (argc < 3) {
    fill();
    const auto out = manager->transform(buffer);
    bool silent = out.size() == buffer.size();
    for (auto b : out) silent = silent && b == 0;
    std::printf("block %zu bytes, status %lld, voices %zu, before a voice: %s\n", buffer.size(),
                static_cast<long long>(manager->getEngineStatus()), manager->getVoiceList().size(),
                silent ? "silence" : "audio");
    return silent ? 0 : 1;
  }

  mvsdk::MVSDKManager::setServiceBaseUrl(argv[1]);
  const auto timeout = std::chrono::seconds(300);
  manager->prepare();
  if (results->wait(mvsdk::kActionEngine, timeout) != 0) return 2;
  manager->checkResources();
  if (results->wait(mvsdk::kActionResources, timeout) != 0) return 3;
  manager->start();
  if (results->wait(mvsdk::kActionEngine, timeout) != 0) return 4;
  const auto voices = manager->getVoiceList();
  if (voices.empty()) return 5;
  manager->setVoice(static_cast<double>(voices.front().id));
  if (results->wait(mvsdk::kActionVoice, timeout) != 0) return 6;
  // 1.5 s of audio, one 10 ms buffer every 10 ms as an audio callback would deliver them.
  std::size_t converted = 0;
  for (int i = 0; i < 150; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    fill();
    const auto out = manager->transform(buffer);
    for (auto b : out) {
      if (b != 0) {
        ++converted;
        break;
      }
    }
  }
  std::printf("%zu of 150 buffers carried converted audio\n", converted);
  manager->stop();
  return results->wait(mvsdk::kActionEngine, timeout) == 0 ? 0 : 7;
}
