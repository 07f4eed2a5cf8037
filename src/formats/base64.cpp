#include "formats/base64.h"

#include <algorithm>
#include <array>

namespace larkpost {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kBlock = 48 * 1024;  // a multiple of 3: encoded blocks join without padding

// 0..63 for the alphabet, 64 for "=", 65 for a blank, 66 for "&", 255 for anything else.
constexpr std::array<uint8_t, 256> MakeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = 255;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  table['='] = 64;
  table[' '] = table['\t'] = table['\r'] = table['\n'] = 65;
  table['&'] = 66;
  return table;
}
constexpr std::array<uint8_t, 256> kTable = MakeTable();

bool IsBlankReference(std::string_view reference) {
  return reference == "&#10;" || reference == "&#13;" || reference == "&#9;" ||
         reference == "&#32;" || reference == "&#xA;" || reference == "&#xa;" ||
         reference == "&#xD;" || reference == "&#xd;" || reference == "&#x9;" ||
         reference == "&#x20;";
}

}  // namespace

void Base64Decoder::Flush(const DecodedBytes& out) {
  if (block_.empty()) return;
  decoded_ += block_.size();
  out(block_);
  block_.clear();
}

size_t Base64Decoder::DecodeGroups(std::string_view text, size_t at, const DecodedBytes& out) {
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  while (text.size() - at >= 4) {
    const size_t room = (kBlock - block_.size()) / 3;
    const size_t groups = std::min(room, (text.size() - at) / 4);
    if (groups == 0) {
      if (block_.size() < kBlock) break;
      Flush(out);
      continue;
    }
    const size_t start = block_.size();
    block_.resize(start + groups * 3);
    char* write = block_.data() + start;
    size_t done = 0;
    for (; done < groups; ++done, at += 4, write += 3) {
      const uint32_t a = kTable[in[at]], b = kTable[in[at + 1]], c = kTable[in[at + 2]],
                     d = kTable[in[at + 3]];
      // Anything but four characters of the alphabet goes the careful way.
      if ((a | b | c | d) >= 64) break;
      const uint32_t quad = a << 18 | b << 12 | c << 6 | d;
      write[0] = static_cast<char>(quad >> 16);
      write[1] = static_cast<char>(quad >> 8 & 0xFF);
      write[2] = static_cast<char>(quad & 0xFF);
    }
    block_.resize(start + done * 3);
    characters_ += done * 4;
    if (done < groups) break;
    if (block_.size() >= kBlock) Flush(out);
  }
  return at;
}

void Base64Decoder::Feed(std::string_view text, const DecodedBytes& out) {
  if (!problem_.empty()) return;
  if (block_.capacity() < kBlock) block_.reserve(kBlock);
  for (size_t at = 0; at < text.size();) {
    // Between groups, whole groups of the alphabet are decoded four characters at a time.
    if (have_ == 0 && padding_ == 0 && !inReference_) {
      at = DecodeGroups(text, at, out);
      if (at == text.size()) break;
    }
    const char c = text[at++];
    ++characters_;
    if (inReference_) {
      reference_.push_back(c);
      if (c == ';' || reference_.size() > 8) {
        inReference_ = false;
        if (!IsBlankReference(reference_)) {
          Fault("the reference \"" + reference_ + "\" is no base64");
          return;
        }
      }
      continue;
    }
    const uint8_t value = kTable[static_cast<uint8_t>(c)];
    if (value < 64) {
      if (padding_ > 0) {
        Fault("characters follow its padding \"=\"");
        return;
      }
      quad_ = quad_ << 6 | value;
      if (++have_ == 4) {
        block_.push_back(static_cast<char>(quad_ >> 16));
        block_.push_back(static_cast<char>(quad_ >> 8 & 0xFF));
        block_.push_back(static_cast<char>(quad_ & 0xFF));
        have_ = 0;
        quad_ = 0;
        if (block_.size() >= kBlock) Flush(out);
      }
    } else if (value == 64) {
      // "x==" ends one byte, "xy=" two: padding completes a group of at least two.
      if (have_ < 2 || have_ + ++padding_ > 4) {
        Fault("its padding \"=\" stands at character " + std::to_string(characters_));
        return;
      }
      if (have_ + padding_ == 4) {
        block_.push_back(static_cast<char>(quad_ >> (have_ == 2 ? 4 : 10)));
        if (have_ == 3) block_.push_back(static_cast<char>(quad_ >> 2 & 0xFF));
        have_ = 4;  // complete: only blanks may follow
      }
    } else if (value == 66) {
      inReference_ = true;
      reference_ = "&";
    } else if (value != 65) {
      const auto byte = static_cast<unsigned char>(c);
      Fault(byte >= 0x20 && byte < 0x7F
                ? std::string("it holds \"") + c + "\" at character " + std::to_string(characters_)
                : "it holds the byte " + std::to_string(byte) + " at character " +
                      std::to_string(characters_));
      return;
    }
  }
}

bool Base64Decoder::Finish(const DecodedBytes& out, std::string& problem) {
  // A group completed by padding counts 4; one without padding was emptied.
  if (inReference_ || have_ % 4 != 0) Fault("it ends inside a group of four characters");
  if (!problem_.empty()) {
    problem = problem_;
    return false;
  }
  Flush(out);
  return true;
}

void EncodeBase64(const ByteSource& source, const std::function<void(std::string_view)>& out) {
  std::string bytes(kBlock, '\0');
  std::string text;
  text.reserve(kBlock / 3 * 4);
  size_t held = 0;  // bytes in `bytes` not yet encoded (less than 3 between reads)
  for (;;) {
    const size_t got = source(bytes.data() + held, kBlock - held);
    const size_t have = held + got;
    const bool end = got == 0;
    const size_t whole = end ? have : have / 3 * 3;
    text.clear();
    size_t i = 0;
    for (; i + 3 <= whole; i += 3) {
      const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                         static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
      text.push_back(kAlphabet[v >> 18]);
      text.push_back(kAlphabet[v >> 12 & 63]);
      text.push_back(kAlphabet[v >> 6 & 63]);
      text.push_back(kAlphabet[v & 63]);
    }
    if (end && i < whole) {
      const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                         (i + 1 < whole ? static_cast<uint8_t>(bytes[i + 1]) << 8 : 0);
      text.push_back(kAlphabet[v >> 18]);
      text.push_back(kAlphabet[v >> 12 & 63]);
      text.push_back(i + 1 < whole ? kAlphabet[v >> 6 & 63] : '=');
      text.push_back('=');
      i = whole;
    }
    if (!text.empty()) out(text);
    if (end) return;
    held = have - i;
    for (size_t k = 0; k < held; ++k) bytes[k] = bytes[i + k];
  }
}

}  // namespace larkpost
