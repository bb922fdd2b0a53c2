#pragma once
// Host sample formats to and from the engine's 16-bit mono PCM. Pure functions: no state, no
// locks, safe on any thread (the audio thread included; only the whole-buffer conversions
// allocate, for their result).
//
// Format codes (all little-endian, interleaved by frame; a frame is one sample per channel):
//   0  unsigned 8-bit, 128 = zero     to 16: (v - 128) * 256        from 16: (s >> 8) + 128
//   1  signed 16-bit                  as is                          as is
//   2  24-bit signed in the low three bytes of a 32-bit word
//                                     bits 8..23 of the word         s * 256 as a 32-bit word
//   3  signed 32-bit                  word >> 16                     s * 65536
//   4  32-bit float, full scale +-1   clamp to [-1, 1], * 32767, truncated toward zero
//                                                                    s / 32767, clamped to [-1, 1]
//   any other code: 2 bytes per sample, reads as 0, writes two zero bytes.
// A float NaN reads as 0 (it has no sample value; passing it on would poison the engine).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace mvsdk::sdk {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::int64_t kFormatU8 = 0;
inline constexpr std::int64_t kFormatS16 = 1;
inline constexpr std::int64_t kFormatS24In32 = 2;
inline constexpr std::int64_t kFormatS32 = 3;
inline constexpr std::int64_t kFormatF32 = 4;

// Bytes of one sample: 0 -> 1; 2, 3, 4 -> 4; every other code (1 included) -> 2.
std::int64_t bytes_per_sample(std::int64_t format);

// One host sample at p (bytes_per_sample(format) bytes) as a 16-bit sample.
std::int16_t sample_to_s16(const std::uint8_t* p, std::int64_t format);
// Writes s as one host sample (bytes_per_sample(format) bytes) at p.
void sample_from_s16(std::int16_t s, std::int64_t format, std::uint8_t* p);

// Host audio to 16-bit mono: the first channel of every whole frame (the other channels are
// ignored; a trailing partial frame is dropped). None for empty input, for input shorter than
// one frame, or when the result cannot be allocated. channels below 1 count as 1.
std::optional<Bytes> to_s16_mono(std::span<const std::uint8_t> input, std::int64_t format,
                                 std::int64_t channels);
// 16-bit mono to host audio: every sample written to every channel of its frame (a trailing odd
// byte is ignored). None for fewer than 2 bytes, or when the result would not fit in memory.
// channels below 1 count as 1.
std::optional<Bytes> from_s16_mono(std::span<const std::uint8_t> input, std::int64_t format,
                                   std::int64_t channels);

// The audio path's forms of the two conversions, into caller storage (no allocation): frames
// whole host frames of frame_bytes bytes (frame_bytes >= bytes_per_sample(format)) to frames
// samples of out; n samples to n frames of channels samples at out.
void frames_to_s16_mono(const std::uint8_t* in, std::size_t frames, std::size_t frame_bytes, std::int64_t format,
                        std::int16_t* out);
void s16_mono_to_frames(const std::int16_t* in, std::size_t n, std::int64_t format, std::size_t channels,
                        std::uint8_t* out);

// Bytes of the smallest block handed to the engine: 10 ms of host audio, i.e.
// trunc(rate * 0.01) frames of channels samples of format (rate below 1 counts as 48000,
// channels below 1 as 1). 960 for 48000 Hz mono 16-bit. 0 when the product does not fit.
std::size_t min_block_bytes(std::int64_t rate, std::int64_t channels, std::int64_t format);

// count zero bytes; empty when the memory cannot be had.
Bytes silence(std::size_t count);

}  // namespace mvsdk::sdk
