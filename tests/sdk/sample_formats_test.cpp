// The host sample-format conversions: the value table at its edges, channel handling, lengths,
// and random input of every format and channel count.
#include "sdk/sample_formats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "mvsdk/sdk_manager.h"
#include "support/seeded_weights.h"

namespace mvsdk::sdk {
namespace {

Bytes le16(std::initializer_list<int> samples) {
  Bytes b;
  for (int s : samples) {
    const auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(s));
    b.push_back(static_cast<std::uint8_t>(u));
    b.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return b;
}

std::int16_t s16_at(const Bytes& b, std::size_t i) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
}

// One host sample (up to 4 bytes, little-endian) to 16 bits, and back.
template <typename T>
std::int16_t to16(T host, std::int64_t format) {
  std::uint8_t p[4] = {};
  std::memcpy(p, &host, sizeof host);
  return sample_to_s16(p, format);
}
template <typename T>
T from16(std::int16_t s, std::int64_t format) {
  std::uint8_t p[4] = {};
  sample_from_s16(s, format, p);
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

TEST(SampleFormats, BytesPerSampleAndMinBlock) {
  const std::pair<std::int64_t, int> sizes[] = {{0, 1}, {1, 2}, {2, 4}, {3, 4}, {4, 4}, {7, 2}, {-1, 2}};
  for (const auto& [format, bytes] : sizes) EXPECT_EQ(bytes_per_sample(format), bytes) << format;
  EXPECT_EQ(min_block_bytes(-5, 0, kFormatS16), 960u);  // 48 kHz mono
  EXPECT_EQ(min_block_bytes(44100, 2, kFormatF32), 441u * 8u);
  EXPECT_EQ(min_block_bytes(22050, 1, kFormatU8), 220u);
  EXPECT_EQ(min_block_bytes(48000, std::numeric_limits<std::int64_t>::max(), kFormatF32), 0u);
}

TEST(SampleFormats, ValueEdges) {
  // Float: clamped, truncated toward zero, NaN as 0; back divided by 32767 (-32768 gives -1).
  const std::pair<float, int> floats[] = {{1.5f, 32767},       {-1.5f, -32767},     {1.0f, 32767},
                                          {-1.0f, -32767},     {0.99999f, 32766},   {-0.99999f, -32766},
                                          {std::numeric_limits<float>::quiet_NaN(), 0},
                                          {std::numeric_limits<float>::infinity(), 32767}};
  for (const auto& [f, s] : floats) EXPECT_EQ(to16(f, kFormatF32), s) << f;
  EXPECT_EQ(from16<float>(-32768, kFormatF32), -1.0f);
  EXPECT_EQ(from16<float>(32767, kFormatF32), 1.0f);
  EXPECT_FLOAT_EQ(from16<float>(16384, kFormatF32), 16384.0f / 32767.0f);
  // 8 bits: offset binary; -1 >> 8 is -1 (arithmetic shift).
  const std::pair<std::uint8_t, int> bytes[] = {{0, -32768}, {128, 0}, {255, 32512}};
  for (const auto& [b, s] : bytes) EXPECT_EQ(to16(b, kFormatU8), s);
  EXPECT_EQ(from16<std::uint8_t>(-32768, kFormatU8), 0);
  EXPECT_EQ(from16<std::uint8_t>(32767, kFormatU8), 255);
  EXPECT_EQ(from16<std::uint8_t>(-1, kFormatU8), 127);
  // 24 in 32: bits 8..23 of the sign-extended low 24 bits, the top byte ignored; 32: word >> 16.
  const std::tuple<std::uint32_t, std::int64_t, int> words[] = {
      {0x007FFFFF, kFormatS24In32, 32767}, {0x00800000, kFormatS24In32, -32768},
      {0xAB800000, kFormatS24In32, -32768}, {0x000001FF, kFormatS24In32, 1},
      {0x80000000u, kFormatS32, -32768},   {0x7FFFFFFFu, kFormatS32, 32767},
      {0xFFFFFFFFu, kFormatS32, -1}};
  for (const auto& [w, format, s] : words) EXPECT_EQ(to16(w, format), s) << std::hex << w;
  EXPECT_EQ(from16<std::int32_t>(-32768, kFormatS24In32), -32768 * 256);
  EXPECT_EQ(from16<std::int32_t>(32767, kFormatS24In32), 32767 * 256);
  EXPECT_EQ(from16<std::int32_t>(-32768, kFormatS32), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(from16<std::int32_t>(1, kFormatS32), 65536);
}

TEST(SampleFormats, ChannelsLengthsAndUnknownFormats) {
  // The first channel in, every channel out.
  EXPECT_EQ(to_s16_mono(le16({100, -5, 200, -6, 300, -7}), kFormatS16, 2), le16({100, 200, 300}));
  EXPECT_EQ(from_s16_mono(le16({7, -8}), kFormatS16, 2), le16({7, 7, -8, -8}));
  // A trailing partial frame is dropped; less than one frame, empty input or one byte give none.
  EXPECT_EQ(to_s16_mono(Bytes(13, 0), kFormatS16, 3)->size(), 4u);
  EXPECT_FALSE(to_s16_mono(Bytes(5, 0), kFormatS16, 3));
  EXPECT_FALSE(to_s16_mono(Bytes(), kFormatS16, 1));
  EXPECT_FALSE(from_s16_mono(Bytes(1, 0), kFormatS16, 1));
  EXPECT_EQ(from_s16_mono(Bytes(5, 0), kFormatF32, 3)->size(), 2u * 12u);
  // Channel counts below 1 count as 1; absurd ones fail instead of overflowing.
  EXPECT_EQ(to_s16_mono(Bytes(8, 0), kFormatS16, 0)->size(), 8u);
  EXPECT_EQ(from_s16_mono(Bytes(8, 0), kFormatU8, -4)->size(), 4u);
  EXPECT_FALSE(to_s16_mono(Bytes(8, 0), kFormatF32, std::numeric_limits<std::int64_t>::max()));
  EXPECT_FALSE(from_s16_mono(Bytes(8, 0), kFormatF32, std::numeric_limits<std::int64_t>::max()));
  // An unknown format converts to zeros of the right length.
  EXPECT_EQ(to_s16_mono(le16({1000, 2000, 3000}), 7, 1), Bytes(6, 0));
  EXPECT_EQ(from_s16_mono(le16({1000, -2000}), 7, 2), Bytes(8, 0));
}

// Every format and channel count: lengths follow the frame arithmetic, a 16-bit round trip
// through the host format gives the samples back (exactly, or within the format's precision),
// and random bytes never read or write out of bounds (the sanitizer build checks that).
TEST(SampleFormats, RoundTripAndRandomInputForEveryFormat) {
  test::SeededFloats rng(7);
  auto random_bytes = [&](std::size_t n) {
    Bytes b(n);
    for (auto& v : b) v = static_cast<std::uint8_t>(rng.next(128.0f) + 128.0f);
    return b;
  };
  for (std::int64_t format : {0, 1, 2, 3, 4, 9}) {
    for (std::int64_t channels : {1, 2, 3, 6}) {
      SCOPED_TRACE("format " + std::to_string(format) + " channels " + std::to_string(channels));
      const std::size_t frame = static_cast<std::size_t>(bytes_per_sample(format) * channels);
      const Bytes mono = random_bytes(2 * 37);
      const auto host = from_s16_mono(mono, format, channels);
      ASSERT_TRUE(host);
      ASSERT_EQ(host->size(), 37 * frame);
      const auto again = to_s16_mono(*host, format, channels);
      ASSERT_TRUE(again);
      ASSERT_EQ(again->size(), mono.size());
      for (std::size_t i = 0; i < 37; ++i) {
        const int want = s16_at(mono, i);
        const int got = s16_at(*again, i);
        if (format == 1 || format == 2 || format == 3) {
          EXPECT_EQ(got, want);
        } else if (format == 0) {
          EXPECT_EQ(got, (want >> 8) * 256);  // 8 bits kept
        } else if (format == 4) {
          EXPECT_NEAR(got, want == -32768 ? -32767 : want, 1);
        } else {
          EXPECT_EQ(got, 0);
        }
      }
      for (int round = 0; round < 20; ++round) {
        const Bytes noise = random_bytes(static_cast<std::size_t>(rng.next(100.0f) + 100.0f));
        const auto m = to_s16_mono(noise, format, channels);
        EXPECT_EQ(m ? m->size() : 0u, noise.size() < frame ? 0u : 2 * (noise.size() / frame));
        EXPECT_EQ(m.has_value(), noise.size() >= frame);
      }
    }
  }
}

}  // namespace
}  // namespace mvsdk::sdk
