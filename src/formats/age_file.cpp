#include "formats/age_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "formats/age_input.h"
#include "formats/age_stream.h"
#include "platform/file/file.h"
#include "platform/file/output_sink.h"
#include "platform/text/text.h"

namespace larkpost::age {

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
