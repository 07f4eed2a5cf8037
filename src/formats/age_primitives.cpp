#include "formats/age_primitives.h"

#include <sodium.h>

namespace larkpost::age {

namespace {

const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

void Require(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(what);
}

std::string Encode(std::string_view bytes, int variant) {
  InitSodium();
  std::string text(sodium_base64_encoded_len(bytes.size(), variant), '\0');
  sodium_bin2base64(text.data(), text.size(), Bytes(bytes), bytes.size(), variant);
  text.resize(text.size() - 1);  // the terminating zero the library counts in
  return text;
}

std::optional<std::string> Decode(std::string_view text, int variant) {
  InitSodium();
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  size_t length = 0;
  const char* end = nullptr;
  // No characters to ignore, and the whole text must be taken: the library stops at the first
  // character outside the alphabet and refuses leftover bits that are not zero.
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                        text.size(), nullptr, &length, &end, variant) != 0 ||
      end != text.data() + text.size()) {
    return std::nullopt;
  }
  bytes.resize(length);
  return bytes;
}

}  // namespace

void InitSodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw std::runtime_error("the cryptographic library could not be started");
}

std::string RandomBytes(size_t size) {
  InitSodium();
  std::string bytes(size, '\0');
  randombytes_buf(bytes.data(), size);
  return bytes;
}

std::string HmacSha256(std::string_view key, std::string_view data) {
  InitSodium();
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, Bytes(key), key.size());
  crypto_auth_hmacsha256_update(&state, Bytes(data), data.size());
  std::string mac(crypto_auth_hmacsha256_BYTES, '\0');
  crypto_auth_hmacsha256_final(&state, reinterpret_cast<unsigned char*>(mac.data()));
  sodium_memzero(&state, sizeof state);
  return mac;
}

std::string Hkdf(std::string_view ikm, std::string_view salt, std::string_view info,
                 size_t length) {
  Require(length <= 255 * crypto_auth_hmacsha256_BYTES, "HKDF output too long");
  // An absent salt is a block of zeros, which HMAC pads an empty key to anyway.
  const std::string prk = HmacSha256(salt, ikm);
  std::string out;
  std::string block;
  for (unsigned char counter = 1; out.size() < length; ++counter) {
    std::string input = block;
    input.append(info);
    input.push_back(static_cast<char>(counter));
    block = HmacSha256(prk, input);
    out += block;
  }
  out.resize(length);
  return out;
}

std::string Seal(std::string_view key, std::string_view nonce, std::string_view plain) {
  Require(key.size() == kKeySize && nonce.size() == kNonceSize, "bad key or nonce size");
  InitSodium();
  std::string sealed(plain.size() + kTagSize, '\0');
  unsigned long long sealedSize = 0;
  crypto_aead_chacha20poly1305_ietf_encrypt(reinterpret_cast<unsigned char*>(sealed.data()),
                                            &sealedSize, Bytes(plain), plain.size(), nullptr, 0,
                                            nullptr, Bytes(nonce), Bytes(key));
  return sealed;
}

std::optional<std::string> Open(std::string_view key, std::string_view nonce,
                                std::string_view sealed) {
  Require(key.size() == kKeySize && nonce.size() == kNonceSize, "bad key or nonce size");
  if (sealed.size() < kTagSize) return std::nullopt;
  InitSodium();
  std::string plain(sealed.size() - kTagSize, '\0');
  unsigned long long plainSize = 0;
  if (crypto_aead_chacha20poly1305_ietf_decrypt(reinterpret_cast<unsigned char*>(plain.data()),
                                                &plainSize, nullptr, Bytes(sealed), sealed.size(),
                                                nullptr, 0, Bytes(nonce), Bytes(key)) != 0) {
    return std::nullopt;
  }
  return plain;
}

void SealInPlace(const unsigned char* key, const unsigned char* nonce, unsigned char* data,
                 size_t size) {
  unsigned long long tagSize = 0;
  crypto_aead_chacha20poly1305_ietf_encrypt_detached(data, data + size, &tagSize, data, size,
                                                     nullptr, 0, nullptr, nonce, key);
}

void SealTo(const unsigned char* key, const unsigned char* nonce, const unsigned char* plain,
            size_t size, unsigned char* sealed) {
  crypto_aead_chacha20poly1305_ietf_encrypt_detached(sealed, sealed + size, nullptr, plain, size,
                                                     nullptr, 0, nullptr, nonce, key);
}

bool OpenTo(const unsigned char* key, const unsigned char* nonce, const unsigned char* sealed,
            size_t sealedSize, unsigned char* out) {
  if (sealedSize < kTagSize) return false;
  const size_t size = sealedSize - kTagSize;
  return crypto_aead_chacha20poly1305_ietf_decrypt_detached(out, nullptr, sealed, size,
                                                            sealed + size, nullptr, 0, nonce,
                                                            key) == 0;
}

bool Authentic(const unsigned char* key, const unsigned char* nonce, const unsigned char* sealed,
               size_t sealedSize) {
  if (sealedSize < kTagSize) return false;
  const size_t size = sealedSize - kTagSize;
  unsigned char block[64] = {};
  crypto_stream_chacha20_ietf(block, sizeof block, nonce, key);
  crypto_onetimeauth_poly1305_state state;
  crypto_onetimeauth_poly1305_init(&state, block);  // its first 32 bytes are the one-time key
  sodium_memzero(block, sizeof block);
  crypto_onetimeauth_poly1305_update(&state, sealed, size);
  static const unsigned char kZeros[16] = {};
  crypto_onetimeauth_poly1305_update(&state, kZeros, (16 - size % 16) % 16);
  unsigned char lengths[16] = {};  // of the additional data (none), then of the ciphertext
  for (int i = 0; i < 8; ++i) lengths[8 + i] = static_cast<unsigned char>(uint64_t{size} >> (8 * i));
  crypto_onetimeauth_poly1305_update(&state, lengths, sizeof lengths);
  unsigned char tag[kTagSize];
  crypto_onetimeauth_poly1305_final(&state, tag);
  return crypto_verify_16(tag, sealed + size) == 0;
}

std::string EncodeBase64Raw(std::string_view bytes) {
  return Encode(bytes, sodium_base64_VARIANT_ORIGINAL_NO_PADDING);
}

std::optional<std::string> DecodeBase64Raw(std::string_view text) {
  return Decode(text, sodium_base64_VARIANT_ORIGINAL_NO_PADDING);
}

std::string EncodeBase64Padded(std::string_view bytes) {
  return Encode(bytes, sodium_base64_VARIANT_ORIGINAL);
}

std::optional<std::string> DecodeBase64Padded(std::string_view text) {
  return Decode(text, sodium_base64_VARIANT_ORIGINAL);
}

bool SameBytes(std::string_view a, std::string_view b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace larkpost::age
