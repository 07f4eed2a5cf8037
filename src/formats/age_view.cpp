#include "formats/age_view.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "formats/age_armor.h"
#include "formats/age_input.h"
#include "formats/age_stream.h"
#include "platform/file/file.h"
#include "platform/file/memory_files.h"
#include "platform/text/text.h"

namespace larkpost::age {

namespace {

constexpr size_t kSealedChunk = kChunkSize + kTagSize;

[[noreturn]] void ThrowErrno(int osError, const std::u16string& name) {
  throw CFileException(CFileException::CauseFromErrno(osError), osError, name);
}

// Owns a descriptor until it is handed on.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

void WriteAll(int fd, const void* data, size_t size, const std::u16string& name) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t done = write(fd, bytes, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno, name);
    }
    bytes += done;
    size -= static_cast<size_t>(done);
  }
}

// The layout of a checked payload: what every reader of it shares.
struct Payload {
  int fd = -1;               // owned
  std::u16string name;       // the input as the user named it
  std::string key;           // the payload key
  uint64_t start = 0;        // where chunk 0 begins in the file
  uint64_t chunks = 0;       // chunks whose plaintext the view gives
  bool lastSealedLast = true;  // the final one of them was sealed as the last
  uint64_t size = 0;         // plaintext bytes
};

class PayloadView final : public InputView, public std::enable_shared_from_this<PayloadView> {
 public:
  explicit PayloadView(Payload payload) : payload_(std::move(payload)) {}
  ~PayloadView() override { close(payload_.fd); }
  uint64_t Size() const override { return payload_.size; }
  std::unique_ptr<InputReader> NewReader() const override;
  int Descriptor() const override { return payload_.fd; }
  const Payload& payload() const { return payload_; }

 private:
  Payload payload_;
};

class ChunkReader final : public InputReader {
 public:
  explicit ChunkReader(std::shared_ptr<const PayloadView> view)
      : view_(std::move(view)),
        payload_(view_->payload()),
        sealed_(kSealedChunk, '\0'),
        plain_(kChunkSize, '\0') {}

  size_t ReadAt(uint64_t offset, void* into, size_t size) override {
    if (offset >= payload_.size) return 0;
    size = static_cast<size_t>(std::min<uint64_t>(size, payload_.size - offset));
    auto* out = static_cast<char*>(into);
    size_t done = 0;
    while (done < size) {
      const uint64_t at = offset + done;
      const uint64_t index = at / kChunkSize;
      const size_t within = static_cast<size_t>(at % kChunkSize);
      const size_t chunkSize = PlainSize(index);
      const size_t take = std::min(size - done, chunkSize - within);
      if (within == 0 && take == chunkSize && index != cached_) {
        Open(index, out + done);  // a whole chunk goes straight to the caller
      } else {
        if (index != cached_) {
          cached_ = kNone;
          Open(index, plain_.data());
          cached_ = index;
        }
        std::memcpy(out + done, plain_.data() + within, take);
      }
      done += take;
    }
    return size;
  }

 private:
  static constexpr uint64_t kNone = ~uint64_t{0};

  size_t PlainSize(uint64_t index) const {
    return static_cast<size_t>(std::min<uint64_t>(kChunkSize, payload_.size - index * kChunkSize));
  }

