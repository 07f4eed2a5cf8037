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
// - The value of each `data` attribute of a <part> start tag, the base64 of an attachment that
//   can be hundreds of megabytes, is handed to a DivertedValues as it streams past and replaced
//   by the short placeholder it returns (followed by the value's own line feeds, so the parser's
//   line numbers stay the file's): the parser, which buffers a whole start tag, never sees it.
//   Comments, processing instructions and CDATA sections are passed on untouched: a "<part" or
//   "<mms" inside them is no element.
//
// Streaming: it holds back at most a few dozen bytes between calls, never a whole element.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace larkpost {

// Where the filter sends the diverted values, in file order.
class DivertedValues {
 public:
  virtual ~DivertedValues() = default;
  // An <mms start tag begins: the values that follow belong to a new entry.
  virtual void NewEntry() = 0;
  // A value begins; returns the placeholder the parser sees instead (no quote, no "<" or "&").
  virtual std::string Begin() = 0;
  // The next characters of the value, as the file holds them (references not expanded).
  virtual void Append(std::string_view raw) = 0;
  // The value ended at its closing quote.
  virtual void End() = 0;
};

class XmlPrefilter {
 public:
  // Without `diverted`, values of `data` attributes are passed on like any other.
  explicit XmlPrefilter(DivertedValues* diverted = nullptr) : diverted_(diverted) {}
  // Appends the filtered form of `input` to `out`. With `last`, everything held back is put out.
  void Feed(std::string_view input, bool last, std::string& out);
  // True while inside a diverted value (a file cut there ends inside it).
  bool inDivertedValue() const { return state_ == State::kDiverted; }

 private:
  enum class State { kText, kOther, kPartTag, kQuoted, kDiverted };
  size_t Process(std::string_view data, bool last, std::string& out);
  bool Special(std::string_view data, size_t& at, bool last, std::string& out);
  size_t PartTag(std::string_view data, size_t at, std::string& out);

  DivertedValues* diverted_;
  State state_ = State::kText;
  char quote_ = 0;           // the quote that ends the value (kQuoted, kDiverted)
  std::string name_;         // the attribute name being read in a <part> tag (cut at 8)
  bool nameDone_ = false;    // blanks followed the name
  bool equals_ = false;      // "=" followed the name
  std::string_view closer_;  // what ends the comment, instruction or CDATA section (kOther)
  std::string held_;         // undecided bytes from the previous call
};

// Maps the private characters U+10FF00..U+10FF1F of a parsed text back to control characters,
// and a marked character of that range back to itself.
void RestoreControls(std::u16string& text);

}  // namespace larkpost
