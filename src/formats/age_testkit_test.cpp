// The age format's official test vectors (age-testkit), where the samples folder is present:
// each file opens with "key: value" lines (expect, payload hash, identities or passphrase,
// armored, compressed) and a blank line, then the file itself, zlib-compressed when it says so.
#include <gtest/gtest.h>
#include <sodium.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "formats/age_primitives.h"
#include "formats/age_stream.h"
#include "testing/temp_dir.h"

namespace larkpost::age {
namespace {

std::filesystem::path TestkitFolder() {
  const char* source = std::getenv("LARKPOST_SOURCE_DIR");
  return std::filesystem::path(source != nullptr ? source : ".") / "../shared/samples/age-testkit";
}

std::string Inflate(const std::string& compressed) {
  z_stream stream{};
  inflateInit(&stream);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  std::string out;
  char buffer[65536];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  inflateEnd(&stream);
  EXPECT_EQ(status, Z_STREAM_END);
  return out;
}

std::string HexSha256(const std::string& bytes) {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

std::string OutcomeOf(AgeError::Kind kind) {
  switch (kind) {
    case AgeError::Kind::kNoMatch: return "no match";
    case AgeError::Kind::kHeader: return "header failure";
    case AgeError::Kind::kHeaderMac: return "HMAC failure";
    case AgeError::Kind::kArmor: return "armor failure";
    case AgeError::Kind::kTruncated:
    case AgeError::Kind::kModified:
    case AgeError::Kind::kTrailing: return "payload failure";
    case AgeError::Kind::kKey: return "key failure";
  }
  return "?";
}

struct Vector {
  std::multimap<std::string, std::string> fields;
  std::string file;
};

Vector ReadVector(const std::filesystem::path& path) {
  const std::string bytes = testing::FileBytes(path);
  Vector vector;
  size_t at = 0;
  for (;;) {
    const size_t eol = bytes.find('\n', at);
    const std::string line = bytes.substr(at, eol - at);
    at = eol + 1;
    if (line.empty()) break;
    const size_t colon = line.find(": ");
    vector.fields.emplace(line.substr(0, colon), line.substr(colon + 2));
  }
  vector.file = bytes.substr(at);
  if (vector.fields.count("compressed")) vector.file = Inflate(vector.file);
  return vector;
}

// Decrypts with what the vector names; the outcome as the testkit spells it, and the plaintext
// given before any failure.
std::string Decrypt(const Vector& vector, std::string& plaintext) {
  Keys keys;
  const auto [first, last] = vector.fields.equal_range("identity");
  for (auto it = first; it != last; ++it) {
    // Post-quantum identities (AGE-SECRET-KEY-PQ-1…) are not ours to read.
    if (it->second.rfind("AGE-SECRET-KEY-PQ-", 0) != 0) {
      keys.identities.push_back(ParseIdentity(it->second));
    }
  }
  if (const auto passphrase = vector.fields.find("passphrase"); passphrase != vector.fields.end()) {
    keys.passphrase = [text = passphrase->second] { return text; };
  }
  try {
    MemoryInput input(vector.file);
    Decryptor decryptor(input, keys,
                        vector.fields.count("armored") ? Decryptor::Form::kArmored
                                                       : Decryptor::Form::kBinary);
    std::string_view piece;
    while (decryptor.Next(piece)) plaintext.append(piece);
    return "success";
  } catch (const AgeError& error) {
    return OutcomeOf(error.kind);
  }
}

TEST(AgeTestkit, EveryX25519ScryptArmorStreamAndHeaderVectorGivesItsExpectedOutcome) {
  const std::filesystem::path folder = TestkitFolder();
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no " << folder;
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name == "SOURCES.txt") continue;
    SCOPED_TRACE(name);
    const Vector vector = ReadVector(entry.path());
    const std::string expect = vector.fields.find("expect")->second;
    std::string plaintext;
    const std::string outcome = Decrypt(vector, plaintext);
    if (name.find("hybrid") != std::string::npos) {
      // Post-quantum (ML-KEM) recipients are not implemented: such a file has no stanza we can
      // open, so "no match" stands in for every outcome but a damaged X25519 stanza's.
      EXPECT_TRUE(outcome == expect || outcome == "no match") << outcome;
      continue;
    }
    ++checked;
    EXPECT_EQ(outcome, expect);
    if (const auto payload = vector.fields.find("payload"); payload != vector.fields.end()) {
      if (outcome == "success" || outcome == "payload failure") {
        EXPECT_EQ(HexSha256(plaintext), payload->second);
      }
    }
  }
  EXPECT_GT(checked, 100);
}

}  // namespace
}  // namespace larkpost::age
