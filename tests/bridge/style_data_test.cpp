#include "bridge/style_data.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

#include "support/bridge_fixtures.h"
#include "support/synthetic_models.h"

using namespace mvsdk::bridge;
using mvsdk::test::encrypt_style_text;
using mvsdk::test::style_numbers;

TEST(StyleData, EncryptedFileOrTextElseTheTextAsNumbers) {
  const std::string b64 = encrypt_style_text(style_numbers(192));
  const std::string path = (mvsdk::test::temp_dir("style") / "voice-1.txt").string();
  std::ofstream(path) << b64;
  for (const std::string& arg : {path, b64}) {
    auto v = decode_style_data(arg);
    ASSERT_TRUE(v.has_value());
    ASSERT_EQ(v->size(), 192u);
    EXPECT_FLOAT_EQ((*v)[0], -0.1f);
    EXPECT_FLOAT_EQ((*v)[191], -0.02f);
  }
  // A trailing line break fails strict Base64, so the text itself is parsed.
  auto v = decode_style_data(b64 + "\n");
  ASSERT_TRUE(v.has_value());
  EXPECT_LT(v->size(), 192u);
  EXPECT_EQ(decode_style_data("1.5,2,word"), (std::vector<float>{1.5f, 2.0f, 0.0f}));
  EXPECT_EQ(parse_number_list(" -3.25e1x, +7 ,,"), (std::vector<float>{-32.5f, 7.0f, 0.0f, 0.0f}));
  EXPECT_FALSE(decode_style_data("").has_value());
}

TEST(StyleData, KeyIvAndPlaintextRules) {
  const std::string b64_128 = encrypt_style_text("1,2,3", "0123456789abcdef");
  EXPECT_EQ(aesCBCDecryptFromBase64(b64_128, "0123456789abcdef", ""), "1,2,3");
  const std::string other_key = encrypt_style_text(style_numbers(192), "0123456789abcdef0123456789abcdef");
  const std::string bad_utf8 = encrypt_style_text(std::string("1,2\xff", 4));
  const std::string key(kStyleKeyText);
  const std::tuple<std::string, std::string, std::string> refused[] = {
      {b64_128, key.substr(0, 31), ""},             // a 31-byte key text
      {b64_128, "0123456789abcdef", "short"},       // an IV text under 16 bytes
      {"", key, key}, {"@@@@", key, key},
      {other_key, key, key},                        // another key: no padding
      {bad_utf8, key, key}};                        // a plaintext that is not UTF-8
  for (const auto& [text, k, iv] : refused) EXPECT_FALSE(aesCBCDecryptFromBase64(text, k, iv).has_value()) << text;
}

// Beyond a float's range a piece reads as infinity, below it as zero, whatever the magnitude of
// the exponent (a value past a double's range too must not turn into 0).
TEST(StyleData, NumbersOutOfFloatRangeSaturate) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> v =
      parse_number_list("1e40,1e400,-1e400,123456789e999999999999,0.0001e400,1e-46,-1e-400,4e-45");
  EXPECT_EQ(v, (std::vector<float>{inf, inf, -inf, inf, inf, 0.0f, 0.0f, 4e-45f}));
  ASSERT_EQ(v.size(), 8u);
  EXPECT_TRUE(std::signbit(v[6]));
}
