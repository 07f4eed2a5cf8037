// The payload of an age file, written and read as a stream in bounded memory.
//
// After the header come a 16-byte nonce and the plaintext in chunks of 64 KiB, each sealed with
// ChaCha20-Poly1305 under HKDF(file key, salt nonce, info "payload"); a chunk's 12-byte nonce is
// its index (11 bytes, big-endian) and a flag byte that is 1 for the last chunk only. Every chunk
// but the last is full; the last is not empty unless it is the only one (an empty file).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "formats/age_keys.h"
#include "formats/age_primitives.h"
#include "platform/file/byte_sink.h"

namespace larkpost::age {

constexpr size_t kChunkSize = 64 * 1024;

// Encrypts what is written to it into `inner` (armored when `to.armor`): the header and nonce at
// once, each chunk once the next byte shows it is not the last, the last chunk at Close, which
// also closes `inner`. With `patchable` it keeps the first chunk's plaintext until Close, so that
// Patch works within kPatchableHead: a chunk already written is sealed again and patched into
// `inner`, which must then accept patches within its first HeadSize() + kChunkSize + 16 bytes.
// Without it, Patch is refused once the first chunk is out and `inner` is only appended to
// (a pipe will do). Throws AgeError kKey for unusable recipients, and what `inner` throws.
class AgeSink final : public ByteSink {
 public:
  AgeSink(ByteSink& inner, const Recipients& to, bool patchable = true);
  ~AgeSink() override;
  void Write(const void* data, size_t size) override;
  uint64_t Position() const override { return position_; }
  void Patch(uint64_t offset, const void* data, size_t size) override;
  void Close() override;
  std::u16string Name() const override { return out_->Name(); }
  // The header's and nonce's size: where the first chunk starts in the encrypted file.
  uint64_t HeadSize() const { return headSize_; }

 private:
  void SealChunk(bool last);
  void WriteBatch();
  unsigned char* Slot() { return reinterpret_cast<unsigned char*>(batch_.data()) + batched_; }

  std::unique_ptr<ByteSink> armor_;
  ByteSink* out_;  // `inner`, or the armor around it
  bool patchable_;
  std::string key_;           // the payload key
  // Sealed chunks go to `inner` several at a time (fewer, larger writes): [0, batched_) of the
  // batch is sealed, the chunk being filled lies after it, with room for its tag.
  std::string batch_;
  size_t batched_ = 0;
  size_t filled_ = 0;
  uint64_t index_ = 0;        // of the chunk being filled
  uint64_t position_ = 0;
  uint64_t headSize_ = 0;
  std::string firstChunk_;    // the first chunk's plaintext once it is out (patchable only)
  bool firstPatched_ = false; // ... changed since it was sealed
};

// The 12-byte nonce of payload chunk `index`: the index big-endian in 11 bytes, then the flag
// of the last chunk.
void ChunkNonce(uint64_t index, bool last, unsigned char* nonce);

// Reads an encrypted file from `input`: the header is read and opened with `keys` when it is
// made, then the plaintext a chunk at a time. Throws AgeError of the kind that fits (see
// age_primitives.h) and what `input` throws; a chunk that authenticates is given before the
// fault found after it (data past the last chunk, or no last chunk) is thrown by the next call.
class Decryptor {
 public:
  enum class Form { kDetect, kBinary, kArmored };  // kDetect: armored when it starts like one
  Decryptor(AgeInput& input, const Keys& keys, Form form = Form::kDetect);
  ~Decryptor();
  // The next piece of plaintext, valid until the next call; false once the last chunk has been
  // given and the end of the input checked.
  bool Next(std::string_view& plain);
  // The same, checking the next chunk's tag without decrypting it: its plaintext's size in
  // `plainSize`. For a file read whole once to be checked before it is read by position.
  bool Check(size_t& plainSize);

  // What a reader by position needs of a payload it has checked with Next: where the first
  // chunk starts in the (binary) input, the payload key, and whether the chunk given last was
  // sealed as the last one (false when the payload was cut short before it).
  uint64_t PayloadStart() const { return payloadStart_; }
  const std::string& PayloadKey() const { return key_; }
  bool GaveLastChunk() const { return gaveLast_; }

 private:
  // The next chunk, decrypted into plain_ or only checked; its sealed size.
  bool Advance(bool decrypt, size_t& sealedSize);

  std::unique_ptr<AgeInput> prefixed_;
  std::unique_ptr<AgeInput> armored_;
  AgeInput* input_ = nullptr;
  std::string key_;
  // Read ahead in blocks of several chunks (fewer system calls), with one byte more than a chunk
  // always at hand to tell whether the chunk is the last: [begin_, end_) is unread.
  std::string buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool inputEnd_ = false;
  std::string plain_;
  uint64_t index_ = 0;
  uint64_t payloadStart_ = 0;
  bool gaveLast_ = false;
  bool done_ = false;
  std::optional<AgeError> fault_;  // found after the chunk last given
};

// True when `firstBytes` (at least the first 64 of a file, or all of a shorter one) start an
// age file, binary or armored.
bool LooksEncrypted(std::string_view firstBytes);

}  // namespace larkpost::age
