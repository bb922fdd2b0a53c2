#include "net/mv_aes_decryptor.h"

#include <algorithm>
#include <array>

#include "mvsdk/service_protocol.h"
#include "net/json_text.h"
#include "platform/crypto.h"

namespace mvsdk {

namespace {

using platform::secure_wipe;

constexpr std::size_t kBlockBytes = 16;

// Wipes a byte buffer when it goes out of scope.
struct WipeOnExit {
  std::vector<std::uint8_t>& bytes;
  ~WipeOnExit() { secure_wipe(bytes); }
};

}  // namespace

const std::string& MVAESDecryptor::defaultKey() {
  // Never destroyed: replies are decrypted on the HTTP callback thread, which may still be at it
  // while the process exits and runs static destructors.
  static const std::string& key = *new std::string(protocol::kKeyText);
  return key;
}

MVAESDecryptor::Bytes MVAESDecryptor::decryptData(std::span<const std::uint8_t> ciphertext,
                                                  std::string_view key, std::string_view iv) {
  if (key.empty()) return {};
  Bytes key_bytes(key.begin(), key.end());
  WipeOnExit wipe_key{key_bytes};
  const std::size_t n = key_bytes.size();
  if (n > 32) {
    key_bytes.resize(32);
  } else if (n < 16) {
    key_bytes.resize(16, 0);
  } else if (n != 16 && n != 24 && n != 32) {
    key_bytes.resize(16);  // 17..31 other than 24: AES-128 over the first 16 bytes
  }

  Bytes iv_bytes(kBlockBytes, 0);
  WipeOnExit wipe_iv{iv_bytes};
  std::copy_n(iv.begin(), std::min(iv.size(), kBlockBytes), iv_bytes.begin());

  auto plain = platform::aes_cbc_decrypt(key_bytes, iv_bytes, ciphertext);
  if (!plain) return {};
  return std::move(*plain);
}

MVAESDecryptor::Bytes MVAESDecryptor::decryptData(std::span<const std::uint8_t> ciphertext,
                                                  std::string_view iv) {
  return decryptData(ciphertext, defaultKey(), iv);
}

MVAESDecryptor::Bytes MVAESDecryptor::decryptBase64String(std::string_view base64) {
  if (base64.empty()) return {};
  auto cipher = platform::base64_decode(base64, platform::Base64Mode::kLenient);
  if (!cipher || cipher->empty()) return {};
  return decryptData(*cipher, defaultKey(), "");
}

std::string MVAESDecryptor::decryptBase64StringToString(std::string_view base64) {
  Bytes plain = decryptBase64String(base64);
  WipeOnExit wipe{plain};
  if (plain.empty()) return {};
  const std::string_view text(reinterpret_cast<const char*>(plain.data()), plain.size());
  if (!net::is_valid_utf8(text)) return {};
  std::string extract = net::extract_json_fragment(text);
  if (!extract.empty()) return extract;
  return std::string(text);
}

std::string MVAESDecryptor::decryptDataToString(std::span<const std::uint8_t> ciphertext,
                                                std::string_view key, std::string_view iv) {
  Bytes plain = decryptData(ciphertext, key, iv);
  WipeOnExit wipe{plain};
  const std::string_view text(reinterpret_cast<const char*>(plain.data()), plain.size());
  if (text.empty() || !net::is_valid_utf8(text)) return {};
  return std::string(text);
}

nlohmann::json MVAESDecryptor::decryptBase64StringToJSON(std::string_view base64) {
  Bytes plain = decryptBase64String(base64);
  WipeOnExit wipe{plain};
  if (plain.empty()) return nlohmann::json::object();
  const std::string_view text(reinterpret_cast<const char*>(plain.data()), plain.size());
  if (auto value = net::parse_json_container(text)) return std::move(*value);
  if (!net::is_valid_utf8(text)) return nlohmann::json::object();
  const std::string extract = net::extract_json_fragment(text);
  if (!extract.empty()) {
    if (auto value = net::parse_json_container(extract)) return std::move(*value);
  }
  return nlohmann::json::object();
}

nlohmann::json MVAESDecryptor::decryptDataToJSON(std::span<const std::uint8_t> ciphertext,
                                                 std::string_view key, std::string_view iv) {
  Bytes plain = decryptData(ciphertext, key, iv);
  WipeOnExit wipe{plain};
  const std::string_view text(reinterpret_cast<const char*>(plain.data()), plain.size());
  if (auto value = net::parse_json_container(text)) return std::move(*value);
  return nlohmann::json::object();
}

std::string MVAESDecryptor::extractJSONFromString(std::string_view text) {
  return net::extract_json_fragment(text);
}

std::string MVAESDecryptor::errorMessageForStatus(std::int32_t status) {
  switch (status) {
    case 0: return "成功";
    case -4300: return "参数错误";
    case -4301: return "缓冲区太小";
    case -4302: return "内存分配失败";
    case -4303: return "对齐错误";
    case -4304: return "解码错误";
    case -4305: return "未实现";
    default: return "未知错误 (" + std::to_string(status) + ")";
  }
}

}  // namespace mvsdk
