#include "bridge/style_data.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <system_error>

#include <sys/stat.h>

#include "platform/crypto.h"

namespace mvsdk::bridge {

namespace {

// For a plain decimal number (digits, an optional fraction, an optional exponent) at the start
// of s: true when its value is at least 1, i.e. when a value out of a float's range overflows
// rather than underflows. Zero and numbers below 1 give false.
bool decimal_magnitude_positive(std::string_view s) {
  std::size_t i = 0;
  long long digits_before_point = 0;  // significant digits before the point
  long long zeros_after_point = 0;    // zeros between the point and the first significant digit
  bool significant = false;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
    if (s[i] != '0') significant = true;
    if (significant) ++digits_before_point;
    ++i;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
      if (s[i] != '0') significant = true;
      if (!significant) ++zeros_after_point;
      ++i;
    }
  }
  if (!significant) return false;
  long long exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    bool exp_negative = false;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) exp_negative = s[j++] == '-';
    // Saturate: any exponent beyond a billion decides the direction on its own.
    for (; j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])); ++j) {
      if (exponent < 1000000000LL) exponent = exponent * 10 + (s[j] - '0');
    }
    if (exp_negative) exponent = -exponent;
  }
  // The value is d.ddd x 10^(m - 1) with m the position of the first significant digit.
  const long long m = digits_before_point > 0 ? digits_before_point : -zeros_after_point;
  return m + exponent > 0;
}

// The leading decimal number of a piece, as a float; 0 when there is none.
float leading_number(std::string_view piece) {
  std::size_t i = 0;
  while (i < piece.size() && std::isspace(static_cast<unsigned char>(piece[i]))) ++i;
  piece.remove_prefix(i);
  bool negative = false;
  if (!piece.empty() && (piece[0] == '+' || piece[0] == '-')) {
    negative = piece[0] == '-';
    piece.remove_prefix(1);
  }
  // Only plain decimal forms: digits, an optional fraction and an optional exponent.
  if (piece.empty() || !(std::isdigit(static_cast<unsigned char>(piece[0])) || piece[0] == '.')) return 0.0f;
  float value = 0.0f;
  const auto res = std::from_chars(piece.data(), piece.data() + piece.size(), value, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    // Too large or too small for a float: saturate the way a text-to-float conversion does
    // (infinity, or zero). from_chars leaves the value alone when it is out of range, so the
    // direction is read from the number's decimal magnitude, not from a parse.
    value = decimal_magnitude_positive(piece) ? std::numeric_limits<float>::infinity() : 0.0f;
  } else if (res.ec != std::errc()) {
    return 0.0f;
  }
  return negative ? -value : value;
}

bool is_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return ss.str();
}

}  // namespace

bool is_utf8(std::string_view s) {
  std::size_t i = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  while (i < s.size()) {
    const unsigned char c = p[i];
    int extra;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(extra) >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char cc = p[i + k];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

std::optional<std::string> aesCBCDecryptFromBase64(std::string_view text, std::string_view key_text,
                                                   std::string_view iv_text) {
  if (text.empty()) return std::nullopt;
  auto cipher = platform::base64_decode(text, platform::Base64Mode::kStrict);
  if (!cipher || cipher->empty()) return std::nullopt;
  if (key_text.size() != 16 && key_text.size() != 24 && key_text.size() != 32) return std::nullopt;
  std::string_view iv = iv_text.empty() ? key_text : iv_text;
  if (iv.size() < 16) return std::nullopt;
  const auto* key = reinterpret_cast<const std::uint8_t*>(key_text.data());
  const auto* ivb = reinterpret_cast<const std::uint8_t*>(iv.data());
  auto plain = platform::aes_cbc_decrypt({key, key_text.size()}, {ivb, 16}, *cipher);
  if (!plain) return std::nullopt;
  std::string out(plain->begin(), plain->end());
  platform::secure_wipe(*plain);
  if (!is_utf8(out)) {
    platform::secure_wipe(out);
    return std::nullopt;
  }
  return out;
}

std::vector<float> parse_number_list(std::string_view text) {
  std::vector<float> values;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string_view piece = text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    values.push_back(leading_number(piece));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return values;
}

std::optional<std::vector<float>> decode_style_data(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::optional<std::string> plain;
  if (is_file(text)) {
    auto content = read_file(text);
    if (content && is_utf8(*content)) plain = aesCBCDecryptFromBase64(*content, kStyleKeyText, kStyleKeyText);
  } else {
    plain = aesCBCDecryptFromBase64(text, kStyleKeyText, kStyleKeyText);
  }
  if (!plain || plain->empty()) return parse_number_list(text);
  auto values = parse_number_list(*plain);
  platform::secure_wipe(*plain);
  return values;
}

}  // namespace mvsdk::bridge
