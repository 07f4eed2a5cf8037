#include "message/multimedia.h"

#include <algorithm>
#include <cstring>

#include "platform/text/text.h"

namespace larkpost {

namespace {

class MemoryBytes : public PartBytes {
 public:
  explicit MemoryBytes(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  ByteSource Open() const override {
    return [this, at = size_t{0}](char* buffer, size_t capacity) mutable -> size_t {
      const size_t count = std::min(capacity, bytes_.size() - at);
      std::memcpy(buffer, bytes_.data() + at, count);
      at += count;
      return count;
    };
  }

 private:
  std::string bytes_;
};

bool SameBytes(const PartBytes* a, const PartBytes* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a == b) return true;
  if (a->size() != b->size()) return false;
  constexpr size_t kChunk = 64 * 1024;
  std::string left(kChunk, '\0');
  std::string right(kChunk, '\0');
  ByteSource readLeft = a->Open();
  ByteSource readRight = b->Open();
  // Either source may return less than asked: compare what both have, then refill the side
  // that ran out.
  size_t atLeft = 0, haveLeft = 0, atRight = 0, haveRight = 0;
  for (;;) {
    if (atLeft == haveLeft) atLeft = 0, haveLeft = readLeft(left.data(), kChunk);
    if (atRight == haveRight) atRight = 0, haveRight = readRight(right.data(), kChunk);
    if (haveLeft == 0 || haveRight == 0) return haveLeft == haveRight;
    const size_t common = std::min(haveLeft - atLeft, haveRight - atRight);
    if (std::memcmp(left.data() + atLeft, right.data() + atRight, common) != 0) return false;
    atLeft += common;
    atRight += common;
  }
}

bool SamePart(const MessagePart& a, const MessagePart& b) {
  return a.seq == b.seq && a.contentType == b.contentType && a.name == b.name &&
         a.charset == b.charset && a.contentDisposition == b.contentDisposition &&
         a.fileName == b.fileName && a.contentId == b.contentId &&
         a.contentLocation == b.contentLocation && a.text == b.text && a.extras == b.extras &&
         SameBytes(a.data.get(), b.data.get());
}

}  // namespace

std::shared_ptr<const PartBytes> BytesInMemory(std::string bytes) {
  return std::make_shared<MemoryBytes>(std::move(bytes));
}

std::string ReadAllBytes(const PartBytes& bytes) {
  std::string all;
  all.reserve(static_cast<size_t>(bytes.size()));
  ByteSource source = bytes.Open();
  char buffer[64 * 1024];
  while (const size_t got = source(buffer, sizeof buffer)) all.append(buffer, got);
  return all;
}

const Column* FindColumn(const Columns& columns, std::string_view name) {
  for (const NamedColumn& column : columns) {
    if (column.name == name) return &column.value;
  }
  return nullptr;
}

bool SameMultimedia(const Multimedia& a, const Multimedia& b) {
  return a.addresses == b.addresses && a.extras == b.extras &&
         std::equal(a.parts.begin(), a.parts.end(), b.parts.begin(), b.parts.end(), SamePart);
}

bool MultimediaRef::operator==(const MultimediaRef& other) const {
  if (value == nullptr || other.value == nullptr) return value == other.value;
  return value == other.value || SameMultimedia(*value, *other.value);
}

}  // namespace larkpost

namespace larkpost {

bool IsTextPart(const MessagePart& part) {
  if (!part.contentType) return false;
  std::u16string type = part.contentType->substr(0, part.contentType->find(u';'));
  for (char16_t& c : type) c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
  while (!type.empty() && type.back() == u' ') type.pop_back();
  return type.rfind(u"text/", 0) == 0 || type == u"application/smil";
}

Column TextOfTextPart(const MessagePart& part) {
  if (part.text || part.data == nullptr) return part.text;
  const std::string bytes = ReadAllBytes(*part.data);
  std::u16string text = Utf8ToWide(bytes);
  const bool replaced = text.find(u'\uFFFD') != std::u16string::npos &&
                        bytes.find("\xEF\xBF\xBD") == std::string::npos;
  if (replaced) {
    text.resize(bytes.size());
    WidenLatin1(bytes, text.data());
  }
  return text;
}

}  // namespace larkpost
