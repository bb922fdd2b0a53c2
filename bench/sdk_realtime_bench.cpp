// The SDK facade driven as a host drives it: 10 ms buffers of 48 kHz mono 16-bit audio handed to
// MVSDKManager::transform on a real-time clock (one call every 10 ms, like an audio callback), in
// asynchronous mode, on synthetic models written by mvsdk-models.
//
// Reported (counters of the one run):
//   underruns        buffers that came back as silence after converted output started
//   underruns_after_1s  the same, from one second after output started
//   max_call_us      the longest transform call; p99_call_us, mean_call_us
//   first_output_ms  output position of the first converted sample (ms of stream)
//   delay_ms         end-to-end delay: first_output_ms minus the 160 ms first chunk, which the
//                    engine emits as silence at the input's own position; every later sample
//                    comes out this long after it went in
//   calls_over_2ms   transform calls that took longer than 2 ms
//   late_calls       ticks that started more than 5 ms late (the machine, not the kit)
//   rt_priority      1 when the driving thread got SCHED_FIFO (as a host's audio thread has), 0
//                    when the system refused it and it ran at normal priority
//
//   sdk_realtime_bench [--benchmark_...]          60 s; MVSDK_BENCH_SECONDS=N for another length
//
// The service is not involved: the catalogue written by mvsdk-models is handed to the manager
// and its files are linked into a private cache folder, as checkResources would leave them.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mvsdk/mvsdk.h"
#include "sdk/sdk_manager_impl.h"

namespace fs = std::filesystem;
using namespace mvsdk;

namespace {

struct Results {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::pair<std::int64_t, std::int64_t>> seen;  // (action, code)
  bool wait_for(std::int64_t action, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, timeout, [&] {
      return std::any_of(seen.begin(), seen.end(), [&](const auto& r) { return r.first == action; });
    });
  }
};

fs::path self_dir() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path() : exe.parent_path();
}

// Writes the synthetic models (once) and links their files into a private cache folder.
std::string set_up_files(fs::path& models) {
  const fs::path root = fs::temp_directory_path() / ("mvsdk-sdk-bench-" + std::to_string(::getpid()));
  models = root / "models";
  const fs::path tool = self_dir().parent_path() / "tools" / "mvsdk-models";
  const std::string cmd = "'" + tool.string() + "' --out '" + models.string() + "' --seed 5 --voices 1 >/dev/null";
  if (std::system(cmd.c_str()) != 0) return "cannot run " + tool.string();
  const fs::path cache = root / "cache";
  fs::create_directories(cache / "MVRtvcFile");
  fs::create_directories(root / "config");
  ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  for (const char* name : {"am.bin", "bn.bin", "voc.bin", "voice-1.txt"}) {
    fs::create_symlink(models / name, cache / "MVRtvcFile" / name);
  }
  return "";
}

