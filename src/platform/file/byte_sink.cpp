#include "platform/file/byte_sink.h"

#include <cerrno>
#include <algorithm>
#include <limits>

#include "platform/file/file.h"

namespace larkpost {

void CFileSink::Write(const void* data, size_t size) {
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

void CFileSink::Patch(uint64_t offset, const void* data, size_t size) {
  // A file can be patched wherever it was written: a sink that wraps this one (encryption) may
  // rewrite more of the head than a writer may.
  if (offset + size > position_) {
    throw CFileException(CFileException::badSeek, EINVAL, file_.GetFilePath());
  }
  file_.Seek(static_cast<int64_t>(offset), CFile::begin);
  file_.Write(data, static_cast<unsigned>(size));
  file_.Seek(0, CFile::end);
}

void CFileSink::Close() { file_.Flush(); }

std::u16string CFileSink::Name() const { return file_.GetFilePath(); }

}  // namespace larkpost
