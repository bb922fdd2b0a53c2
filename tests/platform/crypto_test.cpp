// AES-CBC against the NIST SP 800-38A CBC vectors (their first block; PKCS#7 adds a second) and
// by round trip; Base64 against RFC 4648.
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include "support/seeded_weights.h"

namespace mvsdk::platform {
namespace {

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes seeded_bytes(test::SeededFloats& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>((rng.next(0.5f) + 0.5f) * 256.0f);
  return b;
}
Bytes hex(std::string_view s) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    b.push_back(static_cast<std::uint8_t>(std::stoi(std::string(s.substr(i, 2)), nullptr, 16)));
  return b;
}

TEST(AesCbc, KnownAnswersAndRoundTripsForEveryKeySize) {
  const Bytes iv = hex("000102030405060708090a0b0c0d0e0f"), block = hex("6bc1bee22e409f96e93d7e117393172a");
  const std::pair<const char*, const char*> nist[] = {
      {"2b7e151628aed2a6abf7158809cf4f3c", "7649abac8119b246cee98e9b12e9197d"},
      {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", "4f021db243bc633d7178183a9fa071e8"},
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", "f58c4c04d6e5f1ba779eabfb5f7bfbd6"}};
  test::SeededFloats rng(20240611);
  for (const auto& [key_hex, cipher_hex] : nist) {
    SCOPED_TRACE(key_hex);
    const Bytes key = hex(key_hex);
    const auto ours = aes_cbc_encrypt(key, iv, block);
    ASSERT_TRUE(ours && ours->size() == 32u);
    EXPECT_EQ(Bytes(ours->begin(), ours->begin() + 16), hex(cipher_hex));
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 100u}) {
      const Bytes plain = seeded_bytes(rng, n);
      const auto sealed = aes_cbc_encrypt(key, iv, plain);
      ASSERT_TRUE(sealed);
      EXPECT_EQ(sealed->size(), (n / 16 + 1) * 16);
      EXPECT_EQ(aes_cbc_decrypt(key, iv, *sealed), plain) << n;
    }
  }
}

TEST(AesCbc, RejectsBadLengthsAndTamperedPadding) {
  const Bytes key(32, 0x11), iv(16, 0x22);
  const auto ct = aes_cbc_encrypt(key, iv, bytes_of("hello, world"));
  ASSERT_TRUE(ct && ct->size() == 16u);
  for (const Bytes& bad : {Bytes{}, Bytes(ct->begin(), ct->end() - 1)}) EXPECT_FALSE(aes_cbc_decrypt(key, iv, bad));
  for (std::size_t bad : {0u, 15u, 17u, 33u}) {  // as the key's length and as the IV's
    EXPECT_FALSE(aes_cbc_decrypt(Bytes(bad, 1), iv, *ct)) << bad;
    EXPECT_FALSE(aes_cbc_encrypt(Bytes(bad, 1), iv, bytes_of("x"))) << bad;
    EXPECT_FALSE(aes_cbc_decrypt(key, Bytes(bad, 1), *ct)) << bad;
    EXPECT_FALSE(aes_cbc_encrypt(key, Bytes(bad, 1), bytes_of("x"))) << bad;
  }
  // Flipping the IV's last byte turns the padding byte 0x04 into 0x05, which must be refused.
  Bytes iv2 = iv;
  iv2[15] ^= 0x01;
  EXPECT_FALSE(aes_cbc_decrypt(key, iv2, *ct));
  // The plaintext of exactly one padding block is empty, not "no result".
  EXPECT_EQ(aes_cbc_decrypt(key, iv, *aes_cbc_encrypt(key, iv, {})), Bytes{});
}

TEST(Base64, VectorsAndForeignCharacters) {
  const std::pair<const char*, const char*> rfc4648[] = {{"", ""},         {"f", "Zg=="},       {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (auto [plain, encoded] : rfc4648) {
    EXPECT_EQ(base64_encode(bytes_of(plain)), encoded);
    EXPECT_EQ(base64_decode(encoded, Base64Mode::kStrict), bytes_of(plain)) << encoded;
  }
  // Strict refuses any foreign character; lenient skips them.
  for (const char* foreign : {"Zm9v\r\nYmFy", "Zm9v\n", " Zm9v", "Zm-v"})
    EXPECT_FALSE(base64_decode(foreign, Base64Mode::kStrict)) << foreign;
  EXPECT_EQ(base64_decode("Zm9v\r\nYmFy", Base64Mode::kLenient), bytes_of("foobar"));
  EXPECT_EQ(base64_decode(" Z m\t9 v*", Base64Mode::kLenient), bytes_of("foo"));
  EXPECT_EQ(base64_decode("\n\n", Base64Mode::kLenient), Bytes{});  // only foreign: the empty text
  EXPECT_EQ(base64_decode("Zg=\n=", Base64Mode::kLenient), bytes_of("f"));
  // Padding and length rules; after skipping, the symbols still have to form whole groups.
  for (Base64Mode mode : {Base64Mode::kStrict, Base64Mode::kLenient}) {
    for (const char* bad : {"Zm9", "Zg", "Z", "Zg=", "Z===", "====", "Zg=a", "Z=g=", "Zg==Zg==", "Zm9vYg==Zm9v", "Zm9v="})
      EXPECT_FALSE(base64_decode(bad, mode)) << bad;
  }
  EXPECT_FALSE(base64_decode("Zm9\nvY", Base64Mode::kLenient));
}

}  // namespace
}  // namespace mvsdk::platform
