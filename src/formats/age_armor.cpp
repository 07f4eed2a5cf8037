#include "formats/age_armor.h"

#include <algorithm>
#include <cstring>

#include "formats/age_primitives.h"
#include "platform/file/file.h"

namespace larkpost::age {

namespace {

constexpr size_t kLineBytes = 48;  // 64 columns of base64
constexpr size_t kLineColumns = 64;
constexpr char kBlanks[] = " \t\r\n";

[[noreturn]] void Malformed(const std::string& why) {
  throw AgeError(AgeError::Kind::kArmor,
                 "the encrypted file's text form (armor) is damaged (" + why + ")");
}

}  // namespace

ArmorSink::ArmorSink(ByteSink& inner, uint64_t patchable)
    : inner_(inner),
      patchable_((patchable + kLineBytes - 1) / kLineBytes * kLineBytes),
      beginSize_(sizeof kArmorBegin) {  // the line and its "\n"
  inner_.Write(kArmorBegin, sizeof kArmorBegin - 1);
  inner_.Write("\n", 1);
}

void ArmorSink::WriteLine(const std::string& bytes) {
  const std::string text = EncodeBase64Padded(bytes) + "\n";
  inner_.Write(text.data(), text.size());
}

void ArmorSink::Write(const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  if (position_ < patchable_) {
    head_.append(bytes, std::min<uint64_t>(size, patchable_ - position_));
  }
  position_ += size;
  while (size > 0) {
    const size_t take = std::min(size, kLineBytes - line_.size());
    line_.append(bytes, take);
    bytes += take;
    size -= take;
    if (line_.size() == kLineBytes) {
      WriteLine(line_);
      line_.clear();
    }
  }
}

void ArmorSink::Patch(uint64_t offset, const void* data, size_t size) {
  if (offset + size > patchable_ || offset + size > position_) {
    throw CFileException(CFileException::badSeek, EINVAL, u"");
  }
  std::memcpy(head_.data() + offset, data, size);
  const uint64_t written = position_ - line_.size();  // bytes already out as whole lines
  for (uint64_t line = offset / kLineBytes; line * kLineBytes < offset + size; ++line) {
    const uint64_t start = line * kLineBytes;
    if (start >= written) {  // the line being filled
      const uint64_t from = std::max(start, offset);
      std::memcpy(line_.data() + (from - start), static_cast<const char*>(data) + (from - offset),
                  std::min<uint64_t>(offset + size, start + line_.size()) - from);
      continue;
    }
    const std::string text = EncodeBase64Padded(head_.substr(start, kLineBytes));
    inner_.Patch(beginSize_ + line * (kLineColumns + 1), text.data(), text.size());
  }
}

void ArmorSink::Close() {
  if (!line_.empty()) WriteLine(line_);
  line_.clear();
  inner_.Write(kArmorEnd, sizeof kArmorEnd - 1);
  inner_.Write("\n", 1);
  inner_.Close();
}

bool StartsArmored(std::string_view firstBytes) {
  const size_t start = firstBytes.find_first_not_of(kBlanks);
  return start != std::string_view::npos &&
         firstBytes.substr(start).rfind(kArmorBegin, 0) == 0;
}

void ArmoredInput::Refill() {
  buffer_.erase(0, at_);
  at_ = 0;
  const size_t had = buffer_.size();
  buffer_.resize(had + 64 * 1024);
  const size_t got = raw_.Read(buffer_.data() + had, 64 * 1024);
  buffer_.resize(had + got);
  rawEnd_ = got == 0;
}

// The next line without its "\n" (and a "\r" before it); false at the end of the input.
bool ArmoredInput::RawLine(std::string& line) {
  for (;;) {
    const size_t eol = buffer_.find('\n', at_);
    if (eol != std::string::npos) {
      line.assign(buffer_, at_, eol - at_);
      at_ = eol + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    if (buffer_.size() - at_ > 4096) Malformed("a line far too long");
    if (rawEnd_) {
      line.assign(buffer_, at_);
      at_ = buffer_.size();
      return !line.empty();
    }
    Refill();
  }
}

void ArmoredInput::DecodeNextLine() {
  std::string line;
  if (!begun_) {
    // Blanks may come before the armor; the first other byte must open it.
    for (;;) {
      const size_t start = buffer_.find_first_not_of(kBlanks, at_);
      if (start != std::string::npos) {
        at_ = start;
        break;
      }
      at_ = buffer_.size();
      if (rawEnd_) Malformed("no armor");
      Refill();
    }
    if (!RawLine(line) || line != kArmorBegin) Malformed("no opening line");
    begun_ = true;
  }
  if (!RawLine(line)) Malformed("no closing line");
  if (line == kArmorEnd) {
    ended_ = true;
    // Only blanks may follow.
    for (;;) {
      if (buffer_.find_first_not_of(kBlanks, at_) != std::string::npos) {
        Malformed("text after the closing line");
      }
      at_ = buffer_.size();
      if (rawEnd_) return;
      Refill();
    }
  }
  if (lastLine_) Malformed("a short line before the end");
  if (line.empty() || line.size() > kLineColumns) Malformed("a line of the wrong length");
  std::optional<std::string> bytes = DecodeBase64Padded(line);
  if (!bytes) Malformed("a line that is not canonical base64");
  lastLine_ = line.size() < kLineColumns || line.back() == '=';
  decoded_ = std::move(*bytes);
  decodedAt_ = 0;
}

size_t ArmoredInput::Read(char* into, size_t size) {
  while (decodedAt_ == decoded_.size()) {
    if (ended_) return 0;
    DecodeNextLine();
  }
  const size_t n = std::min(size, decoded_.size() - decodedAt_);
  std::memcpy(into, decoded_.data() + decodedAt_, n);
  decodedAt_ += n;
  return n;
}

}  // namespace larkpost::age
