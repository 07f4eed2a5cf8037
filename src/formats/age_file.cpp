#include "formats/age_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "formats/age_input.h"
#include "formats/age_stream.h"
#include "platform/file/file.h"
#include "platform/file/memory_files.h"
#include "platform/file/output_file.h"
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

void EncryptStaged(int plainFd, const std::u16string& name, ByteSink& out, const Recipients& to) {
  // Appended only: the writer has patched its head in the staged bytes already.
  AgeSink sink(out, to, false);
  std::string buffer(1 << 20, '\0');
  for (off_t at = 0;;) {
    const ssize_t got = pread(plainFd, buffer.data(), buffer.size(), at);
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(errno, name);
    }
    if (got == 0) break;
    sink.Write(buffer.data(), static_cast<size_t>(got));
    at += got;
  }
  sink.Close();
}

void EncryptOutput(const std::u16string& target, std::shared_ptr<const Recipients> to) {
  if (to == nullptr) {
    SealOutput(target, nullptr);
    return;
  }
  SealOutput(target, [target, to = std::move(to)](int staged, ByteSink& out) {
    EncryptStaged(staged, target, out, *to);
  });
}

}  // namespace larkpost::age
