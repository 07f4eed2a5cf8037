// The digest against the algorithm's own test suite, against OpenSSL on random inputs of many
// lengths (OpenSSL is a test and benchmark oracle only; the program never links it), and fed in
// pieces.
#include "backupfile/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "backupfile/digest.h"

namespace {

using larkpost::Md5;
using larkpost::Md5Digest;

std::string Hex(const std::array<uint8_t, 16>& digest) { return larkpost::DigestToHexText(digest); }

std::string HexOf(const std::string& text) { return Hex(Md5Digest(text.data(), text.size())); }

std::array<uint8_t, 16> WholeDigest(const std::vector<uint8_t>& bytes) {
  return Md5Digest(bytes.data(), bytes.size());
}

std::array<uint8_t, 16> OpenSslMd5(const uint8_t* data, size_t length) {
  std::array<uint8_t, 16> digest{};
  unsigned size = 0;
  EVP_Digest(data, length, digest.data(), &size, EVP_md5(), nullptr);
  return digest;
}

std::vector<uint8_t> RandomBytes(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(length);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

}  // namespace

TEST(Md5, TestSuiteOfTheAlgorithmsDefinition) {
  EXPECT_EQ(HexOf(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(HexOf("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(HexOf("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(HexOf("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(HexOf("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(HexOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(HexOf("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, KnownDigestsOfLongerMessages) {
  EXPECT_EQ(HexOf("The quick brown fox jumps over the lazy dog"), "9e107d9d372bb6826bd81d3542a419d6");
  EXPECT_EQ(HexOf(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, PiecewiseUpdatesGiveTheSameDigestAsOneCall) {
  const std::vector<uint8_t> bytes = RandomBytes(10000, 3);
  const auto whole = WholeDigest(bytes);
  std::mt19937 random(4);
  for (int round = 0; round < 20; ++round) {
    Md5 md5;
    size_t done = 0;
    while (done < bytes.size()) {
      size_t piece = std::min<size_t>(random() % 150, bytes.size() - done);
      md5.Update(bytes.data() + done, piece);
      done += piece;
    }
    EXPECT_EQ(md5.Final(), whole);
  }
}

TEST(Md5, FinalStartsANewMessage) {
  Md5 md5;
  md5.Update("abc", 3);
  md5.Final();
  md5.Update("abc", 3);
  EXPECT_EQ(Hex(md5.Final()), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, AgreesWithAnIndependentImplementationForEveryShortLength) {
  const std::vector<uint8_t> bytes = RandomBytes(200, 1);
  for (size_t length = 0; length <= 200; ++length) {
    EXPECT_EQ(Md5Digest(bytes.data(), length), OpenSslMd5(bytes.data(), length)) << "length " << length;
  }
}

TEST(Md5, AgreesWithAnIndependentImplementationAroundBlockBoundariesAndOnLargeInputs) {
  const std::vector<uint8_t> bytes = RandomBytes(3 * 1024 * 1024 + 17, 2);
  std::vector<size_t> lengths = {4095, 4096, 4097, 65535, 65536, 65537, 1 << 20, (1 << 20) + 55, bytes.size()};
  for (size_t blocks : {4, 5, 7, 8, 9, 16, 1000}) {
    for (int delta = -9; delta <= 9; ++delta) lengths.push_back(blocks * 64 + delta);
  }
  for (size_t length : lengths) {
    EXPECT_EQ(Md5Digest(bytes.data(), length), OpenSslMd5(bytes.data(), length)) << "length " << length;
  }
}

