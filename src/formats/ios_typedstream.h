// The text of an iPhone message kept only in its `attributedBody`: an NSAttributedString archived
// by Apple's typedstream (NSArchiver) format, little-endian ("streamtyped").
//
// The archive is a header (version 4, the signature, the system version) and one object: its
// class chain (NSMutableAttributedString -> NSAttributedString -> NSObject), then its contents as
// typed groups. The first group is an "@" object, the NSString, whose contents are one "+" group:
// a byte count and the UTF-8 bytes. Numbers are one signed byte, or 0x81 and a 16-bit, or 0x82 and
// a 32-bit little-endian value; bytes 0x84 (new), 0x85 (nil), 0x86 (end of object) and from 0x92
// on (a reference to something seen before) are tags. So a text of 128 bytes or more has a count
// of 0x81 and two bytes: the count is read as written, never guessed from the bytes.
//
// The blob is untrusted input: every read is bounds-checked, references must name something
// already seen, and nesting is limited.
#pragma once

#include <string>
#include <string_view>

namespace larkpost {

enum class BodyDecode {
  kText,       // the string, whole
  kCut,        // a count past the blob's end: the bytes up to the string's end marker
  kNotAText,   // not an archive of an attributed string (or a damaged one)
};

// The UTF-8 bytes of the attributed string's text, as archived (attachment placeholders U+FFFC
// included).
BodyDecode AttributedBodyText(std::string_view blob, std::string& utf8);

}  // namespace larkpost
