// Checks the program's MD5 against OpenSSL's on random inputs of many lengths. OpenSSL is a
// test and benchmark oracle only; the program never links it.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "backupfile/md5.h"

namespace {

using larkpost::Md5Digest;

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

