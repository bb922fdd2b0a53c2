#include "soak.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/embedded.h"
#include "common/kit_session.h"
#include "common/rng.h"
#include "rss.h"
#include "mvsdk/mvsdk.h"
#include "speech.h"
#ifdef MVSDK_SOAK_COUNT_ALLOCATIONS
#include "call_counter.h"
#endif

namespace mvsdk::soak {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitFailed = 1;
constexpr int kExitInterrupted = 130;
// The embedded service accepts any token.
constexpr const char* kToken = "soak";
// The kit's refusal of setMode while no engine runs: expected while the control thread restarts.
constexpr const char* kNotStartedPrefix = "Engine is not started";
// Host buffer sizes (frames) cycled through by default: 10 ms at 48 kHz, the powers of two audio
// devices like, 10 ms at 44.1 kHz, and a few that divide nothing.
constexpr int kBufferCycle[] = {480, 256, 512, 441, 1024, 128, 960, 300, 64, 2048};
// Failures printed in full; later ones are only counted.
constexpr std::size_t kFailuresKept = 20;
// The memory reference point: one minute of audio, or the middle of a shorter run.
constexpr double kReferenceS = 60.0;

// What the threads share. Outlives the kit session (declared before it), because the kit's main
// queue may still run the result filter that counts into it.
struct Shared {
  std::atomic<std::int64_t> frames{0};        // audio frames handed to transform so far
  std::atomic<bool> audio_done{false};
  std::atomic<bool> abort{false};             // a step failed: end the run

  std::atomic<std::int64_t> buffers{0};
  std::atomic<std::int64_t> converted{0};     // buffers with converted audio
  std::atomic<std::int64_t> silent{0};        // all-zero buffers (the engine's start-up delay)
  std::atomic<std::int64_t> echoed{0};        // the input itself: no conversion available
  std::atomic<std::int64_t> converted_since_restart{0};
  std::atomic<std::int64_t> voice_changes{0};
  std::atomic<std::int64_t> restarts_stop{0};
  std::atomic<std::int64_t> restarts_release{0};
  std::atomic<std::int64_t> restarts_handled{0};  // restarts the control thread has run, failed or not
  std::atomic<std::int64_t> set_mode_calls{0};
  std::atomic<std::int64_t> set_mode_refused{0};

  std::mutex mutex;  // guards what follows
  std::vector<std::string> failures;
  std::int64_t failure_count = 0;
  std::vector<MemorySample> memory;

  void fail(std::string what) {
    std::lock_guard lock(mutex);
    ++failure_count;
    if (failures.size() < kFailuresKept) failures.push_back(std::move(what));
  }
  std::int64_t failed() {
    std::lock_guard lock(mutex);
    return failure_count;
  }
};

// The audio positions of the restarts, spread evenly over the run.
std::vector<double> restart_positions(const Options& o) {
  std::vector<double> at;
  for (int k = 1; k <= o.restarts; ++k) at.push_back(o.seconds * k / (o.restarts + 1));
  return at;
}

double audio_seconds(const Shared& shared, std::int64_t rate_hz) {
  return static_cast<double>(shared.frames.load()) / static_cast<double>(rate_hz);
}

// Sleeps for `span` in short slices; false when `stop` turned true meanwhile.
bool nap(std::chrono::milliseconds span, const std::atomic<bool>& stop) {
  const auto until = Clock::now() + span;
  while (Clock::now() < until) {
    if (stop.load()) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(5), until - Clock::now()));
  }
  return !stop.load();
}

// The control thread: voice changes, restarts and memory samples at their audio positions.
class Control {
 public:
  Control(const Options& o, Shared& shared, convert::KitSession& kit, std::vector<std::int64_t> voices)
      : o_(o), shared_(shared), kit_(kit), voices_(std::move(voices)) {
    restart_at_ = restart_positions(o);
    next_voice_s_ = o.voice_every_s;
    next_memory_s_ = o.rss_every_s;
  }

