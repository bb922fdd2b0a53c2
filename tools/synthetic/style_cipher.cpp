#include "style_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "mvsdk/service_protocol.h"

namespace mvsdk::models {

namespace {

constexpr std::size_t kBlockBytes = 16;  // AES; PKCS#7 adds up to one block

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const unsigned char* key_bytes() { return reinterpret_cast<const unsigned char*>(protocol::kKeyText.data()); }

// AES-256-CBC with PKCS#7 padding over `in`, with the key text's key and IV; none on failure.
std::optional<std::string> aes_cbc(std::string_view in, bool encrypt) {
  static_assert(protocol::kKeyText.size() == 32, "the style files use AES-256");
  CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!ctx ||
      EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key_bytes(), key_bytes(), encrypt ? 1 : 0) != 1) {
    return std::nullopt;
  }
  std::string out(in.size() + kBlockBytes, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  int n1 = 0;
  int n2 = 0;
  if (EVP_CipherUpdate(ctx.get(), o, &n1, reinterpret_cast<const unsigned char*>(in.data()),
                       static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), o + n1, &n2) != 1) {
    OPENSSL_cleanse(out.data(), out.size());
    return std::nullopt;
  }
  out.resize(static_cast<std::size_t>(n1 + n2));
  return out;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict Base64: whole groups of four, "=" only as the last one or two characters of the text.
std::optional<std::string> base64_decode_strict(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::size_t pad = 0;
  while (pad < 2 && text[text.size() - 1 - pad] == '=') ++pad;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int held = 0;
  for (std::size_t i = 0; i < text.size() - pad; ++i) {
    const int v = base64_value(text[i]);
    if (v < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<char>((bits >> held) & 0xFF));
    }
  }
  return out;
}

bool is_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    int extra = 0;
    std::uint32_t cp = 0;
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
      const auto cc = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
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

// The leading decimal number of a piece (digits, an optional fraction and exponent; no hex, no
// "inf" or "nan"), saturating to infinity or zero out of a float's range; 0 without one.
float leading_number(std::string_view piece) {
  std::size_t i = 0;
  while (i < piece.size() && std::isspace(static_cast<unsigned char>(piece[i]))) ++i;
  std::size_t digits = i;
  if (digits < piece.size() && (piece[digits] == '+' || piece[digits] == '-')) ++digits;
  if (digits >= piece.size() || !(std::isdigit(static_cast<unsigned char>(piece[digits])) || piece[digits] == '.')) {
    return 0.0f;
  }
  // Only the characters a decimal number may hold are handed on, so strtof reads no hex form.
  std::size_t n = digits;
  while (n < piece.size() && (std::isdigit(static_cast<unsigned char>(piece[n])) ||
                              std::string_view(".eE+-").find(piece[n]) != std::string_view::npos)) {
    ++n;
  }
  const std::string s(piece.substr(i, n - i));  // strtof needs a terminated string
  errno = 0;
  char* end = nullptr;
  const float v = std::strtof(s.c_str(), &end);
  return end == s.c_str() ? 0.0f : v;
}

}  // namespace

std::optional<std::string> encrypt_style_text(std::string_view text) {
  auto cipher = aes_cbc(text, true);
  if (!cipher) return std::nullopt;
  std::string b64(4 * ((cipher->size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()),
                                reinterpret_cast<const unsigned char*>(cipher->data()),
                                static_cast<int>(cipher->size()));
  if (n < 0) return std::nullopt;
  b64.resize(static_cast<std::size_t>(n));
  return b64;
}

std::optional<std::string> decrypt_style_text(std::string_view text) {
  auto cipher = base64_decode_strict(text);
  if (!cipher || cipher->empty()) return std::nullopt;
  auto plain = aes_cbc(*cipher, false);
  if (!plain) return std::nullopt;
  if (!is_utf8(*plain)) {
    OPENSSL_cleanse(plain->data(), plain->size());
    return std::nullopt;
  }
  return plain;
}

std::optional<std::vector<float>> decode_style_text(std::string_view text) {
  if (text.empty()) return std::nullopt;
  auto plain = decrypt_style_text(text);
  const std::string_view numbers = plain && !plain->empty() ? std::string_view(*plain) : text;
  std::vector<float> values;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = numbers.find(',', start);
    const std::size_t length = comma == std::string_view::npos ? std::string_view::npos : comma - start;
    values.push_back(leading_number(numbers.substr(start, length)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (plain) OPENSSL_cleanse(plain->data(), plain->size());
  return values;
}

}  // namespace mvsdk::models
