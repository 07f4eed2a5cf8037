// A byte filter in front of the XML parser, for files as the phone app writes them:
//
// - It writes characters outside the Basic Multilingual Plane as two character references of
//   UTF-16 surrogates ("&#55357;&#56832;"), which XML forbids; the filter joins such a pair into
//   the character's UTF-8 bytes, and turns a lone surrogate into U+FFFD.
// - It writes control characters as references ("&#1;"), which XML 1.0 forbids as well; the
//   filter turns each into a private character U+10FF00 + code, which RestoreControls() maps
//   back after parsing. A character of that range the file holds itself (raw or as a reference)
//   is put out behind the mark U+10FF20 and comes back as itself: a control never comes from
//   anything but a control reference.
// - Each <mms> element, with the attachments inside it that can be megabytes large, is replaced
//   by an empty <mms/>, so the parser never sees (or buffers) its content. Comments, processing
//   instructions and CDATA sections are passed on untouched: an "<mms" inside them is no
//   element.
//
// Streaming: it holds back at most a few dozen bytes between calls, never a whole element.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace larkpost {

class XmlPrefilter {
 public:
  // Appends the filtered form of `input` to `out`. With `last`, everything held back is put out.
  void Feed(std::string_view input, bool last, std::string& out);

 private:
  enum class State { kText, kOther, kMmsTag, kMmsBody, kMmsEnd };
  size_t Process(std::string_view data, bool last, std::string& out);

  State state_ = State::kText;
  char quote_ = 0;          // inside a quoted attribute value of an <mms> start tag
  bool slash_ = false;      // the last character of the <mms> start tag was "/"
  std::string_view closer_;  // what ends the comment, instruction or CDATA section (kOther)
  std::string held_;        // undecided bytes from the previous call
};

// Maps the private characters U+10FF00..U+10FF1F of a parsed text back to control characters,
// and a marked character of that range back to itself.
void RestoreControls(std::u16string& text);

}  // namespace larkpost
