#include "net/mv_aes_decryptor.h"

#include <gtest/gtest.h>

#include "net/mv_net_request.h"
#include "platform/crypto.h"

namespace mvsdk {
namespace {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes encrypt(std::string_view plain, const Bytes& key, const Bytes& iv = Bytes(16, 0)) {
  return *platform::aes_cbc_encrypt(key, iv, bytes(plain));
}

std::string as_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(AESDecryptor, DefaultKeyIs32Bytes) { EXPECT_EQ(MVAESDecryptor::defaultKey().size(), 32u); }

TEST(AESDecryptor, KeyLengthRules) {
  const std::string plain = "key rules";
  // 16, 24, 32: as they are.
  for (const std::string key : {"0123456789abcdef", "0123456789abcdefghijklmn",
                                "0123456789abcdefghijklmnopqrstuv"}) {
    EXPECT_EQ(as_text(MVAESDecryptor::decryptData(encrypt(plain, bytes(key)), key, "")), plain)
        << key.size();
  }
  // 20 characters: AES-128 over the first 16, not AES-192 or a zero-padded 24.
  const std::string k20 = "0123456789abcdefWXYZ";
  EXPECT_EQ(as_text(MVAESDecryptor::decryptData(encrypt(plain, bytes("0123456789abcdef")), k20, "")),
            plain);
  // 10 characters: the 10 bytes and 6 zero bytes.
  Bytes k10 = bytes("0123456789");
  k10.resize(16, 0);
  EXPECT_EQ(as_text(MVAESDecryptor::decryptData(encrypt(plain, k10), "0123456789", "")), plain);
  // 40 characters: the first 32.
  const std::string k40 = "0123456789abcdefghijklmnopqrstuvEXTRAEXT";
  EXPECT_EQ(as_text(MVAESDecryptor::decryptData(
                encrypt(plain, bytes("0123456789abcdefghijklmnopqrstuv")), k40, "")),
            plain);
  // Empty key, empty or partial ciphertext.
  EXPECT_TRUE(MVAESDecryptor::decryptData(encrypt(plain, bytes(k20.substr(0, 16))), "", "").empty());
  EXPECT_TRUE(MVAESDecryptor::decryptData(Bytes{}, k20, "").empty());
  Bytes cut = encrypt(plain, bytes("0123456789abcdef"));
  cut.pop_back();
  EXPECT_TRUE(MVAESDecryptor::decryptData(cut, "0123456789abcdef", "").empty());
}

TEST(AESDecryptor, IvRules) {
  const Bytes key = bytes(MVAESDecryptor::defaultKey());
  const std::string plain = "iv rules, two blocks of text....";
  const Bytes iv16 = bytes("ABCDEFGHIJKLMNOP");
  EXPECT_EQ(as_text(MVAESDecryptor::decryptData(encrypt(plain, key, iv16), "ABCDEFGHIJKLMNOPQRST")),
            plain);
  Bytes iv5 = bytes("ABCDE");
  iv5.resize(16, 0);
  EXPECT_EQ(as_text(MVAESDecryptor::decryptData(encrypt(plain, key, iv5), "ABCDE")), plain);
  EXPECT_EQ(as_text(MVAESDecryptor::decryptData(encrypt(plain, key), "")), plain);
}

TEST(AESDecryptor, Base64IsLenientAndWrongKeysGiveEmptyResults) {
  const std::string json_text = R"({"code":0,"data":[1,2,3],"message":"ok"})";
  const std::string b64 = platform::base64_encode(encrypt(json_text, bytes(MVAESDecryptor::defaultKey())));
  std::string broken = b64;
  for (std::size_t i = 16; i < broken.size(); i += 18) broken.insert(i, "\n ");
  EXPECT_EQ(as_text(MVAESDecryptor::decryptBase64String(broken)), json_text);
  EXPECT_EQ(MVAESDecryptor::decryptBase64StringToJSON(broken), json::parse(json_text));
  EXPECT_EQ(MVAESDecryptor::decryptBase64StringToString(broken), json_text);

  const std::string wrong = platform::base64_encode(
      encrypt(json_text, bytes("ffffffffffffffffffffffffffffffff")));
  EXPECT_TRUE(MVAESDecryptor::decryptBase64String(wrong).empty());
  EXPECT_EQ(MVAESDecryptor::decryptBase64StringToJSON(wrong), json::object());
  EXPECT_EQ(MVAESDecryptor::decryptBase64StringToString(wrong), "");
  EXPECT_EQ(MVAESDecryptor::decryptBase64StringToJSON(""), json::object());
  EXPECT_EQ(MVAESDecryptor::decryptBase64StringToJSON("not base64!"), json::object());
}

TEST(AESDecryptor, StrayBytesAroundTheJson) {
  const Bytes key = bytes(MVAESDecryptor::defaultKey());
  const std::string obj = R"({"a":{"b":[1]}})";
  for (const std::string& plain : {obj + "\x03\x03 trailing", "leading junk " + obj, "x" + obj + "]]"}) {
    const std::string b64 = platform::base64_encode(encrypt(plain, key));
    EXPECT_EQ(MVAESDecryptor::decryptBase64StringToJSON(b64), json::parse(obj)) << plain;
    EXPECT_EQ(MVAESDecryptor::decryptBase64StringToString(b64), obj) << plain;
  }
  // Plaintext that is not UTF-8 gives "" as text and {} as JSON.
  const std::string bad = platform::base64_encode(encrypt("\xff{\"a\":1", key));
  EXPECT_EQ(MVAESDecryptor::decryptBase64StringToString(bad), "");
  EXPECT_EQ(MVAESDecryptor::decryptBase64StringToJSON(bad), json::object());
}

TEST(AESDecryptor, DataOperationsDoNotExtract) {
  const std::string key = "0123456789abcdef";
  const Bytes cipher = encrypt("pre {\"a\":1} post", bytes(key));
  EXPECT_EQ(MVAESDecryptor::decryptDataToString(cipher, key, ""), "pre {\"a\":1} post");
  EXPECT_EQ(MVAESDecryptor::decryptDataToJSON(cipher, key, ""), json::object());
  EXPECT_EQ(MVAESDecryptor::decryptDataToJSON(encrypt("[1]", bytes(key)), key, ""), json({1}));
}

TEST(JsonExtraction, BraceAndBracketMatching) {
  EXPECT_EQ(MVAESDecryptor::extractJSONFromString(""), "");
  EXPECT_EQ(MVNetRequest::extractJSONFromDecryptedString(""), std::nullopt);
  EXPECT_EQ(MVAESDecryptor::extractJSONFromString("no delimiters"), "no delimiters");
  EXPECT_EQ(MVAESDecryptor::extractJSONFromString("ab{\"x\":[1,{}]}cd"), "{\"x\":[1,{}]}");
  EXPECT_EQ(MVAESDecryptor::extractJSONFromString("z[1,[2]],[3]"), "[1,[2]]");
  // Never closed: everything from the first opening brace.
  EXPECT_EQ(MVAESDecryptor::extractJSONFromString("..{\"a\":{\"b\":1}"), "{\"a\":{\"b\":1}");
  // Quotes are not interpreted: a brace inside a string ends the scan early.
  EXPECT_EQ(MVAESDecryptor::extractJSONFromString("{\"s\":\"}\",\"t\":1}"), "{\"s\":\"}");
  EXPECT_EQ(MVNetRequest::extractJSONFromDecryptedString("x{1}y"), "{1}");
}

TEST(AESDecryptor, StrictAes128Variant) {
  const std::string key = "0123456789abcdef";
  const std::string iv = "fedcba9876543210";
  const Bytes cipher = encrypt("strict", bytes(key), bytes(iv));
  const auto plain = MVNetRequest::aesDecryptData(cipher, key, iv);
  ASSERT_TRUE(plain);
  EXPECT_EQ(as_text(*plain), "strict");
  EXPECT_FALSE(MVNetRequest::aesDecryptData(cipher, key + "x", iv));
  EXPECT_FALSE(MVNetRequest::aesDecryptData(cipher, key, iv.substr(1)));
  EXPECT_FALSE(MVNetRequest::aesDecryptData(cipher, "fedcba9876543210", iv));
}

TEST(AESDecryptor, StatusTexts) {
  EXPECT_EQ(MVAESDecryptor::errorMessageForStatus(0), "成功");
  EXPECT_EQ(MVAESDecryptor::errorMessageForStatus(-4304), "解码错误");
  EXPECT_EQ(MVAESDecryptor::errorMessageForStatus(-1), "未知错误 (-1)");
}

}  // namespace
}  // namespace mvsdk
