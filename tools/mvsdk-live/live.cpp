#include "live.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "common/embedded.h"
#include "common/kit_session.h"
#include "common/progress.h"
#include "console.h"
#include "jack_client.h"
#include "mvsdk/mvsdk.h"

namespace mvsdk::live {

namespace {

using Clock = std::chrono::steady_clock;
using convert::KitSession;

constexpr int kExitFailed = 1;
constexpr int kExitInterrupted = 130;
constexpr const char* kClientName = "mvsdk-live";
// Playback ports the output goes to by default (a stereo pair hears the mono voice on both sides).
constexpr std::size_t kDefaultPlaybackPorts = 2;
// The delay measurement gives up after this much probe audio without converted sound (the
// failure message says so).
constexpr double kProbeLimitS = 3.0;

std::string voice_name(const std::vector<MVSpeakerItem>& voices, std::int64_t id) {
  for (const auto& v : voices) {
    if (v.id == id) return v.name;
  }
  return {};
}

bool has_voice(const std::vector<MVSpeakerItem>& voices, std::int64_t id) {
  return std::any_of(voices.begin(), voices.end(), [id](const MVSpeakerItem& v) { return v.id == id; });
}

// The kit's delay, measured as mvsdk-convert measures its start-up delay: a voiced probe tone
// (150 Hz and its harmonics) goes through transform in buffers of one JACK period, each buffer's
// engine work let finish before the next, until the first converted (non-zero) sample comes out;
// its frame index is the delay. This is the engine's start-up lead plus its chunk, without the
// time a chunk takes to compute, which in real time comes on top (see the status line).
// Runs before the client is active (transform on this thread is then the only caller).
std::optional<std::int64_t> measure_delay(MVSDKManager& kit, std::int64_t rate_hz, std::int64_t period_frames) {
  const auto frames = static_cast<std::size_t>(std::max<std::int64_t>(period_frames, 1));
  std::vector<float> in(frames), out(frames);
  const auto limit = static_cast<std::int64_t>(kProbeLimitS * static_cast<double>(rate_hz));
  for (std::int64_t at = 0; at < limit; at += static_cast<std::int64_t>(frames)) {
    for (std::size_t i = 0; i < frames; ++i) {
      const double t = static_cast<double>(at + static_cast<std::int64_t>(i)) / static_cast<double>(rate_hz);
      double v = 0.0;
      for (int h = 1; h <= 8; ++h) v += std::sin(2.0 * std::numbers::pi * 150.0 * h * t) / h;
      in[i] = static_cast<float>(0.2 * v);
    }
    const auto bytes = frames * sizeof(float);
    kit.transform(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(in.data()), bytes),
                  std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(out.data()), bytes));
    kit.waitForEngine(std::chrono::seconds(10));
    for (std::size_t i = 0; i < frames; ++i) {
      if (out[i] != 0.0f) return at + static_cast<std::int64_t>(i);
    }
  }
  return std::nullopt;
}

double frames_ms(std::int64_t frames, std::int64_t rate_hz) {
  return 1000.0 * static_cast<double>(frames) / static_cast<double>(rate_hz);
}

// Complete lines from standard input, read without blocking once poll says there is something.
class LineReader {
 public:
  // Waits up to `timeout` for input; false once standard input has ended (then waits nothing).
  bool wait(std::chrono::milliseconds timeout) {
    if (ended_) return false;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (r <= 0) return true;  // nothing yet, or a signal: the caller looks at its flags
    char buf[1024];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
      ended_ = true;
      return false;
    }
    pending_.append(buf, static_cast<std::size_t>(n));
    // A line that never ends is no command: it is dropped and answered as a bad one.
    if (pending_.size() > kMaxLine && pending_.find('\n') == std::string::npos) pending_ = "?\n";
    return true;
  }
  std::optional<std::string> next() {
    const std::size_t at = pending_.find('\n');
    if (at == std::string::npos) return std::nullopt;
    std::string line = pending_.substr(0, at);
    pending_.erase(0, at + 1);
    return line;
  }
  bool ended() const { return ended_; }

 private:
  static constexpr std::size_t kMaxLine = 4096;
  std::string pending_;
  bool ended_ = false;
};

