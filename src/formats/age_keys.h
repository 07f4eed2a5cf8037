// Keys of the age format and the two kinds of recipient it defines.
//
// X25519: a recipient is "age1…" (Bech32 of the 32-byte public key), an identity
// "AGE-SECRET-KEY-1…" (Bech32 of the secret scalar, upper case). A stanza is
// "-> X25519 <ephemeral share>" whose body is the file key sealed with ChaCha20-Poly1305 (zero
// nonce) under HKDF(shared secret, salt share ‖ recipient, info "age-encryption.org/v1/X25519").
// A share that gives the all-zero shared secret (a low-order point) is refused.
//
// scrypt: "-> scrypt <16-byte salt> <log2 N>", the body sealed under scrypt(passphrase,
// "age-encryption.org/v1/scrypt" ‖ salt, N, r 8, p 1). It must be the file's only stanza; the work
// factor is capped when reading, so a file cannot make us compute for hours.
//
// Identity files are what age-keygen writes: "#" comments and blank lines, then one or more
// AGE-SECRET-KEY-1 lines. Recipients files hold one "age1…" a line, with the same comments.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "formats/age_header.h"

namespace larkpost::age {

struct X25519Identity {
  std::string secret;     // 32 bytes
  std::string publicKey;  // 32 bytes
};

// What a file is encrypted to.
struct Recipients {
  std::vector<std::string> x25519;  // public keys, 32 bytes each
  std::string passphrase;           // used when `x25519` is empty
  int workFactor = 18;              // log2 N of scrypt, as age writes it
  bool armor = false;               // the PEM-like text form
};

// What may open a file. The passphrase is asked for only when the file is sealed with one.
struct Keys {
  std::vector<X25519Identity> identities;
  std::function<std::string()> passphrase;  // empty: none available
  int maxWorkFactor = 22;
};

std::string Bech32Encode(const std::string& hrp, const std::string& data);
// False unless `text` is valid Bech32 (one letter case throughout, checksum right).
bool Bech32Decode(const std::string& text, std::string& hrp, std::string& data);

X25519Identity GenerateIdentity();
std::string IdentityText(const X25519Identity& identity);  // AGE-SECRET-KEY-1…
std::string RecipientText(const std::string& publicKey);   // age1…
// Throw AgeError kKey naming what is wrong.
X25519Identity ParseIdentity(const std::string& text);
std::string ParseRecipient(const std::string& text);
// The keys of a file's text; throw AgeError kKey for a line that is not one, or no key at all.
std::vector<X25519Identity> ParseIdentityFile(const std::string& text);
std::vector<std::string> ParseRecipientsFile(const std::string& text);

// The stanzas that carry `fileKey` to `to`.
std::vector<Stanza> WrapFileKey(const std::string& fileKey, const Recipients& to);
// The file key from the header's stanzas, its MAC checked. Throws AgeError: kHeader for
// malformed stanzas (or an scrypt stanza beside others, or too high a work factor), kNoMatch when
// nothing given opens it, kHeaderMac.
std::string UnwrapFileKey(const Header& header, const Keys& keys);

}  // namespace larkpost::age
