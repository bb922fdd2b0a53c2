// The request layer's pure text operations, decided without a network: reply normalisation,
// decryption and JSON extraction, percent-encoding, query and body text, log layout, UTF-8.
#include "net/reply.h"

#include <gtest/gtest.h>

#include "net/json_text.h"
#include "net/mv_aes_decryptor.h"
#include "net/mv_net_request.h"
#include "net/url_encoding.h"
#include "platform/crypto.h"

namespace mvsdk {
namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes encrypt(std::string_view plain, std::string_view key, std::string_view iv = {}) {
  Bytes iv_bytes = bytes(iv);
  iv_bytes.resize(16, 0);
  return *platform::aes_cbc_encrypt(bytes(key), iv_bytes, bytes(plain));
}
// Base64 of plain encrypted as the service does (the default key unless given, a zero IV).
std::string sealed(std::string_view plain, std::string_view key = MVAESDecryptor::defaultKey()) {
  return platform::base64_encode(encrypt(plain, key));
}

TEST(NormalizeReply, EveryForm) {
  const std::string envelope = R"({"code":0,"message":"hi","data":{"s":[1]}})";
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  const std::string nul("{\"code\":0,\"message\":\"hi\"}\0{\"code\":9}\xfe", 37);
  const struct {
    long status;
    std::string body;
    bool ok;
    std::int64_t code;  // on failure
    std::string text;   // the message on success, the description on failure
    json data;          // on success; null: not checked
  } cases[] = {
      {200, R"({"code":0,"message":"ok","data":{"a":1}})", true, 0, "ok", {{"a", 1}}},
      {200, R"({"code":0,"b":[]})", true, 0, "success", {{"code", 0}, {"b", json::array()}}},
      {204, R"({"code":"0","message":"","data":null})", true, 0, "success", json::object()},
      {200, R"({"code":200,"message":"m"})", false, 200, "m", nullptr},
      {200, R"({"code":"200"})", false, 200, "error，code: 200", nullptr},
      {200, R"({"code":" -7abc","message":"neg"})", false, -7, "neg", nullptr},
      {200, R"({"code":[5]})", true, 0, "success", nullptr},
      // Codes beyond 32 bits saturate; they never wrap to 0 (which would read as no code).
      {200, R"({"code":4294967296})", false, 2147483647, "error，code: 200", nullptr},
      {200, R"({"code":"-99999999999999999999"})", false, -2147483648LL, "error，code: 200", nullptr},
      {200, R"({"code":3,"message":null})", false, 3, "<null>", nullptr},
      {200, R"({"code":3,"message":{"k":[1]}})", false, 3, R"({"k":[1]})", nullptr},
      {500, R"({"code":0,"message":""})", false, 500, "error，code: 500", nullptr},
      {401, R"({"message":"Unauthorized"})", false, 401, "Unauthorized", nullptr},
      {503, R"({"code":9,"message":"busy"})", false, 9, "busy", nullptr},
      {200, "[1,2]", true, 0, "success", {1, 2}},
      {201, "[1]", false, 201, "success", nullptr},
      {200, "", true, 0, "success", json::object()},
      {200, "42", true, 0, "success", json::object()},
      {200, "{broken", true, 0, "success", json::object()},
      {200, "\xff\xfe", true, 0, "success", json::object()},
      {200, sealed(envelope), true, 0, "hi", {{"s", {1}}}},
      {200, sealed("\x01garbage" + envelope + "}}tail\n"), true, 0, "hi", {{"s", {1}}}},
      {200, sealed(R"({"code":17,"message":"expired"})"), false, 17, "expired", nullptr},
      // Undecryptable (wrong key) or JSON-less plaintext: a reply without JSON.
      {200, sealed(envelope, std::string(32, 'k')), true, 0, "success", json::object()},
      {200, sealed("no json here"), true, 0, "success", json::object()},
      // A NUL byte ends nothing: text after it makes the body no JSON, plain or encrypted.
      {404, nul, false, 404, "error", nullptr},
      {404, sealed(nul), false, 404, "error", nullptr},
      // Deep nesting is rejected, not recursed into.
      {200, deep, true, 0, "success", json::object()},
      {500, R"({"code":1,"message":)" + deep + "}", false, 500, "error", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 60));
    const auto r = net::normalize_reply(c.status, c.body);
    ASSERT_EQ(r.ok, c.ok) << r.error.description;
    EXPECT_EQ(c.ok ? r.message : r.error.description, c.text);
    EXPECT_EQ(std::pair(r.error.domain, r.error.code), std::pair(std::string(c.ok ? "" : "MVNetRequestErrorDomain"), c.code));
    if (!c.data.is_null()) {
      EXPECT_EQ(r.data, c.data);
    }
  }
  EXPECT_FALSE(net::parse_json_container(std::string_view("[1]\0", 4)).has_value());
  EXPECT_TRUE(net::parse_json_container(R"(["a\u0000b"])").has_value());
}

