#pragma once
// The tool's JACK client: one mono input port "in" and one mono output port "out" at the
// server's rate, a process callback that runs every period's input through the kit into the
// output, and the server's notifications (xruns, latency requests, shutdown) turned into atomics
// the main thread polls.
//
// Threads:
//   - process() runs on the server's real-time process thread. It reads the two port buffers,
//     calls MVSDKManager::transform once, reads a clock twice and updates atomics: it allocates,
//     locks, logs and prints nothing.
//   - The xrun, latency and shutdown callbacks run on the client's notification thread (the
//     shutdown one possibly on the process thread); they only touch atomics and fixed storage.
//   - Everything else belongs to one owner thread.
//
// Lifetime: the manager handed to activate() must outlive the active period: call deactivate()
// (or destroy the client) before the manager goes.
#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mvsdk {
class MVSDKManager;
}

namespace mvsdk::live {

// What the process callback measured, as the main thread reads it.
struct ProcessStats {
  std::int64_t frames = 0;             // frames converted so far
  double busy_share = 0.0;             // time in the callback over the periods' length
  double max_share = 0.0;              // the longest callback's share of its period
};

// Totals since convert().
struct ProcessTotals {
  std::int64_t frames = 0;
  std::int64_t callbacks = 0;
  double longest_us = 0.0;             // the longest callback
  double max_share = 0.0;              // the largest share of a period one callback took
  std::uint64_t xruns = 0;             // the server's xrun notifications
  std::optional<std::int64_t> first_sound_frame;  // first non-zero output frame
};

class JackClient {
 public:
  // Opens a client on the named server (none: $JACK_DEFAULT_SERVER or "default") and registers
  // its ports; never starts a server. Check error() (empty on success).
  JackClient(const std::string& name, const std::optional<std::string>& server);
  // Deactivates and closes (a client the server dropped is only closed).
  ~JackClient();
  JackClient(const JackClient&) = delete;
  JackClient& operator=(const JackClient&) = delete;

  const std::string& error() const { return error_; }
  std::int64_t sample_rate() const;
  std::int64_t period_frames() const;
  std::string client_name() const;  // as the server knows it ("mvsdk-live", or made unique)
  std::string input_name() const;   // "client:in"
  std::string output_name() const;  // "client:out"

  // Empty when port exists and can feed the input (an audio output port) / take the output (an
  // audio input port); else why not.
  std::string check_source(const std::string& port) const;
  std::string check_destination(const std::string& port) const;
  // Physical audio ports: capture (outputs of the server's hardware) or playback (its inputs).
  std::vector<std::string> physical_ports(bool capture) const;
  // Empty on success (an existing connection counts as success), else the problem.
  std::string connect(const std::string& source, const std::string& destination);

  // The delay the ports announce (frames from the input to the output). Takes effect at once when
  // active (the server is asked to recompute the graph's latencies), else at activation.
  void set_latency(std::int64_t frames);
  std::int64_t latency() const { return latency_frames_.load(std::memory_order_relaxed); }

  // Starts the process callback, which outputs silence until convert() is called. `wake` (may
  // be null) is raised with the shutdown flag, to end waits elsewhere.
  bool activate(std::atomic<bool>* wake);
  // From the next period on, every period goes through kit (which must outlive the active
  // period); the counters start there. Connect the ports first, so that the kit's stream begins
  // with the audio that reaches it.
  void convert(MVSDKManager* kit);
  void deactivate();

  // The process callback's figures since the last call (and resets them).
  ProcessStats take_window();
  ProcessTotals totals() const;

  // The server stopped or dropped the client; its reason (may be empty).
  bool server_gone() const { return gone_.load(std::memory_order_acquire); }
  std::string shutdown_reason() const;

 private:
  static int process(jack_nframes_t frames, void* self);
  static int on_xrun(void* self);
  static void on_latency(jack_latency_callback_mode_t mode, void* self);
  static void on_shutdown(jack_status_t code, const char* reason, void* self);

  jack_client_t* client_ = nullptr;
  jack_port_t* in_ = nullptr;
  jack_port_t* out_ = nullptr;
  std::string error_;
  bool active_ = false;
  std::atomic<MVSDKManager*> kit_{nullptr};  // read by process()
  std::atomic<int> in_process_{0};           // process() calls using kit_ right now
  std::int64_t rate_hz_ = 0;
  std::atomic<bool>* wake_ = nullptr;

  std::atomic<std::int64_t> latency_frames_{0};
  std::atomic<bool> gone_{false};
  char reason_[256] = {};

  // Filled by process().
  std::atomic<std::int64_t> frames_{0};
  std::atomic<std::int64_t> callbacks_{0};
  std::atomic<std::int64_t> window_busy_ns_{0};
  std::atomic<std::int64_t> window_period_ns_{0};
  std::atomic<std::int64_t> window_max_ppm_{0};   // share of the period, parts per million
  std::atomic<std::int64_t> longest_ns_{0};
  std::atomic<std::int64_t> max_ppm_{0};
  std::atomic<std::int64_t> first_sound_frame_{-1};
  std::atomic<std::uint64_t> xruns_{0};
};

}  // namespace mvsdk::live
