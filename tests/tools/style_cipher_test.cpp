// The tools' own style-file cipher against the kit's reader: what mvsdk-models and mvsdk-service
// write, the kit must read back to the same numbers.
#include "synthetic/style_cipher.h"

#include <gtest/gtest.h>

#include <string>

#include "bridge/style_data.h"

namespace mvsdk {
namespace {

TEST(StyleCipher, KitReadsWhatTheToolsEncryptAndStrictBase64Holds) {
  const std::string text = "0.5,-1.25,3,1e-3";
  const auto encrypted = models::encrypt_style_text(text);
  ASSERT_TRUE(encrypted.has_value());
  EXPECT_EQ(encrypted->find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  const std::vector<float> numbers = {0.5f, -1.25f, 3.0f, 1e-3f};
  EXPECT_EQ(models::decrypt_style_text(*encrypted), text);
  EXPECT_EQ(models::decode_style_text(*encrypted), numbers);
  EXPECT_EQ(bridge::decode_style_data(*encrypted), numbers);

  // A line break is outside the alphabet: not decrypted, then read as numbers (as the kit does).
  std::string broken = *encrypted;
  broken.insert(8, "\n");
  EXPECT_FALSE(models::decrypt_style_text(broken).has_value());
  EXPECT_EQ(models::decode_style_text(broken), bridge::decode_style_data(broken));
  EXPECT_EQ(models::decode_style_text(" 1, 2,x"), (std::vector<float>{1.0f, 2.0f, 0.0f}));
  EXPECT_FALSE(models::decode_style_text("").has_value());
}

}  // namespace
}  // namespace mvsdk
