#include "sdk/sample_formats.h"

#include <cmath>
#include <limits>
#include <new>

namespace mvsdk::sdk {

namespace {

std::uint32_t read_u32le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void write_u32le(std::uint32_t v, std::uint8_t* p) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// channels below 1 count as 1.
std::uint64_t channel_count(std::int64_t channels) {
  return channels < 1 ? 1u : static_cast<std::uint64_t>(channels);
}

// a * b, or nullopt when it does not fit in size_t.
std::optional<std::size_t> checked_mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return std::nullopt;
  return static_cast<std::size_t>(a * b);
}

}  // namespace

std::int64_t bytes_per_sample(std::int64_t format) {
  switch (format) {
    case kFormatU8:
      return 1;
    case kFormatS24In32:
    case kFormatS32:
    case kFormatF32:
      return 4;
    default:
      return 2;
  }
}

std::int16_t sample_to_s16(const std::uint8_t* p, std::int64_t format) {
  switch (format) {
    case kFormatU8:
      return static_cast<std::int16_t>((static_cast<int>(p[0]) - 128) * 256);
    case kFormatS16:
      return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
    case kFormatS24In32: {
      // Sign-extend the low 24 bits, then keep bits 8..23.
      const std::int32_t word = static_cast<std::int32_t>(read_u32le(p) << 8) >> 8;
      return static_cast<std::int16_t>(word >> 8);
    }
    case kFormatS32:
      return static_cast<std::int16_t>(static_cast<std::int32_t>(read_u32le(p)) >> 16);
    case kFormatF32: {
      float f;
      const std::uint32_t bits = read_u32le(p);
      static_assert(sizeof f == sizeof bits);
      __builtin_memcpy(&f, &bits, sizeof f);
      if (std::isnan(f)) return 0;
      f = f < -1.0f ? -1.0f : (f > 1.0f ? 1.0f : f);
      // 1.0 gives 32767 and -1.0 gives -32767: the scale is symmetric.
      return static_cast<std::int16_t>(f * 32767.0f);
    }
    default:
      return 0;
  }
}

void sample_from_s16(std::int16_t s, std::int64_t format, std::uint8_t* p) {
  switch (format) {
    case kFormatU8: {
      int v = (s >> 8) + 128;
      v = v < 0 ? 0 : (v > 255 ? 255 : v);
      p[0] = static_cast<std::uint8_t>(v);
      return;
    }
    case kFormatS16:
      p[0] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s));
      p[1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8);
      return;
    case kFormatS24In32:
      write_u32le(static_cast<std::uint32_t>(static_cast<std::int32_t>(s) * 256), p);
      return;
    case kFormatS32:
      write_u32le(static_cast<std::uint32_t>(static_cast<std::int32_t>(s) * 65536), p);
      return;
    case kFormatF32: {
      float f = static_cast<float>(s) / 32767.0f;
      f = f < -1.0f ? -1.0f : (f > 1.0f ? 1.0f : f);
      std::uint32_t bits;
      __builtin_memcpy(&bits, &f, sizeof bits);
      write_u32le(bits, p);
      return;
    }
    default:
      p[0] = 0;
      p[1] = 0;
      return;
  }
}

void frames_to_s16_mono(const std::uint8_t* in, std::size_t frames, std::size_t frame_bytes, std::int64_t format,
                        std::int16_t* out) {
  for (std::size_t i = 0; i < frames; ++i, in += frame_bytes) out[i] = sample_to_s16(in, format);
}

void s16_mono_to_frames(const std::int16_t* in, std::size_t n, std::int64_t format, std::size_t channels,
                        std::uint8_t* out) {
  const auto bps = static_cast<std::size_t>(bytes_per_sample(format));
  for (std::size_t i = 0; i < n; ++i) {
    // Write the first channel, then copy it to the others.
    sample_from_s16(in[i], format, out);
    for (std::size_t c = 1; c < channels; ++c) __builtin_memcpy(out + c * bps, out, bps);
    out += channels * bps;
  }
}

std::optional<Bytes> to_s16_mono(std::span<const std::uint8_t> input, std::int64_t format,
                                 std::int64_t channels) {
  if (input.empty()) return std::nullopt;
  const auto bps = static_cast<std::uint64_t>(bytes_per_sample(format));
  const auto frame = checked_mul(bps, channel_count(channels));
  if (!frame || *frame > input.size()) return std::nullopt;
  const std::size_t frames = input.size() / *frame;
  Bytes out;
  try {
    out.resize(frames * 2);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  const std::uint8_t* src = input.data();
  for (std::size_t i = 0; i < frames; ++i, src += *frame) {
    const auto v = static_cast<std::uint16_t>(sample_to_s16(src, format));
    out[2 * i] = static_cast<std::uint8_t>(v);
    out[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  return out;
}

std::optional<Bytes> from_s16_mono(std::span<const std::uint8_t> input, std::int64_t format,
                                   std::int64_t channels) {
  const std::size_t samples = input.size() / 2;
  if (samples == 0) return std::nullopt;
  const auto bps = static_cast<std::uint64_t>(bytes_per_sample(format));
  const std::uint64_t ch = channel_count(channels);
  const auto frame = checked_mul(bps, ch);
  if (!frame) return std::nullopt;
  const auto total = checked_mul(samples, *frame);
  if (!total) return std::nullopt;
  Bytes out;
  try {
    out.resize(*total);
  } catch (const std::exception&) {  // bad_alloc, or length_error past max_size()
    return std::nullopt;
  }
  std::uint8_t* dst = out.data();
  for (std::size_t i = 0; i < samples; ++i) {
    const auto s = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(input[2 * i] | (input[2 * i + 1] << 8)));
    // Write the first channel, then copy it to the others.
    sample_from_s16(s, format, dst);
    for (std::uint64_t c = 1; c < ch; ++c) __builtin_memcpy(dst + c * bps, dst, bps);
    dst += *frame;
  }
  return out;
}

std::size_t min_block_bytes(std::int64_t rate, std::int64_t channels, std::int64_t format) {
  const std::int64_t r = rate < 1 ? 48000 : rate;
  // trunc(rate * 0.01) without going through floating point for large rates.
  const auto frames = static_cast<std::uint64_t>(r / 100);
  const auto per_frame = checked_mul(static_cast<std::uint64_t>(bytes_per_sample(format)),
                                     channel_count(channels));
  if (!per_frame) return 0;
  return checked_mul(frames, *per_frame).value_or(0);
}

Bytes silence(std::size_t count) {
  try {
    return Bytes(count, 0);
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace mvsdk::sdk
