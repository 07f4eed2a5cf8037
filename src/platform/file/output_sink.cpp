#include "platform/file/output_sink.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

#include "platform/file/memory_files.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr size_t kCopyChunkBytes = size_t{1} << 20;

[[noreturn]] void ThrowFor(int osError, const std::u16string& path) {
  throw CFileException(CFileException::CauseFromErrno(osError), osError, path);
}

std::mutex wrappedMutex;
std::map<std::u16string, OutputWrapper>& WrappedOutputs() {
  static std::map<std::u16string, OutputWrapper> outputs;
  return outputs;
}

OutputWrapper WrapperFor(const std::u16string& target) {
  std::lock_guard<std::mutex> lock(wrappedMutex);
  const auto found = WrappedOutputs().find(target);
  return found == WrappedOutputs().end() ? nullptr : found->second;
}

}  // namespace

OutputWrapper OutputWrapperOf(const std::u16string& target) { return WrapperFor(target); }

void WrapOutput(const std::u16string& target, OutputWrapper wrap) {
  std::lock_guard<std::mutex> lock(wrappedMutex);
  if (wrap == nullptr) {
    WrappedOutputs().erase(target);
  } else {
    WrappedOutputs()[target] = std::move(wrap);
  }
}

OutputSink::OutputSink(const std::u16string& target,
                       const std::vector<std::string>& protectedFiles)
    : lastFlush_(std::chrono::steady_clock::now()) {
  OpenOutputFile(output_, target, protectedFiles, file_);
  // What cannot be sought is put together in a file of its own first, then copied out whole.
  if (output_.stream) {
    file_layer_.staged = OpenUnnamedFileBeside(
        PathToWide((std::filesystem::temp_directory_path() / "larkpost").string()));
  } else if (!output_.temporary && lseek(file_.GetHandle(), 0, SEEK_CUR) < 0 && errno == ESPIPE) {
    file_layer_.staged = OpenUnnamedFileBeside(output_.writePath);
  }
  if (const OutputWrapper wrap = WrapperFor(target)) wrapper_ = wrap(file_layer_);
}

OutputSink::~OutputSink() {
  if (!ended_) Discard();
}

OutputSink::FileLayer::~FileLayer() {
  if (staged != nullptr) std::fclose(staged);
}

void OutputSink::FileLayer::Write(const void* data, size_t size) {
  const std::u16string& path = sink_.output_.writePath;
  if (staged != nullptr) {
    if (std::fwrite(data, 1, size, staged) != size) ThrowFor(errno, path);
    position_ += size;
    return;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const unsigned piece =
        static_cast<unsigned>(std::min<size_t>(size, std::numeric_limits<unsigned>::max() / 2));
    sink_.file_.Write(bytes, piece);
    bytes += piece;
    size -= piece;
    position_ += piece;
  }
}

void OutputSink::FileLayer::Patch(uint64_t offset, const void* data, size_t size) {
  const std::u16string& path = sink_.output_.writePath;
  if (offset + size > position_) throw CFileException(CFileException::badSeek, EINVAL, path);
  if (staged != nullptr) {
    if (std::fseek(staged, static_cast<long>(offset), SEEK_SET) != 0 ||
        std::fwrite(data, 1, size, staged) != size || std::fseek(staged, 0, SEEK_END) != 0) {
      ThrowFor(errno, path);
    }
    return;
  }
  CFile& file = sink_.file_;
  file.Seek(static_cast<int64_t>(offset), CFile::begin);
  file.Write(data, static_cast<unsigned>(size));
  file.Seek(0, CFile::end);
}

void OutputSink::FileLayer::Close() {
  CFile& file = sink_.file_;
  if (staged != nullptr) {
    const std::u16string& path = sink_.output_.writePath;
    if (std::fflush(staged) != 0 || std::fseek(staged, 0, SEEK_SET) != 0) ThrowFor(errno, path);
    std::vector<char> buffer(kCopyChunkBytes);
    while (const size_t got = std::fread(buffer.data(), 1, buffer.size(), staged)) {
      file.Write(buffer.data(), static_cast<unsigned>(got));
    }
    if (std::ferror(staged)) ThrowFor(errno, path);
    std::fclose(staged);
    staged = nullptr;
  }
  file.Flush();
}

void OutputSink::Close() {
  if (closed_) return;
  closed_ = true;
  Top().Close();
}

void OutputSink::MessageWritten() {
  if (file_layer_.staged != nullptr) return;  // nothing reaches the target before Close
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
  // The partial output named to the user holds what was written, on storage.
  try {
    file_.Flush();
    FlushToStorage();
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
