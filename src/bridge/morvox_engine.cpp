#include "bridge/morvox_engine.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <new>
#include <thread>
#include <utility>

#include <semaphore.h>

#include "bridge/spsc_ring.h"
#include "bridge/style_data.h"
#include "engine/driver/MVSoundLibrary.h"
#include "platform/log.h"

namespace mvsdk::bridge {

using engine::MVSoundLibrary;

namespace {

// Who may be inside the (process-wide, lock-free) engine.
struct EngineGate {
  std::mutex lock;  // held around every call into the engine
};

EngineGate& gate() {
  // Never destroyed: queue tasks may run during process exit.
  static auto* g = new EngineGate();
  return *g;
}

using PitchArray = std::array<float, 6>;

// The pitch array built for every conversion call: method 0, the call's fluctuation and offset,
// voicing threshold 0.1, voiced-frame limit 2000, and a sixth entry the engine does not read.
PitchArray conversion_array(float pitchFluctuation, float pitchOffset) {
  return {0.0f, pitchFluctuation, pitchOffset, 0.1f, 2000.0f, 0.0f};
}

// One push waiting in the pipeline's rings: its samples are the next count values of the sample
// ring.
struct PendingPush {
  std::uint32_t count = 0;
  std::int32_t mode = 0;
  std::uint64_t epoch = 0;  // the stream it was written for
  PitchArray params{};
};

// The audio path between the host's thread and the engine (one per process, as the engine).
struct Pipeline {
  static constexpr std::size_t kPushSlots = 512;
  static constexpr std::size_t kPushSamples = std::size_t{1} << 18;   // 1.3 s at 192 kHz
  static constexpr std::size_t kOutputSamples = std::size_t{1} << 19; // 2.7 s at 192 kHz
  static constexpr std::size_t kMoveSamples = 8192;

  SpscRing<PendingPush> pushes;
  SpscRing<std::int16_t> samples;
  SpscRing<std::int16_t> output;
  bool ok = false;

  // The audio side's single-producer and single-consumer guards (never waited on).
  std::atomic_flag producing = ATOMIC_FLAG_INIT;
  std::atomic_flag consuming = ATOMIC_FLAG_INIT;

  // Bumped (under the engine gate) by every reset, stop and start: pushes of older streams are
  // dropped by the pump.
  std::atomic<std::uint64_t> epoch{0};
  // The engine's output has begun (set by the gate holder after moving output).
  std::atomic<bool> began{false};
  // Input rate of the running stream, for the time limits.
  std::atomic<int> rate{48000};

  // Pump wake-up (sem_post neither locks nor allocates; it is skipped while the pump is awake)
  // and idle reporting.
  sem_t wake;
  std::atomic<bool> sleeping{false};
  std::atomic<std::uint64_t> handed{0};    // pushes written
  std::atomic<std::uint64_t> finished{0};  // pushes the pump has run or dropped
  std::mutex idle_mutex;
  std::condition_variable idle_cv;

  // Gate holders' scratch for moving output and for conditioning a push; the pump's for reading
  // a push.
  std::unique_ptr<std::int16_t[]> move_scratch;
  std::unique_ptr<std::int16_t[]> condition_scratch;
  std::unique_ptr<std::int16_t[]> pump_scratch;

  // Gate holder only (its settings: any thread).
  engine::InputConditioner conditioner;
  std::atomic<MorvoxEngine::PushObserver> observer{nullptr};
  std::atomic<void*> observer_user{nullptr};

  // Consumer side: the extra lead handed out in this stream; the lowest ring level over the
  // current window and the samples pulled in it.
  std::size_t lead_given = 0;
  std::size_t window_min = SIZE_MAX;
  std::size_t window_pulled = 0;

  std::atomic<std::uint64_t> pushed_samples{0};
  std::atomic<std::uint64_t> dropped_samples{0};
  std::atomic<std::uint64_t> trimmed_samples{0};
  std::atomic<std::uint64_t> lost_output_samples{0};

  Pipeline() {
    ok = pushes.init(kPushSlots) && samples.init(kPushSamples) && output.init(kOutputSamples);
    move_scratch.reset(new (std::nothrow) std::int16_t[kMoveSamples]);
    condition_scratch.reset(new (std::nothrow) std::int16_t[MorvoxEngine::kResultSamples]);
    pump_scratch.reset(new (std::nothrow) std::int16_t[MorvoxEngine::kResultSamples]);
    ok = ok && move_scratch && condition_scratch && pump_scratch && sem_init(&wake, 0, 0) == 0;
    if (ok) std::thread([this] { pump(); }).detach();
  }

