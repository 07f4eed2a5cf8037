#include "formats/file_window.h"

#include <algorithm>

#include "platform/file/file.h"

namespace larkpost {

namespace {
constexpr size_t kWindowBytes = 64 * 1024;
}  // namespace

FileWindow::FileWindow(CFile& file) : file_(file), length_(file.GetLength()) {}

void FileWindow::Hold(uint64_t offset, size_t count) {
  const uint64_t want = std::min<uint64_t>(offset + count, length_);
  if (offset >= start_ && want <= start_ + block_.size()) return;
  start_ = offset;
  const size_t asked = std::max(kWindowBytes, count);
  block_.resize(asked);
  file_.Seek(static_cast<int64_t>(offset), CFile::begin);
  size_t got = 0;
  while (got < block_.size()) {
    const unsigned read = file_.Read(block_.data() + got, static_cast<unsigned>(block_.size() - got));
    if (read == 0) break;
    got += read;
  }
  block_.resize(got);
  // The file is shorter than it was: what is gone is no longer part of it.
  if (got < asked && start_ + got < length_) length_ = start_ + got;
}

std::string_view FileWindow::Held(uint64_t offset) const {
  if (offset < start_ || offset >= start_ + block_.size()) return std::string_view();
  return std::string_view(block_).substr(static_cast<size_t>(offset - start_));
}

int FileWindow::At(uint64_t offset) {
  if (offset >= length_) return -1;
  Hold(offset, 1);
  const std::string_view held = Held(offset);
  return held.empty() ? -1 : static_cast<unsigned char>(held[0]);
}

bool FileWindow::StartsWith(uint64_t offset, std::string_view text) {
  if (offset >= length_ || length_ - offset < text.size()) return false;
  Hold(offset, text.size());
  return Held(offset).starts_with(text);
}

uint64_t FileWindow::Find(uint64_t from, std::string_view text) {
  while (from < length_ && length_ - from >= text.size()) {
    Hold(from, text.size());
    const std::string_view held = Held(from);
    if (held.size() < text.size()) break;
    const size_t at = held.find(text);
    if (at != std::string_view::npos) return from + at;
    // A match may begin in the last bytes of the window.
    from += held.size() - (text.size() - 1);
  }
  return length_;
}

uint64_t FileWindow::FindAny(uint64_t from, std::string_view bytes) {
  // A table of the bytes looked for: the scanners pass every byte of a file through here.
  bool wanted[256] = {};
  for (const char c : bytes) wanted[static_cast<unsigned char>(c)] = true;
  while (from < length_) {
    Hold(from, 1);
    const std::string_view held = Held(from);
    if (held.empty()) break;
    for (size_t at = 0; at < held.size(); ++at) {
      if (wanted[static_cast<unsigned char>(held[at])]) return from + at;
    }
    from += held.size();
  }
  return length_;
}

uint64_t FileWindow::SkipSpace(uint64_t from, uint64_t to) {
  to = std::min(to, length_);
  while (from < to) {
    Hold(from, 1);
    const std::string_view held = Held(from).substr(0, static_cast<size_t>(std::min<uint64_t>(to - from, kWindowBytes)));
    if (held.empty()) break;
    const size_t at = held.find_first_not_of(" \t\r\n");
    if (at != std::string_view::npos) return from + at;
    from += held.size();
  }
  return to;
}

uint64_t FileWindow::SpaceTrimmedEnd(uint64_t from, uint64_t to) {
  to = std::min(to, length_);
  uint64_t end = from;
  while (from < to) {
    Hold(from, 1);
    const std::string_view held = Held(from).substr(0, static_cast<size_t>(std::min<uint64_t>(to - from, kWindowBytes)));
    if (held.empty()) break;
    const size_t last = held.find_last_not_of(" \t\r\n");
    if (last != std::string_view::npos) end = from + last + 1;
    from += held.size();
  }
  return end;
}

std::string FileWindow::Bytes(uint64_t offset, size_t count) {
  if (offset >= length_) return std::string();
  count = static_cast<size_t>(std::min<uint64_t>(count, length_ - offset));
  Hold(offset, count);
  return std::string(Held(offset).substr(0, count));
}

uint64_t FileWindow::LineAt(uint64_t offset) {
  if (offset < linesCountedTo_) {  // backwards: count again from the start
    linesCountedTo_ = 0;
    lines_ = 1;
  }
  offset = std::min(offset, length_);
  while (linesCountedTo_ < offset) {
    Hold(linesCountedTo_, 1);
    const std::string_view held = Held(linesCountedTo_);
    if (held.empty()) break;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(held.size(), offset - linesCountedTo_));
    lines_ += static_cast<uint64_t>(std::count(held.begin(), held.begin() + static_cast<ptrdiff_t>(take), '\n'));
    linesCountedTo_ += take;
  }
  return lines_;
}

}  // namespace larkpost
