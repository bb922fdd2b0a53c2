// Fuzz target: decoding of voice style data (Base64 of AES-CBC ciphertext of comma-separated
// numbers, or the number list as plain text).
//
// Input layout: byte 0 picks the form (bit 0: 0 = the rest is the style text itself, 1 = the rest
// is the plaintext, which the harness encrypts with the style key as the service does). In the
// encrypted form, when the plaintext is a list of floats written by the harness itself, the
// decoded vector must equal them bit for bit (round trip).
//
// Properties checked: a decoded text has one value per comma-separated piece; text that does not
// decrypt decodes as its own number list; an encrypted UTF-8 plaintext decodes as its number
// list; decryption never yields anything but UTF-8; the round trip is exact.
//
// decode_style_data also reads a file when its text names one: the target runs in an empty
// scratch folder so that relative names find nothing, and skips texts starting with "/".
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/style_data.h"
#include "platform/crypto.h"

namespace {

using namespace mvsdk;
using bridge::kStyleKeyText;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "style_data_fuzz: property failed: %s\n", what);
    std::abort();
  }
}

std::string encrypt_style(std::string_view plain) {
  const auto* key = reinterpret_cast<const std::uint8_t*>(kStyleKeyText.data());
  const auto cipher = platform::aes_cbc_encrypt({key, kStyleKeyText.size()}, {key, 16},
                                                {reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size()});
  check(cipher.has_value(), "encryption works");
  return platform::base64_encode(*cipher);
}

std::size_t pieces(std::string_view text) {
  std::size_t n = 1;
  for (char c : text) n += c == ',';
  return n;
}

// A piece's value the way a C text-to-float conversion reads it: leading white space, an optional
// sign, then a plain decimal number (no hexadecimal, infinity or NaN forms); out-of-range values
// saturate to infinity, tiny ones go to zero; a piece without a number reads as 0.
float reference_value(std::string_view piece) {
  std::size_t i = 0;
  while (i < piece.size() && std::isspace(static_cast<unsigned char>(piece[i]))) ++i;
  std::string s(piece.substr(i));
  std::size_t j = 0;
  if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
  if (j >= s.size() || !(std::isdigit(static_cast<unsigned char>(s[j])) || s[j] == '.')) return 0.0f;
  // "0x..." reads as the 0 before the x.
  if (s[j] == '0' && j + 1 < s.size() && (s[j + 1] == 'x' || s[j + 1] == 'X')) s.resize(j + 1);
  return std::strtof(s.c_str(), nullptr);
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/style_data_fuzz.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr || ::chdir(tmpl) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool encrypted = data[0] & 1;
  const std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::vector<float> list = bridge::parse_number_list(payload);
  check(list.size() == pieces(payload), "one value per piece");
  {
    std::size_t start = 0;
    for (float v : list) {
      const std::size_t comma = payload.find(',', start);
      const std::string_view piece =
          std::string_view(payload).substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      const float want = reference_value(piece);
      // Same value; zeros may differ in sign only when the text's own sign says so.
      check(v == want && std::signbit(v) == std::signbit(want), "a piece reads as a text-to-float conversion reads it");
      start = comma + 1;
    }
  }

  if (!encrypted) {
    if (payload.starts_with("/")) return 0;
    const auto decoded = bridge::decode_style_data(payload);
    if (payload.empty()) {
      check(!decoded.has_value(), "empty text has no style");
      return 0;
    }
    check(decoded.has_value(), "non-empty text has a style");
    const auto plain = bridge::aesCBCDecryptFromBase64(payload, kStyleKeyText, kStyleKeyText);
    if (plain) check(bridge::is_utf8(*plain), "decrypted text is UTF-8");
    if (!plain || plain->empty()) check(same_bits(*decoded, list), "undecryptable text reads as its number list");
    return 0;
  }

  // Encrypted forms. First the fuzzer's plaintext as it is.
  const std::string text = encrypt_style(payload);
  const auto decoded = bridge::decode_style_data(text);
  check(decoded.has_value(), "a style text decodes");
  const auto plain = bridge::aesCBCDecryptFromBase64(text, kStyleKeyText, kStyleKeyText);
  if (bridge::is_utf8(payload)) {
    check(plain.has_value() && *plain == payload, "decryption gives the plaintext back");
    if (!payload.empty()) check(same_bits(*decoded, list), "an encrypted list decodes like the plain list");
  } else {
    check(!plain.has_value(), "a non-UTF-8 plaintext is refused");
  }
  // A line break makes the text invalid in the strict Base64 of style files: it then reads as a
  // (mostly zero) number list, never as the decrypted one.
  check(!bridge::aesCBCDecryptFromBase64(text + "\n", kStyleKeyText, kStyleKeyText).has_value(),
        "strict Base64 refuses a line break");

  // Round trip: the payload's bytes as floats, written as text, encrypted, decoded again.
  std::vector<float> values;
  for (std::size_t i = 0; i + 4 <= payload.size(); i += 4) {
    float v;
    std::memcpy(&v, payload.data() + i, 4);
    if (!std::isfinite(v)) v = 0.0f;
    values.push_back(v);
  }
  if (values.empty()) return 0;
  std::string csv;
  char buf[32];
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%s%.9g", i ? "," : "", static_cast<double>(values[i]));
    csv += buf;
  }
  const auto round = bridge::decode_style_data(encrypt_style(csv));
  check(round.has_value() && round->size() == values.size(), "round trip keeps the count");
  for (std::size_t i = 0; i < values.size(); ++i) {
    // -0 and +0 compare equal; every other value must come back bit for bit.
    check((*round)[i] == values[i] && std::signbit((*round)[i]) == std::signbit(values[i]),
          "round trip keeps every value");
  }
  return 0;
}
