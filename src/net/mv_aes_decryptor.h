#pragma once
// Decryption of encrypted service replies: the body is Base64 text of AES-CBC/PKCS#7 ciphertext
// whose plaintext is JSON, possibly with stray bytes around it.
//
// Stateless class operations, safe from any thread at once. Nothing here reports an error:
// every failure (bad Base64, wrong key or padding, a ciphertext that is not whole blocks,
// invalid UTF-8, unparseable JSON) turns into the operation's empty result. Key, IV and
// plaintext copies made inside are wiped before their memory is released.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace mvsdk {

class MVAESDecryptor {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // The 32-character key text whose UTF-8 bytes are the AES-256 key of encrypted replies (and
  // of the voices' style data).
  static const std::string& defaultKey();

  // AES-CBC/PKCS#7 decryption. The key's UTF-8 length n picks the cipher: 16, 24, 32 bytes as
  // they are; more than 32: the first 32; 17..31 other than 24: the first 16 (AES-128); 1..15:
  // padded with zero bytes to 16. An empty key gives empty bytes. The IV: empty means 16 zero
  // bytes; shorter is zero-padded to 16, longer is cut to 16. Empty bytes on any failure.
  static Bytes decryptData(std::span<const std::uint8_t> ciphertext, std::string_view key,
                           std::string_view iv);
  // decryptData() with the default key.
  static Bytes decryptData(std::span<const std::uint8_t> ciphertext, std::string_view iv);

  // Base64 (characters outside the alphabet, line breaks included, are skipped), then
  // AES-256-CBC with the default key and a zero IV. Empty bytes on any failure.
  static Bytes decryptBase64String(std::string_view base64);
  // decryptBase64String() as text; the JSON fragment of it when there is one (see
  // extractJSONFromString); "" when empty or not UTF-8.
  static std::string decryptBase64StringToString(std::string_view base64);
  // decryptData() as UTF-8 text, without extraction; "" when empty or not UTF-8.
  static std::string decryptDataToString(std::span<const std::uint8_t> ciphertext,
                                         std::string_view key, std::string_view iv);
  // decryptBase64String() parsed as a JSON object or array; when the whole plaintext does not
  // parse, its extracted JSON fragment is tried. An empty object on any failure.
  static nlohmann::json decryptBase64StringToJSON(std::string_view base64);
  // decryptData() parsed as a JSON object or array, without extraction; an empty object on any
  // failure.
  static nlohmann::json decryptDataToJSON(std::span<const std::uint8_t> ciphertext,
                                          std::string_view key, std::string_view iv);

  // The JSON part of a text (brace and bracket matching, quotes not interpreted); the text
  // unchanged when it holds no "{" or "["; "" for "".
  static std::string extractJSONFromString(std::string_view text);

  // Readable text of a cipher status code (0 and -4300..-4305; other codes as "未知错误 (%d)").
  static std::string errorMessageForStatus(std::int32_t status);
};

}  // namespace mvsdk