  std::size_t ms_to_samples(int ms) const {
    return static_cast<std::size_t>(std::max(1, rate.load(std::memory_order_relaxed))) * static_cast<std::size_t>(ms) /
           1000;
  }

  // Gate holder: a new stream starts (reset, stop, start): pending pushes of the old one are
  // dropped by the pump, its output by the next pull; the conditioner's delay line and gate
  // start afresh.
  void new_stream_locked() {
    epoch.fetch_add(1, std::memory_order_acq_rel);
    began.store(false, std::memory_order_release);
    output.flush_from_producer();
    conditioner.reset();
  }

  // Gate holder: the one place where the audio path's samples enter the engine. Conditions them
  // (into condition_scratch, so the caller's samples stay as they are) unless every conditioning
  // stage is off, and pushes them in pieces the facade's int count can carry. An empty push
  // still reaches the engine (with a valid pointer), as a zero-length push of the caller's would.
  void push_locked(const std::int16_t* samples, std::size_t count, std::int32_t mode, float* params) {
    static const std::int16_t kNoSample = 0;
    if (count == 0) {
      MVSoundLibrary::realTimeSoundTransferSoundLibrary(&kNoSample, 0, mode, params);
      return;
    }
    const bool condition = !conditioner.idle();
    constexpr std::size_t kPiece = MorvoxEngine::kResultSamples;
    for (std::size_t done = 0; done < count;) {
      const std::size_t n = std::min(kPiece, count - done);
      const std::int16_t* piece = samples + done;
      if (condition) {
        std::copy_n(piece, n, condition_scratch.get());
        conditioner.process(condition_scratch.get(), n);
        piece = condition_scratch.get();
      }
      if (auto* observe = observer.load(std::memory_order_acquire)) {
        observe(observer_user.load(std::memory_order_acquire), piece, n);
      }
      const int r = MVSoundLibrary::realTimeSoundTransferSoundLibrary(piece, static_cast<int>(n), mode, params);
      if (r == MVSoundLibrary::kNotStarted) return;
      done += n;
    }
  }

  // Gate holder, after a push: moves what the engine has converted into the output ring.
  void move_output_locked() {
    int began_now = 0;
    for (;;) {
      const int k = MVSoundLibrary::takeQueuedSoundLibrary(move_scratch.get(), static_cast<int>(kMoveSamples), &began_now);
      if (k <= 0 || k == MVSoundLibrary::kNotStarted) break;
      if (!output.write(move_scratch.get(), static_cast<std::size_t>(k))) {
        lost_output_samples.fetch_add(static_cast<std::uint64_t>(k), std::memory_order_relaxed);
      }
      if (static_cast<std::size_t>(k) < kMoveSamples) break;
    }
    began.store(began_now != 0, std::memory_order_release);
  }

  // Producer (the host's thread): hands in one push, split into pieces the engine takes whole.
  // Never waits: when the rings are full or another thread is producing, the input is dropped.
  void hand_in(std::span<const std::int16_t> in, std::int32_t mode, const PitchArray& params) {
    if (!ok || producing.test_and_set(std::memory_order_acquire)) {
      dropped_samples.fetch_add(in.size(), std::memory_order_relaxed);
      return;
    }
    const std::uint64_t stream = epoch.load(std::memory_order_acquire);
    std::size_t done = 0;
    do {
      const std::size_t n = std::min(in.size() - done, MorvoxEngine::kResultSamples);
      if (pushes.free_space() > 0 && samples.free_space() >= n) {
        samples.write(in.data() + done, n);
        const PendingPush push{static_cast<std::uint32_t>(n), mode, stream, params};
        pushes.write(&push, 1);
        handed.fetch_add(1, std::memory_order_release);
        pushed_samples.fetch_add(n, std::memory_order_relaxed);
      } else {
        dropped_samples.fetch_add(n, std::memory_order_relaxed);
      }
      done += n;
    } while (done < in.size());
    producing.clear(std::memory_order_release);
    if (sleeping.exchange(false, std::memory_order_seq_cst)) sem_post(&wake);
  }

  // True when no push is pending (as the producer sees it).
  bool nothing_pending() const { return pushes.approx_size() == 0; }

