// What the age format (age-encryption.org/v1) builds on, over libsodium: HKDF-SHA-256 (RFC 5869,
// on the library's HMAC-SHA-256, which has no HKDF of its own in Debian 12), ChaCha20-Poly1305
// (IETF, 12-byte nonce), random bytes, and base64 as age writes it: the standard alphabet, no
// padding in the header, padding in the armor, and only the one canonical spelling accepted.
// Bytes are held in std::string. AgeError is the one failure every age module throws.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace larkpost::age {

// Why an encrypted file could not be read or written; what() is one line for the user.
class AgeError : public std::runtime_error {
 public:
  enum class Kind {
    kNoMatch,    // no identity or passphrase opens the file
    kHeader,     // the header is malformed (or asks for too much work)
    kHeaderMac,  // the header was modified
    kArmor,      // the PEM-like text form is malformed
    kTruncated,  // the payload ends before its last chunk
    kModified,   // a payload chunk fails its authentication
    kTrailing,   // bytes follow the last chunk
    kKey,        // a key, a key file or a passphrase given to us is unusable
  };
  AgeError(Kind kind, const std::string& text) : std::runtime_error(text), kind(kind) {}
  Kind kind;
};

constexpr size_t kFileKeySize = 16;
constexpr size_t kKeySize = 32;   // ChaCha20-Poly1305 and X25519 keys
constexpr size_t kTagSize = 16;   // Poly1305
constexpr size_t kNonceSize = 12;

// Makes libsodium ready; every function below calls it. Throws std::runtime_error when it cannot.
void InitSodium();

std::string RandomBytes(size_t size);
std::string HmacSha256(std::string_view key, std::string_view data);
// HKDF-SHA-256 extract-then-expand; `length` at most 255 * 32.
std::string Hkdf(std::string_view ikm, std::string_view salt, std::string_view info,
                 size_t length = kKeySize);

// ChaCha20-Poly1305 (IETF): the ciphertext with its tag appended; nullopt when the tag fails.
std::string Seal(std::string_view key, std::string_view nonce, std::string_view plain);
std::optional<std::string> Open(std::string_view key, std::string_view nonce,
                                std::string_view sealed);
// For payload chunks, without copies: `data` holds `size` plaintext bytes and room for the tag,
// sealed in place. OpenTo writes the plaintext to `out` (sealedSize - 16 bytes), leaving `sealed`
// as it was; false when the tag fails.
void SealInPlace(const unsigned char* key, const unsigned char* nonce, unsigned char* data,
                 size_t size);
// The same from `plain` into `sealed` (size + 16 bytes), which must not overlap it.
void SealTo(const unsigned char* key, const unsigned char* nonce, const unsigned char* plain,
            size_t size, unsigned char* sealed);
bool OpenTo(const unsigned char* key, const unsigned char* nonce, const unsigned char* sealed,
            size_t sealedSize, unsigned char* out);
// Whether the tag of `sealed` is right, as OpenTo finds it, without decrypting: the tag of
// ChaCha20-Poly1305 (IETF, no additional data) is Poly1305 over the ciphertext, padded, and the
// lengths, keyed by the first keystream block. Half the work of OpenTo, for a file checked whole
// before it is read.
bool Authentic(const unsigned char* key, const unsigned char* nonce, const unsigned char* sealed,
               size_t sealedSize);

// Base64 without padding, as header arguments and bodies are written.
std::string EncodeBase64Raw(std::string_view bytes);
// Decodes base64 without padding; nullopt for any other character (no blanks, no "="), a
// length no encoding has, or set bits past the last byte (not the canonical spelling).
std::optional<std::string> DecodeBase64Raw(std::string_view text);
// The same, with "=" padding as the armor writes it.
std::string EncodeBase64Padded(std::string_view bytes);
std::optional<std::string> DecodeBase64Padded(std::string_view text);

// Equal in time independent of where they differ.
bool SameBytes(std::string_view a, std::string_view b);

}  // namespace larkpost::age
