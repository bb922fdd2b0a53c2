#include "net/reply.h"

#include <cctype>
#include <limits>
#include <optional>

#include "models/speaker_list_model.h"
#include "net/json_text.h"
#include "net/mv_aes_decryptor.h"
#include "platform/crypto.h"

namespace mvsdk::net {

namespace {

// Decodes the body as an encrypted reply. Tries the whole plaintext first, then its extracted
// JSON fragment.
std::optional<nlohmann::json> decrypt_reply(std::string_view text) {
  nlohmann::json obj = MVAESDecryptor::decryptBase64StringToJSON(text);
  if ((obj.is_object() || obj.is_array()) && !obj.empty()) return obj;
  MVAESDecryptor::Bytes raw = MVAESDecryptor::decryptBase64String(text);
  std::optional<nlohmann::json> result;
  if (!raw.empty()) {
    const std::string_view plain(reinterpret_cast<const char*>(raw.data()), raw.size());
    if (is_valid_utf8(plain)) {
      const std::string fragment = extract_json_fragment(plain);
      if (!fragment.empty()) result = parse_json_container(fragment);
    }
  }
  platform::secure_wipe(raw);
  return result;
}

}  // namespace

std::int64_t reply_code_value(const nlohmann::json& value) {
  if (value.is_number()) return json_number_to_int64(value);
  if (!value.is_string()) return 0;
  const std::string& s = value.get_ref<const std::string&>();
  std::size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t v = 0;
  bool saturated = false;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const int d = s[i] - '0';
    if (v > (kMax - d) / 10) {
      saturated = true;
      break;
    }
    v = v * 10 + d;
  }
  if (saturated) return negative ? std::numeric_limits<std::int64_t>::min() : kMax;
  return negative ? -v : v;
}

ServiceReply read_reply(long status, std::string_view body) {
  std::optional<nlohmann::json> json;
  if (!body.empty()) {
    json = parse_json_container(body);
    if (!json && is_valid_utf8(body)) json = decrypt_reply(body);
  }

  ServiceReply reply;
  const std::int64_t status_code = status == 200 ? 0 : status;
  if (json && json->is_object()) {
    if (const auto it = json->find("code"); it != json->end()) reply.code = reply_code_value(*it);
    if (const auto it = json->find("message"); it != json->end()) {
      reply.message = json_value_description(*it);
    }
    if (const auto it = json->find("data"); it != json->end()) {
      reply.data = std::move(*it);
    } else {
      reply.data = std::move(*json);
    }
  } else if (json && json->is_array()) {
    reply.code = status_code;
    reply.message = "success";
    reply.data = std::move(*json);
  } else {
    reply.code = status_code;
    reply.message = status == 200 ? "success" : "error";
  }
  return reply;
}

ReplyOutcome normalize_reply(long status, std::string_view body) {
  ServiceReply reply = read_reply(status, body);
  ReplyOutcome out;
  if (status >= 200 && status < 300 && reply.code == 0) {
    out.ok = true;
    out.message = reply.message.empty() ? "success" : std::move(reply.message);
    out.data = reply.data.is_null() ? nlohmann::json::object() : std::move(reply.data);
    return out;
  }
  out.error.domain = kNetErrorDomain;
  // The error code is a signed 32-bit value; saturate rather than wrap, so that a non-zero
  // service code can never turn into 0.
  std::int64_t code = reply.code != 0 ? reply.code : status;
  constexpr std::int64_t kMax32 = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin32 = std::numeric_limits<std::int32_t>::min();
  out.error.code = code > kMax32 ? kMax32 : (code < kMin32 ? kMin32 : code);
  out.error.description =
      !reply.message.empty() ? std::move(reply.message) : "error，code: " + std::to_string(status);
  return out;
}

}  // namespace mvsdk::net