  // Consumer (the host's thread): n samples into out, all or nothing; see convertPipelined.
  // lead: samples of extra silence handed out once output has begun, before the first converted
  // sample (pipelined mode: the ring then holds that much more than the engine's own lead, the
  // margin for a chunk computed later than the first).
  std::size_t take(std::span<std::int16_t> out, std::size_t lead) {
    if (!ok || out.empty() || consuming.test_and_set(std::memory_order_acquire)) return 0;
    std::size_t got = 0;
    const bool has_begun = began.load(std::memory_order_acquire);
    if (!has_begun) lead_given = 0;  // a new stream: its lead comes again
    if (has_begun && lead_given < lead && MVSoundLibrary::getEngineStatus()) {
      std::fill(out.begin(), out.end(), std::int16_t{0});
      lead_given += out.size();
      got = out.size();
    } else if (output.read(out.data(), out.size())) {
      got = out.size();
      keep_delay_down(got);
    } else if (MVSoundLibrary::getEngineStatus() && !has_begun) {
      // Output has not begun: the engine's lead-in is silence.
      std::fill(out.begin(), out.end(), std::int16_t{0});
      got = out.size();
    }
    consuming.clear(std::memory_order_release);
    return got;
  }

  // Consumer: once a second of pulled audio, cuts the ring back when it never ran low.
  void keep_delay_down(std::size_t pulled) {
    window_min = std::min(window_min, output.size());
    window_pulled += pulled;
    if (window_pulled < ms_to_samples(1000)) return;
    if (window_min > ms_to_samples(MorvoxEngine::kTrimAboveMs)) {
      const std::size_t cut = window_min - ms_to_samples(MorvoxEngine::kTrimToMs);
      output.drop(cut);
      trimmed_samples.fetch_add(cut, std::memory_order_relaxed);
    }
    window_min = SIZE_MAX;
    window_pulled = 0;
  }

  void pump() {
    for (;;) {
      drain();
      // Asleep only with nothing pending: a push written after this store sees the flag and
      // posts; one written before it is seen by the check below.
      sleeping.store(true, std::memory_order_seq_cst);
      if (pushes.size() != 0) {
        if (sleeping.exchange(false, std::memory_order_seq_cst)) continue;
        // A producer took the flag and posts: consume its post below.
      }
      while (sem_wait(&wake) != 0) {
      }
    }
  }

  // The pump: runs every pending push, oldest first.
  void drain() {
    PendingPush push;
    while (pushes.peek(push)) {
      bool run = push.epoch == epoch.load(std::memory_order_acquire);
      if (run && samples.size() > ms_to_samples(MorvoxEngine::kMaxBacklogMs) && pushes.size() > 1) {
        run = false;  // the engine fell behind: the oldest input goes
      }
      if (run) {
        samples.peek_at(0, pump_scratch.get(), push.count);
        std::lock_guard<std::mutex> lock(gate().lock);
        if (push.epoch == epoch.load(std::memory_order_acquire)) {
          push_locked(pump_scratch.get(), push.count, push.mode, push.params.data());
          move_output_locked();
        }
      } else {
        dropped_samples.fetch_add(push.count, std::memory_order_relaxed);
      }
      // Consumed only now: while a push runs it still counts as pending, so a synchronous
      // caller never overtakes it.
      samples.drop(push.count);
      pushes.drop(1);
      finished.fetch_add(1, std::memory_order_release);
    }
    std::lock_guard<std::mutex> lock(idle_mutex);
    idle_cv.notify_all();
  }
};

Pipeline& pipeline() {
  // Never destroyed: its pump runs until the process ends.
  static auto* p = new Pipeline();
  return *p;
}

// Also starts the log thread, so that the first line of the process is never one written on the
// host's audio thread (the first line starts the thread, which allocates).
void route_engine_log() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::log_start();
    // The engine reports failures only.
    MVSoundLibrary::setLogger([](const std::string& line) { platform::log_line(platform::Level::kError, line); });
  });
}

}  // namespace

struct MorvoxEngine::Shared {
  std::atomic<std::int32_t> inputRate{48000};
  std::atomic<std::int32_t> outputRate{48000};
  std::atomic<std::int32_t> threads{1};
  std::atomic<bool> half{false};
  std::mutex resultFloatMutex;  // guards resultFloat (written by calibration tasks)
  PitchArray resultFloat{};
};

