#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "bridge/style_data.h"
#include "platform/crypto.h"
#include "support/synthetic_models.h"

using namespace mvsdk::bridge;
using mvsdk::platform::Bytes;

namespace {

std::string encrypt_to_base64(const std::string& plain, std::string_view key_text) {
  const auto* key = reinterpret_cast<const std::uint8_t*>(key_text.data());
  const auto* p = reinterpret_cast<const std::uint8_t*>(plain.data());
  auto c = mvsdk::platform::aes_cbc_encrypt({key, key_text.size()}, {key, 16}, {p, plain.size()});
  EXPECT_TRUE(c.has_value());
  return mvsdk::platform::base64_encode(*c);
}

std::string numbers_text(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    if (i) s += ",";
    s += std::to_string(0.01 * (i - 96));
  }
  return s;
}

}  // namespace

TEST(StyleData, EncryptedFileAndEncryptedText) {
  const std::string plain = numbers_text(192);
  const std::string b64 = encrypt_to_base64(plain, kStyleKeyText);
  const auto dir = mvsdk::test::temp_dir("style");
  const std::string path = (dir / "voice-1.txt").string();
  std::ofstream(path) << b64;

  for (const std::string& arg : {path, b64}) {
    auto v = decode_style_data(arg);
    ASSERT_TRUE(v.has_value());
    ASSERT_EQ(v->size(), 192u);
    EXPECT_FLOAT_EQ((*v)[0], -0.96f);
    EXPECT_FLOAT_EQ((*v)[191], 0.95f);
  }
}

TEST(StyleData, UndecryptableTextIsReadAsNumbers) {
  // A trailing line break fails strict Base64, so the text itself is parsed.
  const std::string b64 = encrypt_to_base64(numbers_text(192), kStyleKeyText) + "\n";
  auto v = decode_style_data(b64);
  ASSERT_TRUE(v.has_value());
  EXPECT_LT(v->size(), 192u);

  auto three = decode_style_data("1.5,2,word");
  ASSERT_TRUE(three.has_value());
  EXPECT_EQ(*three, (std::vector<float>{1.5f, 2.0f, 0.0f}));
  EXPECT_EQ(parse_number_list(" -3.25e1x, +7 ,,"), (std::vector<float>{-32.5f, 7.0f, 0.0f, 0.0f}));
  EXPECT_FALSE(decode_style_data("").has_value());

  // Plain numbers encrypted with another key do not decrypt: the text is parsed (and is Base64,
  // whose leading character is rarely a digit).
  const std::string other = encrypt_to_base64(numbers_text(192), "0123456789abcdef0123456789abcdef");
  EXPECT_FALSE(aesCBCDecryptFromBase64(other, kStyleKeyText, kStyleKeyText).has_value());
}

TEST(StyleData, KeyAndIvRules) {
  const std::string b64_128 = encrypt_to_base64("1,2,3", "0123456789abcdef");
  EXPECT_EQ(aesCBCDecryptFromBase64(b64_128, "0123456789abcdef", ""), "1,2,3");
  // 31-byte key text: no result.
  EXPECT_FALSE(aesCBCDecryptFromBase64(b64_128, kStyleKeyText.substr(0, 31), "").has_value());
  // An IV text shorter than 16 bytes: no result.
  EXPECT_FALSE(aesCBCDecryptFromBase64(b64_128, "0123456789abcdef", "short").has_value());
  EXPECT_FALSE(aesCBCDecryptFromBase64("", kStyleKeyText, kStyleKeyText).has_value());
  EXPECT_FALSE(aesCBCDecryptFromBase64("@@@@", kStyleKeyText, kStyleKeyText).has_value());

  // A plaintext that is not UTF-8 gives no result.
  const std::string bad_utf8 = encrypt_to_base64(std::string("1,2\xff", 4), kStyleKeyText);
  EXPECT_FALSE(aesCBCDecryptFromBase64(bad_utf8, kStyleKeyText, kStyleKeyText).has_value());
}

TEST(StyleData, NumbersOutOfFloatRangeSaturate) {
  // Beyond a float's range a piece reads as infinity, below it as zero, whatever the magnitude of
  // the exponent (a value past a double's range too must not turn into 0).
  const std::vector<float> v = parse_number_list("1e40,1e400,-1e400,123456789e999999999999,0.0001e400,1e-46,-1e-400,4e-45");
  ASSERT_EQ(v.size(), 8u);
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(v[0], inf);
  EXPECT_EQ(v[1], inf);
  EXPECT_EQ(v[2], -inf);
  EXPECT_EQ(v[3], inf);
  EXPECT_EQ(v[4], inf);
  EXPECT_EQ(v[5], 0.0f);
  EXPECT_EQ(v[6], 0.0f);
  EXPECT_TRUE(std::signbit(v[6]));
  EXPECT_EQ(v[7], 4e-45f);  // a subnormal float is kept
}
