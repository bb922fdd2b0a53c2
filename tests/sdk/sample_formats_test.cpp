// The host sample-format conversions: the value table at its edges, channel handling, lengths,
// and random input of every format and channel count.
#include "sdk/sample_formats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

#include "mvsdk/sdk_manager.h"

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

std::int16_t from_float(float f) {
  std::uint8_t p[4];
  std::memcpy(p, &f, 4);
  return sample_to_s16(p, kFormatF32);
}

float to_float(std::int16_t s) {
  std::uint8_t p[4];
  sample_from_s16(s, kFormatF32, p);
  float f;
  std::memcpy(&f, p, 4);
  return f;
}

std::int32_t word_from(std::int16_t s, std::int64_t format) {
  std::uint8_t p[4];
  sample_from_s16(s, format, p);
  std::int32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

std::int16_t from_word(std::uint32_t w, std::int64_t format) {
  std::uint8_t p[4];
  std::memcpy(p, &w, 4);
  return sample_to_s16(p, format);
}

TEST(SampleFormats, BytesPerSample) {
  EXPECT_EQ(bytes_per_sample(0), 1);
  EXPECT_EQ(bytes_per_sample(1), 2);
  EXPECT_EQ(bytes_per_sample(2), 4);
  EXPECT_EQ(bytes_per_sample(3), 4);
  EXPECT_EQ(bytes_per_sample(4), 4);
  EXPECT_EQ(bytes_per_sample(7), 2);
  EXPECT_EQ(bytes_per_sample(-1), 2);
  EXPECT_EQ(MVSDKManager::getBytesPerSampleForFormat(4), 4);
}

TEST(SampleFormats, FloatEdges) {
  EXPECT_EQ(from_float(1.5f), 32767);
  EXPECT_EQ(from_float(-1.5f), -32767);
  EXPECT_EQ(from_float(1.0f), 32767);
  EXPECT_EQ(from_float(-1.0f), -32767);
  EXPECT_EQ(from_float(0.99999f), 32766);
  EXPECT_EQ(from_float(-0.99999f), -32766);  // truncated toward zero
  EXPECT_EQ(from_float(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(from_float(std::numeric_limits<float>::infinity()), 32767);
  EXPECT_EQ(to_float(-32768), -1.0f);
  EXPECT_EQ(to_float(32767), 1.0f);
  EXPECT_EQ(to_float(0), 0.0f);
  EXPECT_FLOAT_EQ(to_float(16384), 16384.0f / 32767.0f);
}

TEST(SampleFormats, EightBitEdges) {
  std::uint8_t v = 0;
  EXPECT_EQ(sample_to_s16(&v, kFormatU8), -32768);
  v = 128;
  EXPECT_EQ(sample_to_s16(&v, kFormatU8), 0);
  v = 255;
  EXPECT_EQ(sample_to_s16(&v, kFormatU8), 32512);
  sample_from_s16(-32768, kFormatU8, &v);
  EXPECT_EQ(v, 0);
  sample_from_s16(32767, kFormatU8, &v);
  EXPECT_EQ(v, 255);
  sample_from_s16(-1, kFormatU8, &v);  // -1 >> 8 is -1 (arithmetic shift)
  EXPECT_EQ(v, 127);
}

TEST(SampleFormats, WordFormats) {
  // 24-bit in 32: bits 8..23 of the sign-extended low 24 bits; the top byte is ignored.
  EXPECT_EQ(from_word(0x007FFFFF, kFormatS24In32), 32767);
  EXPECT_EQ(from_word(0x00800000, kFormatS24In32), -32768);
  EXPECT_EQ(from_word(0xAB800000, kFormatS24In32), -32768);
  EXPECT_EQ(from_word(0x000001FF, kFormatS24In32), 1);
  EXPECT_EQ(word_from(-32768, kFormatS24In32), -32768 * 256);
  EXPECT_EQ(word_from(32767, kFormatS24In32), 32767 * 256);
  // 32-bit: word >> 16 (arithmetic), back * 65536.
  EXPECT_EQ(from_word(0x80000000u, kFormatS32), -32768);
  EXPECT_EQ(from_word(0x7FFFFFFFu, kFormatS32), 32767);
  EXPECT_EQ(from_word(0xFFFFFFFFu, kFormatS32), -1);
  EXPECT_EQ(word_from(-32768, kFormatS32), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(word_from(1, kFormatS32), 65536);
}

TEST(SampleFormats, StereoTakesFirstChannelAndUpmixCopies) {
  const Bytes stereo = le16({100, -5, 200, -6, 300, -7});
  const auto mono = to_s16_mono(stereo, kFormatS16, 2);
  ASSERT_TRUE(mono);
  ASSERT_EQ(mono->size(), 6u);
  EXPECT_EQ(s16_at(*mono, 0), 100);
  EXPECT_EQ(s16_at(*mono, 2), 300);
  const auto back = from_s16_mono(le16({7, -8}), kFormatS16, 2);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, le16({7, 7, -8, -8}));
}

TEST(SampleFormats, LengthsAndShortInput) {
  // A trailing partial frame is dropped; less than one frame, empty input or one byte give none.
  EXPECT_EQ(to_s16_mono(Bytes(13, 0), kFormatS16, 3)->size(), 4u);  // 2 frames of 6 bytes
  EXPECT_FALSE(to_s16_mono(Bytes(5, 0), kFormatS16, 3));
  EXPECT_FALSE(to_s16_mono(Bytes(), kFormatS16, 1));
  EXPECT_FALSE(from_s16_mono(Bytes(1, 0), kFormatS16, 1));
  EXPECT_EQ(from_s16_mono(Bytes(5, 0), kFormatF32, 3)->size(), 2u * 12u);
  // Channel counts below 1 count as 1; absurd ones fail instead of overflowing.
  EXPECT_EQ(to_s16_mono(Bytes(8, 0), kFormatS16, 0)->size(), 8u);
  EXPECT_EQ(from_s16_mono(Bytes(8, 0), kFormatU8, -4)->size(), 4u);
  EXPECT_FALSE(to_s16_mono(Bytes(8, 0), kFormatF32, std::numeric_limits<std::int64_t>::max()));
  EXPECT_FALSE(from_s16_mono(Bytes(8, 0), kFormatF32, std::numeric_limits<std::int64_t>::max()));
}

TEST(SampleFormats, UnknownFormatConvertsToZeros) {
  const auto mono = to_s16_mono(le16({1000, 2000, 3000}), 7, 1);
  ASSERT_TRUE(mono);
  EXPECT_EQ(*mono, Bytes(6, 0));
  const auto back = from_s16_mono(le16({1000, -2000}), 7, 2);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, Bytes(8, 0));
}

TEST(SampleFormats, MinBlockBytes) {
  EXPECT_EQ(min_block_bytes(48000, 1, kFormatS16), 960u);
  EXPECT_EQ(min_block_bytes(0, 1, kFormatS16), 960u);
  EXPECT_EQ(min_block_bytes(-5, 0, kFormatS16), 960u);
  EXPECT_EQ(min_block_bytes(44100, 2, kFormatF32), 441u * 8u);
  EXPECT_EQ(min_block_bytes(22050, 1, kFormatU8), 220u);
  EXPECT_EQ(min_block_bytes(48000, std::numeric_limits<std::int64_t>::max(), kFormatF32), 0u);
  EXPECT_EQ(silence(5), Bytes(5, 0));
}

// Every format and channel count: lengths follow the frame arithmetic, a 16-bit round trip
// through the host format gives the samples back (exactly, or within the format's precision),
// and random bytes never read or write out of bounds (the sanitizer build checks that).
TEST(SampleFormats, RoundTripAndRandomInputForEveryFormat) {
  std::mt19937 rng(7);
  for (std::int64_t format : {0, 1, 2, 3, 4, 9}) {
    for (std::int64_t channels : {1, 2, 3, 6}) {
      SCOPED_TRACE("format " + std::to_string(format) + " channels " + std::to_string(channels));
      const std::size_t frame = static_cast<std::size_t>(bytes_per_sample(format) * channels);
      Bytes mono(2 * 37);
      for (auto& b : mono) b = static_cast<std::uint8_t>(rng());
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
        Bytes noise(rng() % 200);
        for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
        const auto m = to_s16_mono(noise, format, channels);
        if (noise.size() < frame) {
          EXPECT_FALSE(m);
        } else {
          ASSERT_TRUE(m);
          EXPECT_EQ(m->size(), 2 * (noise.size() / frame));
        }
      }
    }
  }
}

}  // namespace
}  // namespace mvsdk::sdk
