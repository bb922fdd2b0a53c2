// AES-CBC against the openssl command-line tool as the reference; Base64 against RFC 4648.
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "support/local_service.h"
#include "support/seeded_weights.h"

namespace mvsdk::platform {
namespace {

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes seeded_bytes(test::SeededFloats& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>((rng.next(0.5f) + 0.5f) * 256.0f);
  return b;
}

// The openssl tool over input; nullopt when it fails (for a decryption: a bad padding).
std::optional<Bytes> openssl(bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& input) {
  static test::TempDir dir("mvsdk-crypto");
  const auto hex = [](const Bytes& b) {
    std::string s;
    for (auto x : b) s += "0123456789abcdef"[x >> 4], s += "0123456789abcdef"[x & 15];
    return s;
  };
  std::ofstream(dir.path() / "in.bin", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
  const std::string cmd = std::string("openssl enc ") + (encrypt ? "-e" : "-d") + " -aes-" +
                          std::to_string(key.size() * 8) + "-cbc -K " + hex(key) + " -iv " + hex(iv) + " -in '" +
                          (dir.path() / "in.bin").string() + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return std::nullopt;
  Bytes out;
  unsigned char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.insert(out.end(), buf, buf + n);
  return pclose(p) == 0 ? std::optional(out) : std::nullopt;
}

TEST(AesCbc, MatchesOpensslForEveryKeySizeLengthAndWrongKey) {
  ASSERT_TRUE(openssl(true, Bytes(16), Bytes(16), Bytes{1})) << "the openssl command-line tool is needed";
  test::SeededFloats rng(20240611);
  for (std::size_t key_len : {16u, 24u, 32u}) {
    for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 100u}) {
      SCOPED_TRACE("key " + std::to_string(key_len) + " bytes, plaintext " + std::to_string(n));
      const Bytes key = seeded_bytes(rng, key_len), iv = seeded_bytes(rng, 16), plain = seeded_bytes(rng, n);
      const auto ours = aes_cbc_encrypt(key, iv, plain);
      ASSERT_TRUE(ours);
      EXPECT_EQ(ours, openssl(true, key, iv, plain));
      EXPECT_EQ(ours->size(), (n / 16 + 1) * 16);
      EXPECT_EQ(aes_cbc_decrypt(key, iv, *ours), plain);
      // A wrong key gives a random last block whose padding passes by chance about once in 256:
      // it must fail exactly when the reference rejects it.
      Bytes wrong = key;
      wrong[n % key_len] ^= 0x5a;
      EXPECT_EQ(aes_cbc_decrypt(wrong, iv, *ours), openssl(false, wrong, iv, *ours));
    }
  }
}

TEST(AesCbc, RejectsBadLengthsAndTamperedPadding) {
  const Bytes key(32, 0x11), iv(16, 0x22);
  const auto ct = aes_cbc_encrypt(key, iv, bytes_of("hello, world"));
  ASSERT_TRUE(ct && ct->size() == 16u);
  Bytes longer = *ct;
  longer.push_back(0);
  for (const Bytes& bad : {Bytes{}, Bytes(ct->begin(), ct->end() - 1), longer}) EXPECT_FALSE(aes_cbc_decrypt(key, iv, bad));
  for (std::size_t bad_key : {0u, 15u, 17u, 33u}) {
    EXPECT_FALSE(aes_cbc_decrypt(Bytes(bad_key, 1), iv, *ct)) << bad_key;
    EXPECT_FALSE(aes_cbc_encrypt(Bytes(bad_key, 1), iv, bytes_of("x"))) << bad_key;
  }
  for (std::size_t bad_iv : {0u, 15u, 17u}) {
    EXPECT_FALSE(aes_cbc_decrypt(key, Bytes(bad_iv, 1), *ct)) << bad_iv;
    EXPECT_FALSE(aes_cbc_encrypt(key, Bytes(bad_iv, 1), bytes_of("x"))) << bad_iv;
  }
  // Flipping the IV's last byte turns the padding byte 0x04 into 0x05, which must be refused.
  Bytes iv2 = iv;
  iv2[15] ^= 0x01;
  EXPECT_FALSE(aes_cbc_decrypt(key, iv2, *ct));
  // The plaintext of exactly one padding block is empty, not "no result".
  EXPECT_EQ(aes_cbc_decrypt(key, iv, *aes_cbc_encrypt(key, iv, {})), Bytes{});
}

TEST(Base64, VectorsRoundTripAndForeignCharacters) {
  const std::pair<const char*, const char*> rfc4648[] = {{"", ""},         {"f", "Zg=="},       {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (auto [plain, encoded] : rfc4648) {
    EXPECT_EQ(base64_encode(bytes_of(plain)), encoded);
    EXPECT_EQ(base64_decode(encoded, Base64Mode::kStrict), bytes_of(plain)) << encoded;
  }
  test::SeededFloats rng(3);
  const Bytes b = seeded_bytes(rng, 200);
  const std::string e = base64_encode(b);
  std::string wrapped;
  for (std::size_t i = 0; i < e.size(); i += 76) wrapped += e.substr(i, 76) + "\r\n";
  EXPECT_EQ(base64_decode(e, Base64Mode::kStrict), b);
  EXPECT_EQ(base64_decode(wrapped, Base64Mode::kLenient), b);
  for (const char* foreign : {wrapped.c_str(), "Zm9v\n", " Zm9v", "Zm-v"})
    EXPECT_FALSE(base64_decode(foreign, Base64Mode::kStrict)) << foreign;
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

TEST(SecureWipe, ZeroesAndEmpties) {
  Bytes b{1, 2, 3, 4};
  const std::uint8_t* p = b.data();
  secure_wipe(b);
  EXPECT_TRUE(b.empty());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p[i], 0);  // storage kept by clear()
  std::string s = "a secret token that is not short";
  const char* sp = s.data();
  secure_wipe(s);
  EXPECT_TRUE(s.empty());
  for (int i = 1; i < 20; ++i) EXPECT_EQ(sp[i], 0);
  unsigned char raw[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  secure_wipe(raw, sizeof raw);
  for (auto x : raw) EXPECT_EQ(x, 0);
}

}  // namespace
}  // namespace mvsdk::platform