  void run() {
    sample_memory(0.0);
    while (!shared_.audio_done.load() && !shared_.abort.load()) {
      const double pos = audio_seconds(shared_, o_.rate_hz);
      if (pos >= next_memory_s_) {
        sample_memory(pos);
        // Samples missed during a long step are not made up: one sample per crossing.
        while (next_memory_s_ <= pos) next_memory_s_ += o_.rss_every_s;
      }
      if (next_restart_ < restart_at_.size() && pos >= restart_at_[next_restart_]) {
        restart(next_restart_ % 2 == 0);
        ++next_restart_;
        shared_.restarts_handled.store(static_cast<std::int64_t>(next_restart_));
        next_voice_s_ = audio_seconds(shared_, o_.rate_hz) + o_.voice_every_s;
      } else if (pos >= next_voice_s_) {
        voice_ = (voice_ + 1) % voices_.size();
        if (set_voice("voice change")) shared_.voice_changes.fetch_add(1);
        next_voice_s_ = audio_seconds(shared_, o_.rate_hz) + o_.voice_every_s;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  // The last memory sample, taken once the audio has ended.
  void final_sample() { sample_memory(audio_seconds(shared_, o_.rate_hz)); }

 private:
  bool step_failed(const std::string& step, const convert::KitSession::Failure& f) {
    if (o_.verbose) {
      std::printf("%-24s at %8.1f s of audio, %8.3f s wall: %s\n", step.c_str(), audio_seconds(shared_, o_.rate_hz),
                  std::chrono::duration<double>(Clock::now() - start_).count(), f ? f->c_str() : "done");
      std::fflush(stdout);
    }
    if (!f) return false;
    char where[64];
    std::snprintf(where, sizeof where, " at %.1f s of audio", audio_seconds(shared_, o_.rate_hz));
    shared_.fail(step + where + ": " + *f);
    shared_.abort.store(true);
    return true;
  }

  bool set_voice(const std::string& why) {
    const std::int64_t id = voices_[voice_];
    if (step_failed(why + " (setVoice " + std::to_string(id) + ")", kit_.setVoice(id))) return false;
    const auto current = kit_.manager().getCurrentVoice();
    if (!current || static_cast<std::int64_t>(*current) != id) {
      shared_.fail("after setVoice " + std::to_string(id) + " succeeded, getCurrentVoice answers " +
                   (current ? std::to_string(*current) : std::string("none")));
    }
    return true;
  }

  // One engine restart: stop (which also drops the configuration) or engineRelease, then
  // prepare, start and the voice in force before.
  void restart(bool by_stop) {
    if (by_stop) {
      if (step_failed("restart (stop)", kit_.stop())) return;
      kit_.configure();
    } else {
      kit_.release();
      step_failed("restart (engineRelease)", std::nullopt);
      if (kit_.manager().getEngineStatus() != kEngineStatusReleased) {
        shared_.fail("after engineRelease the engine status is " + std::to_string(kit_.manager().getEngineStatus()));
      }
    }
    if (step_failed("restart (prepare)", kit_.prepare())) return;
    if (step_failed("restart (start)", kit_.start())) return;
    shared_.converted_since_restart.store(0);
    if (!set_voice("restart")) return;
    (by_stop ? shared_.restarts_stop : shared_.restarts_release).fetch_add(1);
  }

  void sample_memory(double pos) {
    if (o_.leak_mb_per_min > 0.0) {
      // Memory kept on purpose, touched so that it is resident.
      const auto want = static_cast<std::size_t>(o_.leak_mb_per_min * pos / 60.0 * 1024.0 * 1024.0);
      while (leaked_bytes_ + kLeakBlock <= want) {
        leak_.push_back(std::make_unique<char[]>(kLeakBlock));
        std::memset(leak_.back().get(), 1, kLeakBlock);
        leaked_bytes_ += kLeakBlock;
      }
    }
    const auto kb = resident_kb();
    if (!kb) {
      shared_.fail("cannot read VmRSS from /proc/self/status");
      return;
    }
    if (o_.verbose) {
      std::printf("rss                      at %8.1f s of audio, %8.3f s wall: %.1f MB\n", pos,
                  std::chrono::duration<double>(Clock::now() - start_).count(), static_cast<double>(*kb) / 1024.0);
      std::fflush(stdout);
    }
    std::lock_guard lock(shared_.mutex);
    shared_.memory.push_back({pos, *kb});
  }

  static constexpr std::size_t kLeakBlock = 1 << 20;

  const Options& o_;
  const Clock::time_point start_ = Clock::now();
  Shared& shared_;
  convert::KitSession& kit_;
  std::vector<std::int64_t> voices_;
  std::size_t voice_ = 0;
  std::vector<double> restart_at_;
  std::size_t next_restart_ = 0;
  double next_voice_s_ = 0.0;
  double next_memory_s_ = 0.0;
  std::vector<std::unique_ptr<char[]>> leak_;
  std::size_t leaked_bytes_ = 0;
};

// The tone thread: setMode with random settings (some outside the supported ranges, some NaN) at
// random moments, and a check of what the kit reports back.
void tone_changes(const Options& o, Shared& shared, MVSDKManager& manager) {
  models::Rng rng(models::derive_seed(o.seed, 7, 11));
  const auto intonation_range = manager.getSupportIntonation();
  const auto pitch_range = manager.getSupportPitch();
  while (true) {
    const auto wait = std::chrono::milliseconds(static_cast<int>(rng.unit() * 400.0f));
    if (!nap(wait, shared.audio_done) || shared.abort.load()) return;
    const auto mode = static_cast<std::int64_t>(rng.unit() * 3.0f);
    float intonation = rng.uniform(45.0f);
    float pitch = rng.uniform(300.0f);
    if (rng.unit() < 0.05f) intonation = std::nanf("");
    if (rng.unit() < 0.05f) pitch = std::nanf("");
    manager.setMode(std::min<std::int64_t>(mode, 2), intonation, pitch);
    shared.set_mode_calls.fetch_add(1);

    const std::int64_t got_mode = manager.getMode();
    const float got_intonation = manager.getIntonation();
    const float got_pitch = manager.getPitch();
    if (got_mode < 0 || got_mode > 2) shared.fail("getMode answers " + std::to_string(got_mode));
    if (!(got_intonation >= intonation_range.front() && got_intonation <= intonation_range.back())) {
      shared.fail("getIntonation answers " + std::to_string(got_intonation) + ", outside the supported range");
    }
    if (!(got_pitch >= pitch_range.front() && got_pitch <= pitch_range.back())) {
      shared.fail("getPitch answers " + std::to_string(got_pitch) + ", outside the supported range");
    }
  }
}

// Host bytes of `samples` in the chosen format.
void encode(std::span<const float> samples, bool f32, std::vector<std::uint8_t>& out) {
  if (f32) {
    out.resize(samples.size() * 4);
    std::memcpy(out.data(), samples.data(), out.size());
    return;
  }
  out.resize(samples.size() * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto v = static_cast<std::int16_t>(std::lround(samples[i] * 32767.0f));
    out[2 * i] = static_cast<std::uint8_t>(v & 0xff);
    out[2 * i + 1] = static_cast<std::uint8_t>((v >> 8) & 0xff);
  }
}

// The index of the first float of `bytes` that is not finite or outside full scale; -1 if none.
std::ptrdiff_t first_bad_float(std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    float v;
    std::memcpy(&v, bytes.data() + i, 4);
    if (!std::isfinite(v) || std::fabs(v) > 1.0f) return static_cast<std::ptrdiff_t>(i / 4);
  }
  return -1;
}

// Durations of transform calls in 1 us bins up to 100 ms (longer calls land in the last bin).
class CallTimes {
 public:
  void add(double us) {
    const auto bin = static_cast<std::size_t>(std::clamp(us, 0.0, static_cast<double>(kBins - 1)));
    ++bins_[bin];
    ++count_;
    max_us_ = std::max(max_us_, us);
  }
  double max_us() const { return max_us_; }
  // The smallest duration (us) at or below which the share q of the calls lie.
  double quantile(double q) const {
    const auto want = static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_)));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBins; ++i) {
      seen += bins_[i];
      if (seen >= want && seen > 0) return static_cast<double>(i + 1);
    }
    return 0.0;
  }

 private:
  static constexpr std::size_t kBins = 100000;
  std::vector<std::uint64_t> bins_ = std::vector<std::uint64_t>(kBins, 0);
  std::uint64_t count_ = 0;
  double max_us_ = 0.0;
};

