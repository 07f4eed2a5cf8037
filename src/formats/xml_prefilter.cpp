#include "formats/xml_prefilter.h"

#include <algorithm>
#include <iterator>

namespace larkpost {

namespace {

constexpr uint32_t kControlBase = 0x10FF00;
// Put before a character of the filter's own range U+10FF00..U+10FF20 that the file holds
// itself, so it comes back as that character and never as a control.
constexpr uint32_t kLiteralMark = 0x10FF20;

bool IsOwnCharacter(uint32_t c) { return c >= kControlBase && c <= kLiteralMark; }
constexpr size_t kMaxReference = 12;  // "&#x10FFFF;" and a little room

void AppendUtf8(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

enum class Ref { kNone, kIncomplete, kFound };

// A numeric character reference at data[at] ("&#NNN;" or "&#xHHH;"): its value and length.
Ref ReadReference(std::string_view data, size_t at, uint32_t& value, size_t& length) {
  if (at == data.size()) return Ref::kIncomplete;
  if (data[at] != '&') return Ref::kNone;
  if (at + 1 == data.size()) return Ref::kIncomplete;
  if (data[at + 1] != '#') return Ref::kNone;
  size_t i = at + 2;
  const bool hex = i < data.size() && (data[i] == 'x' || data[i] == 'X');
  if (hex) ++i;
  const size_t digitsAt = i;
  uint32_t v = 0;
  for (; i < data.size() && i - at < kMaxReference; ++i) {
    const char c = data[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    v = v * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
  }
  if (i == data.size() && i - at < kMaxReference) return Ref::kIncomplete;
  if (i == digitsAt || i >= data.size() || data[i] != ';' || v > 0x10FFFF) return Ref::kNone;
  value = v;
  length = i + 1 - at;
  return Ref::kFound;
}

bool IsForbiddenControl(uint32_t c) { return c < 0x20 && c != 0x9 && c != 0xA && c != 0xD; }

}  // namespace

void XmlPrefilter::Feed(std::string_view input, bool last, std::string& out) {
  if (held_.empty()) {
    const size_t used = Process(input, last, out);
    held_.assign(input.substr(used));
    return;
  }
  std::string data = std::move(held_);
  data.append(input);
  const size_t used = Process(data, last, out);
  held_.assign(std::string_view(data).substr(used));
}

// Puts out what can be decided and returns how many bytes of `data` it used.
size_t XmlPrefilter::Process(std::string_view data, bool last, std::string& out) {
  size_t at = 0;
  while (at < data.size()) {
    switch (state_) {
      case State::kText: {
        const size_t special = data.find_first_of("&<\xF4", at);
        if (special == std::string_view::npos) {
          out.append(data.substr(at));
          return data.size();
        }
        out.append(data.substr(at, special - at));
        at = special;
        if (data[at] != '<') {
          if (!Special(data, at, last, out)) return at;
          break;
        }
        {
          // Markup whose content is not elements: passed on whole, so an "<mms" inside a comment
          // does not hide the elements that follow it.
          constexpr std::string_view kOpeners[] = {"<!--", "<?", "<![CDATA["};
          bool undecided = false, opened = false;
          for (size_t k = 0; k < std::size(kOpeners) && !opened; ++k) {
            const std::string_view opener = kOpeners[k];
            const std::string_view here = data.substr(at, opener.size());
            if (here == opener) {
              out.append(opener);
              at += opener.size();
              state_ = State::kOther;
              closer_ = k == 0 ? "-->" : k == 1 ? "?>" : "]]>";
              opened = true;
            } else if (!last && here.size() < opener.size() && opener.starts_with(here)) {
              undecided = true;
            }
          }
          if (opened) break;
          if (undecided) return at;
          // "<part " opens a tag whose data value is diverted; "<mms " a new entry.
          const std::string_view rest = data.substr(at);
          if (!last && rest.size() <= 5 && (std::string_view("<part").starts_with(rest) ||
                                            std::string_view("<mms").starts_with(rest))) {
            return at;
          }
          auto opens = [&](std::string_view tag) {
            return rest.size() > tag.size() && rest.starts_with(tag) &&
                   std::string_view(" \t\r\n/>").find(rest[tag.size()]) != std::string_view::npos;
          };
          if (diverted_ != nullptr && opens("<mms")) diverted_->NewEntry();
          if (diverted_ != nullptr && opens("<part")) {
            out.append("<part");
            at += 5;
            state_ = State::kPartTag;
            name_.clear();
            nameDone_ = equals_ = false;
          } else {
            out.push_back('<');
            ++at;
          }
          break;
        }
      }
      case State::kPartTag:
        at = PartTag(data, at, out);
        break;
      case State::kQuoted: {
        const char stops[] = {quote_, '&', '\xF4', '\0'};
        const size_t stop = data.find_first_of(stops, at);
        if (stop == std::string_view::npos) {
          out.append(data.substr(at));
          return data.size();
        }
        out.append(data.substr(at, stop - at));
        at = stop;
        if (data[at] != quote_) {
          if (!Special(data, at, last, out)) return at;
        } else {
          out.push_back(quote_);
          ++at;
          state_ = State::kPartTag;
        }
        break;
      }
      case State::kDiverted: {
        const size_t close = data.find(quote_, at);
        const size_t stop = close == std::string_view::npos ? data.size() : close;
        const std::string_view value = data.substr(at, stop - at);
        diverted_->Append(value);
        // The value's line feeds stay, so the parser counts the file's lines.
        out.append(static_cast<size_t>(std::count(value.begin(), value.end(), '\n')), '\n');
        at = stop;
        if (close != std::string_view::npos) {
          diverted_->End();
          out.push_back(quote_);
          ++at;
          state_ = State::kPartTag;
        }
        break;
      }
      case State::kOther: {
        const size_t end = data.find(closer_, at);
        if (end == std::string_view::npos) {
          // Keep a tail that may be the start of the closer.
          const size_t keep = last ? 0 : std::min(data.size() - at, closer_.size() - 1);
          out.append(data.substr(at, data.size() - keep - at));
          return data.size() - keep;
        }
        out.append(data.substr(at, end + closer_.size() - at));
        at = end + closer_.size();
        state_ = State::kText;
        break;
      }
    }
  }
  return at;
}

// A "&" or a byte F4 at data[at] in text or a value: puts out what it stands for. False when
// more bytes are needed to decide.
bool XmlPrefilter::Special(std::string_view data, size_t& at, bool last, std::string& out) {
  if (data[at] == '\xF4') {
    // U+10FF00..U+10FF20 in UTF-8 is F4 8F BC 80..A0.
    if (data.size() - at < 4 && !last) return false;
    if (data.size() - at >= 4 && data.substr(at + 1, 2) == "\x8F\xBC" &&
        static_cast<unsigned char>(data[at + 3]) >= 0x80 &&
        static_cast<unsigned char>(data[at + 3]) <= 0xA0) {
      AppendUtf8(kLiteralMark, out);
      out.append(data.substr(at, 4));
      at += 4;
    } else {
      out.push_back(data[at]);
      ++at;
    }
    return true;
  }
  uint32_t value = 0;
  size_t length = 0;
  const Ref ref = ReadReference(data, at, value, length);
  if (ref == Ref::kIncomplete && !last) return false;
  if (ref != Ref::kFound) {
    out.push_back('&');
    ++at;
    return true;
  }
  if (value >= 0xD800 && value <= 0xDBFF) {
    uint32_t low = 0;
    size_t lowLength = 0;
    const Ref next = ReadReference(data, at + length, low, lowLength);
    if (next == Ref::kIncomplete && !last) return false;
    if (next == Ref::kFound && low >= 0xDC00 && low <= 0xDFFF) {
      AppendUtf8(0x10000 + ((value - 0xD800) << 10) + (low - 0xDC00), out);
      length += lowLength;
    } else {
      AppendUtf8(0xFFFD, out);
    }
  } else if (value >= 0xDC00 && value <= 0xDFFF) {
    AppendUtf8(0xFFFD, out);
  } else if (IsForbiddenControl(value)) {
    AppendUtf8(kControlBase + value, out);
  } else if (IsOwnCharacter(value)) {
    AppendUtf8(kLiteralMark, out);
    AppendUtf8(value, out);
  } else {
    out.append(data.substr(at, length));
  }
  at += length;
  return true;
}

// Inside a <part> start tag, outside any value: reads attribute names to find "data", and
// passes everything on.
size_t XmlPrefilter::PartTag(std::string_view data, size_t at, std::string& out) {
  for (; at < data.size(); ++at) {
    const char c = data[at];
    if (c == '"' || c == '\'') {
      quote_ = c;
      out.push_back(c);
      ++at;
      if (equals_ && name_ == "data") {
        out.append(diverted_->Begin());
        state_ = State::kDiverted;
      } else {
        state_ = State::kQuoted;
      }
      name_.clear();
      nameDone_ = equals_ = false;
      return at;
    }
    out.push_back(c);
    if (c == '>') {
      state_ = State::kText;
      return at + 1;
    }
    if (c == '=') {
      equals_ = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      nameDone_ = !name_.empty();
    } else {
      if (nameDone_ || equals_) name_.clear(), nameDone_ = equals_ = false;
      if (name_.size() < 8) name_.push_back(c);
    }
  }
  return at;
}

void RestoreControls(std::u16string& text) {
  // U+10FF00 + c is the surrogate pair DBFF, DF00 + c; the literal mark U+10FF20 is DBFF, DF20.
  size_t write = 0;
  for (size_t read = 0; read < text.size(); ++read) {
    if (text[read] == 0xDBFF && read + 3 < text.size() && text[read + 1] == 0xDF20) {
      text[write++] = text[read + 2];
      text[write++] = text[read + 3];
      read += 3;
    } else if (text[read] == 0xDBFF && read + 1 < text.size() && text[read + 1] >= 0xDF00 &&
        text[read + 1] < 0xDF20) {
      text[write++] = static_cast<char16_t>(text[read + 1] - 0xDF00);
      ++read;
    } else {
      text[write++] = text[read];
    }
  }
  text.resize(write);
}

}  // namespace larkpost
