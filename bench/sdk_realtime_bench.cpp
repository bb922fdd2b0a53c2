// The SDK facade driven as a host drives it: 10 ms buffers of 48 kHz mono 16-bit audio handed to
// MVSDKManager::transform on a real-time clock (one call every 10 ms, like an audio callback), in
// asynchronous mode, on synthetic models written by mvsdk-models. Three scenarios:
//   alone          nothing else runs
//   busy           a second process keeps one core busy, and the voice changes every 2 s
//   burst          a second process loads every core for 5 s (from 10 s on); the delay's floor
//                  is followed second by second to see it come back
//
// Reported (counters of each run):
//   allocations      heap allocations made by transform after start (counted on the calling
//                    thread when the benchmark is built with the tests' allocation counter;
//                    -1 when it is not)
//   lock_waits       mutex locks and semaphore waits made by transform (the same; -1 without)
//   underruns        buffers that came back as silence after converted output started, voice
//                    changes excepted (from the change until converted audio comes back)
//   underruns_after_1s  the same, from one second after output started
//   max_call_us      the longest transform call; p999_call_us, p99_call_us, mean_call_us
//   first_output_ms  output position of the first converted sample (ms of stream)
//   delay_ms         end-to-end delay: first_output_ms minus the 160 ms first chunk, which the
//                    engine emits as silence at the input's own position; every later sample
//                    comes out this long after it went in
//   floor_idle_ms    the kit's buffered audio (input not yet converted plus converted audio not
//                    yet returned), its lowest value over each second, median before the burst
//   floor_burst_ms   the same, highest during and right after the burst
//   recovery_ms      time from the burst's end until the floor is back within 20 ms of its idle
//                    value (-1: not within the run)
//   dropped_input_ms input the engine thread could not keep up with (dropped, oldest first)
//   trimmed_output_ms  converted audio dropped to bring the delay back
//   late_calls       ticks that started more than 5 ms late (the machine, not the kit)
//   rt_priority      1 when the driving thread got SCHED_FIFO (as a host's audio thread has), 0
//                    when the system refused it and it ran at normal priority
//
//   OPENBLAS_NUM_THREADS=1 sdk_realtime_bench [--benchmark_filter=alone|busy|burst]
//       60 s each (burst: 30 s); MVSDK_BENCH_SECONDS=N for another length. With more BLAS
//       threads, a busy core stalls every product of the engine (BLAS threads wait for each
//       other), which measures the BLAS library, not the kit.
//
// The service is not involved: the catalogue written by mvsdk-models is handed to the manager
// and its files are linked into a private cache folder, as checkResources would leave them.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#ifdef MVSDK_BENCH_COUNT_ALLOCATIONS
#include "support/alloc_counter.h"
#endif

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
  const std::string cmd = "'" + tool.string() + "' --out '" + models.string() + "' --seed 5 --voices 2 >/dev/null";
  if (std::system(cmd.c_str()) != 0) return "cannot run " + tool.string();
  const fs::path cache = root / "cache";
  fs::create_directories(cache / "MVRtvcFile");
  fs::create_directories(root / "config");
  ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  for (const char* name : {"am.bin", "bn.bin", "voc.bin", "voice-1.txt", "voice-2.txt"}) {
    fs::create_symlink(models / name, cache / "MVRtvcFile" / name);
  }
  return "";
}

// A child process that keeps `threads` cores busy until killed.
pid_t spin(int threads) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  // The parent may run at real-time priority: the load runs at normal priority, as other
  // programs do.
  sched_param normal{};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  std::vector<std::thread> spinners;
  for (int i = 1; i < threads; ++i) {
    spinners.emplace_back([] {
      volatile std::uint64_t x = 0;
      for (;;) x = x + 1;
    });
  }
  volatile std::uint64_t x = 0;
  for (;;) x = x + 1;
}

