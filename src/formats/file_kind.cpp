#include "formats/file_kind.h"

namespace larkpost {

namespace {

std::u16string LowerAscii(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

}  // namespace

FileKind FileKindForPath(const std::u16string& path) {
  const size_t slash = path.rfind(u'/');
  const size_t dot = path.rfind(u'.');
  if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) {
    return FileKind::kBackup;
  }
  const std::u16string ending = path.substr(dot);
  if (ending == u".txt") return FileKind::kTextExport;
  const std::u16string lower = LowerAscii(ending);
  if (lower == u".xml") return FileKind::kPhoneXml;
  if (lower == u".zip") return FileKind::kPhoneZip;
  if (lower == u".html" || lower == u".htm") return FileKind::kHtml;
  return FileKind::kBackup;
}

bool IsReadable(FileKind kind) {
  return kind == FileKind::kBackup || kind == FileKind::kPhoneXml || kind == FileKind::kPhoneZip;
}

const char* FileKindName(FileKind kind) {
  switch (kind) {
    case FileKind::kBackup:
      return "backup file";
    case FileKind::kTextExport:
      return "text export";
    case FileKind::kPhoneXml:
      return "XML";
    case FileKind::kPhoneZip:
      return "ZIP";
    case FileKind::kHtml:
      return "HTML page";
  }
  return "file";
}

}  // namespace larkpost
