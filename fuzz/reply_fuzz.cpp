// Fuzz target: normalisation of a service reply (plain JSON, bare arrays, non-JSON bodies and
// encrypted bodies), with the decryption and JSON extraction it relies on.
//
// Input layout: byte 0 picks the form of the body (bits 0-1) and the HTTP status (bits 2-7, an
// index into kStatuses); the rest is the body, or in the encrypted forms the plaintext that the
// harness encrypts with the default key and a zero IV the way the service does (so the fuzzer
// reaches the code behind the cipher).
//
// Properties checked:
//  - the outcome is well formed: success only for a 2xx status and reply code 0, then a
//    non-empty message and non-null data; a failure has the layer's domain, a description, and a
//    non-zero code whenever the reply's code was non-zero, with the reply code's sign;
//  - an encrypted body reads exactly like its plaintext whenever the plaintext is a JSON object
//    or array (with or without line breaks in the Base64 text);
//  - the decryptor's JSON results are always an object or an array;
//  - the extracted JSON fragment is the part of the text from its first "{" or "[" on, cut where
//    the brace and bracket counts return to zero.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/json_text.h"
#include "net/mv_aes_decryptor.h"
#include "net/reply.h"
#include "platform/crypto.h"

namespace {

using namespace mvsdk;

constexpr long kStatuses[] = {200, 201, 204, 299, 300, 301, 400, 401, 403, 404, 500, 503, 0, -1, 199, LONG_MAX,
                              LONG_MIN, 2147483648L, -2147483649L};

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "reply_fuzz: property failed: %s\n", what);
    std::abort();
  }
}

std::string encrypt_reply(std::string_view plain, bool line_breaks) {
  const std::string& key = MVAESDecryptor::defaultKey();
  const std::uint8_t iv[16] = {};
  const auto cipher = platform::aes_cbc_encrypt({reinterpret_cast<const std::uint8_t*>(key.data()), key.size()},
                                                {iv, 16},
                                                {reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size()});
  check(cipher.has_value(), "encryption works");
  std::string text = platform::base64_encode(*cipher);
  if (line_breaks) {
    std::string wrapped;
    for (std::size_t i = 0; i < text.size(); i += 64) wrapped += text.substr(i, 64) + "\r\n";
    text = wrapped;
  }
  return text;
}

void check_fragment(std::string_view text) {
  const std::string fragment = net::extract_json_fragment(text);
  const std::size_t start = text.find_first_of("{[");
  if (start == std::string_view::npos) {
    check(fragment == text, "text without braces is kept whole");
    return;
  }
  const std::string_view rest = text.substr(start);
  check(!fragment.empty() && fragment.size() <= rest.size() && rest.substr(0, fragment.size()) == fragment,
        "fragment is a prefix of the text from its first brace");
  long braces = 0, brackets = 0;
  std::size_t closed_at = std::string_view::npos;
  for (std::size_t i = 0; i < fragment.size(); ++i) {
    const char c = fragment[i];
    braces += c == '{' ? 1 : c == '}' ? -1 : 0;
    brackets += c == '[' ? 1 : c == ']' ? -1 : 0;
    if ((c == '}' || c == ']') && braces == 0 && brackets == 0) {
      closed_at = i;
      break;
    }
  }
  if (fragment.size() < rest.size()) {
    check(closed_at == fragment.size() - 1, "a cut fragment ends where the counts return to zero");
  } else {
    check(closed_at == std::string_view::npos || closed_at == fragment.size() - 1,
          "an uncut fragment never balanced before its end");
  }
}

void check_outcome(long status, const net::ServiceReply& reply, const net::ReplyOutcome& out) {
  const bool success = status >= 200 && status < 300 && reply.code == 0;
  check(out.ok == success, "success iff 2xx and code 0");
  if (out.ok) {
    check(!out.message.empty(), "success has a message");
    check(!out.data.is_null(), "success has data");
    return;
  }
  check(out.error.domain == net::kNetErrorDomain, "failure domain");
  check(!out.error.description.empty(), "failure has a description");
  if (reply.code != 0) {
    check(out.error.code != 0, "a non-zero service code never becomes 0");
    check((out.error.code < 0) == (reply.code < 0), "the service code keeps its sign");
  }
}

bool same_reply(const net::ServiceReply& a, const net::ServiceReply& b) {
  return a.code == b.code && a.message == b.message && a.data == b.data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int form = data[0] & 3;
  const long status = kStatuses[(data[0] >> 2) % (sizeof(kStatuses) / sizeof(kStatuses[0]))];
  const std::string_view payload(reinterpret_cast<const char*>(data + 1), size - 1);

  check_fragment(payload);

  std::string body(payload);
  if (form == 1 || form == 2) body = encrypt_reply(payload, form == 2);

  const net::ServiceReply reply = net::read_reply(status, body);
  const net::ReplyOutcome out = net::normalize_reply(status, body);
  check(same_reply(reply, net::read_reply(status, body)), "reading is deterministic");
  check_outcome(status, reply, out);

  if (form == 1 || form == 2) {
    const nlohmann::json j = MVAESDecryptor::decryptBase64StringToJSON(body);
    check(j.is_object() || j.is_array(), "decrypted JSON is an object or array");
    const std::string text = MVAESDecryptor::decryptBase64StringToString(body);
    if (net::is_valid_utf8(payload) && !payload.empty()) {
      check(text == net::extract_json_fragment(payload), "decrypted text is the plaintext's fragment");
    } else {
      check(text.empty(), "non-UTF-8 or empty plaintext gives no text");
    }
    if (net::parse_json_container(payload)) {
      check(same_reply(reply, net::read_reply(status, payload)), "an encrypted reply reads like its plaintext");
    }
  } else if (form == 3) {
    // The body as ciphertext bytes for the raw decryption entry points.
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    const auto j = MVAESDecryptor::decryptDataToJSON(bytes, MVAESDecryptor::defaultKey(), "");
    check(j.is_object() || j.is_array(), "decrypted JSON is an object or array");
    const std::string key_text(payload.substr(0, payload.size() % 40));
    (void)MVAESDecryptor::decryptData(bytes, key_text, payload.substr(0, 20));
    (void)MVAESDecryptor::decryptDataToString(bytes, key_text, "");
  }
  return 0;
}
