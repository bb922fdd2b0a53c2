// Fuzz target: Base64 decoding in strict and lenient mode, and encoding.
//
// Properties checked on every input:
//  - any bytes survive encode -> decode unchanged, in both modes, and the encoding is canonical
//    (length 4 x ceil(n / 3), alphabet and '=' only);
//  - what strict mode accepts, lenient mode accepts with the same bytes;
//  - lenient decoding equals strict decoding of the text with every foreign character removed;
//  - a decoded length is never more than three quarters of the characters decoded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/crypto.h"

namespace {

using mvsdk::platform::Base64Mode;
using mvsdk::platform::base64_decode;
using mvsdk::platform::base64_encode;

bool in_alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
         c == '=';
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "base64_fuzz: property failed: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // Round trip of the raw input bytes.
  const std::string encoded = base64_encode({data, size});
  check(encoded.size() == (size + 2) / 3 * 4, "encoded length is 4 x ceil(n / 3)");
  for (char c : encoded) check(in_alphabet(c), "encoding uses the alphabet only");
  for (Base64Mode mode : {Base64Mode::kStrict, Base64Mode::kLenient}) {
    const auto back = base64_decode(encoded, mode);
    check(back.has_value(), "an encoding decodes");
    check(back->size() == size && (size == 0 || std::memcmp(back->data(), data, size) == 0),
          "decode(encode(x)) == x");
  }

  // The input as Base64 text.
  const auto strict = base64_decode(text, Base64Mode::kStrict);
  const auto lenient = base64_decode(text, Base64Mode::kLenient);
  std::string filtered;
  for (char c : text) {
    if (in_alphabet(c)) filtered.push_back(c);
  }
  if (strict) {
    check(filtered.size() == text.size(), "strict accepts only alphabet characters");
    check(lenient.has_value() && *lenient == *strict, "lenient agrees with strict on strict input");
    check(strict->size() <= text.size() / 4 * 3, "decoded length <= 3/4 of the text");
    // Re-encoding canonical text gives it back; non-canonical text (unused low bits set) decodes
    // to the same bytes as its canonical form.
    const std::string again = base64_encode(*strict);
    const auto again_bytes = base64_decode(again, Base64Mode::kStrict);
    check(again_bytes.has_value() && *again_bytes == *strict, "decode(encode(decode(t))) == decode(t)");
  }
  const auto filtered_strict = base64_decode(filtered, Base64Mode::kStrict);
  check(lenient.has_value() == filtered_strict.has_value(), "lenient accepts iff the filtered text is valid");
  if (lenient) check(*lenient == *filtered_strict, "lenient == strict(filtered)");
  return 0;
}
