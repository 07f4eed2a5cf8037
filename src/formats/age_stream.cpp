#include "formats/age_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "formats/age_armor.h"
#include "formats/age_header.h"
#include "formats/age_primitives.h"
#include "platform/file/file.h"

namespace larkpost::age {

namespace {

constexpr size_t kPayloadNonceSize = 16;
constexpr size_t kSealedChunk = kChunkSize + kTagSize;
constexpr size_t kReadAhead = 16;  // chunks read at once: 1 MiB
constexpr size_t kBatch = 16;      // chunks written at once
constexpr char kBinaryStart[] = "age-encryption.org/";

const unsigned char* KeyBytes(const std::string& key) {
  return reinterpret_cast<const unsigned char*>(key.data());
}

[[noreturn]] void PayloadFault(AgeError::Kind kind, const std::string& why) {
  throw AgeError(kind, "the encrypted file " + why);
}

// Counts what is read through it: where the header ends.
class CountedInput final : public AgeInput {
 public:
  explicit CountedInput(AgeInput& inner) : inner_(inner) {}
  size_t Read(char* into, size_t size) override {
    const size_t got = inner_.Read(into, size);
    count_ += got;
    return got;
  }
  uint64_t count() const { return count_; }

 private:
  AgeInput& inner_;
  uint64_t count_ = 0;
};

}  // namespace

void ChunkNonce(uint64_t index, bool last, unsigned char* nonce) {
  std::memset(nonce, 0, kNonceSize);
  for (int i = 0; i < 8; ++i) nonce[10 - i] = static_cast<unsigned char>(index >> (8 * i));
  nonce[11] = last ? 1 : 0;
}

AgeSink::AgeSink(ByteSink& inner, const Recipients& to, bool patchable)
    : out_(&inner), patchable_(patchable), batch_(kBatch * kSealedChunk, '\0') {
  const std::string fileKey = RandomBytes(kFileKeySize);
  const std::string nonce = RandomBytes(kPayloadNonceSize);
  const std::string head = WriteHeader(WrapFileKey(fileKey, to), fileKey) + nonce;
  key_ = Hkdf(fileKey, nonce, "payload");
  headSize_ = head.size();
  if (to.armor) {
    armor_ = std::make_unique<ArmorSink>(inner, patchable ? headSize_ + kSealedChunk : 0);
    out_ = armor_.get();
  }
  out_->Write(head.data(), head.size());
}

AgeSink::~AgeSink() = default;

void AgeSink::SealChunk(bool last) {
  unsigned char nonce[kNonceSize];
  ChunkNonce(index_, last, nonce);
  unsigned char* slot = Slot();
  if (index_ == 0 && patchable_ && !last) firstChunk_.assign(reinterpret_cast<char*>(slot), filled_);
  SealInPlace(KeyBytes(key_), nonce, slot, filled_);
  batched_ += filled_ + kTagSize;
  ++index_;
  filled_ = 0;
  if (last || batched_ == batch_.size()) WriteBatch();
}

void AgeSink::WriteBatch() {
  out_->Write(batch_.data(), batched_);
  batched_ = 0;
}

void AgeSink::Write(const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    // A full chunk is sealed only once more bytes come: the last one may be full too.
    if (filled_ == kChunkSize) SealChunk(false);
    if (filled_ == 0 && size > kChunkSize && !(index_ == 0 && patchable_)) {
      // A whole chunk with more to come is sealed straight from the caller's bytes.
      unsigned char nonce[kNonceSize];
      ChunkNonce(index_, false, nonce);
      SealTo(KeyBytes(key_), nonce, reinterpret_cast<const unsigned char*>(bytes), kChunkSize,
             Slot());
      batched_ += kSealedChunk;
      ++index_;
      if (batched_ == batch_.size()) WriteBatch();
      bytes += kChunkSize;
      size -= kChunkSize;
      position_ += kChunkSize;
      continue;
    }
    const size_t take = std::min(size, kChunkSize - filled_);
    std::memcpy(Slot() + filled_, bytes, take);
    filled_ += take;
    bytes += take;
    size -= take;
    position_ += take;
  }
}

void AgeSink::Patch(uint64_t offset, const void* data, size_t size) {
  if (offset + size > kPatchableHead || offset + size > position_ ||
      (index_ > 0 && !patchable_)) {
    throw CFileException(CFileException::badSeek, EINVAL, u"");
  }
  if (index_ == 0) {
    std::memcpy(Slot() + offset, data, size);
  } else {
    std::memcpy(firstChunk_.data() + offset, data, size);
    firstPatched_ = true;
  }
}

