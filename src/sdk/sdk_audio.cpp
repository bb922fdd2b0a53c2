// MVSDKManager: the audio path. transform() runs on the host's audio thread and allocates, locks
// and waits for nothing: it works in an AudioPath sized when the audio configuration was set,
// reads atomics, and hands 16-bit mono pieces to the engine manager, which in asynchronous mode
// only takes ready output from a ring and writes the push into another.
#include <algorithm>
#include <cstring>
#include <limits>
#include <thread>

#include "sdk/input_conditioning.h"
#include "sdk/sdk_manager_impl.h"

namespace mvsdk {

namespace sdk {

namespace {

// Largest supported audio configuration.
constexpr std::int64_t kMinRate = 8000;
constexpr std::int64_t kMaxRate = 192000;
constexpr std::int64_t kMaxChannels = 32;

// Zeroed, so every page is touched now and the audio path never takes a page fault on it.
template <class T>
std::unique_ptr<T[]> make_array(std::size_t n) {
  n = std::max<std::size_t>(n, 1);
  auto a = std::unique_ptr<T[]>(new (std::nothrow) T[n]);
  if (a) std::memset(static_cast<void*>(a.get()), 0, n * sizeof(T));
  return a;
}

}  // namespace

std::unique_ptr<AudioPath> AudioPath::make(std::int64_t rate, std::int64_t channels, std::int64_t format,
                                           std::string& reason) {
  if (rate < 1) rate = 48000;
  if (channels < 1) channels = 1;
  if (rate < kMinRate || rate > kMaxRate) {
    reason = "Unsupported sample rate " + std::to_string(rate) + " Hz (8000 to 192000 Hz)";
    return nullptr;
  }
  if (channels > kMaxChannels) {
    reason = "Unsupported channel count " + std::to_string(channels) + " (1 to 32)";
    return nullptr;
  }
  if (format < kFormatU8 || format > kFormatF32) {
    reason = "Unsupported sample format " + std::to_string(format) + " (0 to 4)";
    return nullptr;
  }
  auto path = std::unique_ptr<AudioPath>(new (std::nothrow) AudioPath());
  if (path) {
    path->format = format;
    path->channels = channels;
    path->rate = rate;
    path->frame = static_cast<std::size_t>(bytes_per_sample(format) * channels);
    path->minBlock = min_block_bytes(rate, channels, format);
    path->pieceFrames = static_cast<std::size_t>(rate * kMaxPushMs / 1000);
    path->convert = !(format == kFormatS16 && channels == 1);
    path->gather = make_array<std::uint8_t>(path->minBlock);
    path->mono = make_array<std::int16_t>(path->pieceFrames);
    path->converted = make_array<std::int16_t>(path->pieceFrames);
    path->host = make_array<std::uint8_t>(path->pieceFrames * path->frame);
    path->ringCap = static_cast<std::size_t>(rate * kRingMs / 1000) * path->frame + 2 * path->pieceFrames * path->frame;
    path->ring = make_array<std::uint8_t>(path->ringCap);
  }
  if (!path || !path->gather || !path->mono || !path->converted || !path->host || !path->ring) {
    reason = "Not enough memory for the audio buffers";
    return nullptr;
  }
  return path;
}

void AudioPath::ringWrite(const std::uint8_t* src, std::size_t n) {
  if (n > ringCap - ringUsed) {
    lostBytes.fetch_add(n, std::memory_order_relaxed);
    return;
  }
  const std::size_t at = (ringStart + ringUsed) % ringCap;
  const std::size_t first = std::min(n, ringCap - at);
  std::memcpy(ring.get() + at, src, first);
  std::memcpy(ring.get(), src + first, n - first);
  ringUsed += n;
}

void AudioPath::ringRead(std::uint8_t* dst, std::size_t n) {
  const std::size_t first = std::min(n, ringCap - ringStart);
  std::memcpy(dst, ring.get() + ringStart, first);
  std::memcpy(dst + first, ring.get(), n - first);
  ringStart = (ringStart + n) % ringCap;
  ringUsed -= n;
}

void AudioPath::clear() {
  gathered = 0;
  ringStart = 0;
  ringUsed = 0;
  began = false;
  gatheredReport.store(0, std::memory_order_relaxed);
  readyReport.store(0, std::memory_order_relaxed);
}

}  // namespace sdk

void MVSDKManager::Impl::withAudioPath(
    const std::function<std::unique_ptr<sdk::AudioPath>(std::unique_ptr<sdk::AudioPath>)>& fn) const {
  std::lock_guard lock(pathMutex);
  // New calls find no path (and answer with the fallback at once); calls already inside finish.
  audioPath.store(nullptr, std::memory_order_seq_cst);
  while (audioEntries.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
  ownedPath = fn(std::move(ownedPath));
  audioPath.store(ownedPath.get(), std::memory_order_seq_cst);
}

std::string MVSDKManager::Impl::rebuildAudioPath() {
  std::string reason;
  auto next = sdk::AudioPath::make(sampleRate.load(), channel.load(), format.load(), reason);
  if (next) {
    // Conditioning settings out of range count as an unsupported configuration too.
    std::lock_guard lock(stateMutex);
    reason = sdk::input_conditioning_problem(config.input);
    if (!reason.empty()) next.reset();
  }
  withAudioPath([&](std::unique_ptr<sdk::AudioPath> old) {
    // Same configuration: keep the path and what it holds.
    if (old && next && old->rate == next->rate && old->channels == next->channels && old->format == next->format) {
      return old;
    }
    return std::move(next);
  });
  return reason;
}

void MVSDKManager::Impl::clearAudioBuffers() {
  withAudioPath([](std::unique_ptr<sdk::AudioPath> path) {
    if (path) path->clear();
    return path;
  });
}

std::size_t MVSDKManager::Impl::calculateMinDataSize() const {
  return sdk::min_block_bytes(sampleRate.load(std::memory_order_relaxed), channel.load(std::memory_order_relaxed),
                              format.load(std::memory_order_relaxed));
}

std::size_t MVSDKManager::Impl::inputBufferedBytes() const {
  std::lock_guard lock(pathMutex);
  return ownedPath ? ownedPath->gatheredReport.load(std::memory_order_relaxed) : 0;
}

std::size_t MVSDKManager::Impl::processedBufferedBytes() const {
  std::lock_guard lock(pathMutex);
  return ownedPath ? ownedPath->readyReport.load(std::memory_order_relaxed) : 0;
}

namespace {

// Marks one transform call inside the audio path for the threads that replace or clear it.
class AudioEntry {
 public:
  explicit AudioEntry(std::atomic<int>& entries) : entries_(entries) { entries_.fetch_add(1, std::memory_order_seq_cst); }
  ~AudioEntry() { entries_.fetch_sub(1, std::memory_order_release); }
  AudioEntry(const AudioEntry&) = delete;
  AudioEntry& operator=(const AudioEntry&) = delete;

 private:
  std::atomic<int>& entries_;
};

}  // namespace

std::size_t MVSDKManager::Impl::transform(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
  const std::size_t length = input.size();
  if (output.size() < length) return 0;
  if (length == 0) return 0;
  const bool mute = muteOnFail.load(std::memory_order_relaxed);
  auto fallback = [&] {
    if (mute) {
      std::memset(output.data(), 0, length);
    } else {
      std::memcpy(output.data(), input.data(), length);
    }
    return length;
  };

  // Ready: started, a voice set, and the engine running.
  if (!isEngineStarted.load(std::memory_order_acquire) || !hasSpeaker.load(std::memory_order_acquire) ||
      !engine->getEngineStatus()) {
    return fallback();
  }
  // One call at a time: an overlapping call from another thread does not wait for this one.
  if (audioBusy.test_and_set(std::memory_order_acquire)) {
    overlappingCalls.fetch_add(1, std::memory_order_relaxed);
    return fallback();
  }
  struct Release {
    std::atomic_flag& flag;
    ~Release() { flag.clear(std::memory_order_release); }
  } release{audioBusy};
  AudioEntry entry(audioEntries);
  sdk::AudioPath* path = audioPath.load(std::memory_order_seq_cst);
  if (!path) return fallback();  // an unsupported configuration, or being replaced right now
  sdk::AudioPath& p = *path;

  const std::int64_t mode = currentMode.load(std::memory_order_relaxed);
  const float intonation = currentIntonation.load(std::memory_order_relaxed);
  const float pitch = currentPitch.load(std::memory_order_relaxed);
  const bool sync = isSync.load(std::memory_order_relaxed);

  // One block of whole frames (at most one push piece): to 16-bit mono, through the engine,
  // back to the host's format onto the ring.
  auto convert_block = [&](const std::uint8_t* bytes, std::size_t size) {
    const std::size_t frames = size / p.frame;
    if (frames == 0) return;
    if (p.convert) {
      sdk::frames_to_s16_mono(bytes, frames, p.frame, p.format, p.mono.get());
    } else {
      std::memcpy(p.mono.get(), bytes, frames * 2);
    }
    const std::size_t got = rtvcEngineManager->transcribeInto({p.mono.get(), frames}, {p.converted.get(), frames}, sync,
                                                              mode, intonation, pitch);
    if (got == 0) return;
    if (p.convert) {
      sdk::s16_mono_to_frames(p.converted.get(), frames, p.format, static_cast<std::size_t>(p.channels), p.host.get());
      p.ringWrite(p.host.get(), frames * p.frame);
    } else {
      p.ringWrite(reinterpret_cast<const std::uint8_t*>(p.converted.get()), frames * 2);
    }
  };

  // Gather blocks of at least 10 ms. Only whole frames leave for the engine: a trailing partial
  // frame stays in the gather buffer and is completed by the next call.
  const std::size_t pieceBytes = p.pieceFrames * p.frame;
  std::size_t pos = 0;
  while (pos < length) {
    const std::size_t left = length - pos;
    if (p.gathered == 0 && left >= p.minBlock) {
      const std::size_t take = std::min(left - left % p.frame, pieceBytes);
      convert_block(input.data() + pos, take);
      pos += take;
      continue;
    }
    const std::size_t take = std::min(left, p.minBlock - p.gathered);
    std::memcpy(p.gather.get() + p.gathered, input.data() + pos, take);
    p.gathered += take;
    pos += take;
    if (p.gathered == p.minBlock) {
      convert_block(p.gather.get(), p.gathered);
      p.gathered = 0;
    }
  }

  std::size_t served = 0;
  if (p.ringUsed >= length) {
    p.ringRead(output.data(), length);
    p.began = true;
    served = length;
  } else if (p.began) {
    p.fallbackCalls.fetch_add(1, std::memory_order_relaxed);
  }
  p.gatheredReport.store(p.gathered, std::memory_order_relaxed);
  p.readyReport.store(p.ringUsed, std::memory_order_relaxed);
  return served ? served : fallback();
}

}  // namespace mvsdk