platform::SerialQueue& MorvoxEngine::queue() {
  // Never destroyed: work may still be queued at process exit.
  static auto* q = new platform::SerialQueue("MVSoundLibrary.queue");
  return *q;
}

std::shared_ptr<MorvoxEngine> MorvoxEngine::create() {
  route_engine_log();
  return std::shared_ptr<MorvoxEngine>(new MorvoxEngine());
}

MorvoxEngine::MorvoxEngine()
    : pArray_{0.0, 4.622, 138.813, 0.1, 2000.0, 0.0}, shared_(std::make_shared<Shared>()) {
  pipeline();  // the rings and the pump exist before the first push
  const auto floats = getArrayFloat(pArray_);
  std::copy_n(floats.begin(), shared_->resultFloat.size(), shared_->resultFloat.begin());
}

MorvoxEngine::~MorvoxEngine() = default;

void MorvoxEngine::setEngineInputSampleRate(std::int32_t inputRate, std::int32_t outputRate) {
  shared_->inputRate.store(inputRate, std::memory_order_relaxed);
  shared_->outputRate.store(outputRate, std::memory_order_relaxed);
}

void MorvoxEngine::setEngineThreads(std::int32_t threads) {
  shared_->threads.store(threads, std::memory_order_relaxed);
}

void MorvoxEngine::setHalfPrecisionWeights(bool on) { shared_->half.store(on, std::memory_order_relaxed); }

std::int32_t MorvoxEngine::inputRate() const { return shared_->inputRate.load(std::memory_order_relaxed); }
std::int32_t MorvoxEngine::outputRate() const { return shared_->outputRate.load(std::memory_order_relaxed); }

void MorvoxEngine::startEngine(const std::string& amPath, const std::string& bnPath, const std::string& vocPath) {
  queue().async([shared = shared_, am = amPath, bn = bnPath, voc = vocPath] {
    std::lock_guard<std::mutex> lock(gate().lock);
    const bool was_running = MVSoundLibrary::getEngineStatus() != 0;
    const int in_rate = shared->inputRate.load(std::memory_order_relaxed);
    MVSoundLibrary::setEngineThreads(shared->threads.load(std::memory_order_relaxed));
    MVSoundLibrary::setHalfPrecisionWeights(shared->half.load(std::memory_order_relaxed));
    MVSoundLibrary::startEngine(am.c_str(), bn.c_str(), voc.c_str(), in_rate,
                                shared->outputRate.load(std::memory_order_relaxed));
    if (!was_running && MVSoundLibrary::getEngineStatus()) {
      platform::log_printf(platform::Level::kInfo,
                           "MorvoxEngine: engine started at %d Hz with %d thread(s), weights in %s precision", in_rate,
                           MVSoundLibrary::engineThreads(), MVSoundLibrary::halfPrecisionWeights() ? "half" : "single");
      Pipeline& p = pipeline();
      p.rate.store(in_rate, std::memory_order_relaxed);
      // The conditioner's state is made here, off the audio path, for the new input rate.
      if (!p.conditioner.prepare(in_rate)) {
        platform::log_line(platform::Level::kError, "MorvoxEngine: no memory for input conditioning; the input goes unconditioned");
      }
      p.new_stream_locked();
    }
  });
}

void MorvoxEngine::setSpeakersStyle(StyleVector style) { setSpeakersStyle(std::move(style), nullptr); }

void MorvoxEngine::setSpeakersStyle(StyleVector style, std::function<void()> completion) {
  queue().async([style = std::move(style), completion = std::move(completion)]() mutable {
    if (style && style->size() >= kStyleLength) {
      std::lock_guard<std::mutex> lock(gate().lock);
      MVSoundLibrary::setSpeakersStyleSoundLibrary(style->data());
    } else if (platform::log_enabled(platform::Level::kError)) {
      platform::log_line(platform::Level::kError, "MorvoxEngine: speaker style of " +
                                                      std::to_string(style ? style->size() : 0) +
                                                      " values not set (192 needed)");
    }
    if (completion) platform::main_queue().async(std::move(completion));
  });
}

