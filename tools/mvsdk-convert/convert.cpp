#include "convert.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio_file.h"
#include "common/embedded.h"
#include "common/kit_session.h"
#include "mvsdk/mvsdk.h"
#include "common/progress.h"
#include "recording.h"

namespace mvsdk::convert {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitFailed = 1;
constexpr int kExitInterrupted = 130;

class Printer {
 public:
  explicit Printer(bool quiet) : quiet_(quiet) {}
  // One line of information on stdout (nothing with --quiet).
  void info(const char* fmt, ...) const __attribute__((format(printf, 2, 3))) {
    if (quiet_) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  // The one failure line on stderr.
  int fail(const std::string& step, const std::string& message) const {
    std::fflush(stdout);
    std::fprintf(stderr, "mvsdk-convert: %s: %s\n", step.c_str(), one_line(message).c_str());
    return kExitFailed;
  }

 private:
  static std::string one_line(std::string s) {
    std::replace(s.begin(), s.end(), '\n', ' ');
    std::replace(s.begin(), s.end(), '\r', ' ');
    return s;
  }
  bool quiet_;
};

// What the conversion loop saw.
struct LoopStats {
  std::int64_t frames = 0;       // input frames converted (= output frames written)
  std::int64_t buffers = 0;
  std::int64_t underruns = 0;    // buffers the kit could not serve once its output had begun
  std::optional<std::int64_t> first_sound_frame;  // first output frame that is not silence
  double wall_s = 0.0;
  double longest_call_ms = 0.0;  // longest single transform call
};

// The silence byte of a sample format: unsigned 8-bit is centred on 128, the others on 0.
std::uint8_t silence_byte(std::int64_t kit_format) { return kit_format == kSampleFormatU8 ? 128 : 0; }

bool all_silent(std::span<const std::uint8_t> bytes, std::uint8_t silence) {
  return std::all_of(bytes.begin(), bytes.end(), [silence](std::uint8_t b) { return b == silence; });
}

std::string voice_name(const std::vector<MVSpeakerItem>& voices, std::int64_t id) {
  for (const auto& v : voices) {
    if (v.id == id) return v.name;
  }
  return {};
}

std::string channels_text(int n) { return n == 1 ? "1 channel" : std::to_string(n) + " channels"; }

}  // namespace

int run(const Options& options, const std::atomic<bool>& interrupted) {
  const Printer out(options.quiet);
  // The kit's log lines (to stderr) only when asked for, then all of them.
  setLogLevel(options.verbose ? LogLevel::debug : LogLevel::off);

  // Files first: a missing input or an unwritable output fails before the kit is brought up.
  std::unique_ptr<AudioReader> reader;
  std::unique_ptr<AudioWriter> writer;
  AudioFormat format;
  if (!options.list_voices) {
    reader = std::make_unique<AudioReader>(options.input);
    if (!reader->ok()) return out.fail("reading " + options.input, reader->error());
    format = reader->format();
  }
  RawRecording recording;
  struct RecordingCleanup {
    const RawRecording& r;
    ~RecordingCleanup() { remove_raw_recording(r); }
  } recording_cleanup{recording};
  if (options.calibrate && !options.list_voices) {
    recording = make_raw_recording(*options.calibrate, format.rate_hz);
    if (!recording.error.empty()) return out.fail("reading " + *options.calibrate, recording.error);
  }
  if (!options.list_voices) {
    writer = std::make_unique<AudioWriter>(options.output, format);
    if (!writer->ok()) return out.fail("writing " + options.output, writer->error());
  }

  // The service: the one given, or the local one inside this process.
  std::unique_ptr<EmbeddedService> embedded;
  std::string service_url;
  if (options.service) {
    service_url = *options.service;
  } else {
    const DataFolder folder = ensure_synthetic_data_folder([&out](const std::filesystem::path& dir) {
      out.info("making the synthetic voice models once, into %s", dir.c_str());
    });
    if (!folder.error.empty()) return out.fail("data folder", folder.error);
    embedded = std::make_unique<EmbeddedService>();
    if (std::string problem = embedded->start(folder.path); !problem.empty()) {
      return out.fail("local service", problem);
    }
    service_url = embedded->url();
    out.info("note: the voices are synthetic (untrained models), so the output is not a real voice");
  }

  // Shared with the kit's download callback, which may still be queued if a step gives up early.
  auto progress = std::make_shared<DownloadProgress>(!options.quiet, ::isatty(STDOUT_FILENO) == 1);
  SessionConfig config;
  config.service_url = service_url;
  config.token = options.token.value_or(options.service ? std::string() : std::string(kEmbeddedToken));
  if (!options.list_voices) {
    config.rate_hz = format.rate_hz;
    config.channels = format.channels;
    config.kit_format = format.kit_format;
  }
  config.sync = options.sync;
  config.engine_threads = options.threads;
  config.half_precision_weights = options.half;
  config.input = options.conditioning;
  config.on_download = [progress](std::int64_t percent, std::int64_t file, std::int64_t files) {
    progress->update(percent, file, files);
  };
  // Declared after the files and the service it works with, so it is torn down first.
  KitSession kit(config, &interrupted);
  auto failed = [&](const std::string& step, const std::string& message) {
    return interrupted.load() ? kExitInterrupted : out.fail(step, message);
  };

  if (auto f = kit.prepare()) return failed("prepare", *f);
  const std::vector<MVSpeakerItem> voices = kit.manager().getVoiceList();
  if (options.list_voices) {
    for (const auto& v : voices) std::printf("%lld\t%s\n", static_cast<long long>(v.id), v.name.c_str());
    return 0;
  }
  if (voices.empty()) return failed("prepare", "the catalogue lists no voices");

  const auto resources = kit.checkResources();
  progress->finish();
  if (resources) return failed("checkResources", *resources);
  if (auto f = kit.start()) return failed("start", *f);
  if (options.conditioning.gain || options.conditioning.denoise || options.conditioning.gate) {
    for (const auto& stage : inputConditioningReport(options.conditioning)) out.info("%s", stage.c_str());
  }
  const std::int64_t voice = options.voice.value_or(voices.front().id);
  if (auto f = kit.setVoice(voice)) return failed("setVoice", *f);

  std::optional<std::int64_t> mode = options.mode;
  float intonation = options.intonation.value_or(0.0f);
  float pitch = options.pitch.value_or(0.0f);
  if (options.calibrate) {
    const auto timeout = std::chrono::seconds(60 + static_cast<int>(recording.seconds * 10));
    std::string why;
    const auto measured = kit.calibrate(recording.path, timeout, why);
    if (!measured) return failed("calibration", why);
    intonation = measured->first;
    pitch = measured->second;
    if (!mode) mode = 1;  // the mode in which the measured values apply
    out.info("calibration: intonation %.3f semitones, pitch %.3f (mode %lld)", intonation, pitch,
             static_cast<long long>(*mode));
    // The calibration pass ran audio through the engine; setting the voice again resets it, so
    // the conversion starts from a clean stream.
    if (auto f = kit.setVoice(voice)) return failed("setVoice", *f);
  }
  if (mode || options.intonation || options.pitch) {
    if (auto f = kit.setMode(mode.value_or(0), intonation, pitch)) return failed("setMode", *f);
  }
  MVSDKManager& manager = kit.manager();

  // The conversion loop: one transform call per buffer, as a host's audio callback makes them.
  const int bps = kit_bytes_per_sample(format.kit_format);
  const std::size_t frame_bytes = static_cast<std::size_t>(bps) * static_cast<std::size_t>(format.channels);
  const std::int64_t buffer_frames =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(format.rate_hz) * options.buffer_ms / 1000);
  const std::uint8_t silence = silence_byte(format.kit_format);
  std::vector<std::uint8_t> in(static_cast<std::size_t>(buffer_frames) * frame_bytes);
  std::vector<std::uint8_t> result(in.size());
  const auto buffer_period = std::chrono::duration<double>(static_cast<double>(buffer_frames) / format.rate_hz);
  LoopStats stats;
  bool served_once = false;
  const auto loop_start = Clock::now();
  while (!interrupted.load()) {
    const std::int64_t n = reader->read(in);
    if (n < 0) return failed("reading " + options.input, reader->error());
    if (n == 0) break;
    // A short last buffer is completed with silence; only its own frames are written.
    std::fill(in.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(n) * frame_bytes), in.end(), silence);
    if (options.realtime) {
      std::this_thread::sleep_until(loop_start + std::chrono::duration_cast<Clock::duration>(
                                                     buffer_period * static_cast<double>(stats.buffers)));
    }
    const auto t0 = Clock::now();
    const std::size_t got = manager.transform(in, result);
    stats.longest_call_ms =
        std::max(stats.longest_call_ms, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    if (got != in.size()) {
      return failed("transform", "returned " + std::to_string(got) + " bytes for " + std::to_string(in.size()));
    }
    if (!options.sync && !options.realtime) {
      // A file has no clock. In pipelined mode the engine works on its own queue while transform
      // returns at once; handing over buffers faster than it converts them would only measure
      // underruns. So each buffer's push is let finish before the next buffer: the clock of a
      // host whose audio device runs exactly as fast as the kit converts.
      manager.waitForEngine(std::chrono::minutes(1));
    }
    // With muteOnFail off, a buffer the kit could not serve comes back as the input itself.
    const bool unserved = std::equal(result.begin(), result.end(), in.begin()) && !all_silent(in, silence);
    if (unserved) {
      if (served_once) ++stats.underruns;
      std::fill(result.begin(), result.end(), silence);
    } else {
      served_once = true;
    }
    const std::span<const std::uint8_t> produced(result.data(), static_cast<std::size_t>(n) * frame_bytes);
    if (!stats.first_sound_frame) {
      for (std::size_t i = 0; i < produced.size(); ++i) {
        if (produced[i] != silence) {
          stats.first_sound_frame = stats.frames + static_cast<std::int64_t>(i / frame_bytes);
          break;
        }
      }
    }
    if (!writer->write(produced)) return failed("writing " + options.output, writer->error());
    stats.frames += n;
    ++stats.buffers;
  }
  stats.wall_s = std::chrono::duration<double>(Clock::now() - loop_start).count();
  if (interrupted.load()) return kExitInterrupted;

