#pragma once
// Voice style data: the text of a voice's style file (or a path to it) turned into the float
// array the acoustic model takes as its speaker style vector.
//
// Format: standard Base64 (strict: any other character, a line break included, fails) of AES-CBC
// ciphertext with PKCS#7 padding, whose plaintext is decimal numbers separated by ",". Text that
// does not decrypt is read as the number list itself. Pure functions: safe on any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mvsdk/service_protocol.h"

namespace mvsdk::bridge {

// The style files' key text (AES-256); its first 16 bytes are the IV.
inline constexpr std::string_view kStyleKeyText = protocol::kKeyText;
// Floats in a speaker style vector.
inline constexpr std::size_t kStyleLength = 192;

// Decrypts Base64 text with AES-CBC. The key text's byte length (16, 24 or 32) selects AES-128,
// -192 or -256; the IV is the first 16 bytes of iv_text when it is not empty (it must then carry at
// least 16 bytes), else the first 16 key bytes. None for empty text, bad Base64, a wrong key or IV
// length, a cipher or padding failure, or a plaintext that is not UTF-8.
std::optional<std::string> aesCBCDecryptFromBase64(std::string_view text, std::string_view key_text,
                                                   std::string_view iv_text);

// True when s is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_utf8(std::string_view s);

// Splits text at every "," and reads each piece by its leading decimal number (leading white space
// skipped; a piece without one reads as 0). Text without "," gives one piece.
std::vector<float> parse_number_list(std::string_view text);

// The style vector for text: if a file exists at the path text, its content is decrypted, else the
// text itself; when decryption gives nothing, text itself is parsed. None for empty text.
std::optional<std::vector<float>> decode_style_data(const std::string& text);

}  // namespace mvsdk::bridge