StyleVector MorvoxEngine::getSpeakersInfo(const std::string& text) {
  auto decoded = decode_style_data(text);
  if (!decoded) return nullptr;
  try {
    return std::make_shared<const std::vector<float>>(std::move(*decoded));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::size_t MorvoxEngine::convertPipelined(std::span<const std::int16_t> in, std::int32_t mode,
                                          float pitchFluctuation, float pitchOffset, std::span<std::int16_t> out) {
  Pipeline& p = pipeline();
  // Pull first: the output comes from earlier pushes and trails the input by at least one call.
  const std::size_t got = p.take(out, p.ms_to_samples(kPipelinedLeadMs));
  p.hand_in(in, mode, conversion_array(pitchFluctuation, pitchOffset));
  return got;
}

std::size_t MorvoxEngine::convertSync(std::span<const std::int16_t> in, std::int32_t mode, float pitchFluctuation,
                                     float pitchOffset, std::span<std::int16_t> out) {
  Pipeline& p = pipeline();
  PitchArray params = conversion_array(pitchFluctuation, pitchOffset);
  EngineGate& g = gate();
  if (p.nothing_pending() && g.lock.try_lock()) {
    p.push_locked(in.data(), in.size(), mode, params.data());
    p.move_output_locked();
    g.lock.unlock();
  } else {
    // The engine is busy elsewhere (or earlier pushes of ours are still pending): hand the push
    // to the pump instead of waiting, and take what output is ready now.
    p.hand_in(in, mode, params);
  }
  return p.take(out, 0);
}

namespace {

// int16 samples of the input's first size/2 sample pairs (a trailing odd byte is ignored), in
// properly typed and aligned storage.
std::vector<std::int16_t> samples_of(std::span<const std::uint8_t> data) {
  std::vector<std::int16_t> samples(data.size() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), data.data(), samples.size() * sizeof(std::int16_t));
  return samples;
}

std::optional<Bytes> as_bytes(const std::vector<std::int16_t>& out, std::size_t got) {
  if (got == 0) return std::nullopt;
  Bytes bytes(got * 2);
  std::memcpy(bytes.data(), out.data(), bytes.size());
  return bytes;
}

}  // namespace

std::optional<Bytes> MorvoxEngine::getSyncRealTimeSoundTransferData(std::span<const std::uint8_t> data,
                                                                    std::int32_t mode, float pitchFluctuation,
                                                                    float pitchOffset) {
  const auto in = samples_of(data);
  std::vector<std::int16_t> out(in.size());
  return as_bytes(out, convertSync(in, mode, pitchFluctuation, pitchOffset, out));
}

void MorvoxEngine::getRealTimeSoundTransferData(std::span<const std::uint8_t> data, std::int32_t mode,
                                                float pitchFluctuation, float pitchOffset,
                                                const std::function<void(std::optional<Bytes>)>& callback) {
  const auto in = samples_of(data);
  std::vector<std::int16_t> out(in.size());
  auto result = as_bytes(out, convertPipelined(in, mode, pitchFluctuation, pitchOffset, out));
  if (callback) callback(std::move(result));
}

MorvoxEngine::PathStats MorvoxEngine::pathStats() {
  Pipeline& p = pipeline();
  PathStats s;
  s.pushedSamples = p.pushed_samples.load(std::memory_order_relaxed);
  s.droppedSamples = p.dropped_samples.load(std::memory_order_relaxed);
  s.trimmedSamples = p.trimmed_samples.load(std::memory_order_relaxed);
  s.lostOutputSamples = p.lost_output_samples.load(std::memory_order_relaxed);
  s.pendingSamples = p.samples.approx_size();
  s.readySamples = p.output.approx_size();
  return s;
}

bool MorvoxEngine::waitUntilIdle(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Pipeline& p = pipeline();
  // Pushes may queue tasks and tasks may hand in pushes (calibration does neither, but be
  // thorough): settle both twice.
  for (int round = 0; round < 2; ++round) {
    const std::uint64_t target = p.handed.load(std::memory_order_acquire);
    {
      std::unique_lock<std::mutex> lock(p.idle_mutex);
      if (!p.idle_cv.wait_until(lock, deadline,
                                [&] { return p.finished.load(std::memory_order_acquire) >= target; })) {
        return false;
      }
    }
    auto done = std::make_shared<platform::Semaphore>();
    queue().async([done] { done->signal(); });
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!done->wait_for(std::max(left, std::chrono::milliseconds(0)))) return false;
  }
  return true;
}