void BM_SdkRealtime(benchmark::State& state) {
  const LogLevel log_level = logLevel();
  setLogLevel(LogLevel::off);  // the kit's own lines stay out of the figures
  const char* env = std::getenv("MVSDK_BENCH_SECONDS");
  const int seconds = env ? std::max(1, std::atoi(env)) : 60;

  fs::path models;
  if (const std::string err = set_up_files(models); !err.empty()) {
    state.SkipWithError(err.c_str());
    return;
  }
  std::ifstream in(models / "catalogue.json");
  const auto catalogue = std::make_shared<MVRtvcSpeakerListModel>(
      MVRtvcSpeakerListModel::transferModel(nlohmann::json::parse(in, nullptr, false)));

  auto results = std::make_shared<Results>();
  auto manager = MVSDKManager::create();
  EngineConfig config = EngineConfig::defaultConfig();
  config.token = "bench";
  config.isSync = false;
  config.onActionResult = [results](std::int64_t action, std::int64_t code, const std::string&) {
    std::lock_guard lock(results->mutex);
    results->seen.push_back({action, code});
    results->cv.notify_all();
  };
  manager->setEngineConfig(config);
  auto& impl = detail::SDKManagerAccess::impl(*manager);
  impl.setSpeakerListModel(catalogue);
  impl.isPrepared = true;

  manager->start();
  if (!results->wait_for(kActionEngine, std::chrono::seconds(30)) || !manager->isEngineStarted()) {
    state.SkipWithError("the engine did not start");
    return;
  }
  manager->setVoice(1);
  if (!results->wait_for(kActionVoice, std::chrono::seconds(30)) || !manager->getCurrentVoice()) {
    state.SkipWithError("the voice was not set");
    return;
  }

  constexpr std::size_t kSamples = 480;  // 10 ms at 48 kHz
  const std::size_t calls = static_cast<std::size_t>(seconds) * 100;
  std::vector<std::uint8_t> input(2 * kSamples), output(2 * kSamples);
  std::vector<double> call_us;
  call_us.reserve(calls);
  std::int64_t first_output_call = -1;
  std::int64_t first_output_sample = -1;
  std::size_t underruns = 0, underruns_after_1s = 0, late = 0;
  std::size_t phase = 0;

  // A host's audio callback runs at real-time priority; ask for the same (it may be refused).
  sched_param param{};
  param.sched_priority = 10;
  const bool rt = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;

  for (auto _ : state) {
    auto tick = std::chrono::steady_clock::now();
    for (std::size_t c = 0; c < calls; ++c) {
      // A speech-like input: a 140 Hz buzz with a slow tremolo and a little noise.
      for (std::size_t i = 0; i < kSamples; ++i, ++phase) {
        const double t = static_cast<double>(phase) / 48000.0;
        const double env_amp = 0.5 + 0.5 * std::sin(2.0 * M_PI * 3.0 * t);
        const double v = 6000.0 * env_amp * (std::sin(2.0 * M_PI * 140.0 * t) + 0.3 * std::sin(2.0 * M_PI * 420.0 * t)) +
                         200.0 * std::sin(static_cast<double>(phase) * 12.9898);
        const auto s = static_cast<std::int16_t>(v);
        input[2 * i] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s));
        input[2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8);
      }
      const auto t0 = std::chrono::steady_clock::now();
      if (t0 - tick > std::chrono::milliseconds(5)) ++late;
      manager->transform(input, output);
      const auto t1 = std::chrono::steady_clock::now();
      call_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());

      const auto nonzero = std::find_if(output.begin(), output.end(), [](std::uint8_t b) { return b != 0; });
      if (first_output_call < 0) {
        if (nonzero != output.end()) {
          first_output_call = static_cast<std::int64_t>(c);
          first_output_sample = static_cast<std::int64_t>(c * kSamples) + (nonzero - output.begin()) / 2;
        }
      } else if (nonzero == output.end()) {
        ++underruns;
        if (static_cast<std::int64_t>(c) >= first_output_call + 100) ++underruns_after_1s;
      }
      tick += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(tick);
    }
  }
  if (rt) {
    param.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
  }
  manager->engineRelease();
  setLogLevel(log_level);

  std::vector<double> sorted = call_us;
  std::sort(sorted.begin(), sorted.end());
  double sum = 0;
  for (double v : call_us) sum += v;
  const double first_ms = first_output_sample < 0 ? -1.0 : static_cast<double>(first_output_sample) / 48.0;
  state.counters["underruns"] = static_cast<double>(underruns);
  state.counters["underruns_after_1s"] = static_cast<double>(underruns_after_1s);
  state.counters["max_call_us"] = sorted.empty() ? 0 : sorted.back();
  state.counters["p99_call_us"] = sorted.empty() ? 0 : sorted[sorted.size() * 99 / 100];
  state.counters["mean_call_us"] = call_us.empty() ? 0 : sum / static_cast<double>(call_us.size());
  state.counters["first_output_ms"] = first_ms;
  state.counters["delay_ms"] = first_ms < 0 ? -1.0 : first_ms - 160.0;
  state.counters["calls_over_2ms"] =
      static_cast<double>(std::count_if(call_us.begin(), call_us.end(), [](double us) { return us > 2000.0; }));
  state.counters["rt_priority"] = rt ? 1 : 0;
  state.counters["late_calls"] = static_cast<double>(late);
  state.counters["seconds"] = seconds;
  std::error_code ec;
  fs::remove_all(models.parent_path(), ec);
}

}  // namespace

BENCHMARK(BM_SdkRealtime)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_MAIN();