struct AudioStats {
  double wall_s = 0.0;
  double longest_call_ms = 0.0;
  CallTimes calls;                  // span-form calls (the allocation-free form)
  std::int64_t allocations = -1;    // heap allocations in those calls (-1: not counted)
  std::int64_t lock_waits = -1;     // mutex locks and semaphore waits in them (-1: not counted)
  std::int64_t fallback_calls = 0;  // calls the kit answered with the fallback after output began
  std::int64_t dropped_input_ms = 0;
};

// The audio thread's loop: one transform call per host buffer.
AudioStats audio_loop(const Options& o, Shared& shared, MVSDKManager& manager, const std::atomic<bool>& interrupted) {
  AudioStats stats;
#ifdef MVSDK_SOAK_COUNT_ALLOCATIONS
  stats.allocations = 0;
  stats.lock_waits = 0;
#endif
  const auto before = manager.audioStats();
  const auto total = static_cast<std::int64_t>(std::llround(o.seconds * static_cast<double>(o.rate_hz)));
  SpeechSource source(o.rate_hz, o.seed);
  const std::vector<double> restarts = restart_positions(o);
  std::vector<float> samples;
  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> out;
  std::int64_t frames = 0;
  std::size_t cycle = 0;
  const auto start = Clock::now();
  while (frames < total && !interrupted.load() && !shared.abort.load()) {
    const std::int64_t size = o.buffer_frames > 0 ? o.buffer_frames
                                                  : kBufferCycle[cycle++ % std::size(kBufferCycle)];
    const std::int64_t n = std::min(size, total - frames);
    samples.resize(static_cast<std::size_t>(n));
    source.generate(samples);
    encode(samples, o.f32, in);
    if (o.speed > 0.0) {
      const double due_s = static_cast<double>(frames) / (static_cast<double>(o.rate_hz) * o.speed);
      std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(due_s)));
    }

    const std::int64_t index = shared.buffers.load();
    if (index % 2 == 0) out.resize(in.size());
    const auto t0 = Clock::now();
    std::size_t got = 0;
    if (index % 2 == 0) {
#ifdef MVSDK_SOAK_COUNT_ALLOCATIONS
      const CallCounter counter;
      got = manager.transform(in, out);
      stats.allocations += static_cast<std::int64_t>(counter.allocations());
      stats.lock_waits += static_cast<std::int64_t>(counter.waits());
#else
      got = manager.transform(in, out);
#endif
      stats.calls.add(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    } else {
      // The allocating form, as a host that takes the returned buffer would call it.
      out = manager.transform(std::span<const std::uint8_t>(in));
      got = out.size();
    }
    stats.longest_call_ms =
        std::max(stats.longest_call_ms, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());

    const double at_s = static_cast<double>(frames) / static_cast<double>(o.rate_hz);
    if (got != in.size()) {
      shared.fail("buffer " + std::to_string(index) + " at " + std::to_string(at_s) + " s: transform returned " +
                  std::to_string(got) + " bytes for " + std::to_string(in.size()));
    } else {
      if (o.f32) {
        if (const auto bad = first_bad_float(std::span<const std::uint8_t>(out).first(got)); bad >= 0) {
          float v;
          std::memcpy(&v, out.data() + 4 * bad, 4);
          shared.fail("buffer " + std::to_string(index) + " at " + std::to_string(at_s) + " s: sample " +
                      std::to_string(bad) + " is " + std::to_string(v));
        }
      }
      if (std::equal(out.begin(), out.end(), in.begin())) {
        shared.echoed.fetch_add(1);
        if (o.speed == 0.0) {
          // Nothing converted this buffer (a start, a restart or a voice change is under way), so
          // the kit's pace says nothing: the buffer takes its own length, as on a device, and a
          // restart costs as much audio as it takes time.
          std::this_thread::sleep_for(std::chrono::duration<double>(static_cast<double>(n) / static_cast<double>(o.rate_hz)));
        }
      } else if (std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0; })) {
        shared.silent.fetch_add(1);
      } else {
        shared.converted.fetch_add(1);
        shared.converted_since_restart.fetch_add(1);
      }
    }
    if (o.speed == 0.0) {
      // No clock to follow: each buffer's push is let finish before the next buffer, the clock
      // of a device that runs exactly as fast as the kit converts (as mvsdk-convert does).
      manager.waitForEngine(std::chrono::minutes(1));
    }
    frames += n;
    shared.frames.store(frames);
    shared.buffers.fetch_add(1);
    if (o.speed == 0.0) {
      // Without a clock the audio would otherwise run past a restart's position while the control
      // thread is busy (a voice change, say) and the run would end with restarts missing: each
      // restart due is let happen before the next buffer.
      const double at = static_cast<double>(frames) / static_cast<double>(o.rate_hz);
      const auto due = static_cast<std::int64_t>(
          std::count_if(restarts.begin(), restarts.end(), [at](double r) { return at >= r; }));
      while (shared.restarts_handled.load() < due && !shared.abort.load() && !interrupted.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  stats.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
  const auto after = manager.audioStats();
  stats.fallback_calls = static_cast<std::int64_t>(after.fallbackCalls >= before.fallbackCalls
                                                       ? after.fallbackCalls - before.fallbackCalls
                                                       : after.fallbackCalls);
  stats.dropped_input_ms =
      static_cast<std::int64_t>((after.droppedInputSamples - before.droppedInputSamples) * 1000 /
                                static_cast<std::uint64_t>(std::max<std::int64_t>(1, o.rate_hz)));
  return stats;
}

std::string buffers_text(const Options& o) {
  if (o.buffer_frames > 0) return "buffers of " + std::to_string(o.buffer_frames) + " frames";
  const auto [lo, hi] = std::minmax_element(std::begin(kBufferCycle), std::end(kBufferCycle));
  return "buffers of " + std::to_string(*lo) + " to " + std::to_string(*hi) + " frames";
}

void print_summary(const Options& o, Shared& shared, const AudioStats& audio, const MemoryVerdict& memory,
                   double reference_s) {
  const double audio_s = audio_seconds(shared, o.rate_hz);
  std::printf("audio          %.1f s (%lld Hz, %s, mono, %s)\n", audio_s, static_cast<long long>(o.rate_hz),
              o.f32 ? "f32" : "s16", buffers_text(o).c_str());
  if (o.speed > 0.0) {
    std::printf("wall           %.1f s (paced at %.2fx real time)\n", audio.wall_s, o.speed);
  } else {
    std::printf("wall           %.1f s (as fast as the kit converts; real-time factor %.3f)\n", audio.wall_s,
                audio_s > 0 ? audio.wall_s / audio_s : 0.0);
  }
  std::printf("buffers        %lld: converted %lld, start-up silence %lld, unconverted %lld "
              "(longest transform call %.2f ms)\n",
              static_cast<long long>(shared.buffers.load()), static_cast<long long>(shared.converted.load()),
              static_cast<long long>(shared.silent.load()), static_cast<long long>(shared.echoed.load()),
              audio.longest_call_ms);
  std::printf("audio thread   allocations %lld, lock waits %lld (in the allocation-free calls; -1: not "
              "counted in this build); call time p99 %.0f us, p99.9 %.0f us, longest %.0f us; fallback calls %lld, "
              "input dropped %lld ms\n",
              static_cast<long long>(audio.allocations), static_cast<long long>(audio.lock_waits),
              audio.calls.quantile(0.99), audio.calls.quantile(0.999), audio.calls.max_us(),
              static_cast<long long>(audio.fallback_calls), static_cast<long long>(audio.dropped_input_ms));
  std::printf("voice changes  %lld\n", static_cast<long long>(shared.voice_changes.load()));
  std::printf("restarts       %lld (%lld stop, %lld engineRelease)\n",
              static_cast<long long>(shared.restarts_stop.load() + shared.restarts_release.load()),
              static_cast<long long>(shared.restarts_stop.load()),
              static_cast<long long>(shared.restarts_release.load()));
  std::printf("setMode        %lld calls, %lld refused while the engine was down\n",
              static_cast<long long>(shared.set_mode_calls.load()), static_cast<long long>(shared.set_mode_refused.load()));

  std::vector<MemorySample> samples;
  {
    std::lock_guard lock(shared.mutex);
    samples = shared.memory;
  }
  auto mb = [](std::int64_t kb) { return static_cast<double>(kb) / 1024.0; };
  if (memory.reference && memory.last) {
    std::printf("rss            at %.0f s %.1f MB, at the end %.1f MB, max %.1f MB; growth %+.1f MB (limit %.1f MB)\n",
                memory.reference->audio_s, mb(memory.reference->kb), mb(memory.last->kb), mb(memory.max_kb),
                memory.growth_mb, o.rss_growth_mb);
  } else {
    std::printf("rss            no sample at or after %.0f s of audio\n", reference_s);
  }
  // The course of memory: the first sample at or after every minute, and the last.
  std::string curve;
  double next_mark = 0.0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].audio_s >= next_mark || i + 1 == samples.size()) {
      char item[48];
      std::snprintf(item, sizeof item, "%s%.0fs %.1f", curve.empty() ? "" : ", ", samples[i].audio_s, mb(samples[i].kb));
      curve += item;
      while (next_mark <= samples[i].audio_s) next_mark += 60.0;
    }
  }
  std::printf("rss curve (MB) %s\n", curve.c_str());
  std::printf("checks         %lld failed\n", static_cast<long long>(shared.failed()));
  std::fflush(stdout);
}

}  // namespace