  void Open(uint64_t index, char* out) {
    const size_t sealedSize = PlainSize(index) + kTagSize;
    const uint64_t from = payload_.start + index * kSealedChunk;
    size_t got = 0;
    while (got < sealedSize) {
      const ssize_t n = pread(payload_.fd, sealed_.data() + got, sealedSize - got,
                              static_cast<off_t>(from + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ThrowErrno(errno, payload_.name);
      if (n == 0) Changed();
      got += static_cast<size_t>(n);
    }
    unsigned char nonce[kNonceSize];
    ChunkNonce(index, payload_.lastSealedLast && index + 1 == payload_.chunks, nonce);
    if (!OpenTo(reinterpret_cast<const unsigned char*>(payload_.key.data()), nonce,
                reinterpret_cast<const unsigned char*>(sealed_.data()), sealedSize,
                reinterpret_cast<unsigned char*>(out))) {
      Changed();
    }
  }

  // The payload was checked whole before: it changed since.
  [[noreturn]] void Changed() const {
    throw CFileException(CFileException::genericException, EIO, payload_.name);
  }

  std::shared_ptr<const PayloadView> view_;  // kept alive while the reader reads
  const Payload& payload_;
  std::string sealed_;
  std::string plain_;
  uint64_t cached_ = kNone;
};

std::unique_ptr<InputReader> PayloadView::NewReader() const {
  return std::make_unique<ChunkReader>(shared_from_this());
}

bool IsPayloadFault(const AgeError& error) {
  return error.kind == AgeError::Kind::kTruncated || error.kind == AgeError::Kind::kModified ||
         error.kind == AgeError::Kind::kTrailing;
}

// Reads the binary age file open at `fd` (from its start) to its end, checking every chunk, and
// makes the view of it; the view takes the descriptor.
std::shared_ptr<const InputView> CheckedView(Descriptor& fd, const std::u16string& name,
                                             const Keys& keys, std::string* damage) {
  if (lseek(fd.get(), 0, SEEK_SET) != 0) ThrowErrno(errno, name);
  FdInput input(fd.get(), name);
  Decryptor decryptor(input, keys, Decryptor::Form::kBinary);
  Payload payload;
  size_t plainSize = 0;
  try {
    while (decryptor.Check(plainSize)) {
      payload.size += plainSize;
      ++payload.chunks;
    }
  } catch (const AgeError& error) {
    if (damage == nullptr || !IsPayloadFault(error)) throw;
    *damage = error.what();
  }
  // An empty plaintext is one empty chunk, which no read touches.
  payload.lastSealedLast = decryptor.GaveLastChunk();
  payload.start = decryptor.PayloadStart();
  payload.key = decryptor.PayloadKey();
  payload.name = name;
  payload.fd = fd.release();
  return std::make_shared<PayloadView>(std::move(payload));
}

}  // namespace

std::shared_ptr<const InputView> DecryptedView(const std::u16string& path, const Keys& keys,
                                               std::string* damage) {
  Descriptor file(open(WideToPath(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) ThrowErrno(errno, path);
  std::string start(64, '\0');
  FdInput raw(file.get(), path);
  start.resize(raw.ReadFull(start.data(), start.size()));
  if (!StartsArmored(start)) return CheckedView(file, path, keys, damage);
  // The armor is decoded whole first: the bytes under it are as encrypted as the file.
  Descriptor decoded(CreateUnnamedTempFile(path));
  PrefixedInput prefixed(std::move(start), raw);
  ArmoredInput armored(prefixed);
  std::string block(1 << 20, '\0');
  while (const size_t got = armored.Read(block.data(), block.size())) {
    WriteAll(decoded.get(), block.data(), got, path);
  }
  return CheckedView(decoded, path, keys, damage);
}

std::shared_ptr<const InputView> SpooledView(const std::u16string& name,
                                             const std::function<void(const PlainPieces& put)>& write) {
  Descriptor spool(CreateUnnamedTempFile(name));
  Payload payload;
  payload.key = RandomBytes(kKeySize);
  std::string chunk(kSealedChunk, '\0');
  size_t filled = 0;
  auto seal = [&] {
    unsigned char nonce[kNonceSize];
    ChunkNonce(payload.chunks++, false, nonce);  // every chunk may be read alone: no last flag
    auto* data = reinterpret_cast<unsigned char*>(chunk.data());
    SealInPlace(reinterpret_cast<const unsigned char*>(payload.key.data()), nonce, data, filled);
    WriteAll(spool.get(), data, filled + kTagSize, name);
    filled = 0;
  };
  write([&](std::string_view piece) {
    payload.size += piece.size();
    while (!piece.empty()) {
      const size_t take = std::min(piece.size(), kChunkSize - filled);
      std::memcpy(chunk.data() + filled, piece.data(), take);
      filled += take;
      piece.remove_prefix(take);
      if (filled == kChunkSize) seal();
    }
  });
  if (filled > 0) seal();
  payload.lastSealedLast = false;
  payload.name = name;
  payload.fd = spool.release();
  return std::make_shared<PayloadView>(std::move(payload));
}

namespace {

class XChaChaSealer final : public ScratchSealer {
 public:
  XChaChaSealer() : key_(RandomBytes(crypto_aead_xchacha20poly1305_ietf_KEYBYTES)) {}
  size_t Overhead() const override { return kNonce + kTag; }
  void Seal(uint64_t index, const unsigned char* plain, unsigned char* sealed) const override {
    randombytes_buf(sealed, kNonce);
    const unsigned char ad[8] = {Byte(index, 0), Byte(index, 1), Byte(index, 2), Byte(index, 3),
                                 Byte(index, 4), Byte(index, 5), Byte(index, 6), Byte(index, 7)};
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(sealed + kNonce, sealed + kNonce + kChunk,
                                                        nullptr, plain, kChunk, ad, sizeof ad,
                                                        nullptr, sealed, Key());
  }
  bool Open(uint64_t index, const unsigned char* sealed, unsigned char* plain) const override {
    const unsigned char ad[8] = {Byte(index, 0), Byte(index, 1), Byte(index, 2), Byte(index, 3),
                                 Byte(index, 4), Byte(index, 5), Byte(index, 6), Byte(index, 7)};
    return crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
               plain, nullptr, sealed + kNonce, kChunk, sealed + kNonce + kChunk, ad, sizeof ad,
               sealed, Key()) == 0;
  }

 private:
  static constexpr size_t kNonce = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
  static constexpr size_t kTag = crypto_aead_xchacha20poly1305_ietf_ABYTES;
  static unsigned char Byte(uint64_t value, int i) {
    return static_cast<unsigned char>(value >> (8 * i));
  }
  const unsigned char* Key() const { return reinterpret_cast<const unsigned char*>(key_.data()); }

  std::string key_;
};

}  // namespace

std::shared_ptr<const ScratchSealer> NewScratchSealer() {
  return std::make_shared<XChaChaSealer>();
}

}  // namespace larkpost::age