void AgeSink::Close() {
  SealChunk(true);  // an empty file is one empty last chunk
  if (firstPatched_) {
    std::string sealed = firstChunk_;
    sealed.resize(firstChunk_.size() + kTagSize);
    unsigned char nonce[kNonceSize];
    ChunkNonce(0, false, nonce);
    SealInPlace(KeyBytes(key_), nonce, reinterpret_cast<unsigned char*>(sealed.data()),
                firstChunk_.size());
    out_->Patch(headSize_, sealed.data(), sealed.size());
    firstPatched_ = false;
  }
  out_->Close();  // the armor closes `inner` in turn
}

bool LooksEncrypted(std::string_view firstBytes) {
  return firstBytes.rfind(kBinaryStart, 0) == 0 || StartsArmored(firstBytes);
}

Decryptor::Decryptor(AgeInput& input, const Keys& keys, Form form)
    : buffer_(kReadAhead * kSealedChunk + 1, '\0') {
  std::string start(64, '\0');
  start.resize(input.ReadFull(start.data(), start.size()));
  const bool armored = form == Form::kArmored || (form == Form::kDetect && StartsArmored(start));
  prefixed_ = std::make_unique<PrefixedInput>(std::move(start), input);
  input_ = prefixed_.get();
  if (armored) {
    armored_ = std::make_unique<ArmoredInput>(*prefixed_);
    input_ = armored_.get();
  }
  CountedInput counted(*input_);
  const Header header = ReadHeader(counted);
  const std::string fileKey = UnwrapFileKey(header, keys);
  std::string nonce(kPayloadNonceSize, '\0');
  const bool nonceRead = counted.ReadFull(nonce.data(), nonce.size()) == nonce.size();
  payloadStart_ = counted.count();
  if (!nonceRead) {
    throw AgeError(AgeError::Kind::kHeader,
                   "the encrypted file's header is damaged (it ends before its payload nonce)");
  }
  key_ = Hkdf(fileKey, nonce, "payload");
  plain_.resize(kChunkSize);
}

Decryptor::~Decryptor() = default;

bool Decryptor::Next(std::string_view& plain) {
  size_t size = 0;
  if (!Advance(true, size)) return false;
  plain = std::string_view(plain_.data(), size - kTagSize);
  return true;
}

bool Decryptor::Check(size_t& plainSize) {
  size_t size = 0;
  if (!Advance(false, size)) return false;
  plainSize = size - kTagSize;
  return true;
}

bool Decryptor::Advance(bool decrypt, size_t& sealedSize) {
  if (fault_) throw *fault_;
  if (done_) return false;
  if (end_ - begin_ <= kSealedChunk && !inputEnd_) {
    // At most a chunk and a byte move to the front.
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    const size_t got = input_->ReadFull(buffer_.data() + end_, buffer_.size() - end_);
    inputEnd_ = end_ + got < buffer_.size();
    end_ += got;
  }
  const size_t have = end_ - begin_;
  const bool more = have > kSealedChunk;  // a byte past this chunk: it is not the last
  const size_t size = std::min(have, kSealedChunk);
  const auto* data = reinterpret_cast<const unsigned char*>(buffer_.data() + begin_);
  auto* out = reinterpret_cast<unsigned char*>(plain_.data());
  auto open = [&](bool last) {
    unsigned char nonce[kNonceSize];
    ChunkNonce(index_, last, nonce);
    return decrypt ? OpenTo(KeyBytes(key_), nonce, data, size, out)
                   : Authentic(KeyBytes(key_), nonce, data, size);
  };
  bool sealedLast = !more;
  if (more) {
    if (!open(false)) {
      sealedLast = true;
      if (!open(true)) {
        PayloadFault(AgeError::Kind::kModified, "was modified (a chunk fails its authentication)");
      }
      fault_.emplace(AgeError::Kind::kTrailing, "the encrypted file has data after its last chunk");
    }
  } else {
    if (!open(true)) {
      sealedLast = false;
      if (size != kSealedChunk || !open(false)) {
        PayloadFault(size < kTagSize ? AgeError::Kind::kTruncated : AgeError::Kind::kModified,
                     size < kTagSize ? "is cut short (in its last chunk)"
                                     : "was modified or cut short (its last chunk fails its "
                                       "authentication)");
      }
      fault_.emplace(AgeError::Kind::kTruncated,
                     "the encrypted file is cut short (its last chunk is missing)");
    }
    if (size == kTagSize && index_ > 0) {
      PayloadFault(AgeError::Kind::kModified, "was modified (an empty chunk after the others)");
    }
    done_ = true;
  }
  sealedSize = size;
  gaveLast_ = sealedLast;
  ++index_;
  begin_ += size;
  return true;
}

}  // namespace larkpost::age
