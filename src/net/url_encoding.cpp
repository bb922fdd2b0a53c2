#include "net/url_encoding.h"

#include <cctype>

#include "net/json_text.h"

namespace mvsdk::net {

namespace {

bool is_query_allowed(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-': case '.': case '_': case '~':
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
    case ';': case '=':
    case ':': case '@': case '/': case '?':
      return true;
    default:
      return false;
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string urlEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (is_query_allowed(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

std::string urlDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (text.size() - i < 3) return {};
    const int hi = hex_value(text[i + 1]);
    const int lo = hex_value(text[i + 2]);
    if (hi < 0 || lo < 0) return {};
    out.push_back(static_cast<char>((hi << 4) | lo));
    i += 2;
  }
  if (!is_valid_utf8(out)) return {};
  return out;
}

bool is_requestable_url(std::string_view text) {
  const std::size_t sep = text.find("://");
  if (sep == std::string_view::npos) return false;
  std::string scheme;
  for (const char c : text.substr(0, sep)) {
    scheme.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  if (scheme != "http" && scheme != "https") return false;
  const std::string_view rest = text.substr(sep + 3);
  const std::size_t host_end = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, host_end);
  // The host part (after any user info, before any port) must not be empty.
  std::string_view host = authority.substr(authority.rfind('@') == std::string_view::npos
                                               ? 0
                                               : authority.rfind('@') + 1);
  host = host.substr(0, host.find(':'));
  if (host.empty()) return false;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  return true;
}

}  // namespace mvsdk::net
