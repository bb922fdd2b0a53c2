#include "net/json_text.h"

#include <cstdint>

namespace mvsdk::net {

bool is_valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const unsigned char cc = s[i + k];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

namespace {

// Nesting depth of arrays and objects, honouring strings and escapes. Returns false as soon as
// the depth passes limit. Malformed text may pass here; the parser rejects it afterwards.
bool nesting_within(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

std::optional<nlohmann::json> parse_json_container(std::string_view text) {
  if (text.empty() || !nesting_within(text, kMaxJsonDepth)) return std::nullopt;
  // The JSON library stops reading at a NUL byte as if the text ended there, which would accept
  // "{"code":0}" followed by a NUL and anything at all. A NUL is never part of JSON text (inside
  // a string it must be escaped), so such text is not JSON.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  // No exceptions: a parse error yields a "discarded" value.
  nlohmann::json value = nlohmann::json::parse(text.begin(), text.end(), nullptr,
                                               /*allow_exceptions=*/false);
  if (value.is_discarded() || !(value.is_object() || value.is_array())) return std::nullopt;
  return value;
}

std::string extract_json_fragment(std::string_view text) {
  if (text.empty()) return {};
  const std::size_t start = text.find_first_of("{[");
  if (start == std::string_view::npos) return std::string(text);
  const std::string_view s = text.substr(start);
  long braces = 0;
  long brackets = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    switch (s[i]) {
      case '{':
        ++braces;
        break;
      case '}':
        --braces;
        if (braces == 0 && brackets == 0) return std::string(s.substr(0, i + 1));
        break;
      case '[':
        ++brackets;
        break;
      case ']':
        --brackets;
        if (braces == 0 && brackets == 0) return std::string(s.substr(0, i + 1));
        break;
      default:
        break;
    }
  }
  return std::string(s);
}

std::string json_value_description(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  if (value.is_null()) return "<null>";
  // Replace invalid UTF-8 rather than throw; values come from parse_json_container, so their
  // depth is bounded.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace mvsdk::net
