#include "formats/age_header.h"

#include "formats/age_primitives.h"

namespace larkpost::age {

namespace {

constexpr char kVersionLine[] = "age-encryption.org/v1";
constexpr size_t kColumns = 64;
// Enough for a few thousand recipients; more is not a file we wrote nor one age writes.
constexpr size_t kMaxHeaderBytes = 1 << 20;
constexpr size_t kMaxLine = 4096;

[[noreturn]] void Damaged(const std::string& why) {
  throw AgeError(AgeError::Kind::kHeader,
                 "the encrypted file's header is damaged (" + why + ")");
}

bool IsArgument(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

std::vector<std::string> SplitSpaces(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t space = text.find(' ', start);
    parts.push_back(text.substr(start, space - start));
    if (space == std::string::npos) return parts;
    start = space + 1;
  }
}

std::string MacKey(const std::string& fileKey) { return Hkdf(fileKey, "", "header"); }

}  // namespace

Header ReadHeader(AgeInput& input) {
  Header header;
  std::string line;
  bool complete = false;
  auto next = [&](const char* what) {
    if (!input.ReadLine(line, kMaxLine, complete) || !complete) Damaged(what);
    if (header.macInput.size() + line.size() > kMaxHeaderBytes) Damaged("it is too long");
  };
  next("no age version line");
  if (line != kVersionLine) {
    if (line.rfind("age-encryption.org/", 0) == 0) Damaged("a version this program does not read");
    Damaged("no age version line");
  }
  header.macInput = line + "\n";
  for (;;) {
    next("it ends before its MAC");
    if (line.rfind("---", 0) == 0) {
      header.macInput += "---";
      if (line.size() < 4 || line[3] != ' ') Damaged("a malformed MAC line");
      std::optional<std::string> mac = DecodeBase64Raw(std::string_view(line).substr(4));
      if (!mac || mac->size() != 32) Damaged("a malformed MAC");
      header.mac = std::move(*mac);
      break;
    }
    if (line.rfind("-> ", 0) != 0) Damaged("a line that is neither a stanza nor the MAC");
    header.macInput += line + "\n";
    Stanza stanza;
    std::vector<std::string> parts = SplitSpaces(line.substr(3));
    for (const std::string& part : parts) {
      if (!IsArgument(part)) Damaged("a stanza with an empty or invalid argument");
    }
    stanza.type = parts.front();
    stanza.args.assign(parts.begin() + 1, parts.end());
    std::string body;
    for (;;) {
      next("a stanza without its body");
      header.macInput += line + "\n";
      if (line.size() > kColumns) Damaged("a body line over 64 columns");
      std::optional<std::string> bytes = DecodeBase64Raw(line);
      if (!bytes) Damaged("a body that is not canonical base64");
      stanza.body += *bytes;
      if (line.size() < kColumns) break;
    }
    header.stanzas.push_back(std::move(stanza));
  }
  if (header.stanzas.empty()) Damaged("no recipient stanza");
  return header;
}

std::string WriteHeader(const std::vector<Stanza>& stanzas, const std::string& fileKey) {
  std::string text = std::string(kVersionLine) + "\n";
  for (const Stanza& stanza : stanzas) {
    text += "-> " + stanza.type;
    for (const std::string& arg : stanza.args) text += " " + arg;
    text += "\n";
    const std::string body = EncodeBase64Raw(stanza.body);
    size_t at = 0;
    for (; body.size() - at >= kColumns; at += kColumns) text += body.substr(at, kColumns) + "\n";
    text += body.substr(at) + "\n";  // shorter than a full line, empty when the body filled them
  }
  text += "---";
  text += " " + EncodeBase64Raw(HmacSha256(MacKey(fileKey), text)) + "\n";
  return text;
}

void CheckHeaderMac(const Header& header, const std::string& fileKey) {
  if (!SameBytes(HmacSha256(MacKey(fileKey), header.macInput), header.mac)) {
    throw AgeError(AgeError::Kind::kHeaderMac,
                   "the encrypted file's header was modified (its MAC does not match)");
  }
}

}  // namespace larkpost::age
