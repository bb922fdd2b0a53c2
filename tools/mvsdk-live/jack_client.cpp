#include "jack_client.h"

#include <time.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <span>

#include "mvsdk/mvsdk.h"

namespace mvsdk::live {

namespace {

static_assert(sizeof(jack_default_audio_sample_t) == 4, "the kit's format 4 is 32-bit float");

// The library's own messages (connection attempts, socket errors) would add lines around the
// tool's one-line messages, and may come from the process thread: they are dropped.
extern "C" void drop_message(const char*) {}

std::int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void store_max(std::atomic<std::int64_t>& slot, std::int64_t value) {
  std::int64_t seen = slot.load(std::memory_order_relaxed);
  while (value > seen && !slot.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

std::string server_label(const std::optional<std::string>& server) {
  if (server) return *server;
  const char* env = std::getenv("JACK_DEFAULT_SERVER");
  return env && *env ? env : "default";
}

}  // namespace

JackClient::JackClient(const std::string& name, const std::optional<std::string>& server) {
  jack_set_error_function(drop_message);
  jack_set_info_function(drop_message);
  jack_status_t status{};
  const auto options = static_cast<jack_options_t>(JackNoStartServer | (server ? JackServerName : 0));
  client_ = server ? jack_client_open(name.c_str(), options, &status, server->c_str())
                   : jack_client_open(name.c_str(), options, &status);
  if (!client_) {
    error_ = (status & JackServerFailed) != 0
                 ? "no JACK server \"" + server_label(server) + "\" is running (start one, or name it with --server)"
                 : "the JACK server \"" + server_label(server) + "\" refused the client (status 0x" + [&] {
                     char hex[16];
                     std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(status));
                     return std::string(hex);
                   }() + ")";
    return;
  }
  rate_hz_ = jack_get_sample_rate(client_);
  in_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
  out_ = jack_port_register(client_, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  if (!in_ || !out_) {
    error_ = "cannot register the ports";
    return;
  }
  if (jack_set_process_callback(client_, process, this) != 0 || jack_set_xrun_callback(client_, on_xrun, this) != 0 ||
      jack_set_latency_callback(client_, on_latency, this) != 0) {
    error_ = "cannot set the client's callbacks";
    return;
  }
  jack_on_info_shutdown(client_, on_shutdown, this);
}

JackClient::~JackClient() {
  if (!client_) return;
  deactivate();
  jack_client_close(client_);
}

std::int64_t JackClient::sample_rate() const { return rate_hz_; }

std::int64_t JackClient::period_frames() const { return client_ ? jack_get_buffer_size(client_) : 0; }

std::string JackClient::client_name() const { return client_ ? jack_get_client_name(client_) : std::string(); }

std::string JackClient::input_name() const { return in_ ? jack_port_name(in_) : std::string(); }

std::string JackClient::output_name() const { return out_ ? jack_port_name(out_) : std::string(); }

namespace {

std::string check_port(jack_client_t* client, const std::string& name, unsigned long direction, const char* role) {
  jack_port_t* port = jack_port_by_name(client, name.c_str());
  if (!port) return "no JACK port named \"" + name + "\" (jack_lsp lists them)";
  if (std::strcmp(jack_port_type(port), JACK_DEFAULT_AUDIO_TYPE) != 0) {
    return "the JACK port \"" + name + "\" carries no audio";
  }
  if ((static_cast<unsigned long>(jack_port_flags(port)) & direction) == 0) {
    return "the JACK port \"" + name + "\" is not " + role;
  }
  return {};
}

}  // namespace

std::string JackClient::check_source(const std::string& port) const {
  return check_port(client_, port, JackPortIsOutput, "an output port, so it cannot feed the input");
}

std::string JackClient::check_destination(const std::string& port) const {
  return check_port(client_, port, JackPortIsInput, "an input port, so it cannot take the output");
}

std::vector<std::string> JackClient::physical_ports(bool capture) const {
  std::vector<std::string> names;
  const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                      JackPortIsPhysical | (capture ? JackPortIsOutput : JackPortIsInput));
  if (!ports) return names;
  for (const char** p = ports; *p; ++p) names.emplace_back(*p);
  jack_free(ports);
  return names;
}

std::string JackClient::connect(const std::string& source, const std::string& destination) {
  const int r = jack_connect(client_, source.c_str(), destination.c_str());
  if (r == 0 || r == EEXIST) return {};
  return "cannot connect " + source + " to " + destination;
}

void JackClient::set_latency(std::int64_t frames) {
  latency_frames_.store(frames, std::memory_order_relaxed);
  if (active_) jack_recompute_total_latencies(client_);
}

bool JackClient::activate(std::atomic<bool>* wake) {
  wake_ = wake;
  if (jack_activate(client_) != 0) return false;
  active_ = true;
  return true;
}

void JackClient::convert(MVSDKManager* kit) { kit_.store(kit, std::memory_order_release); }

void JackClient::deactivate() {
  if (!active_) return;
  active_ = false;
  // A server that is gone calls nothing any more; asking it to deactivate would only wait.
  if (!server_gone()) jack_deactivate(client_);
  kit_.store(nullptr, std::memory_order_seq_cst);
  // A server that went away may leave its last callback running on the client's thread: the kit
  // must outlive it. (transform never waits, so this is short.)
  while (in_process_.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

ProcessStats JackClient::take_window() {
  ProcessStats s;
  s.frames = frames_.load(std::memory_order_relaxed);
  const std::int64_t busy = window_busy_ns_.exchange(0, std::memory_order_relaxed);
  const std::int64_t period = window_period_ns_.exchange(0, std::memory_order_relaxed);
  s.busy_share = period > 0 ? static_cast<double>(busy) / static_cast<double>(period) : 0.0;
  s.max_share = static_cast<double>(window_max_ppm_.exchange(0, std::memory_order_relaxed)) / 1e6;
  return s;
}

ProcessTotals JackClient::totals() const {
  ProcessTotals t;
  t.frames = frames_.load(std::memory_order_relaxed);
  t.callbacks = callbacks_.load(std::memory_order_relaxed);
  t.longest_us = static_cast<double>(longest_ns_.load(std::memory_order_relaxed)) / 1e3;
  t.max_share = static_cast<double>(max_ppm_.load(std::memory_order_relaxed)) / 1e6;
  t.xruns = xruns_.load(std::memory_order_relaxed);
  const std::int64_t first = first_sound_frame_.load(std::memory_order_relaxed);
  if (first >= 0) t.first_sound_frame = first;
  return t;
}

std::string JackClient::shutdown_reason() const {
  if (!server_gone()) return {};
  return std::string(reason_, strnlen(reason_, sizeof reason_));
}

int JackClient::process(jack_nframes_t frames, void* arg) {
  auto& self = *static_cast<JackClient*>(arg);
  const std::int64_t t0 = now_ns();
  const auto* in = static_cast<const std::uint8_t*>(jack_port_get_buffer(self.in_, frames));
  auto* out = static_cast<std::uint8_t*>(jack_port_get_buffer(self.out_, frames));
  const std::size_t bytes = static_cast<std::size_t>(frames) * sizeof(jack_default_audio_sample_t);
  self.in_process_.fetch_add(1, std::memory_order_seq_cst);
  MVSDKManager* kit = self.kit_.load(std::memory_order_seq_cst);
  if (!kit) {
    self.in_process_.fetch_sub(1, std::memory_order_release);
    std::memset(out, 0, bytes);
    return 0;
  }
  kit->transform(std::span<const std::uint8_t>(in, bytes), std::span<std::uint8_t>(out, bytes));
  self.in_process_.fetch_sub(1, std::memory_order_release);
  const std::int64_t done = self.frames_.load(std::memory_order_relaxed);
  if (self.first_sound_frame_.load(std::memory_order_relaxed) < 0) {
    const auto* samples = reinterpret_cast<const jack_default_audio_sample_t*>(out);
    for (jack_nframes_t i = 0; i < frames; ++i) {
      if (samples[i] != 0.0f) {
        self.first_sound_frame_.store(done + i, std::memory_order_relaxed);
        break;
      }
    }
  }
  self.frames_.store(done + frames, std::memory_order_relaxed);
  self.callbacks_.fetch_add(1, std::memory_order_relaxed);

  const std::int64_t took = now_ns() - t0;
  const std::int64_t period = static_cast<std::int64_t>(frames) * 1'000'000'000 / std::max<std::int64_t>(self.rate_hz_, 1);
  self.window_busy_ns_.fetch_add(took, std::memory_order_relaxed);
  self.window_period_ns_.fetch_add(period, std::memory_order_relaxed);
  const std::int64_t ppm = period > 0 ? took * 1'000'000 / period : 0;
  store_max(self.window_max_ppm_, ppm);
  store_max(self.max_ppm_, ppm);
  store_max(self.longest_ns_, took);
  return 0;
}

int JackClient::on_xrun(void* arg) {
  static_cast<JackClient*>(arg)->xruns_.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

void JackClient::on_latency(jack_latency_callback_mode_t mode, void* arg) {
  auto& self = *static_cast<JackClient*>(arg);
  const auto delay = static_cast<jack_nframes_t>(self.latency_frames_.load(std::memory_order_relaxed));
  // Capture latency flows downstream (what reaches the input, plus the delay, leaves the
  // output); playback latency flows upstream (what the output still has to go, plus the delay,
  // is what the input has to go).
  jack_latency_range_t range{};
  if (mode == JackCaptureLatency) {
    jack_port_get_latency_range(self.in_, mode, &range);
    range.min += delay;
    range.max += delay;
    jack_port_set_latency_range(self.out_, mode, &range);
  } else {
    jack_port_get_latency_range(self.out_, mode, &range);
    range.min += delay;
    range.max += delay;
    jack_port_set_latency_range(self.in_, mode, &range);
  }
}

void JackClient::on_shutdown(jack_status_t, const char* reason, void* arg) {
  auto& self = *static_cast<JackClient*>(arg);
  std::size_t n = 0;
  if (reason) {
    for (; n + 1 < sizeof self.reason_ && reason[n] != '\0'; ++n) self.reason_[n] = reason[n];
  }
  self.reason_[n] = '\0';
  self.gone_.store(true, std::memory_order_release);
  if (self.wake_) self.wake_->store(true);
}

}  // namespace mvsdk::live
