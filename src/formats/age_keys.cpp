#include "formats/age_keys.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "formats/age_primitives.h"

namespace larkpost::age {

namespace {

constexpr char kCharset[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr char kX25519Label[] = "age-encryption.org/v1/X25519";
constexpr char kScryptLabel[] = "age-encryption.org/v1/scrypt";
constexpr size_t kScryptSaltSize = 16;

uint32_t Polymod(const std::vector<uint8_t>& values) {
  static constexpr uint32_t kGenerator[] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd,
                                            0x2a1462b3};
  uint32_t check = 1;
  for (const uint8_t value : values) {
    const uint32_t top = check >> 25;
    check = (check & 0x1ffffff) << 5 ^ value;
    for (int i = 0; i < 5; ++i) {
      if (top >> i & 1) check ^= kGenerator[i];
    }
  }
  return check;
}

std::vector<uint8_t> ExpandHrp(const std::string& hrp) {
  std::vector<uint8_t> values;
  for (const char c : hrp) values.push_back(static_cast<uint8_t>(c) >> 5);
  values.push_back(0);
  for (const char c : hrp) values.push_back(static_cast<uint8_t>(c) & 31);
  return values;
}

// Regroups bits; false when `pad` is off and the leftover bits are not zero padding.
bool ConvertBits(const std::vector<uint8_t>& in, int from, int to, bool pad,
                 std::vector<uint8_t>& out) {
  uint32_t acc = 0;
  int bits = 0;
  const uint32_t mask = (1u << to) - 1;
  for (const uint8_t value : in) {
    acc = acc << from | value;
    bits += from;
    while (bits >= to) {
      bits -= to;
      out.push_back(static_cast<uint8_t>(acc >> bits & mask));
    }
  }
  if (pad) {
    if (bits > 0) out.push_back(static_cast<uint8_t>(acc << (to - bits) & mask));
  } else if (bits >= from || (acc << (to - bits) & mask) != 0) {
    return false;
  }
  return true;
}

[[noreturn]] void BadKey(const std::string& why) { throw AgeError(AgeError::Kind::kKey, why); }

[[noreturn]] void Damaged(const std::string& why) {
  throw AgeError(AgeError::Kind::kHeader, "the encrypted file's header is damaged (" + why + ")");
}

std::string ZeroNonce() { return std::string(kNonceSize, '\0'); }

std::string PublicKeyOf(const std::string& secret) {
  InitSodium();
  std::string publicKey(kKeySize, '\0');
  crypto_scalarmult_base(reinterpret_cast<unsigned char*>(publicKey.data()),
                         reinterpret_cast<const unsigned char*>(secret.data()));
  return publicKey;
}

// X25519(scalar, point); nullopt for the all-zero result of a low-order point.
std::optional<std::string> SharedSecret(const std::string& scalar, const std::string& point) {
  InitSodium();
  std::string shared(kKeySize, '\0');
  if (crypto_scalarmult(reinterpret_cast<unsigned char*>(shared.data()),
                        reinterpret_cast<const unsigned char*>(scalar.data()),
                        reinterpret_cast<const unsigned char*>(point.data())) != 0 ||
      sodium_is_zero(reinterpret_cast<const unsigned char*>(shared.data()), shared.size())) {
    return std::nullopt;
  }
  return shared;
}

std::string ScryptKey(const std::string& passphrase, const std::string& salt, int workFactor) {
  InitSodium();
  const std::string fullSalt = kScryptLabel + salt;
  std::string key(kKeySize, '\0');
  if (crypto_pwhash_scryptsalsa208sha256_ll(
          reinterpret_cast<const uint8_t*>(passphrase.data()), passphrase.size(),
          reinterpret_cast<const uint8_t*>(fullSalt.data()), fullSalt.size(),
          uint64_t{1} << workFactor, 8, 1, reinterpret_cast<uint8_t*>(key.data()),
          key.size()) != 0) {
    throw std::runtime_error("not enough memory for the passphrase's key derivation");
  }
  return key;
}

// The wrapped file key of a stanza: exactly a sealed 16-byte key, checked before opening.
void CheckBody(const Stanza& stanza) {
  if (stanza.body.size() != kFileKeySize + kTagSize) Damaged("a stanza body of the wrong size");
}

std::optional<std::string> UnwrapX25519(const Stanza& stanza, const X25519Identity& identity) {
  if (stanza.args.size() != 1) Damaged("an X25519 stanza with other than one argument");
  const std::optional<std::string> share = DecodeBase64Raw(stanza.args[0]);
  if (!share || share->size() != kKeySize) Damaged("an X25519 share of the wrong size");
  CheckBody(stanza);
  const std::optional<std::string> shared = SharedSecret(identity.secret, *share);
  if (!shared) Damaged("an X25519 share that gives no shared secret");
  const std::string wrapKey = Hkdf(*shared, *share + identity.publicKey, kX25519Label);
  return Open(wrapKey, ZeroNonce(), stanza.body);
}

int WorkFactorOf(const std::string& text, int cap) {
  if (text.empty() || text.size() > 2 || text[0] < '1' || text[0] > '9' ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    Damaged("a malformed scrypt work factor");
  }
  const int workFactor = std::stoi(text);
  if (workFactor > cap) {
    Damaged("an scrypt work factor of " + text + ", above the " + std::to_string(cap) +
            " this program computes");
  }
  return workFactor;
}

std::optional<std::string> UnwrapScrypt(const Stanza& stanza, const std::string& passphrase,
                                        int cap) {
  if (stanza.args.size() != 2) Damaged("an scrypt stanza with other than two arguments");
  const std::optional<std::string> salt = DecodeBase64Raw(stanza.args[0]);
  if (!salt || salt->size() != kScryptSaltSize) Damaged("an scrypt salt of the wrong size");
  const int workFactor = WorkFactorOf(stanza.args[1], cap);
  CheckBody(stanza);
  return Open(ScryptKey(passphrase, *salt, workFactor), ZeroNonce(), stanza.body);
}

std::vector<std::string> KeyLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    const size_t last = line.find_last_not_of(" \t");
    line = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
    if (!line.empty() && line[0] != '#') lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string Bech32Encode(const std::string& hrp, const std::string& data) {
  std::vector<uint8_t> values;
  ConvertBits(std::vector<uint8_t>(data.begin(), data.end()), 8, 5, true, values);
  std::vector<uint8_t> checked = ExpandHrp(hrp);
  checked.insert(checked.end(), values.begin(), values.end());
  checked.resize(checked.size() + 6, 0);
  const uint32_t check = Polymod(checked) ^ 1;
  std::string text = hrp + "1";
  for (const uint8_t value : values) text += kCharset[value];
  for (int i = 0; i < 6; ++i) text += kCharset[check >> (5 * (5 - i)) & 31];
  return text;
}

bool Bech32Decode(const std::string& text, std::string& hrp, std::string& data) {
  bool lower = false, upper = false;
  for (const char c : text) {
    if (c < 33 || c > 126) return false;
    lower |= c >= 'a' && c <= 'z';
    upper |= c >= 'A' && c <= 'Z';
  }
  if (lower && upper) return false;
  std::string folded = text;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t separator = folded.rfind('1');
  if (separator == std::string::npos || separator == 0 || separator + 7 > folded.size()) {
    return false;
  }
  hrp = folded.substr(0, separator);
  std::vector<uint8_t> values;
  for (size_t i = separator + 1; i < folded.size(); ++i) {
    const char* at = std::char_traits<char>::find(kCharset, 32, folded[i]);
    if (at == nullptr) return false;
    values.push_back(static_cast<uint8_t>(at - kCharset));
  }
  std::vector<uint8_t> checked = ExpandHrp(hrp);
  checked.insert(checked.end(), values.begin(), values.end());
  if (Polymod(checked) != 1) return false;
  values.resize(values.size() - 6);
  std::vector<uint8_t> bytes;
  if (!ConvertBits(values, 5, 8, false, bytes)) return false;
  data.assign(bytes.begin(), bytes.end());
  return true;
}

X25519Identity GenerateIdentity() {
  X25519Identity identity;
  identity.secret = RandomBytes(kKeySize);
  identity.publicKey = PublicKeyOf(identity.secret);
  return identity;
}

std::string IdentityText(const X25519Identity& identity) {
  std::string text = Bech32Encode("age-secret-key-", identity.secret);
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string RecipientText(const std::string& publicKey) { return Bech32Encode("age", publicKey); }

X25519Identity ParseIdentity(const std::string& text) {
  std::string hrp, data;
  if (!Bech32Decode(text, hrp, data) || hrp != "age-secret-key-" || data.size() != kKeySize ||
      text.find_first_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) {
    BadKey("not an age identity (AGE-SECRET-KEY-1…)");
  }
  return X25519Identity{data, PublicKeyOf(data)};
}

std::string ParseRecipient(const std::string& text) {
  std::string hrp, data;
  if (!Bech32Decode(text, hrp, data) || hrp != "age" || data.size() != kKeySize ||
      text.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos) {
    BadKey("\"" + text + "\" is not an age recipient (age1…)");
  }
  return data;
}

std::vector<X25519Identity> ParseIdentityFile(const std::string& text) {
  std::vector<X25519Identity> identities;
  for (const std::string& line : KeyLines(text)) identities.push_back(ParseIdentity(line));
  if (identities.empty()) BadKey("no AGE-SECRET-KEY-1 line in the identity file");
  return identities;
}

std::vector<std::string> ParseRecipientsFile(const std::string& text) {
  std::vector<std::string> recipients;
  for (const std::string& line : KeyLines(text)) recipients.push_back(ParseRecipient(line));
  if (recipients.empty()) BadKey("no age1 recipient in the recipients file");
  return recipients;
}

std::vector<Stanza> WrapFileKey(const std::string& fileKey, const Recipients& to) {
  std::vector<Stanza> stanzas;
  for (const std::string& recipient : to.x25519) {
    const X25519Identity ephemeral = GenerateIdentity();
    const std::optional<std::string> shared = SharedSecret(ephemeral.secret, recipient);
    if (!shared) BadKey("an age recipient that is not a usable public key");
    const std::string wrapKey = Hkdf(*shared, ephemeral.publicKey + recipient, kX25519Label);
    stanzas.push_back(
        {"X25519", {EncodeBase64Raw(ephemeral.publicKey)}, Seal(wrapKey, ZeroNonce(), fileKey)});
  }
  if (to.x25519.empty()) {
    if (to.passphrase.empty()) BadKey("no recipient and no passphrase to encrypt to");
    const std::string salt = RandomBytes(kScryptSaltSize);
    stanzas.push_back({"scrypt",
                       {EncodeBase64Raw(salt), std::to_string(to.workFactor)},
                       Seal(ScryptKey(to.passphrase, salt, to.workFactor), ZeroNonce(), fileKey)});
  }
  return stanzas;
}

std::string UnwrapFileKey(const Header& header, const Keys& keys) {
  const auto scrypt = std::find_if(header.stanzas.begin(), header.stanzas.end(),
                                   [](const Stanza& s) { return s.type == "scrypt"; });
  std::optional<std::string> fileKey;
  if (scrypt != header.stanzas.end()) {
    if (header.stanzas.size() != 1) Damaged("an scrypt stanza beside other stanzas");
    if (!keys.passphrase) {
      throw AgeError(AgeError::Kind::kNoMatch,
                     "the encrypted file needs its passphrase (--passphrase or --passphrase-file)");
    }
    fileKey = UnwrapScrypt(*scrypt, keys.passphrase(), keys.maxWorkFactor);
    if (!fileKey) {
      throw AgeError(AgeError::Kind::kNoMatch, "wrong passphrase for the encrypted file");
    }
  } else {
    for (const X25519Identity& identity : keys.identities) {
      for (const Stanza& stanza : header.stanzas) {
        if (stanza.type == "X25519" && !fileKey) fileKey = UnwrapX25519(stanza, identity);
      }
    }
    if (!fileKey) {
      throw AgeError(AgeError::Kind::kNoMatch,
                     keys.identities.empty()
                         ? "the encrypted file needs an identity (--identity FILE)"
                         : "no identity given opens the encrypted file");
    }
  }
  if (fileKey->size() != kFileKeySize) Damaged("a file key of the wrong size");
  CheckHeaderMac(header, *fileKey);
  return *fileKey;
}

}  // namespace larkpost::age
