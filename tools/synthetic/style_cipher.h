#pragma once
// The style files' encryption, as the service delivers them and the kit reads them: the Base64
// text (standard alphabet, padded, one line) of the AES-256-CBC/PKCS#7 ciphertext of the style's
// number text, with the service's key text (protocol::kKeyText) as key and its first 16 bytes as
// IV. Straight over OpenSSL, so the tools need nothing of the kit's internals for it.
//
// Pure functions; safe on any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mvsdk::models {

// The style file content for that text; none if encryption fails.
std::optional<std::string> encrypt_style_text(std::string_view text);

// The plain text of a style file's content: none when it is not strict Base64 (any character
// outside the alphabet, a line break included, fails), does not decrypt, or is not UTF-8.
std::optional<std::string> decrypt_style_text(std::string_view text);

// The numbers of a style file's content, the way the kit reads a style: the decrypted text, or
// when it does not decrypt the text itself, split at every "," with each piece read by its leading
// decimal number (white space before it skipped; a piece without one reads as 0). None for empty
// text.
std::optional<std::vector<float>> decode_style_text(std::string_view text);

}  // namespace mvsdk::models
