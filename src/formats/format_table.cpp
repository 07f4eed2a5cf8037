#include "formats/format_table.h"

#include "formats/ios_input.h"
#include "formats/message_stream.h"

namespace larkpost {

namespace {

// subfolders, own number, recipient types, names, exact times, multimedia
constexpr FileFormat kFormats[] = {
    {FileKind::kBackup, "backup file", u"Larkpost File", {u".bak", nullptr}, false, true, true,
     {true, true, true, true, true, false}, nullptr, nullptr},
    {FileKind::kTextExport, "text export", u"Text File", {u".txt", nullptr}, true, false, false,
     {true, true, true, true, false, false}, nullptr, nullptr},
    {FileKind::kPhoneXml, "XML", u"Phone XML", {u".xml", nullptr}, false, true, true,
     {false, false, false, true, false, true}, nullptr, nullptr},
    // The ZIP's lines carry the whole message besides the app's columns.
    {FileKind::kPhoneZip, "ZIP", u"Phone ZIP", {u".zip", nullptr}, false, true, true,
     {true, true, true, true, true, true}, nullptr, nullptr},
    // Pictures and attachments go into the page's media folder.
    {FileKind::kHtml, "HTML page", u"HTML Page", {u".html", u".htm"}, false, false, true,
     {true, true, true, true, false, true}, nullptr, nullptr},
    // Told by what it holds (a folder with Manifest.db, a database with the Messages tables),
    // whatever its name: "sms.db", "chat.db", a backup's folder named by the device's id. Its
    // times are exact (nanoseconds); it has no subfolders, recipient types or own number of an SMS.
    {FileKind::kIphone, "iPhone messages", u"iPhone Messages", {nullptr, nullptr}, false, true,
     false, {false, false, false, true, true, true}, IsIosInput, OpenIosInput},
};

bool EndsWith(const std::u16string& ending, const char16_t* wanted, bool caseSensitive) {
  const std::u16string_view expected = wanted;
  if (ending.size() != expected.size()) return false;
  for (size_t i = 0; i < ending.size(); ++i) {
    char16_t c = ending[i];
    if (!caseSensitive && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != expected[i]) return false;
  }
  return true;
}

}  // namespace

std::span<const FileFormat> FileFormats() { return kFormats; }

const FileFormat& FormatOf(FileKind kind) {
  for (const FileFormat& format : kFormats) {
    if (format.kind == kind) return format;
  }
  return kFormats[0];
}

FileKind InputKindOf(const std::u16string& path) {
  for (const FileFormat& format : kFormats) {
    if (format.recognises != nullptr && format.recognises(path)) return format.kind;
  }
  return FileKindForPath(path);
}

bool IsAgeName(const std::u16string& path) {
  const size_t slash = path.rfind(u'/');
  const size_t dot = path.rfind(u'.');
  return dot != std::u16string::npos && (slash == std::u16string::npos || dot > slash) &&
         EndsWith(path.substr(dot), u".age", false);
}

FileKind FileKindForPath(const std::u16string& fullPath) {
  // An encrypted file holds the format its name has without ".age".
  const std::u16string path =
      IsAgeName(fullPath) ? fullPath.substr(0, fullPath.size() - 4) : fullPath;
  const size_t slash = path.rfind(u'/');
  const size_t dot = path.rfind(u'.');
  if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) {
    return FileKind::kBackup;
  }
  const std::u16string ending = path.substr(dot);
  for (const FileFormat& format : kFormats) {
    for (const char16_t* wanted : format.endings) {
      if (wanted != nullptr && EndsWith(ending, wanted, format.caseSensitive)) return format.kind;
    }
  }
  return FileKind::kBackup;
}

std::u16string EndingOf(const std::u16string& fullPath) {
  // An encrypted file's format is the one of its name without ".age".
  const std::u16string path =
      IsAgeName(fullPath) ? fullPath.substr(0, fullPath.size() - 4) : fullPath;
  const size_t slash = path.rfind(u'/');
  const size_t start = slash == std::u16string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind(u'.');
  if (dot == std::u16string::npos || dot <= start) return std::u16string();
  return path.substr(dot);
}

bool IsKnownEnding(const std::u16string& ending) {
  if (ending.empty()) return true;
  for (const FileFormat& format : kFormats) {
    for (const char16_t* wanted : format.endings) {
      if (wanted != nullptr && EndsWith(ending, wanted, format.caseSensitive)) return true;
    }
  }
  return false;
}

}  // namespace larkpost
