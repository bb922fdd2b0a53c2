#pragma once
// AES-CBC with PKCS#7 padding over OpenSSL's EVP interface, and Base64.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mvsdk::platform {

using Bytes = std::vector<std::uint8_t>;

// Decrypts ciphertext with AES-CBC/PKCS#7. The key must be 16, 24 or 32 bytes (AES-128/192/256)
// and the IV 16 bytes. Returns nullopt ("no result") for a wrong key or IV length, a ciphertext
// that is empty or not whole 16-byte blocks, or a padding check that fails (wrong key): never
// garbage.
std::optional<Bytes> aes_cbc_decrypt(std::span<const std::uint8_t> key,
                                     std::span<const std::uint8_t> iv,
                                     std::span<const std::uint8_t> ciphertext);

// Encrypts with AES-CBC/PKCS#7 (for the tools and tests that play the service's part).
std::optional<Bytes> aes_cbc_encrypt(std::span<const std::uint8_t> key,
                                     std::span<const std::uint8_t> iv,
                                     std::span<const std::uint8_t> plaintext);

enum class Base64Mode {
  kStrict,   // any character outside the alphabet (line breaks included) fails
  kLenient,  // characters outside the alphabet are skipped
};

// Standard alphabet with '=' padding. Returns nullopt when the text is not valid Base64 in the
// chosen mode (bad length after skipping, misplaced padding, or in strict mode a foreign
// character). The empty text decodes to empty bytes.
std::optional<Bytes> base64_decode(std::string_view text, Base64Mode mode);
std::string base64_encode(std::span<const std::uint8_t> bytes);

// Overwrites memory in a way the compiler cannot drop (keys, tokens, plaintext).
void secure_wipe(void* p, std::size_t n_bytes);
void secure_wipe(std::string& s);
void secure_wipe(Bytes& b);

}  // namespace mvsdk::platform