std::size_t MorvoxEngine::getSoundDataCheck(const std::string& path, std::function<void(float, float)> completion) {
  if (path.empty()) {
    if (completion) completion(0.0f, 0.0f);
    return 0;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    if (completion) completion(0.0f, 0.0f);
    return 0;
  }
  struct Results {
    float pitchFluctuation = 0.0f;
    float pitchOffset = 0.0f;
  };
  auto results = std::make_shared<Results>();  // written by the chunks, read by the notice
  platform::TaskGroup group;
  std::size_t chunks = 0;
  std::array<std::uint8_t, kCalibrationChunkBytes> buffer;
  while (true) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
    if (got == 0) break;
    std::vector<std::uint8_t> chunk(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    group.async(queue(), [shared = shared_, chunk = std::move(chunk), results] {
      constexpr std::size_t kSamples = kCalibrationChunkBytes / 2;
      std::array<std::int16_t, kSamples> samples{};
      std::array<std::int16_t, kSamples> discarded;
      const int n = static_cast<int>(chunk.size() / 2);
      std::memcpy(samples.data(), chunk.data(), static_cast<std::size_t>(n) * 2);
      PitchArray params;
      {
        std::lock_guard<std::mutex> lock(shared->resultFloatMutex);
        params = shared->resultFloat;
      }
      {
        std::lock_guard<std::mutex> lock(gate().lock);
        MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(discarded.data(), n);
        MVSoundLibrary::realTimeSoundTransferSoundLibrary(samples.data(), n, kModeCalibrate, params.data());
      }
      {
        std::lock_guard<std::mutex> lock(shared->resultFloatMutex);
        shared->resultFloat = params;
      }
      const auto values = getFloatArray(params);
      results->pitchFluctuation = static_cast<float>(values[1]);
      results->pitchOffset = static_cast<float>(values[2]);
    });
    ++chunks;
    if (got < buffer.size() && std::ferror(file)) break;
  }
  std::fclose(file);
  group.notify(platform::main_queue(), [results, completion = std::move(completion)] {
    if (completion) completion(results->pitchFluctuation, results->pitchOffset);
  });
  return chunks;
}

void MorvoxEngine::engineReset(std::function<void()> completion) {
  queue().async([completion = std::move(completion)] {
    {
      std::lock_guard<std::mutex> lock(gate().lock);
      MVSoundLibrary::engineReset();
      pipeline().new_stream_locked();
    }
    if (completion) completion();
  });
}

void MorvoxEngine::stopEngine(std::function<void()> completion) {
  queue().async([completion = std::move(completion)] {
    {
      std::lock_guard<std::mutex> lock(gate().lock);
      MVSoundLibrary::stopEngineSoundLibrary();
      pipeline().new_stream_locked();
    }
    if (completion) completion();
  });
}

void MorvoxEngine::setInputConditioning(const engine::ConditionerSettings& settings) {
  pipeline().conditioner.publish(settings);
}

engine::ConditionerSettings MorvoxEngine::inputConditioning() { return pipeline().conditioner.published(); }

void MorvoxEngine::setPushObserver(PushObserver observer, void* user) {
  Pipeline& p = pipeline();
  std::lock_guard<std::mutex> lock(gate().lock);  // not while a push is being observed
  p.observer_user.store(user, std::memory_order_release);
  p.observer.store(observer, std::memory_order_release);
}

void MorvoxEngine::runOnEngine(std::function<void()> task) {
  if (!task) return;
  queue().async([task = std::move(task)] {
    std::lock_guard<std::mutex> lock(gate().lock);
    task();
  });
}

bool MorvoxEngine::getEngineStatus() const { return MVSoundLibrary::getEngineStatus() != 0; }

std::vector<float> MorvoxEngine::getArrayFloat(const std::vector<double>& numbers) {
  std::vector<float> out(numbers.size());
  std::transform(numbers.begin(), numbers.end(), out.begin(), [](double v) { return static_cast<float>(v); });
  return out;
}

std::vector<double> MorvoxEngine::getFloatArray(std::span<const float> array) {
  std::vector<double> out(6, 0.0);
  for (std::size_t i = 0; i < out.size() && i < array.size(); ++i) out[i] = array[i];
  return out;
}

std::array<float, 6> MorvoxEngine::resultFloat() const {
  std::lock_guard<std::mutex> lock(shared_->resultFloatMutex);
  return shared_->resultFloat;
}

}  // namespace mvsdk::bridge
