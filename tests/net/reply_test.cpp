// Reply normalisation: every form a server may answer in, decided without a network.
#include "net/reply.h"

#include <gtest/gtest.h>

#include "net/json_text.h"
#include "net/mv_aes_decryptor.h"
#include "platform/crypto.h"

namespace mvsdk::net {
namespace {

using nlohmann::json;

std::string encrypt(const std::string& plain, const std::string& key = MVAESDecryptor::defaultKey()) {
  const std::vector<std::uint8_t> k(key.begin(), key.end());
  const std::vector<std::uint8_t> iv(16, 0);
  const std::vector<std::uint8_t> p(plain.begin(), plain.end());
  return platform::base64_encode(*platform::aes_cbc_encrypt(k, iv, p));
}

void expect_failure(const ReplyOutcome& r, std::int64_t code, const std::string& description) {
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.domain, "MVNetRequestErrorDomain");
  EXPECT_EQ(r.error.code, code);
  EXPECT_EQ(r.error.description, description);
}

TEST(NormalizeReply, EnvelopeSuccessAndDataRules) {
  auto r = normalize_reply(200, R"({"code":0,"message":"ok","data":{"a":1}})");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.message, "ok");
  EXPECT_EQ(r.data, json({{"a", 1}}));

  // No "data": the whole object is the data.
  r = normalize_reply(200, R"({"code":0,"speakers":[],"binFiles":[]})");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.message, "success");
  EXPECT_EQ(r.data, json::parse(R"({"code":0,"speakers":[],"binFiles":[]})"));

  // "data": null and an empty message are replaced.
  r = normalize_reply(204, R"({"code":"0","message":"","data":null})");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.message, "success");
  EXPECT_EQ(r.data, json::object());
}

TEST(NormalizeReply, CodeValues) {
  expect_failure(normalize_reply(200, R"({"code":200,"message":"m"})"), 200, "m");
  expect_failure(normalize_reply(200, R"({"code":"200"})"), 200, "error，code: 200");
  expect_failure(normalize_reply(200, R"({"code":" -7abc","message":"neg"})"), -7, "neg");
  // A string without a leading integer and a non-number non-string both read as 0.
  EXPECT_TRUE(normalize_reply(200, R"({"code":"abc"})").ok);
  EXPECT_TRUE(normalize_reply(200, R"({"code":[5]})").ok);
  EXPECT_TRUE(normalize_reply(200, R"({"code":0.4})").ok);
  // A code beyond 32 bits saturates; it never wraps to 0 (which would read as no code).
  expect_failure(normalize_reply(200, R"({"code":4294967296})"), 2147483647, "error，code: 200");
  expect_failure(normalize_reply(200, R"({"code":"-99999999999999999999"})"), -2147483648LL,
                 "error，code: 200");
}

TEST(NormalizeReply, MessageOfOtherTypesIsShownAsText) {
  expect_failure(normalize_reply(200, R"({"code":3,"message":12})"), 3, "12");
  expect_failure(normalize_reply(200, R"({"code":3,"message":null})"), 3, "<null>");
  expect_failure(normalize_reply(200, R"({"code":3,"message":{"k":[1]}})"), 3, R"({"k":[1]})");
}

TEST(NormalizeReply, StatusDecidesWhenTheReplyHasNoCode) {
  expect_failure(normalize_reply(500, R"({"code":0,"message":""})"), 500, "error，code: 500");
  expect_failure(normalize_reply(401, R"({"message":"Unauthorized"})"), 401, "Unauthorized");
  expect_failure(normalize_reply(302, ""), 302, "error");
  expect_failure(normalize_reply(404, ""), 404, "error");
  // A failing status with a non-zero code reports the code.
  expect_failure(normalize_reply(503, R"({"code":9,"message":"busy"})"), 9, "busy");
}

TEST(NormalizeReply, BareArrays) {
  auto r = normalize_reply(200, "[1,2]");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.message, "success");
  EXPECT_EQ(r.data, json({1, 2}));
  expect_failure(normalize_reply(201, "[1]"), 201, "success");
}

TEST(NormalizeReply, NoJson) {
  for (const char* body : {"", "plain text", "42", "\"str\"", "{broken", "\xff\xfe"}) {
    const auto r = normalize_reply(200, body);
    ASSERT_TRUE(r.ok) << body;
    EXPECT_EQ(r.message, "success");
    EXPECT_EQ(r.data, json::object());
  }
}

TEST(NormalizeReply, EncryptedBodies) {
  const std::string envelope = R"({"code":0,"message":"hi","data":{"speakers":[{"id":1}]}})";
  auto r = normalize_reply(200, encrypt(envelope));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.message, "hi");
  EXPECT_EQ(r.data["speakers"][0]["id"], 1);

  // Stray bytes around the JSON inside the plaintext.
  r = normalize_reply(200, encrypt("\x01garbage" + envelope + "}}tail\n"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.message, "hi");

  // Line-broken Base64.
  std::string wrapped = encrypt(envelope);
  for (std::size_t i = 64; i < wrapped.size(); i += 66) wrapped.insert(i, "\r\n");
  r = normalize_reply(200, wrapped);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.message, "hi");

  // An encrypted failure is a failure.
  expect_failure(normalize_reply(200, encrypt(R"({"code":17,"message":"expired"})")), 17, "expired");
  // An encrypted bare array.
  r = normalize_reply(200, encrypt("[3]"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.data, json({3}));
}

TEST(NormalizeReply, UndecryptableBodiesCountAsNoJson) {
  const std::string envelope = R"({"code":5,"message":"x"})";
  // Wrong key: the padding check fails; the body is then a reply without JSON.
  auto r = normalize_reply(200, encrypt(envelope, "0123456789abcdef0123456789abcdef"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.data, json::object());
  expect_failure(normalize_reply(500, encrypt(envelope, "0123456789abcdef")), 500, "error");
  // Plaintext without any JSON in it.
  EXPECT_TRUE(normalize_reply(200, encrypt("no json here")).ok);
}

TEST(NormalizeReply, TextAfterANulByteIsNotIgnored) {
  // A NUL byte ends nothing: the body below is not JSON, so it is no successful envelope, plain or
  // encrypted, and the plain and encrypted forms agree.
  const std::string body("{\"code\":0,\"message\":\"hi\"}\0{\"code\":9}\xfe", 37);
  EXPECT_FALSE(parse_json_container(body).has_value());
  EXPECT_FALSE(parse_json_container(std::string_view("[1]\0", 4)).has_value());
  for (const std::string& form : {body, encrypt(body)}) {
    const auto r = normalize_reply(404, form);
    expect_failure(r, 404, "error");
  }
  // An escaped NUL inside a string is JSON.
  EXPECT_TRUE(parse_json_container(R"(["a\u0000b"])").has_value());
}

TEST(NormalizeReply, DeeplyNestedBodiesAreRejectedNotRecursedInto) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  const auto r = normalize_reply(200, deep);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.data, json::object());
  const std::string nested_message = R"({"code":1,"message":)" + deep + "}";
  expect_failure(normalize_reply(500, nested_message), 500, "error");
}

}  // namespace
}  // namespace mvsdk::net