TEST(AESDecryptor, KeyAndIvLengthRules) {
  const std::string k32 = "0123456789abcdefghijklmnopqrstuv", plain = "two blocks of text, more than 16";
  const auto& dk = MVAESDecryptor::defaultKey();
  EXPECT_EQ(dk.size(), 32u);
  const struct {
    std::string key, used_key, iv, used_iv;
  } cases[] = {
      {k32.substr(0, 16), k32.substr(0, 16), "", ""},
      {k32.substr(0, 24), k32.substr(0, 24), "", ""},
      {k32.substr(0, 20), k32.substr(0, 16), "", ""},  // AES-128 over the first 16
      {"0123456789", std::string("0123456789\0\0\0\0\0\0", 16), "", ""},
      {k32 + "EXTRAEXT", k32, "", ""},
      {k32, k32, "ABCDEFGHIJKLMNOPQRST", "ABCDEFGHIJKLMNOP"},
      {k32, k32, "ABCDE", "ABCDE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key + " / " + c.iv);
    const Bytes cipher = encrypt(plain, c.used_key, c.used_iv);
    EXPECT_EQ(text(MVAESDecryptor::decryptData(cipher, c.key, c.iv)), plain);
    // The default key when none is given.
    EXPECT_EQ(text(MVAESDecryptor::decryptData(encrypt(plain, dk, c.used_iv), c.iv)), plain);
  }
  Bytes cut = encrypt(plain, k32);
  cut.pop_back();
  EXPECT_TRUE(MVAESDecryptor::decryptData(encrypt(plain, k32), "", "").empty());
  EXPECT_TRUE(MVAESDecryptor::decryptData(Bytes{}, k32, "").empty());
  EXPECT_TRUE(MVAESDecryptor::decryptData(cut, k32, "").empty());
  // The strict variant takes 16-byte keys and IVs only.
  const Bytes strict = encrypt("strict", k32.substr(0, 16), "fedcba9876543210");
  EXPECT_EQ(MVNetRequest::aesDecryptData(strict, k32.substr(0, 16), "fedcba9876543210"), bytes("strict"));
  EXPECT_FALSE(MVNetRequest::aesDecryptData(strict, k32.substr(0, 17), "fedcba9876543210"));
  EXPECT_FALSE(MVNetRequest::aesDecryptData(strict, k32.substr(0, 16), "edcba9876543210"));
  EXPECT_FALSE(MVNetRequest::aesDecryptData(strict, "fedcba9876543210", "fedcba9876543210"));
}

TEST(AESDecryptor, Base64TextAndJsonForms) {
  const std::string obj = R"({"a":{"b":[1]}})";
  std::string lenient = sealed(obj);
  for (std::size_t i = 16; i < lenient.size(); i += 18) lenient.insert(i, "\n ");
  // {base64, text, JSON}: stray bytes around the JSON are cut off; failures give "" and {}.
  const struct {
    std::string base64, text;
    json value;
  } cases[] = {
      {lenient, obj, json::parse(obj)},
      {sealed(obj + "\x03\x03 trailing"), obj, json::parse(obj)},
      {sealed("x" + obj + "]]"), obj, json::parse(obj)},
      {sealed(obj, std::string(32, 'f')), "", json::object()},
      {sealed("\xff{\"a\":1"), "", json::object()},
      {"", "", json::object()},
      {"not base64!", "", json::object()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base64);
    EXPECT_EQ(MVAESDecryptor::decryptBase64StringToString(c.base64), c.text);
    EXPECT_EQ(MVAESDecryptor::decryptBase64StringToJSON(c.base64), c.value);
  }
  // The data operations do not extract.
  const Bytes cipher = encrypt("pre {\"a\":1} post", "0123456789abcdef");
  EXPECT_EQ(MVAESDecryptor::decryptDataToString(cipher, "0123456789abcdef", ""), "pre {\"a\":1} post");
  EXPECT_EQ(MVAESDecryptor::decryptDataToJSON(cipher, "0123456789abcdef", ""), json::object());
  EXPECT_EQ(MVAESDecryptor::decryptDataToJSON(encrypt("[1]", "0123456789abcdef"), "0123456789abcdef", ""),
            json({1}));
  EXPECT_EQ(MVAESDecryptor::errorMessageForStatus(0), "成功");
  EXPECT_EQ(MVAESDecryptor::errorMessageForStatus(-4304), "解码错误");
  EXPECT_EQ(MVAESDecryptor::errorMessageForStatus(-1), "未知错误 (-1)");
}

TEST(UrlEncoding, EncodeDecodeAndRequestableUrls) {
  const std::string query_set = "http://h:8/a/b?x=1&y=a+b;c@d!$'()*,~_.-";
  EXPECT_EQ(net::urlEncoded(query_set), query_set);
  EXPECT_EQ(net::urlEncoded("a b%c#d\"<>[]{}|\\^`"), "a%20b%25c%23d%22%3C%3E%5B%5D%7B%7D%7C%5C%5E%60");
  EXPECT_EQ(net::urlEncoded("\r\n\t声"), "%0D%0A%09%E5%A3%B0");
  EXPECT_EQ(net::urlDecoded("a%20b%E5%a3%B0"), "a b声");
  for (const char* bad : {"%", "ab%2", "%zz", "%FF"}) EXPECT_EQ(net::urlDecoded(bad), "") << bad;
  EXPECT_TRUE(net::is_requestable_url("http://127.0.0.1:80/api"));
  EXPECT_TRUE(net::is_requestable_url("HTTPS://service.invalid"));
  for (const char* bad : {"/api/sdkra/login", "ftp://h/x", "http:///path", "http://:80/path", "http://h/a b"})
    EXPECT_FALSE(net::is_requestable_url(bad)) << bad;
  EXPECT_TRUE(net::is_valid_utf8("plain 声 😀"));
  // Overlong, surrogate, above U+10FFFF, cut short.
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE5\xA3"})
    EXPECT_FALSE(net::is_valid_utf8(bad)) << bad;
}

TEST(RequestText, QueryBodyAndLogLayout) {
  EXPECT_EQ(MVNetRequest::getParameters(nullptr), std::nullopt);
  EXPECT_EQ(MVNetRequest::getParameters(json::object()), std::nullopt);
  EXPECT_EQ(MVNetRequest::getParameters({{"a", "x y"}, {"b", 5}, {"c", true}}), "a=x y&b=5&c=1");
  EXPECT_EQ(MVNetRequest::getBodyParameters(json::object()), std::nullopt);
  EXPECT_EQ(MVNetRequest::getBodyParameters({{"k", {1, 2}}, {"s", "v"}}), R"({"k":[1,2],"s":"v"})");
  // A string that is not UTF-8 cannot be serialised: no body rather than an exception.
  EXPECT_EQ(MVNetRequest::getBodyParameters({{"k", "\xff"}}), std::nullopt);
  EXPECT_EQ(MVNetRequest::formatHeaders({{"A", "1"}, {"B", "2"}}), R"(     ["A": "1", "B": "2"])");
  EXPECT_EQ(MVNetRequest::formatJSONString(R"({"a":[1]})"), "     {\n       \"a\": [\n         1\n       ]\n     }");
  EXPECT_EQ(MVNetRequest::formatJSONObject(json{{"k", "\xff"}}).substr(0, 5), "     ");
}

}  // namespace
}  // namespace mvsdk