// Deactivates the client before the kit it converts with goes (declared after the kit session).
struct Deactivate {
  JackClient& jack;
  ~Deactivate() { jack.deactivate(); }
};

}  // namespace

int run(const Options& options, std::atomic<bool>& interrupted) {
  Console out(options.quiet, ::isatty(STDOUT_FILENO) == 1);
  setLogLevel(LogLevel::off);

  // JACK first: a missing server or a wrong port name is refused before the kit comes up.
  JackClient jack(kClientName, options.server);
  if (!jack.error().empty()) return out.fail("jack", jack.error());
  for (const auto& port : options.in_ports) {
    if (std::string why = jack.check_source(port); !why.empty()) return out.fail("--in", why);
  }
  for (const auto& port : options.out_ports) {
    if (std::string why = jack.check_destination(port); !why.empty()) return out.fail("--out", why);
  }
  const std::int64_t rate_hz = jack.sample_rate();
  const std::int64_t period = jack.period_frames();
  out.info("jack: client %s, %lld Hz, %lld frames a period (%.1f ms)", jack.client_name().c_str(),
           static_cast<long long>(rate_hz), static_cast<long long>(period), frames_ms(period, rate_hz));

  // A step that ends early because the server went away reports that, not the step.
  auto failed = [&](const std::string& step, const std::string& message) {
    if (jack.server_gone()) {
      return out.fail("jack", "the server stopped or shut the client out" +
                                  (jack.shutdown_reason().empty() ? std::string() : " (" + jack.shutdown_reason() + ")"));
    }
    return interrupted.load() ? kExitInterrupted : out.fail(step, message);
  };

  // The service: the one given, or the local one inside this process.
  std::unique_ptr<convert::EmbeddedService> embedded;
  std::string service_url;
  if (options.service) {
    service_url = *options.service;
  } else {
    const convert::DataFolder folder = convert::ensure_synthetic_data_folder([&out](const std::filesystem::path& dir) {
      out.info("making the synthetic voice models once, into %s", dir.c_str());
    });
    if (!folder.error.empty()) return failed("data folder", folder.error);
    embedded = std::make_unique<convert::EmbeddedService>();
    if (std::string problem = embedded->start(folder.path); !problem.empty()) return failed("local service", problem);
    service_url = embedded->url();
    out.info("note: the voices are synthetic (untrained models), so the output is not a real voice");
  }

  auto progress = std::make_shared<convert::DownloadProgress>(!options.quiet, ::isatty(STDOUT_FILENO) == 1);
  convert::SessionConfig config;
  config.service_url = service_url;
  config.token = options.token.value_or(options.service ? std::string() : std::string(kEmbeddedToken));
  config.rate_hz = rate_hz;
  config.channels = 1;
  config.kit_format = kSampleFormatF32;  // JACK's sample type
  config.sync = false;                   // pipelined: transform never computes on the process thread
  config.mute_on_fail = true;            // what the kit cannot convert is heard as silence
  config.engine_threads = options.threads;
  config.half_precision_weights = options.half;
  config.input = options.conditioning;
  config.on_download = [progress](std::int64_t percent, std::int64_t file, std::int64_t files) {
    progress->update(percent, file, files);
  };
  KitSession kit(config, &interrupted);

  out.info("login: %s", service_url.c_str());
  if (auto f = kit.prepare()) return failed("prepare", *f);
  const std::vector<MVSpeakerItem> voices = kit.manager().getVoiceList();
  if (voices.empty()) return failed("prepare", "the catalogue lists no voices");
  out.info("catalogue: %zu voices", voices.size());
  std::int64_t voice = options.voice.value_or(voices.front().id);
  if (!has_voice(voices, voice)) return failed("setVoice", "Voice ID " + std::to_string(voice) + " does not exist");

  const auto resources = kit.checkResources();
  progress->finish();
  if (resources) return failed("checkResources", *resources);
  if (auto f = kit.start()) return failed("start", *f);
  out.info("engine started: %lld Hz, mono, 32-bit float, pipelined", static_cast<long long>(rate_hz));
  if (options.conditioning.gain || options.conditioning.denoise || options.conditioning.gate) {
    for (const auto& stage : inputConditioningReport(options.conditioning)) out.info("%s", stage.c_str());
  }
  if (auto f = kit.setVoice(voice)) return failed("setVoice", *f);
  std::int64_t mode = options.mode.value_or(0);
  if (options.mode || options.intonation || options.pitch) {
    if (auto f = kit.setMode(mode, options.intonation.value_or(0.0f), options.pitch.value_or(0.0f))) {
      return failed("setMode", *f);
    }
  }
  MVSDKManager& manager = kit.manager();

  const auto delay = measure_delay(manager, rate_hz, period);
  if (!delay) return failed("latency", "no converted sound within 3 s of a test tone");
  // The probe ran through the engine and may have left converted audio and gathered input in the
  // kit's buffers, which a voice change keeps; a new start clears them, so the live stream begins
  // afresh. (The voice, and the mode with it, are set again after it.)
  if (auto f = kit.start()) return failed("start", *f);
  if (auto f = kit.setVoice(voice)) return failed("setVoice", *f);
  if (options.mode || options.intonation || options.pitch) {
    if (auto f = kit.setMode(mode, options.intonation.value_or(0.0f), options.pitch.value_or(0.0f))) {
      return failed("setMode", *f);
    }
  }
  jack.set_latency(*delay);
  out.info("voice %lld \"%s\", mode %lld", static_cast<long long>(voice), voice_name(voices, voice).c_str(),
           static_cast<long long>(manager.getMode()));
  out.info("latency: %.1f ms (%lld frames), the kit's delay (start-up lead and chunk, measured on a test tone); "
           "set on the ports",
           frames_ms(*delay, rate_hz), static_cast<long long>(*delay));

  // Live.
  const std::uint64_t underruns_before = manager.audioStats().fallbackCalls;
  Deactivate deactivate_first{jack};
  if (!jack.activate(&interrupted)) return failed("jack", "cannot activate the client");
  std::vector<std::string> sources = options.in_ports;
  std::vector<std::string> destinations = options.out_ports;
  if (options.connect_defaults) {
    const auto capture = jack.physical_ports(true);
    if (options.in_ports.empty() && !capture.empty()) sources.push_back(capture.front());
    const auto playback = jack.physical_ports(false);
    if (options.out_ports.empty()) {
      for (std::size_t i = 0; i < playback.size() && i < kDefaultPlaybackPorts; ++i) destinations.push_back(playback[i]);
    }
  }
  for (const auto& s : sources) {
    if (std::string why = jack.connect(s, jack.input_name()); !why.empty()) return failed("jack", why);
    out.info("connected %s -> %s", s.c_str(), jack.input_name().c_str());
  }
  for (const auto& d : destinations) {
    if (std::string why = jack.connect(jack.output_name(), d); !why.empty()) return failed("jack", why);
    out.info("connected %s -> %s", jack.output_name().c_str(), d.c_str());
  }
  if (sources.empty()) out.info("note: nothing feeds %s yet", jack.input_name().c_str());
  if (destinations.empty()) out.info("note: %s goes nowhere yet", jack.output_name().c_str());
  // The kit's stream starts here, with the audio of the connections made.
  jack.convert(&manager);

  // Seconds in a row in which the server called no period (a server that hangs, or whose
  // threads something else keeps from running, says nothing itself).
  int silent_seconds = 0;
  std::int64_t last_frames = -1;
  auto status_line = [&](const ProcessStats& w) {
    silent_seconds = w.frames == last_frames ? silent_seconds + 1 : 0;
    last_frames = w.frames;
    const std::string stalled =
        silent_seconds > 1 ? " | no period from the server for " + std::to_string(silent_seconds) + " s" : std::string();
    const auto stats = manager.audioStats();
    const auto t = jack.totals();
    // The voice the kit holds (none while a change is under way).
    const auto held = manager.getCurrentVoice();
    // When the first converted sound left: the delay plus the first chunk's computing time.
    const std::string first_sound =
        t.first_sound_frame ? " (first sound at " + std::to_string(std::lround(frames_ms(*t.first_sound_frame, rate_hz))) + " ms)"
                            : std::string();
    const std::string voice_text =
        held ? std::to_string(static_cast<std::int64_t>(*held)) + " \"" + voice_name(voices, static_cast<std::int64_t>(*held)) + "\""
             : std::string("(changing)");
    char line[320];
    std::snprintf(line, sizeof line,
                  "voice %s | mode %lld | load %.1f%% (max %.1f%%) | underruns %llu | xruns %llu | latency %.1f ms%s%s",
                  voice_text.c_str(),
                  static_cast<long long>(manager.getMode()), 100.0 * w.busy_share, 100.0 * w.max_share,
                  static_cast<unsigned long long>(stats.fallbackCalls - underruns_before),
                  static_cast<unsigned long long>(t.xruns), frames_ms(jack.latency(), rate_hz), first_sound.c_str(),
                  stalled.c_str());
    return std::string(line);
  };

  LineReader input;
  bool quit = false;
  auto next_status = Clock::now() + std::chrono::seconds(1);
  while (!quit && !interrupted.load() && !jack.server_gone()) {
    if (!input.wait(std::chrono::milliseconds(100))) {
      // No standard input (or it ended): the run goes on until a signal or the server ends it.
      ::poll(nullptr, 0, 100);
    }
    while (auto line = input.next()) {
      const Command c = parse_command(*line, kit.inputConditioning());
      switch (c.kind) {
        case Command::Kind::kNone:
          break;
        case Command::Kind::kBad:
          out.info("%s", command_help().c_str());
          break;
        case Command::Kind::kVoices:
          for (const auto& v : voices) {
            out.info("%s%lld\t%s", v.id == voice ? "* " : "  ", static_cast<long long>(v.id), v.name.c_str());
          }
          break;
        case Command::Kind::kVoice:
          if (!has_voice(voices, c.number)) {
            out.info("no voice %lld (`voices` lists them)", static_cast<long long>(c.number));
          } else if (auto f = kit.setVoice(c.number)) {
            out.info("voice %lld: %s", static_cast<long long>(c.number), f->c_str());
          } else {
            voice = c.number;
            out.info("voice %lld \"%s\"", static_cast<long long>(voice), voice_name(voices, voice).c_str());
          }
          break;
        case Command::Kind::kMode:
        case Command::Kind::kPitch: {
          const bool is_mode = c.kind == Command::Kind::kMode;
          const std::int64_t m = is_mode ? c.number : manager.getMode();
          const float x = is_mode ? manager.getIntonation() : c.intonation;
          const float y = is_mode ? manager.getPitch() : c.pitch;
          if (auto f = kit.setMode(m, x, y)) {
            out.info("mode: %s", f->c_str());
          } else {
            out.info("mode %lld, intonation %.2f semitones, pitch %.2f", static_cast<long long>(manager.getMode()),
                     manager.getIntonation(), manager.getPitch());
          }
          break;
        }
        case Command::Kind::kConditioning:
          kit.setInputConditioning(c.conditioning);
          for (const auto& stage : inputConditioningReport(c.conditioning)) out.info("%s", stage.c_str());
          break;
        case Command::Kind::kQuit:
          quit = true;
          break;
      }
      if (quit) break;
    }
    if (Clock::now() >= next_status) {
      next_status += std::chrono::seconds(1);
      if (next_status < Clock::now()) next_status = Clock::now() + std::chrono::seconds(1);
      out.status(status_line(jack.take_window()));
    }
  }

  if (jack.server_gone()) return failed("jack", "");
  jack.deactivate();
  const auto totals = jack.totals();
  const auto stats = manager.audioStats();
  const auto stop = kit.stop();
  out.end_status();
  out.info("ran %.1f s: longest callback %.0f us (%.1f%% of a %.1f ms period), underruns %llu, dropped input %.1f ms, "
           "xruns %llu, latency %.1f ms, first converted sound at %.1f ms",
           static_cast<double>(totals.frames) / static_cast<double>(rate_hz), totals.longest_us,
           100.0 * totals.max_share, frames_ms(period, rate_hz),
           static_cast<unsigned long long>(stats.fallbackCalls - underruns_before),
           frames_ms(static_cast<std::int64_t>(stats.droppedInputSamples), rate_hz),
           static_cast<unsigned long long>(totals.xruns), frames_ms(jack.latency(), rate_hz),
           totals.first_sound_frame ? frames_ms(*totals.first_sound_frame, rate_hz) : -1.0);
  if (quit && stop) return out.fail("stop", *stop);
  return quit ? 0 : kExitInterrupted;
}

}  // namespace mvsdk::live
