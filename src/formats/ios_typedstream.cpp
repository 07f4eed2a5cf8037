#include "formats/ios_typedstream.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace larkpost {

namespace {

constexpr uint8_t kInt16 = 0x81;
constexpr uint8_t kInt32 = 0x82;
constexpr uint8_t kNew = 0x84;
constexpr uint8_t kNil = 0x85;
constexpr uint8_t kEndOfObject = 0x86;
// 0x92 read as a signed byte: the number of the first reference, which names entry 0.
constexpr int64_t kFirstReference = -110;
// Class chains are a few classes deep; a longer one is a damaged or hostile blob.
constexpr int kMaxChain = 32;

// One entry of the archive's object table: an object or a class (with its superclass's entry).
struct Entry {
  bool isClass = false;
  std::string_view name;
  int64_t superclass = -1;
};

class Archive {
 public:
  explicit Archive(std::string_view blob) : blob_(blob) {}

  bool Header() {
    uint8_t version = 0;
    std::string_view signature;
    int64_t system = 0;
    return Byte(version) && version == 4 && Bytes(signature) && signature == "streamtyped" &&
           Int(system);
  }

  // A type string or class name, new or seen before; false for nil or a damaged one.
  bool SharedString(std::string_view& text) {
    uint8_t tag = 0;
    if (!Byte(tag) || tag == kNil) return false;
    if (tag == kNew) {
      if (!Bytes(text)) return false;
      strings_.push_back(text);
      return true;
    }
    int64_t index = 0;
    if (!Reference(tag, index) || index >= static_cast<int64_t>(strings_.size())) return false;
    text = strings_[index];
    return true;
  }

  // A new object of a class whose chain holds `wanted`; the object is numbered before its class,
  // as the archiver numbers them.
  bool NewObjectOf(std::string_view wanted) {
    uint8_t tag = 0;
    if (!Byte(tag) || tag != kNew) return false;
    entries_.push_back(Entry{});
    int64_t type = -1;
    return Class(type, 0) && InChain(type, wanted);
  }

  // A "+" value's byte count, then the bytes as far as the blob holds them.
  BodyDecode CountedBytes(std::string& utf8) {
    int64_t count = 0;
    if (!Int(count) || count < 0) return BodyDecode::kNotAText;
    const std::string_view rest = blob_.substr(at_);
    if (static_cast<uint64_t>(count) <= rest.size()) {
      utf8.assign(rest.substr(0, static_cast<size_t>(count)));
      return BodyDecode::kText;
    }
    utf8.assign(UpToEndMarker(rest));
    return BodyDecode::kCut;
  }

 private:
  bool Byte(uint8_t& value) {
    if (at_ >= blob_.size()) return false;
    value = static_cast<uint8_t>(blob_[at_++]);
    return true;
  }

  bool LittleEndian(size_t size, uint32_t& value) {
    if (blob_.size() - at_ < size) return false;
    value = 0;
    for (size_t i = 0; i < size; ++i) {
      value |= static_cast<uint32_t>(static_cast<uint8_t>(blob_[at_ + i])) << (8 * i);
    }
    at_ += size;
    return true;
  }

  // The number a tag byte begins: the byte itself, signed, or the 16- or 32-bit value after it.
  bool IntAfter(uint8_t tag, int64_t& value) {
    uint32_t wide = 0;
    if (tag == kInt16) {
      if (!LittleEndian(2, wide)) return false;
      value = static_cast<int16_t>(wide);
    } else if (tag == kInt32) {
      if (!LittleEndian(4, wide)) return false;
      value = static_cast<int32_t>(wide);
    } else {
      value = static_cast<int8_t>(tag);
    }
    return true;
  }

  bool Int(int64_t& value) {
    uint8_t tag = 0;
    return Byte(tag) && IntAfter(tag, value);
  }

  bool Reference(uint8_t tag, int64_t& index) {
    int64_t number = 0;
    if (!IntAfter(tag, number)) return false;
    index = number - kFirstReference;
    return index >= 0;
  }

  // A count, then that many bytes.
  bool Bytes(std::string_view& bytes) {
    int64_t count = 0;
    if (!Int(count) || count < 0 || static_cast<uint64_t>(count) > blob_.size() - at_) {
      return false;
    }
    bytes = blob_.substr(at_, static_cast<size_t>(count));
    at_ += static_cast<size_t>(count);
    return true;
  }

  // A class: new (its name, version, then its superclass), nil, or one seen before.
  bool Class(int64_t& index, int depth) {
    uint8_t tag = 0;
    if (depth > kMaxChain || !Byte(tag)) return false;
    if (tag == kNil) {
      index = -1;
      return true;
    }
    if (tag == kNew) {
      std::string_view name;
      int64_t version = 0;
      if (!SharedString(name) || !Int(version)) return false;
      index = static_cast<int64_t>(entries_.size());
      entries_.push_back(Entry{true, name, -1});
      int64_t superclass = -1;
      if (!Class(superclass, depth + 1)) return false;
      entries_[index].superclass = superclass;
      return true;
    }
    return Reference(tag, index) && index < static_cast<int64_t>(entries_.size()) &&
           entries_[index].isClass;
  }

  bool InChain(int64_t index, std::string_view wanted) const {
    for (int depth = 0; index >= 0 && depth <= kMaxChain; ++depth) {
      if (entries_[index].name == wanted) return true;
      index = entries_[index].superclass;
    }
    return false;
  }

  // The bytes of a string whose count runs past the blob: whole UTF-8 characters up to the
  // object's end marker, which no character begins with.
  static std::string_view UpToEndMarker(std::string_view rest) {
    size_t at = 0;
    while (at < rest.size()) {
      const auto lead = static_cast<uint8_t>(rest[at]);
      if (lead == kEndOfObject) break;
      const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      at = std::min(rest.size(), at + length);
    }
    return rest.substr(0, at);
  }

  std::string_view blob_;
  size_t at_ = 0;
  std::vector<std::string_view> strings_;
  std::vector<Entry> entries_;
};

}  // namespace

BodyDecode AttributedBodyText(std::string_view blob, std::string& utf8) {
  utf8.clear();
  Archive archive(blob);
  std::string_view type;
  if (!archive.Header() || !archive.SharedString(type) || type != "@" ||
      !archive.NewObjectOf("NSAttributedString") || !archive.SharedString(type) || type != "@" ||
      !archive.NewObjectOf("NSString") || !archive.SharedString(type) || type != "+") {
    return BodyDecode::kNotAText;
  }
  return archive.CountedBytes(utf8);
}

}  // namespace larkpost