  if (auto f = kit.stop()) return failed("stop", *f);
  if (!writer->commit()) return out.fail("writing " + options.output, writer->error());

  const double audio_s = static_cast<double>(stats.frames) / format.rate_hz;
  out.info("voice       %lld \"%s\"", static_cast<long long>(voice), voice_name(voices, voice).c_str());
  out.info("audio       %.3f s (%d Hz, %s, %s%s)", audio_s, format.rate_hz, channels_text(format.channels).c_str(),
           describe_encoding(format.sf_format).c_str(), format.via_16bit ? ", converted as 16-bit" : "");
  out.info("wall        %.3f s (%s, %s)", stats.wall_s, options.sync ? "synchronous" : "pipelined",
           options.realtime ? "paced in real time" : "as fast as the kit converts");
  out.info("real-time   %.3f (wall / audio; below 1 is faster than real time)",
           audio_s > 0 ? stats.wall_s / audio_s : 0.0);
  out.info("underruns   %lld of %lld buffers of %d ms (longest transform call %.1f ms)",
           static_cast<long long>(stats.underruns), static_cast<long long>(stats.buffers), options.buffer_ms,
           stats.longest_call_ms);
  if (stats.first_sound_frame) {
    out.info("start-up    %.3f s of silence before the first converted sound",
             static_cast<double>(*stats.first_sound_frame) / format.rate_hz);
  } else {
    out.info("start-up    no converted sound within the input's length");
  }
  out.info("output      %s", options.output.c_str());
  return 0;
}

}  // namespace mvsdk::convert
