#pragma once
// Percent-encoding of whole URL texts. Pure functions; safe from any thread.
#include <string>
#include <string_view>

namespace mvsdk::net {

// Percent-encodes, byte by byte over the UTF-8 text, everything outside the characters allowed
// in a URL query (RFC 3986: letters, digits, - . _ ~, the sub-delimiters ! $ & ' ( ) * + , ; =,
// and : @ / ?). "%" itself is encoded, so encoding is not idempotent. Upper-case hex digits.
std::string urlEncoded(std::string_view text);

// Removes percent-encoding. Returns "" when the text holds an invalid escape ("%" not followed by
// two hex digits) or when the decoded bytes are not valid UTF-8.
std::string urlDecoded(std::string_view text);

// True when text looks like an absolute http(s) URL that can be requested: a scheme "http" or
// "https" (any case), "://", a non-empty host, and no byte that would need encoding (controls,
// spaces, non-ASCII). Used after urlEncoded() to decide that a URL "cannot be formed".
bool is_requestable_url(std::string_view text);

}  // namespace mvsdk::net
