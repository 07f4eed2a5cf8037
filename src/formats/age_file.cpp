#include "formats/age_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "formats/age_input.h"
#include "formats/age_stream.h"
#include "platform/file/file.h"
#include "platform/file/memory_files.h"
#include "platform/file/output_sink.h"
#include "platform/text/text.h"

namespace larkpost::age {

namespace {

[[noreturn]] void ThrowErrno(int osError, const std::u16string& path) {
  throw CFileException(CFileException::CauseFromErrno(osError), osError, path);
}

int OpenForReading(const std::u16string& path) {
  const int fd = open(WideToPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) ThrowErrno(errno, path);
  return fd;
}

void WriteAll(int fd, const char* data, size_t size, const std::u16string& path) {
  while (size > 0) {
    const ssize_t done = write(fd, data, size);
    if (done < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno, path);
    }
    data += done;
    size -= static_cast<size_t>(done);
  }
}

}  // namespace

bool IsAgeFile(const std::u16string& path) {
  const int fd = open(WideToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  std::string start(64, '\0');
  bool encrypted = false;
  struct stat info {};
  // Only a regular file is looked into: what is read from a pipe would be lost to its reader.
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) try {
    FdInput input(fd, path);
    start.resize(input.ReadFull(start.data(), start.size()));
    encrypted = LooksEncrypted(start);
  } catch (const CFileException&) {
  }
  close(fd);
  return encrypted;
}

static bool IsPayloadFault(const AgeError& error) {
  return error.kind == AgeError::Kind::kTruncated || error.kind == AgeError::Kind::kModified ||
         error.kind == AgeError::Kind::kTrailing;
}

int DecryptIntoMemory(const std::u16string& path,
                      const std::function<void(int in, const PlainPieces& put)>& decrypt) {
  const int in = OpenForReading(path);
  int plain = -1;
  try {
    plain = CreateMemoryFile("larkpost-decrypted", path);
    decrypt(in, [&](std::string_view piece) { WriteAll(plain, piece.data(), piece.size(), path); });
    SealMemoryFile(plain);
    if (lseek(plain, 0, SEEK_SET) != 0) ThrowErrno(errno, path);
  } catch (...) {
    close(in);
    if (plain >= 0) close(plain);
    throw;
  }
  close(in);
  return plain;
}

int DecryptToMemory(const std::u16string& path, const Keys& keys, std::string* damage) {
  return DecryptIntoMemory(path, [&](int in, const PlainPieces& put) {
    FdInput input(in, path);
    Decryptor decryptor(input, keys);
    std::string_view piece;
    try {
      while (decryptor.Next(piece)) put(piece);
    } catch (const AgeError& error) {
      if (damage == nullptr || !IsPayloadFault(error)) throw;
      *damage = error.what();
    }
  });
}

void EncryptOutput(const std::u16string& target, std::shared_ptr<const Recipients> to) {
  if (to == nullptr) {
    WrapOutput(target, nullptr);
    return;
  }
  WrapOutput(target, [to = std::move(to)](ByteSink& inner) -> std::unique_ptr<ByteSink> {
    return std::make_unique<AgeSink>(inner, *to);
  });
}

}  // namespace larkpost::age
