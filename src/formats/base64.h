// Base64 (RFC 4648, with "=" padding) as the phone's XML carries attachments: decoded and encoded
// a block at a time, so a part of any size passes through a buffer of a few dozen kilobytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "message/multimedia.h"

namespace larkpost {

using DecodedBytes = std::function<void(std::string_view bytes)>;

// Decodes a value that arrives in pieces. Blanks and line breaks between the characters are
// ignored, also as the character references an XML value may hold them in ("&#10;"), since
// encoders wrap their lines.
class Base64Decoder {
 public:
  // Decodes the next piece; the bytes go to `out` (a block at a time, never more than 48 KiB).
  // After a fault, nothing more is decoded.
  void Feed(std::string_view text, const DecodedBytes& out);
  // Ends the value: false with the fault when it was not base64 of whole bytes.
  bool Finish(const DecodedBytes& out, std::string& problem);
  uint64_t decoded() const { return decoded_; }

 private:
  void Fault(std::string text) {
    if (problem_.empty()) problem_ = std::move(text);
  }
  void Flush(const DecodedBytes& out);
  // Decodes the groups of four alphabet characters from `at` on; where it stopped.
  size_t DecodeGroups(std::string_view text, size_t at, const DecodedBytes& out);

  uint32_t quad_ = 0;   // the bits of the characters of the group being read
  int have_ = 0;        // characters of that group
  int padding_ = 0;     // "=" seen: only padding and blanks may follow
  std::string reference_;  // a character reference being read ("&#1")
  bool inReference_ = false;
  uint64_t characters_ = 0;
  uint64_t decoded_ = 0;
  std::string block_;
  std::string problem_;
};

// Encodes all bytes of `source` into `out`, a block of at most 64 KiB of text at a time, on one
// line. Throws what the source throws.
void EncodeBase64(const ByteSource& source, const std::function<void(std::string_view)>& out);

}  // namespace larkpost
