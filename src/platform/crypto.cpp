#include "platform/crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <climits>
#include <memory>
#include <new>

namespace mvsdk::platform {
namespace {

constexpr std::size_t kAesBlockBytes = 16;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }  // also wipes the key schedule
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Wipes a buffer when the scope ends, whichever way it ends.
struct WipeOnExit {
  Bytes& bytes;
  ~WipeOnExit() { secure_wipe(bytes); }
};

const EVP_CIPHER* aes_cbc_for_key(std::size_t n_key_bytes) {
  switch (n_key_bytes) {
    case 16: return EVP_aes_128_cbc();
    case 24: return EVP_aes_192_cbc();
    case 32: return EVP_aes_256_cbc();
    default: return nullptr;
  }
}

// One cipher pass over the whole input into one buffer of input + one block (the most PKCS#7
// padding can add), then one copy of the result out.
std::optional<Bytes> aes_cbc(bool encrypt, std::span<const std::uint8_t> key,
                             std::span<const std::uint8_t> iv, std::span<const std::uint8_t> input) {
  const EVP_CIPHER* cipher = aes_cbc_for_key(key.size());
  if (cipher == nullptr || iv.size() != kAesBlockBytes) return std::nullopt;
  if (!encrypt && (input.empty() || input.size() % kAesBlockBytes != 0)) return std::nullopt;
  if (input.size() > static_cast<std::size_t>(INT_MAX) - 2 * kAesBlockBytes) return std::nullopt;

  try {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return std::nullopt;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0) != 1)
      return std::nullopt;

    Bytes buffer(input.size() + kAesBlockBytes);
    WipeOnExit wipe{buffer};
    static constexpr std::uint8_t kNothing = 0;  // EVP wants a valid pointer even for 0 bytes
    const std::uint8_t* in = input.empty() ? &kNothing : input.data();
    int n_update = 0;
    if (EVP_CipherUpdate(ctx.get(), buffer.data(), &n_update, in, static_cast<int>(input.size())) != 1)
      return std::nullopt;
    int n_final = 0;
    // On decryption this checks the PKCS#7 padding: a wrong key almost always fails here.
    if (EVP_CipherFinal_ex(ctx.get(), buffer.data() + n_update, &n_final) != 1) return std::nullopt;
    const auto n_out = static_cast<std::size_t>(n_update) + static_cast<std::size_t>(n_final);
    if (n_out > buffer.size()) return std::nullopt;
    return Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n_out));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::int8_t kPad = -2;
constexpr std::int8_t kForeign = -1;

constexpr std::array<std::int8_t, 256> make_decode_table() {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = kForeign;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  t[static_cast<unsigned char>('=')] = kPad;
  return t;
}
constexpr std::array<std::int8_t, 256> kDecode = make_decode_table();

}  // namespace

std::optional<Bytes> aes_cbc_decrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                     std::span<const std::uint8_t> ciphertext) {
  return aes_cbc(false, key, iv, ciphertext);
}

std::optional<Bytes> aes_cbc_encrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                     std::span<const std::uint8_t> plaintext) {
  return aes_cbc(true, key, iv, plaintext);
}

// Padded Base64 only: the symbols (after skipping foreign characters in lenient mode) must come
// in whole groups of four, '=' may appear only as the last one or two symbols of the text, and
// the bits a padded group leaves over are ignored.
std::optional<Bytes> base64_decode(std::string_view text, Base64Mode mode) {
  try {
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t group = 0;  // up to four 6-bit symbols
    int n_group = 0;          // symbols in the current group
    int n_pad = 0;            // '=' seen so far; after the first, only more '=' may follow
    for (char ch : text) {
      const std::int8_t v = kDecode[static_cast<unsigned char>(ch)];
      if (v == kForeign) {
        if (mode == Base64Mode::kStrict) return std::nullopt;
        continue;
      }
      if (v == kPad) {
        // Padding fills the third and/or fourth place of the last group, nothing else.
        if (n_group < 2 || n_pad >= 2) return std::nullopt;
        ++n_pad;
        ++n_group;
        group <<= 6;
      } else {
        if (n_pad > 0) return std::nullopt;  // data after padding
        group = (group << 6) | static_cast<std::uint32_t>(v);
        ++n_group;
      }
      if (n_group == 4) {
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        if (n_pad < 2) out.push_back(static_cast<std::uint8_t>(group >> 8));
        if (n_pad < 1) out.push_back(static_cast<std::uint8_t>(group));
        group = 0;
        n_group = 0;
      }
    }
    if (n_group != 0) {
      secure_wipe(out);
      return std::nullopt;  // a partial group: the length is not a multiple of four
    }
    return out;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  try {
    out.reserve((bytes.size() + 2) / 3 * 4);
  } catch (const std::bad_alloc&) {
    return {};
  }
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t g = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out += kAlphabet[(g >> 18) & 63];
    out += kAlphabet[(g >> 12) & 63];
    out += kAlphabet[(g >> 6) & 63];
    out += kAlphabet[g & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t g = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) g |= std::uint32_t{bytes[i + 1]} << 8;
    out += kAlphabet[(g >> 18) & 63];
    out += kAlphabet[(g >> 12) & 63];
    out += rest == 2 ? kAlphabet[(g >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

void secure_wipe(void* p, std::size_t n_bytes) {
  if (p != nullptr && n_bytes > 0) OPENSSL_cleanse(p, n_bytes);
}

// The containers are wiped over their whole length and then emptied.
void secure_wipe(std::string& s) {
  secure_wipe(s.data(), s.size());
  s.clear();
}

void secure_wipe(Bytes& b) {
  secure_wipe(b.data(), b.size());
  b.clear();
}

}  // namespace mvsdk::platform
