// A small host program built against the installed kit (find_package(mvsdk) or pkg-config).
//
//   mvsdk-host-example                    prints the kit's version and checks the offline calls
//   mvsdk-host-example URL TOKEN [VOICE]  the whole life cycle against the voice service at URL:
//                                         prepare, download, start, choose a voice, convert two
//                                         seconds of a test tone on an audio thread, stop
//
// It shows the order of calls, the callbacks (all on the kit's main queue, never on the host's
// threads) and the audio-thread rule: the audio thread calls transform and nothing that waits.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <mvsdk/mvsdk.h>

namespace {

// Action results arrive on the kit's main queue; the host's control thread waits for them here.
class Results {
 public:
  void push(std::int64_t action, std::int64_t code, const std::string& message) {
    {
      std::lock_guard lock(mutex_);
      queue_.emplace_back(action, code, message);
    }
    cv_.notify_all();
  }
  // Waits for the next result of `action` (or, for prepare, 1 or 2). False on timeout.
  bool wait(std::int64_t a, std::int64_t b, std::int64_t& code, std::string& message) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (true) {
      for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (std::get<0>(*it) == a || std::get<0>(*it) == b) {
          code = std::get<1>(*it);
          message = std::get<2>(*it);
          queue_.erase(it);
          return true;
        }
      }
      if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) return false;
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::tuple<std::int64_t, std::int64_t, std::string>> queue_;
};

bool step(Results& results, const char* name, std::int64_t action, std::int64_t other = -1) {
  std::int64_t code = -1;
  std::string message;
  if (!results.wait(action, other, code, message)) {
    std::fprintf(stderr, "host: %s: no answer\n", name);
    return false;
  }
  std::printf("host: %s -> (%lld) %s\n", name, static_cast<long long>(code), message.c_str());
  return code == mvsdk::kCodeSuccess;
}

int offline_checks() {
  using mvsdk::MVSDKManager;
  std::printf("mvsdk %s\n", MVSDK_VERSION_STRING);
  auto kit = MVSDKManager::create();
  // 10 ms of 48 kHz mono 16-bit audio is the smallest block the kit converts.
  if (kit->calculateMinDataSize() != 960) return 1;
  // Before start (and before a voice is set) transform returns silence of the input's length.
  std::vector<std::uint8_t> in(960, 0x11), out(960, 0xFF);
  if (kit->transform(in, out) != in.size() || out != std::vector<std::uint8_t>(960, 0)) return 1;
  if (kit->getEngineStatus() != mvsdk::kEngineStatusIdle) return 1;
  std::printf("host: offline calls answer as documented\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return offline_checks();
  const std::string url = argv[1];
  const std::string token = argv[2];

  // The kit's own log lines (failures and lifecycle steps at the default level) arrive on its log
  // thread; the last of them are waited for on the way out.
  mvsdk::setLogSink([](mvsdk::LogLevel, const std::string& line) { std::fprintf(stderr, "kit: %s\n", line.c_str()); });
  struct FlushLogAtExit {
    ~FlushLogAtExit() { mvsdk::flushLog(); }
  } flush_log_at_exit;

  // 1. Create the manager and configure it. Callbacks run on the kit's main queue.
  mvsdk::MVSDKManager::setServiceBaseUrl(url);
  auto kit = mvsdk::MVSDKManager::create();
  Results results;
  mvsdk::EngineConfig config = mvsdk::EngineConfig::defaultConfig();
  config.sampleRate = 48000;
  config.channel = 1;
  config.format = mvsdk::kSampleFormatS16;
  config.token = token;
  config.onActionResult = [&results](std::int64_t action, std::int64_t code, const std::string& message) {
    results.push(action, code, message);
  };
  // Progress comes many times per file; one line per file is enough here. The kit copies the
  // callback, so its state lives outside it; it runs on the main queue only and needs no lock.
  auto last_file = std::make_shared<std::int64_t>(0);
  config.onDownload = [last_file](std::int64_t percent, std::int64_t file, std::int64_t files) {
    if (file == *last_file) return;
    *last_file = file;
    std::printf("host: download %lld%% (file %lld of %lld)\n", static_cast<long long>(percent),
                static_cast<long long>(file), static_cast<long long>(files));
  };
  kit->setEngineConfig(config);

  // 2. prepare (login, version check, catalogue), 3. checkResources, 4. start, 5. setVoice.
  kit->prepare();
  if (!step(results, "prepare", mvsdk::kActionInit, mvsdk::kActionEngine)) return 1;
  const auto voices = kit->getVoiceList();
  if (voices.empty()) return 1;
  kit->checkResources();
  if (!step(results, "checkResources", mvsdk::kActionResources)) return 1;
  kit->start();
  if (!step(results, "start", mvsdk::kActionEngine)) return 1;
  const std::int64_t voice = argc > 3 ? std::atoll(argv[3]) : voices.front().id;
  kit->setVoice(static_cast<double>(voice));
  if (!step(results, "setVoice", mvsdk::kActionVoice)) {
    kit->engineRelease();
    return 1;
  }

  // 6. The audio thread: one transform per 10 ms buffer, on the clock; nothing else there.
  std::atomic<std::int64_t> nonzero{0};
  std::thread audio([&kit, &nonzero] {
    std::vector<std::int16_t> in(480), out(480);
    double phase = 0;
    auto due = std::chrono::steady_clock::now();
    for (int buffer = 0; buffer < 200; ++buffer) {  // 2 s
      for (auto& s : in) {
        phase += 2 * std::numbers::pi * 150.0 / 48000.0;
        s = static_cast<std::int16_t>(8000 * std::sin(phase) + 3000 * std::sin(3 * phase));
      }
      const std::span<const std::uint8_t> in_bytes(reinterpret_cast<const std::uint8_t*>(in.data()), 960);
      const std::span<std::uint8_t> out_bytes(reinterpret_cast<std::uint8_t*>(out.data()), 960);
      kit->transform(in_bytes, out_bytes);
      for (auto s : out) nonzero += s != 0;
      due += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(due);
    }
  });
  audio.join();
  std::printf("host: 2 s converted, %lld non-zero samples\n", static_cast<long long>(nonzero.load()));

  // 7. stop: the engine stops on the kit's engine queue; the result comes on the main queue.
  kit->stop();
  if (!step(results, "stop", mvsdk::kActionEngine)) return 1;
  return nonzero.load() > 0 ? 0 : 1;
}
