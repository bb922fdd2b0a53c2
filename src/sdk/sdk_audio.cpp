// MVSDKManager: the audio path. transform() runs on the host's audio thread: it reads atomics,
// takes inputBufferLock and bufferLock each for one short buffer operation (never together, never
// across a call out), and hands 16-bit mono blocks to the engine manager, which in asynchronous
// mode only pulls ready output and queues the push.
#include <algorithm>
#include <cstring>
#include <limits>

#include "sdk/sdk_manager_impl.h"

namespace mvsdk {

namespace {

// Bytes of one host frame, or 0 when it does not fit (the conversions then fail).
std::size_t frame_bytes(std::int64_t format, std::int64_t channels) {
  const auto bps = static_cast<std::uint64_t>(sdk::bytes_per_sample(format));
  const auto ch = static_cast<std::uint64_t>(channels);
  if (ch > std::numeric_limits<std::size_t>::max() / bps) return 0;
  return static_cast<std::size_t>(bps * ch);
}

}  // namespace

std::size_t MVSDKManager::Impl::calculateMinDataSize() const {
  return sdk::min_block_bytes(sampleRate.load(std::memory_order_relaxed), channel.load(std::memory_order_relaxed),
                              format.load(std::memory_order_relaxed));
}

std::size_t MVSDKManager::Impl::inputBufferedBytes() const {
  std::lock_guard lock(inputBufferLock);
  return inputAudioBuffer.size();
}

std::size_t MVSDKManager::Impl::processedBufferedBytes() const {
  std::lock_guard lock(bufferLock);
  return processedAudioBuffer.size();
}

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

  const std::int64_t fmt = format.load(std::memory_order_relaxed);
  const std::int64_t channels = std::max<std::int64_t>(1, channel.load(std::memory_order_relaxed));
  const std::int64_t configuredRate = sampleRate.load(std::memory_order_relaxed);
  const std::int64_t rate = configuredRate < 1 ? 48000 : configuredRate;
  const std::size_t minBlock = sdk::min_block_bytes(rate, channels, fmt);
  const std::size_t frame = frame_bytes(fmt, channels);

  // Gather a block of at least 10 ms. Only whole frames leave the input buffer: a trailing
  // partial frame stays there and is completed by the next call.
  Bytes gathered;
  std::span<const std::uint8_t> block;
  try {
    std::lock_guard lock(inputBufferLock);
    const bool direct = length >= minBlock && inputAudioBuffer.empty();
    if (direct) {
      const std::size_t whole = frame == 0 ? length : length - length % frame;
      block = input.first(whole);
      inputAudioBuffer.insert(inputAudioBuffer.end(), input.begin() + static_cast<std::ptrdiff_t>(whole), input.end());
    } else {
      inputAudioBuffer.insert(inputAudioBuffer.end(), input.begin(), input.end());
      if (inputAudioBuffer.size() >= minBlock) {
        const std::size_t size = inputAudioBuffer.size();
        const std::size_t whole = frame == 0 ? size : size - size % frame;
        gathered.assign(inputAudioBuffer.begin(), inputAudioBuffer.begin() + static_cast<std::ptrdiff_t>(whole));
        inputAudioBuffer.erase(inputAudioBuffer.begin(), inputAudioBuffer.begin() + static_cast<std::ptrdiff_t>(whole));
        block = gathered;
      }
    }
  } catch (const std::exception&) {
    // No memory for the buffers: this call's audio cannot be kept.
    return fallback();
  }

  if (!block.empty()) {
    const bool convert = !(fmt == sdk::kFormatS16 && channels == 1);
    std::optional<Bytes> mono;
    std::span<const std::uint8_t> pcm = block;
    if (convert) {
      mono = sdk::to_s16_mono(block, fmt, channels);
      pcm = mono ? std::span<const std::uint8_t>(*mono) : std::span<const std::uint8_t>();
    }
    const std::int64_t mode = currentMode.load(std::memory_order_relaxed);
    const float intonation = currentIntonation.load(std::memory_order_relaxed);
    const float pitch = currentPitch.load(std::memory_order_relaxed);
    const bool sync = isSync.load(std::memory_order_relaxed);

    // Appends one engine result, back in host format, to the processed buffer.
    auto append = [&](const Bytes& result) {
      if (result.empty()) return;
      std::optional<Bytes> host;
      const Bytes* out = &result;
      if (convert) {
        host = sdk::from_s16_mono(result, fmt, channels);
        if (!host || host->empty()) return;
        out = &*host;
      }
      try {
        std::lock_guard lock(bufferLock);
        processedAudioBuffer.insert(processedAudioBuffer.end(), out->begin(), out->end());
      } catch (const std::exception&) {
        // No memory: this piece is lost; the call falls back below if nothing else covers it.
      }
    };

    // Pieces of at most kMaxPushMs, each a push the engine accepts whole.
    const std::size_t pieceBytes =
        2 * static_cast<std::size_t>(std::max<std::int64_t>(1, rate * kMaxPushMs / 1000));
    for (std::size_t offset = 0; offset + 1 < pcm.size(); offset += pieceBytes) {
      const auto piece = pcm.subspan(offset, std::min(pieceBytes, pcm.size() - offset));
      if (sync) {
        append(rtvcEngineManager->syncRealTimeTranscribeDataWithData(piece, mode, intonation, pitch));
      } else {
        rtvcEngineManager->realTimeTranscribeDataWithData(piece, mode, intonation, pitch, append);
      }
    }
  }

  std::lock_guard lock(bufferLock);
  if (processedAudioBuffer.size() < length) return fallback();
  std::memcpy(output.data(), processedAudioBuffer.data(), length);
  processedAudioBuffer.erase(processedAudioBuffer.begin(), processedAudioBuffer.begin() + static_cast<std::ptrdiff_t>(length));
  return length;
}

}  // namespace mvsdk
