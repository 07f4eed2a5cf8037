#include "formats/phone_encrypted.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "formats/age_view.h"
#include "formats/age_primitives.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

using age::AgeError;

constexpr char kMagic[] = {'S', 'S', 'E', 'F', '\0', '\xFF'};
constexpr size_t kHeaderSize = 36;
constexpr uint32_t kMaxMemoryKiB = 1u << 20;
constexpr uint32_t kMaxPasses = 32;
constexpr uint32_t kMaxChunk = 16u << 20;
constexpr size_t kExtra = crypto_secretstream_xchacha20poly1305_ABYTES;  // 17

static_assert(sizeof(crypto_secretstream_xchacha20poly1305_state) <= 64);

uint32_t BigEndian(const char* bytes) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[i]);
  return value;
}

[[noreturn]] void Fault(AgeError::Kind kind, const std::string& why) {
  throw AgeError(kind, "the encrypted export " + why);
}

crypto_secretstream_xchacha20poly1305_state* State(unsigned char* bytes) {
  return reinterpret_cast<crypto_secretstream_xchacha20poly1305_state*>(bytes);
}

}  // namespace

bool LooksPhoneEncrypted(std::string_view firstBytes) {
  return firstBytes.substr(0, sizeof kMagic) == std::string_view(kMagic, sizeof kMagic);
}

bool IsPhoneEncryptedFile(const std::u16string& path) {
  const int fd = open(WideToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  char start[sizeof kMagic];
  struct stat info {};
  const bool is = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                  pread(fd, start, sizeof start, 0) == static_cast<ssize_t>(sizeof start) &&
                  LooksPhoneEncrypted(std::string_view(start, sizeof start));
  close(fd);
  return is;
}

PhoneExportDecryptor::PhoneExportDecryptor(age::AgeInput& input, const std::string& passphrase)
    : input_(input) {
  age::InitSodium();
  char header[kHeaderSize + crypto_secretstream_xchacha20poly1305_HEADERBYTES];
  if (input_.ReadFull(header, sizeof header) != sizeof header) {
    Fault(AgeError::Kind::kHeader, "is too short for its header");
  }
  if (!LooksPhoneEncrypted(std::string_view(header, sizeof kMagic))) {
    Fault(AgeError::Kind::kHeader, "does not start as one");
  }
  if (header[6] != 0 || header[7] != 1) {
    Fault(AgeError::Kind::kHeader, "has a format version this program does not read");
  }
  const uint32_t passes = BigEndian(header + 8);
  const uint32_t memoryKiB = BigEndian(header + 12);
  const std::string salt(header + 16, 16);
  chunkSize_ = BigEndian(header + 32);
  if (passes < crypto_pwhash_argon2id_OPSLIMIT_MIN || passes > kMaxPasses ||
      memoryKiB < crypto_pwhash_argon2id_MEMLIMIT_MIN / 1024 || memoryKiB > kMaxMemoryKiB) {
    Fault(AgeError::Kind::kHeader, "asks for key derivation work out of bounds (" +
                                       std::to_string(passes) + " passes, " +
                                       std::to_string(memoryKiB) + " KiB)");
  }
  if (chunkSize_ == 0 || chunkSize_ > kMaxChunk) {
    Fault(AgeError::Kind::kHeader, "has a chunk size out of bounds");
  }
  unsigned char key[crypto_secretstream_xchacha20poly1305_KEYBYTES];
  if (crypto_pwhash(key, sizeof key, passphrase.data(), passphrase.size(),
                    reinterpret_cast<const unsigned char*>(salt.data()), passes,
                    size_t{memoryKiB} * 1024, crypto_pwhash_ALG_ARGON2ID13) != 0) {
    throw std::runtime_error("not enough memory for the passphrase's key derivation");
  }
  crypto_secretstream_xchacha20poly1305_init_pull(
      State(state_), reinterpret_cast<const unsigned char*>(header + kHeaderSize), key);
  sodium_memzero(key, sizeof key);
  sealed_.resize(chunkSize_ + kExtra + 1);
  plain_.resize(chunkSize_);
}

bool PhoneExportDecryptor::Next(std::string_view& plain) {
  if (done_) return false;
  have_ += input_.ReadFull(sealed_.data() + have_, sealed_.size() - have_);
  const bool more = have_ > chunkSize_ + kExtra;
  const size_t size = std::min(have_, chunkSize_ + kExtra);
  unsigned long long plainSize = 0;
  unsigned char tag = 0;
  if (size < kExtra ||
      crypto_secretstream_xchacha20poly1305_pull(
          State(state_), reinterpret_cast<unsigned char*>(plain_.data()), &plainSize, &tag,
          reinterpret_cast<const unsigned char*>(sealed_.data()), size, nullptr, 0) != 0) {
    if (index_ == 0 && size >= kExtra) {
      Fault(AgeError::Kind::kNoMatch, "does not open with this passphrase (or was modified)");
    }
    Fault(AgeError::Kind::kModified,
          more ? "was modified (a chunk fails its authentication)"
               : "was modified or cut short (its last chunk fails its authentication)");
  }
  const bool final = tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL;
  if (final && more) Fault(AgeError::Kind::kTrailing, "has data after its last chunk");
  if (!more && !final && size == chunkSize_ + kExtra) {
    Fault(AgeError::Kind::kTruncated, "is cut short (its last chunk is missing)");
  }
  done_ = !more;
  plain = std::string_view(plain_.data(), plainSize);
  ++index_;
  if (more) {
    sealed_[0] = sealed_[chunkSize_ + kExtra];
    have_ = 1;
  } else {
    have_ = 0;
  }
  return true;
}

std::shared_ptr<const InputView> DecryptPhoneExport(const std::u16string& path,
                                                    const std::function<std::string()>& passphrase) {
  const int in = open(WideToPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throw CFileException(CFileException::CauseFromErrno(errno), errno, path);
  try {
    auto view = age::SpooledView(path, [&](const age::PlainPieces& put) {
      age::FdInput input(in, path);
      PhoneExportDecryptor decryptor(input, passphrase());
      std::string_view piece;
      while (decryptor.Next(piece)) put(piece);
    });
    close(in);
    return view;
  } catch (...) {
    close(in);
    throw;
  }
}

}  // namespace larkpost
