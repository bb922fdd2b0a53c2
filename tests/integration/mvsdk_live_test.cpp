// mvsdk-live end to end on a private JACK server with the dummy backend (real-time priority where
// the system grants it), its voices from the embedded local service. A player client feeds a
// speech-like signal into the tool and a recorder client takes its output, both on the server's
// frame clock: silent until the delay the tool reported, then 10 s without a muted period (an
// underrun) or an xrun; `quit` ends it. Every process started is stopped by its guard, and by the
// system (PR_SET_PDEATHSIG) if the test itself dies.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support/local_service.h"
#include "support/speechlike.h"
#include "support/tool_launch.h"

namespace mvsdk::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kRate = 48000;
// A sanitizer or unoptimised (coverage) build's engine runs slower than real time: there the
// timing is not judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
constexpr bool kRealTime = false;
#else
constexpr bool kRealTime = true;
#endif
constexpr std::size_t kPeriod = 480;  // frames (10 ms), the kit's own block
constexpr double kSteadySeconds = 10.0;
constexpr double kRunLimitSeconds = 30.0;
// The first run makes the synthetic models and downloads them from the embedded service.
constexpr auto kBringUp = 180s;

extern "C" void drop_message(const char*) {}

// A JACK client of the test on the private server, with one port. Its callback touches only
// atomics and storage sized before activation; it leaves the server before its members go.
class Client {
 public:
  Client(const std::string& name, const std::string& server, bool output, std::vector<float> samples)
      : samples_(std::move(samples)), output_(output), xruns_by_period_(samples_.size() / kPeriod + 1) {
    jack_set_error_function(drop_message);
    jack_set_info_function(drop_message);
    client_ = jack_client_open(name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                               nullptr, server.c_str());
    if (!client_ || samples_.empty()) return;
    port_ = jack_port_register(client_, output ? "out" : "in", JACK_DEFAULT_AUDIO_TYPE,
                               output ? JackPortIsOutput : JackPortIsInput, 0);
    jack_set_process_callback(client_, process, this);
    jack_set_xrun_callback(client_, [](void* self) { return static_cast<Client*>(self)->xruns_ += 1, 0; }, this);
    ok_ = port_ && jack_activate(client_) == 0;
  }
  ~Client() {
    if (client_) jack_client_close(client_);
  }
  jack_client_t* get() const { return client_; }
  bool ok() const { return ok_; }
  std::size_t frames() const { return count_.load(); }
  jack_nframes_t start() const { return start_.load(); }  // server frame time of the first sample
  const std::vector<float>& samples() const { return samples_; }
  std::uint64_t xruns_before(std::size_t period) const { return xruns_by_period_[period]; }
  float played_at(jack_nframes_t t) const { return samples_[(t - start()) % samples_.size()]; }
  bool wait_frames(std::size_t frames, std::chrono::milliseconds timeout) const {
    for (const auto end = std::chrono::steady_clock::now() + timeout; count_.load() < frames;) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

 private:
  // A player plays its samples over and over from its first period on; a recorder records from
  // the first period in which it is connected, noting the xruns when each period began.
  static int process(jack_nframes_t n, void* arg) {
    auto& self = *static_cast<Client*>(arg);
    auto* buffer = static_cast<float*>(jack_port_get_buffer(self.port_, n));
    std::size_t at = self.count_.load();
    if (at == 0 && !self.output_ && jack_port_connected(self.port_) == 0) return 0;
    if (at == 0) self.start_.store(jack_last_frame_time(self.client_));
    if (self.output_) {
      for (jack_nframes_t i = 0; i < n; ++i) buffer[i] = self.samples_[(at + i) % self.samples_.size()];
      self.count_.store(at + n);
      return 0;
    }
    if (at / kPeriod < self.xruns_by_period_.size()) self.xruns_by_period_[at / kPeriod] = self.xruns_.load();
    for (jack_nframes_t i = 0; i < n && at < self.samples_.size(); ++i) self.samples_[at++] = buffer[i];
    self.count_.store(at);
    return 0;
  }
  std::vector<float> samples_;
  bool output_;
  std::vector<std::uint64_t> xruns_by_period_;
  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  std::atomic<std::size_t> count_{0};
  std::atomic<jack_nframes_t> start_{0};
  std::atomic<std::uint64_t> xruns_{0};
  bool ok_ = false;
};

// Without real-time scheduling the dummy server's driver thread wakes late on a busy machine and
// the graph has xruns whatever its clients do.
bool realtime_granted() {
  bool granted = false;
  std::thread([&granted] {
    sched_param p{};
    p.sched_priority = 1;
    granted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
  }).join();
  return granted;
}

class LiveTest : public ::testing::Test {
 protected:
  // jackd, dummy backend, 48 kHz, kPeriod frames; ready once a client can join it.
  std::unique_ptr<Process> start_server() {
    auto server = std::make_unique<Process>(
        std::vector<std::string>{"jackd", realtime_granted() ? "--realtime" : "--no-realtime", "-n", server_name_,
                                 "-d", "dummy", "-r", std::to_string(kRate), "-p", std::to_string(kPeriod)},
        std::vector<std::string>{}, dir_.path(), "jackd");
    for (int i = 0; i < 100 && server->started() && !server->wait_exit(0ms); ++i) {
      if (Client("probe", server_name_, true, {}).get()) return server;
      std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "jackd did not come up: " << server->err();
    return nullptr;
  }
  std::unique_ptr<Process> live(const std::vector<std::string>& args) {
    return std::make_unique<Process>(launch_argv(tool_path("mvsdk-live"), args), home_env(home_.path()),
                                     dir_.path(), "live");
  }

  TempDir home_{"mvsdk-live-home"};  // models made there and downloaded by the tool
  TempDir dir_{"mvsdk-live"};
  const std::string server_name_ = "mvsdk-live-test-" + std::to_string(::getpid());
};

// The longest run of clean periods in [p_from, p_to), aligned with the recording's start: not muted
// by the kit (every sample zero), no xrun during. Its first period and length.
std::pair<std::size_t, std::size_t> clean_stretch(const Client& r, std::size_t p_from, std::size_t p_to) {
  const auto& x = r.samples();
  std::pair<std::size_t, std::size_t> best{p_from, 0};
  for (std::size_t p = p_from, run_from = p_from; p < p_to; ++p) {
    const bool muted = std::all_of(&x[p * kPeriod], &x[(p + 1) * kPeriod], [](float v) { return v == 0.0f; });
    if (muted || r.xruns_before(p + 1) != r.xruns_before(p)) {
      run_from = p + 1;
    } else if (p + 1 - run_from > best.second) {
      best = {run_from, p + 1 - run_from};
    }
  }
  return best;
}

TEST_F(LiveTest, ConvertsLiveWithoutGapsAndQuits) {
  auto server = start_server();
  ASSERT_TRUE(server);
  const auto speech = speechlike(kRate, 1, 3.0);
  Client player("player", server_name_, true, std::vector<float>(speech.begin(), speech.end()));
  const auto recorded = static_cast<std::size_t>((kRunLimitSeconds + 15) * kRate);
  Client recorder("recorder", server_name_, false, std::vector<float>(recorded));
  ASSERT_TRUE(player.ok() && recorder.ok());

  auto tool = live({"--server", server_name_, "--no-connect", "--in", "player:out", "--out", "recorder:in"});
  ASSERT_TRUE(tool->wait_output(std::regex("connected mvsdk-live:out -> recorder:in"), kBringUp))
      << tool->out() << tool->err();
  const auto latency = tool->wait_output(std::regex(R"(latency: [0-9.]+ ms \(([0-9]+) frames\))"), 0ms);
  ASSERT_TRUE(latency) << tool->out();
  const auto delay = static_cast<std::size_t>(std::stoul((*latency)[1]));
  EXPECT_GE(delay, static_cast<std::size_t>(kRate * 0.16));  // at least a 160 ms chunk

  // Silent until the reported delay (the kit starts after the recorder is connected), sound from
  // at most a chunk's computation later.
  const auto& x = recorder.samples();
  ASSERT_TRUE(recorder.wait_frames(delay + static_cast<std::size_t>(kRate * (kRealTime ? 0.5 : 5.0)), 30s));
  const auto recorded_end = x.begin() + static_cast<std::ptrdiff_t>(recorder.frames());
  const auto first = static_cast<std::size_t>(std::find_if(x.begin(), recorded_end, [](float v) { return v != 0; }) -
                                              x.begin());
  ASSERT_LT(first, recorder.frames()) << "no sound";
  EXPECT_GE(first, delay);
  if (kRealTime) {
    EXPECT_LE(first, delay + static_cast<std::size_t>(kRate * 0.25)) << "sound began late";
  }

  // Then kSteadySeconds of clean periods in a row. The run goes on until there are (at most
  // kRunLimitSeconds): after an underrun on a busy machine the kit holds a period more ready.
  const std::size_t p_first = first / kPeriod + 1;
  const std::size_t limit = first + static_cast<std::size_t>(kRate * (kRealTime ? kRunLimitSeconds : kSteadySeconds));
  std::pair<std::size_t, std::size_t> best;
  do {
    recorder.wait_frames(std::min(recorder.frames() + kRate / 2, limit), 30s);
    best = clean_stretch(recorder, p_first, recorder.frames() / kPeriod - 1);
  } while (best.second * kPeriod < kRate * kSteadySeconds && recorder.frames() < limit);
  if (kRealTime) {
    EXPECT_GE(best.second * kPeriod, static_cast<std::size_t>(kRate * kSteadySeconds));
  }
  // The clean stretch is converted sound, not the input itself.
  double energy = 0, diff = 0, in_energy = 0;
  for (std::size_t i = best.first * kPeriod; i < (best.first + best.second) * kPeriod; ++i) {
    const double in = player.played_at(recorder.start() + static_cast<jack_nframes_t>(i));
    energy += x[i] * x[i];
    in_energy += in * in;
    diff += (x[i] - in) * (x[i] - in);
  }
  EXPECT_GT(std::sqrt(energy / static_cast<double>(std::max<std::size_t>(best.second * kPeriod, 1))), 1e-3);
  EXPECT_GT(diff / in_energy, 0.05) << "a copy of the input";

  tool->send("quit");
  EXPECT_EQ(tool->wait_exit(30s), 0) << tool->out() << tool->err();
  EXPECT_EQ(tool->err(), "");
}

}  // namespace
}  // namespace mvsdk::test
