#include "platform/file/output_sink.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <vector>

#include "platform/file/memory_files.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr size_t kCopyChunkBytes = size_t{1} << 20;

[[noreturn]] void ThrowFor(int osError, const std::u16string& path) {
  throw CFileException(CFileException::CauseFromErrno(osError), osError, path);
}

}  // namespace

OutputSink::OutputSink(const std::u16string& target,
                       const std::vector<std::string>& protectedFiles)
    : lastFlush_(std::chrono::steady_clock::now()) {
  OpenOutputFile(output_, target, protectedFiles, file_);
  if (!output_.temporary && lseek(file_.GetHandle(), 0, SEEK_CUR) < 0 && errno == ESPIPE) {
    staged_ = OpenUnnamedFileBeside(output_.writePath);
  }
}

OutputSink::~OutputSink() {
  if (!ended_) Discard();
  if (staged_ != nullptr) std::fclose(staged_);
}

void OutputSink::Write(const void* data, size_t size) {
  if (staged_ != nullptr) {
    if (std::fwrite(data, 1, size, staged_) != size) ThrowFor(errno, output_.writePath);
    position_ += size;
    return;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const unsigned piece =
        static_cast<unsigned>(std::min<size_t>(size, std::numeric_limits<unsigned>::max() / 2));
    file_.Write(bytes, piece);
    bytes += piece;
    size -= piece;
    position_ += piece;
  }
}

void OutputSink::Patch(uint64_t offset, const void* data, size_t size) {
  if (offset + size > position_) {
    throw CFileException(CFileException::badSeek, EINVAL, output_.writePath);
  }
  if (staged_ != nullptr) {
    if (std::fseek(staged_, static_cast<long>(offset), SEEK_SET) != 0 ||
        std::fwrite(data, 1, size, staged_) != size || std::fseek(staged_, 0, SEEK_END) != 0) {
      ThrowFor(errno, output_.writePath);
    }
    return;
  }
  file_.Seek(static_cast<int64_t>(offset), CFile::begin);
  file_.Write(data, static_cast<unsigned>(size));
  file_.Seek(0, CFile::end);
}

void OutputSink::Close() {
  if (staged_ != nullptr) {
    if (std::fflush(staged_) != 0 || std::fseek(staged_, 0, SEEK_SET) != 0) {
      ThrowFor(errno, output_.writePath);
    }
    std::vector<char> buffer(kCopyChunkBytes);
    while (const size_t got = std::fread(buffer.data(), 1, buffer.size(), staged_)) {
      file_.Write(buffer.data(), static_cast<unsigned>(got));
    }
    if (std::ferror(staged_)) ThrowFor(errno, output_.writePath);
    std::fclose(staged_);
    staged_ = nullptr;
  }
  file_.Flush();
}

void OutputSink::MessageWritten() {
  if (staged_ != nullptr) return;  // nothing reaches the target before Close
  if (!eachMessage_) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastFlush_ < kFlushInterval) return;
  }
  FlushToStorage();
  lastFlush_ = std::chrono::steady_clock::now();
}

void OutputSink::FlushToStorage() {
  if (!FlushFileBuffers(file_)) ThrowFor(errno, output_.writePath);
}

void OutputSink::Commit() {
  Close();
  // Everything must be on storage before the new file takes the old one's place.
  FlushToStorage();
  CommitOutputFile(output_, file_);
  ended_ = true;
}

void OutputSink::KeepPartial() {
  ended_ = true;
  // The partial output named to the user holds what was written, sealed as asked.
  try {
    SealOutputFile(output_, file_);
    file_.Close();
  } catch (const CFileException&) {
    file_.Abort();
    throw;
  }
}

void OutputSink::Abandon() {
  ended_ = true;
  file_.Abort();
}

void OutputSink::Discard() {
  ended_ = true;
  file_.Abort();
  if (output_.temporary) unlink(WideToPath(output_.writePath).c_str());
  DiscardCompanionFolder(output_);
}

CFileException OutputSink::Shown(const CFileException& error) const {
  CFileException shown = error;
  if (output_.temporary && error.m_strFileName == output_.writePath) {
    shown.m_strFileName = output_.target;
  }
  return shown;
}

}  // namespace larkpost
