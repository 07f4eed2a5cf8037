#include "formats/format_table.h"

#include <climits>
#include <cstdlib>

#include "backupfile/backup_stream.h"
#include "backupfile/salvage.h"
#include "formats/html_page.h"
#include "formats/ios_input.h"
#include "formats/message_stream.h"
#include "formats/page_media.h"
#include "formats/part_spool.h"
#include "formats/phone_salvage.h"
#include "formats/phone_xml.h"
#include "formats/phone_zip.h"
#include "formats/text_export.h"
#include "platform/file/file.h"
#include "platform/file/output_file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

std::unique_ptr<MessageReader> ReadBackupFile(const std::u16string& path,
                                              std::shared_ptr<PartSpool>) {
  return WithContactNames(BackupFileReader(path));
}

std::unique_ptr<MessageReader> ReadPhoneXml(const std::u16string& path,
                                            std::shared_ptr<PartSpool> spool) {
  // The reader owns the open file through its byte source.
  return WithContactNames(JoinedReader(XmlEntries(
      FileByteSource(std::make_shared<CFile>(path, CFile::modeRead | CFile::shareDenyNone)),
      std::move(spool))));
}

std::unique_ptr<MessageReader> ReadPhoneZip(const std::u16string& path,
                                            std::shared_ptr<PartSpool>) {
  CFile exists(path, CFile::modeRead | CFile::shareDenyNone);  // the file's own error first
  return WithContactNames(JoinedReader(ZipEntries(path)));
}

std::unique_ptr<MessageReader> ReadIphone(const std::u16string& path,
                                          std::shared_ptr<PartSpool>) {
  return OpenIosInput(path);
}

std::unique_ptr<MessageWriter> WriteBackupFile(ByteSink& sink, const WriterOptions& options) {
  return BackupFileWriter(sink, options.expectedCount);
}

std::unique_ptr<MessageWriter> WriteTextExport(ByteSink& sink, const WriterOptions&) {
  return TextExportWriter(sink);
}

std::unique_ptr<MessageWriter> WritePhoneXml(ByteSink& sink, const WriterOptions& options) {
  return XmlWriter(sink, options.deletedAs);
}

std::unique_ptr<MessageWriter> WritePhoneZip(ByteSink& sink, const WriterOptions& options) {
  return ZipWriter(sink, options.deletedAs);
}

std::unique_ptr<MessageReader> SalvageBackupRecords(std::shared_ptr<CFile> damaged,
                                                    SalvageReport& records, SalvageLog&,
                                                    std::shared_ptr<PartSpool>) {
  return SalvagingBackupReader(std::move(damaged), records);
}

std::unique_ptr<MessageReader> SalvagePhoneXml(std::shared_ptr<CFile> damaged, SalvageReport&,
                                               SalvageLog& entries,
                                               std::shared_ptr<PartSpool> spool) {
  return JoinedReader(SalvagedXmlEntries(std::move(damaged), entries, std::move(spool)));
}

std::unique_ptr<MessageReader> SalvagePhoneZip(std::shared_ptr<CFile> damaged, SalvageReport&,
                                               SalvageLog& entries, std::shared_ptr<PartSpool>) {
  return JoinedReader(SalvagedZipEntries(std::move(damaged), entries));
}

// A page written to a file comes with its media folder ("archive_files" beside "archive.html"),
// built beside the partial page and committed with it, so that an older page's folder goes with
// the page it replaces; a page written elsewhere names its attachments and saves none.
std::unique_ptr<MessageWriter> WritePage(ByteSink& sink, const WriterOptions& options) {
  OutputFile* output = options.output;
  if (output == nullptr || !output->temporary) return HtmlWriter(sink);
  const std::string page = WideToPath(output->finalPath);
  const std::string folder = MediaFolderNameFor(page.substr(page.rfind('/') + 1));
  PlanCompanionFolder(*output, folder);
  return HtmlWriter(sink, PageMedia{folder, [output] { return CompanionFolder(*output); }});
}

// A backup file keeps everything the store keeps but the characters its code page lacks; a
// phone's file keeps direction, millisecond, text and the other parties.
constexpr IdentityFields kBackupFields{true, true, true, true, true, true};