int run(const Options& o, const std::atomic<bool>& interrupted) {
  setLogLevel(o.verbose ? LogLevel::debug : LogLevel::off);
  auto shared = std::make_shared<Shared>();

  const convert::DataFolder folder = convert::ensure_synthetic_data_folder([](const std::filesystem::path& dir) {
    std::printf("making the synthetic voice models once, into %s\n", dir.c_str());
    std::fflush(stdout);
  });
  if (!folder.error.empty()) {
    std::fprintf(stderr, "mvsdk-soak: data folder: %s\n", folder.error.c_str());
    return kExitFailed;
  }
  convert::EmbeddedService service;
  if (std::string problem = service.start(folder.path); !problem.empty()) {
    std::fprintf(stderr, "mvsdk-soak: local service: %s\n", problem.c_str());
    return kExitFailed;
  }

  convert::SessionConfig config;
  config.service_url = service.url();
  config.token = kToken;
  config.rate_hz = o.rate_hz;
  config.channels = 1;
  config.kit_format = o.f32 ? kSampleFormatF32 : kSampleFormatS16;
  config.sync = false;
  // Declared after the service it works with, so it is torn down first.
  convert::KitSession kit(config, &interrupted);
  kit.setDivert([weak = std::weak_ptr<Shared>(shared)](const convert::ActionResult& r) {
    const bool refusal = r.action == kActionVoice && r.code == kCodeWrongState &&
                         r.message.rfind(kNotStartedPrefix, 0) == 0;
    if (refusal) {
      if (auto s = weak.lock()) s->set_mode_refused.fetch_add(1);
    }
    return refusal;
  });
  auto step = [&](const char* name, const convert::KitSession::Failure& f) {
    if (!f) return true;
    if (!interrupted.load()) std::fprintf(stderr, "mvsdk-soak: %s: %s\n", name, f->c_str());
    return false;
  };
  if (!step("prepare", kit.prepare())) return interrupted.load() ? kExitInterrupted : kExitFailed;
  std::vector<std::int64_t> voices;
  for (const auto& v : kit.manager().getVoiceList()) voices.push_back(v.id);
  if (voices.empty()) {
    std::fprintf(stderr, "mvsdk-soak: prepare: the catalogue lists no voices\n");
    return kExitFailed;
  }
  if (!step("checkResources", kit.checkResources()) || !step("start", kit.start()) ||
      !step("setVoice", kit.setVoice(voices.front()))) {
    return interrupted.load() ? kExitInterrupted : kExitFailed;
  }

  Control control(o, *shared, kit, voices);
  std::thread control_thread([&control] { control.run(); });
  std::thread tone_thread([&o, &shared, &kit] { tone_changes(o, *shared, kit.manager()); });
  const AudioStats audio = audio_loop(o, *shared, kit.manager(), interrupted);
  shared->audio_done.store(true);
  control_thread.join();
  tone_thread.join();
  if (interrupted.load()) return kExitInterrupted;
  control.final_sample();

  if (!shared->abort.load()) {
    if (shared->converted.load() == 0) shared->fail("no buffer came back converted");
    if (o.restarts > 0 && shared->converted_since_restart.load() == 0) {
      shared->fail("no buffer came back converted after the last restart");
    }
    if (auto f = kit.stop()) shared->fail("stop: " + *f);
  }

  const double reference_s = std::min(kReferenceS, o.seconds / 2.0);
  std::vector<MemorySample> samples;
  {
    std::lock_guard lock(shared->mutex);
    samples = shared->memory;
  }
  const MemoryVerdict memory = judge_memory(samples, reference_s, o.rss_growth_mb);
  if (!memory.ok) shared->fail(memory.message);

  print_summary(o, *shared, audio, memory, reference_s);
  std::lock_guard lock(shared->mutex);
  for (const auto& f : shared->failures) std::fprintf(stderr, "mvsdk-soak: %s\n", f.c_str());
  if (shared->failure_count > static_cast<std::int64_t>(shared->failures.size())) {
    std::fprintf(stderr, "mvsdk-soak: and %lld more failures\n",
                 static_cast<long long>(shared->failure_count - static_cast<std::int64_t>(shared->failures.size())));
  }
  return shared->failure_count == 0 ? 0 : kExitFailed;
}

}  // namespace mvsdk::soak
