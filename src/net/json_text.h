#pragma once
// Pure text and JSON helpers of the service client: UTF-8 validation, bounded JSON parsing and
// the brace-matching extraction of a JSON fragment from decrypted text. No I/O, no state; safe
// from any thread.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace mvsdk::net {

// Deepest nesting of arrays and objects accepted in a reply. The JSON library copies and prints
// values recursively, so an unbounded depth (a 32 MiB body of "[[[[...") would exhaust the stack.
inline constexpr std::size_t kMaxJsonDepth = 512;

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Parses text as JSON whose top level is an object or an array (as the service's replies are).
// nullopt when it is not JSON (a NUL byte anywhere included), is a bare scalar, or nests deeper
// than kMaxJsonDepth. Never throws.
std::optional<nlohmann::json> parse_json_container(std::string_view text);

// Cuts the JSON part out of a text: from the first "{" or "[" to the character at which the
// running counts of braces and of brackets are both back to 0; all of the rest when they never
// are. Quotes are not interpreted, so a brace inside a string value counts like any other.
// Text without "{" or "[" is returned unchanged; empty text gives "".
std::string extract_json_fragment(std::string_view text);

// A short text form of any JSON value, used where a non-string value must be shown as text
// (a reply's "message", a query parameter): strings as they are, booleans as 1 / 0, null as
// "<null>", numbers in decimal, containers as compact JSON. Never throws.
std::string json_value_description(const nlohmann::json& value);

}  // namespace mvsdk::net