// kind, name, plural, filter name, endings, proposed name, case-sensitive, readable, writable,
// holds (subfolders, own number, recipient types, names, exact times, multimedia), compared on,
// found in own folder, checked before restore, recognises, reader, writer, salvager, companion
// folder
constexpr FileFormat kFormats[] = {
    {FileKind::kBackup, "backup file", u"backup files", u"Larkpost File", {u".bak", nullptr}, "BAK_%Y%m%d_%H%M.bak",
     false, true, true, {true, true, true, true, true, false}, kBackupFields, true, false,
     nullptr, ReadBackupFile, WriteBackupFile, SalvageBackupRecords, nullptr},
    {FileKind::kTextExport, "text export", u"text exports", u"Text File", {u".txt", nullptr}, "BAK_%Y%m%d_%H%M.txt",
     true, false, true, {true, true, true, true, false, false}, kPhoneFields, false, true,
     nullptr, nullptr, WriteTextExport, nullptr, nullptr},
    {FileKind::kPhoneXml, "XML", u"XML files", u"Phone XML", {u".xml", nullptr}, "sms-%Y%m%d%H%M%S.xml", false, true,
     true, {false, false, false, true, false, true}, kPhoneFields, false, true, nullptr,
     ReadPhoneXml, WritePhoneXml, SalvagePhoneXml, nullptr},
    // The ZIP's lines carry the whole message besides the app's columns.
    {FileKind::kPhoneZip, "ZIP", u"ZIP files", u"Phone ZIP", {u".zip", nullptr}, "BAK_%Y%m%d_%H%M.zip", false, true,
     true, {true, true, true, true, true, true}, kPhoneFields, false, true, nullptr,
     ReadPhoneZip, WritePhoneZip, SalvagePhoneZip, nullptr},
    // Pictures and attachments go into the page's media folder.
    {FileKind::kHtml, "HTML page", u"HTML pages", u"HTML Page", {u".html", u".htm"}, "BAK_%Y%m%d_%H%M.html", false, false,
     true, {true, true, true, true, false, true}, kPhoneFields, false, true, nullptr, nullptr,
     WritePage, nullptr, MediaFolderNameFor},
    // Told by what it holds (a folder with Manifest.db, a database with the Messages tables),
    // whatever its name: "sms.db", "chat.db", a backup's folder named by the device's id. Its
    // times are exact (nanoseconds); it has no subfolders, recipient types or own number of an SMS.
    {FileKind::kIphone, "iPhone messages", u"iPhone messages", u"iPhone Messages",
     {nullptr, nullptr}, nullptr, false, true, false, {false, false, false, true, true, true},
     kPhoneFields, false, true, IsIosInput, ReadIphone, nullptr, nullptr, nullptr},
};

MessageReaderOverride& ReaderOverride() {
  static MessageReaderOverride open;
  return open;
}

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

std::unique_ptr<MessageReader> OpenMessageReader(const std::u16string& path, FileKind kind,
                                                 std::shared_ptr<PartSpool> spool) {
  if (ReaderOverride()) {
    if (std::unique_ptr<MessageReader> reader = ReaderOverride()(path)) return reader;
  }
  const ReaderFactory open = FormatOf(kind).openReader;
  return open != nullptr ? open(path, std::move(spool)) : nullptr;
}

std::unique_ptr<MessageWriter> OpenMessageWriter(ByteSink& sink, FileKind kind,
                                                 const WriterOptions& options) {
  const WriterFactory open = FormatOf(kind).openWriter;
  return open != nullptr ? open(sink, options) : nullptr;
}

void OverrideMessageReaders(MessageReaderOverride open) { ReaderOverride() = std::move(open); }

CompanionState CompanionFolderState(const std::u16string& path, std::u16string& folderName) {
  folderName.clear();
  const auto companionFolder = FormatOf(FileKindForPath(path)).companionFolder;
  if (companionFolder == nullptr) return CompanionState::kAbsent;
  std::string file = WideToPath(path);
  char resolved[PATH_MAX];
  if (realpath(file.c_str(), resolved) != nullptr) file = resolved;  // a link: the file's own
  const std::string folder = companionFolder(file.substr(file.rfind('/') + 1));
  folderName = PathToWide(folder);
  return CompanionStateOf(PathToWide(file), folder);
}

}  // namespace larkpost
