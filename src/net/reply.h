#pragma once
// Normalisation of a service reply into one outcome, whatever form the server chose: a JSON
// envelope {"code", "message", "data"}, a bare JSON array, no JSON at all, or the whole body as
// Base64 text of AES-256-CBC ciphertext (default key, zero IV) of such JSON, possibly with stray
// bytes around it. Pure: no I/O, no state; safe from any thread.
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/error.h"

namespace mvsdk::net {

inline constexpr const char* kNetErrorDomain = "MVNetRequestErrorDomain";

// Codes of the errors this layer makes itself (besides the service's codes and HTTP statuses).
inline constexpr std::int64_t kErrorInvalidURL = -1001;       // "无效的URL"
inline constexpr std::int64_t kErrorInvalidResponse = -1003;  // "无效的HTTP响应"
inline constexpr std::int64_t kErrorInvalidHeader = -1004;    // a header value with CR, LF or NUL

// The reply's (code, message, data) before the success / failure decision. data is null when
// the reply had no JSON (or a "data" of JSON null).
struct ServiceReply {
  std::int64_t code = 0;
  std::string message;
  nlohmann::json data;
};

// Decodes a body (plain JSON, else an encrypted reply) and reads the envelope. status is the
// HTTP status; it supplies the code of array and non-JSON replies.
ServiceReply read_reply(long status, std::string_view body);

// The final outcome handed to the callbacks.
struct ReplyOutcome {
  bool ok = false;
  // When ok: message is never empty ("success" by default) and data never null ({} by default).
  std::string message;
  nlohmann::json data;
  // When !ok: domain kNetErrorDomain, the reply's non-zero code (saturated to 32 bits) else the
  // status, and the reply's message else "error，code: <status>".
  Error error;
};

// Success when 200 <= status < 300 and the reply code is 0; failure otherwise.
ReplyOutcome normalize_reply(long status, std::string_view body);

// Reads a "code" value: numbers as integers (truncated, saturated), strings by their leading
// decimal integer (optional spaces and sign; 0 when there is none; saturated), anything else 0.
std::int64_t reply_code_value(const nlohmann::json& value);

}  // namespace mvsdk::net