void stop_spin(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

enum Scenario { kAlone = 0, kBusy = 1, kBurst = 2 };

void BM_SdkRealtime(benchmark::State& state) {
  const auto scenario = static_cast<Scenario>(state.range(0));
  const LogLevel log_level = logLevel();
  setLogLevel(LogLevel::off);  // the kit's own lines stay out of the figures
  const char* env = std::getenv("MVSDK_BENCH_SECONDS");
  const int seconds = env ? std::max(1, std::atoi(env)) : (scenario == kBurst ? 30 : 60);
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

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
  std::vector<double> floor_ms;  // the buffered audio's lowest value, second by second
  floor_ms.reserve(static_cast<std::size_t>(seconds) + 1);
  double second_min = 1e9;
  std::int64_t first_output_call = -1;
  std::int64_t first_output_sample = -1;
  std::size_t underruns = 0, underruns_after_1s = 0, late = 0;
  std::size_t phase = 0;
  std::size_t allocations = 0, waits = 0;
  std::int64_t last_change_call = -1000;
  bool awaiting_output = false;
  const auto stats_before = manager->audioStats();

  // Voice changes (busy scenario) from a thread of their own, as a host's UI would make them.
  std::atomic<bool> done{false};
  std::atomic<std::int64_t> change_call{-1000};
  std::atomic<std::size_t> current_call{0};
  std::thread changer;
  pid_t busy = -1;
  if (scenario == kBusy) {
    busy = spin(1);
    changer = std::thread([&] {
      for (int i = 0; !done.load(); ++i) {
        for (int k = 0; k < 200 && !done.load(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done.load()) break;
        change_call.store(static_cast<std::int64_t>(current_call.load()));
        manager->setVoice(1 + (i + 1) % 2);
      }
    });
  }

  // A host's audio callback runs at real-time priority; ask for the same (it may be refused).
  sched_param param{};
  param.sched_priority = 10;
  const bool rt = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;

  constexpr std::size_t kBurstFrom = 1000, kBurstTo = 1500;  // calls: 10 s to 15 s
  for (auto _ : state) {
    auto tick = std::chrono::steady_clock::now();
    for (std::size_t c = 0; c < calls; ++c) {
      current_call.store(c);
      if (scenario == kBurst && c == kBurstFrom) busy = spin(cores);
      if (scenario == kBurst && c == kBurstTo) stop_spin(busy);
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
      {
#ifdef MVSDK_BENCH_COUNT_ALLOCATIONS
        test::AllocationGuard guard;
#endif
        manager->transform(input, output);
#ifdef MVSDK_BENCH_COUNT_ALLOCATIONS
        allocations += guard.count();
        waits += guard.waits();
#endif
      }
      const auto t1 = std::chrono::steady_clock::now();
      call_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());

      const auto nonzero = std::find_if(output.begin(), output.end(), [](std::uint8_t b) { return b != 0; });
      // After a voice change the engine's stream starts again (silence until its first chunk):
      // like the start, that is not an underrun until converted audio has come back.
      const std::int64_t changed = change_call.load();
      if (changed != last_change_call) {
        last_change_call = changed;
        awaiting_output = true;
      }
      if (nonzero != output.end()) awaiting_output = false;
      if (first_output_call < 0) {
        if (nonzero != output.end()) {
          first_output_call = static_cast<std::int64_t>(c);
          first_output_sample = static_cast<std::int64_t>(c * kSamples) + (nonzero - output.begin()) / 2;
        }
      } else if (nonzero == output.end() && !awaiting_output) {
        ++underruns;
        if (static_cast<std::int64_t>(c) >= first_output_call + 100) ++underruns_after_1s;
      }
      // The kit's buffered audio (read outside the timed call; the reads take locks).
      if (c % 10 == 0) {
        const auto st = manager->audioStats();
        const double buffered = static_cast<double>(st.pendingInputSamples + st.readyOutputSamples) +
                                static_cast<double>(manager->processedBufferedBytes() + manager->inputBufferedBytes()) / 2.0;
        second_min = std::min(second_min, buffered / 48.0);
      }
      if (c % 100 == 99) {
        floor_ms.push_back(second_min);
        second_min = 1e9;
      }
      tick += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(tick);
    }
  }
  if (rt) {
    param.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
  }
  done = true;
  if (changer.joinable()) changer.join();
  stop_spin(busy);
  const auto stats_after = manager->audioStats();
  manager->engineRelease();
  setLogLevel(log_level);

  std::vector<double> sorted = call_us;
  std::sort(sorted.begin(), sorted.end());
  double sum = 0;
  for (double v : call_us) sum += v;
  const double first_ms = first_output_sample < 0 ? -1.0 : static_cast<double>(first_output_sample) / 48.0;
#ifdef MVSDK_BENCH_COUNT_ALLOCATIONS
  state.counters["allocations"] = static_cast<double>(allocations);
  state.counters["lock_waits"] = static_cast<double>(waits);
#else
  state.counters["allocations"] = -1;
  state.counters["lock_waits"] = -1;
#endif
  state.counters["underruns"] = static_cast<double>(underruns);
  state.counters["underruns_after_1s"] = static_cast<double>(underruns_after_1s);
  state.counters["max_call_us"] = sorted.empty() ? 0 : sorted.back();
  state.counters["p999_call_us"] = sorted.empty() ? 0 : sorted[sorted.size() * 999 / 1000];
  state.counters["p99_call_us"] = sorted.empty() ? 0 : sorted[sorted.size() * 99 / 100];
  state.counters["mean_call_us"] = call_us.empty() ? 0 : sum / static_cast<double>(call_us.size());
  state.counters["first_output_ms"] = first_ms;
  state.counters["delay_ms"] = first_ms < 0 ? -1.0 : first_ms - 160.0;
  state.counters["dropped_input_ms"] =
      static_cast<double>(stats_after.droppedInputSamples - stats_before.droppedInputSamples) / 48.0;
  state.counters["trimmed_output_ms"] =
      static_cast<double>(stats_after.trimmedOutputSamples - stats_before.trimmedOutputSamples) / 48.0;
  // The delay's floor: idle before the burst (from 2 s on), its worst during and after it, and
  // how long after the burst it took to come back.
  const std::size_t burst_s = kBurstFrom / 100, burst_end_s = kBurstTo / 100;
  std::vector<double> idle(floor_ms.begin() + std::min<std::size_t>(2, floor_ms.size()),
                           floor_ms.begin() + std::min(burst_s, floor_ms.size()));
  std::sort(idle.begin(), idle.end());
  const double idle_ms = idle.empty() ? -1 : idle[idle.size() / 2];
  double worst = -1, recovery = -1;
  if (scenario == kBurst) {
    for (std::size_t i = burst_s; i < floor_ms.size(); ++i) worst = std::max(worst, floor_ms[i]);
    for (std::size_t i = burst_end_s; i < floor_ms.size(); ++i) {
      if (floor_ms[i] <= idle_ms + 20.0) {
        recovery = static_cast<double>(i + 1 - burst_end_s) * 1000.0;
        break;
      }
    }
  }
  state.counters["floor_idle_ms"] = idle_ms;
  state.counters["floor_burst_ms"] = worst;
  state.counters["recovery_ms"] = recovery;
  if (std::getenv("MVSDK_BENCH_FLOOR")) {
    for (std::size_t i = 0; i < floor_ms.size(); ++i) std::fprintf(stderr, "floor %zu s %.1f ms\n", i + 1, floor_ms[i]);
  }
  state.counters["rt_priority"] = rt ? 1 : 0;
  state.counters["late_calls"] = static_cast<double>(late);
  state.counters["seconds"] = seconds;
  std::error_code ec;
  fs::remove_all(models.parent_path(), ec);
}

}  // namespace

BENCHMARK(BM_SdkRealtime)->ArgName("alone")->Arg(kAlone)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_SdkRealtime)->ArgName("busy")->Arg(kBusy)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_SdkRealtime)->ArgName("burst")->Arg(kBurst)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_MAIN();
