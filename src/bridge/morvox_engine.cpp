#include "bridge/morvox_engine.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "bridge/style_data.h"
#include "engine/driver/MVSoundLibrary.h"
#include "platform/log.h"

namespace mvsdk::bridge {

using engine::MVSoundLibrary;

namespace {

// Who may be inside the (process-wide, lock-free) engine besides the pulls.
struct EngineGate {
  std::mutex lock;                    // held around every call into the engine except pulls
  std::atomic<int> queued_pushes{0};  // synchronous pushes handed to the queue and not yet run
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

// int16 samples of the input's first size/2 sample pairs (a trailing odd byte is ignored). A copy,
// so the engine reads properly typed and aligned storage and queued pushes own their input.
std::vector<std::int16_t> samples_of(std::span<const std::uint8_t> data) {
  std::vector<std::int16_t> samples(data.size() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), data.data(), samples.size() * sizeof(std::int16_t));
  return samples;
}

// Pushes samples into the engine in pieces the facade's int count can carry. The caller holds the
// engine gate. An empty push still reaches the engine (with a valid pointer), as a zero-length
// push of the caller's would.
void push_locked(const std::vector<std::int16_t>& samples, std::int32_t mode, float* params) {
  static const std::int16_t kNoSample = 0;
  if (samples.empty()) {
    MVSoundLibrary::realTimeSoundTransferSoundLibrary(&kNoSample, 0, mode, params);
    return;
  }
  constexpr std::size_t kPiece = MorvoxEngine::kResultSamples;
  for (std::size_t done = 0; done < samples.size();) {
    const std::size_t n = std::min(kPiece, samples.size() - done);
    const int r = MVSoundLibrary::realTimeSoundTransferSoundLibrary(samples.data() + done, static_cast<int>(n), mode,
                                                                    params);
    if (r == MVSoundLibrary::kNotStarted) return;
    done += n;
  }
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
    : pArray_{0.0, 4.622, 138.813, 0.1, 2000.0, 0.0},
      shared_(std::make_shared<Shared>()),
      resultShort_(kResultSamples, 0) {
  const auto floats = getArrayFloat(pArray_);
  std::copy_n(floats.begin(), shared_->resultFloat.size(), shared_->resultFloat.begin());
}

MorvoxEngine::~MorvoxEngine() = default;

void MorvoxEngine::setEngineInputSampleRate(std::int32_t inputRate, std::int32_t outputRate) {
  shared_->inputRate.store(inputRate, std::memory_order_relaxed);
  shared_->outputRate.store(outputRate, std::memory_order_relaxed);
}

std::int32_t MorvoxEngine::inputRate() const { return shared_->inputRate.load(std::memory_order_relaxed); }
std::int32_t MorvoxEngine::outputRate() const { return shared_->outputRate.load(std::memory_order_relaxed); }

void MorvoxEngine::startEngine(const std::string& amPath, const std::string& bnPath, const std::string& vocPath) {
  queue().async([shared = shared_, am = amPath, bn = bnPath, voc = vocPath] {
    std::lock_guard<std::mutex> lock(gate().lock);
    MVSoundLibrary::startEngine(am.c_str(), bn.c_str(), voc.c_str(), shared->inputRate.load(std::memory_order_relaxed),
                                shared->outputRate.load(std::memory_order_relaxed));
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

std::optional<Bytes> MorvoxEngine::getSyncRealTimeSoundTransferData(std::span<const std::uint8_t> data,
                                                                    std::int32_t mode, float pitchFluctuation,
                                                                    float pitchOffset) {
  PitchArray params = conversion_array(pitchFluctuation, pitchOffset);
  auto samples = samples_of(data);
  const std::size_t n = samples.size();
  EngineGate& g = gate();
  if (g.queued_pushes.load(std::memory_order_acquire) == 0 && g.lock.try_lock()) {
    push_locked(samples, mode, params.data());
    g.lock.unlock();
  } else {
    // The engine is busy on the queue (or earlier pushes of ours still wait there): queue this
    // push behind them instead of waiting, and take what output is ready now.
    g.queued_pushes.fetch_add(1, std::memory_order_acq_rel);
    queue().async([samples = std::move(samples), mode, params]() mutable {
      {
        std::lock_guard<std::mutex> lock(gate().lock);
        push_locked(samples, mode, params.data());
      }
      gate().queued_pushes.fetch_sub(1, std::memory_order_acq_rel);
    });
  }
  return pull(n);
}

void MorvoxEngine::getRealTimeSoundTransferData(std::span<const std::uint8_t> data, std::int32_t mode,
                                                float pitchFluctuation, float pitchOffset,
                                                const std::function<void(std::optional<Bytes>)>& callback) {
  PitchArray params = conversion_array(pitchFluctuation, pitchOffset);
  auto samples = samples_of(data);
  // Pull first: the output comes from earlier pushes and trails the input by at least one call.
  auto out = pull(samples.size());
  queue().async([samples = std::move(samples), mode, params]() mutable {
    std::lock_guard<std::mutex> lock(gate().lock);
    push_locked(samples, mode, params.data());
  });
  if (callback) callback(std::move(out));
}

std::optional<Bytes> MorvoxEngine::pull(std::size_t n) {
  std::lock_guard<std::mutex> lock(resultMutex_);
  Bytes out;
  std::size_t done = 0;
  // In pieces of the output buffer, so a call carrying more samples than it holds never writes
  // past it. A piece that gives nothing ends the pull.
  do {
    const std::size_t want = std::min(n - done, kResultSamples);
    const int k = MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(resultShort_.data(), static_cast<int>(want));
    if (k <= 0 || k == MVSoundLibrary::kNotStarted) break;
    const std::size_t got = std::min(static_cast<std::size_t>(k), want);
    if (out.empty()) out.reserve(n * 2);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(resultShort_.data());
    out.insert(out.end(), bytes, bytes + got * 2);
    done += got;
  } while (done < n);
  if (out.empty()) return std::nullopt;
  return out;
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
    }
    if (completion) completion();
  });
}

void MorvoxEngine::stopEngine(std::function<void()> completion) {
  queue().async([completion = std::move(completion)] {
    {
      std::lock_guard<std::mutex> lock(gate().lock);
      MVSoundLibrary::stopEngineSoundLibrary();
    }
    if (completion) completion();
  });
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
