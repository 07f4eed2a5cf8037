// MD5 message digest (RFC 1321), the program's own routine. An Md5 object belongs to one
// thread; Md5Digest is a pure function.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace larkpost {

class Md5 {
 public:
  Md5();
  // Adds bytes to the message; any number of calls, of any length.
  void Update(const void* data, size_t length);
  // Pads the message and returns its 16-byte digest. The object then starts a new message.
  std::array<uint8_t, 16> Final();

 private:
  void Reset();
  void ProcessBlocks(const uint8_t* data, size_t blocks);

  uint32_t state_[4];
  uint64_t length_ = 0;    // message length in bytes so far
  uint8_t pending_[64];    // bytes of an incomplete block
  size_t pendingLength_ = 0;
};

std::array<uint8_t, 16> Md5Digest(const void* data, size_t length);

}  // namespace larkpost
