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
#include "formats/phone_calls.h"
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

std::unique_ptr<MessageReader> ReadCallLog(const std::u16string& path,
                                           std::shared_ptr<PartSpool>) {
  return CallLogReader(
      FileByteSource(std::make_shared<CFile>(path, CFile::modeRead | CFile::shareDenyNone)));
}

std::unique_ptr<MessageWriter> WriteCallLog(ByteSink& sink, const WriterOptions&) {
  return CallLogWriter(sink);
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

// What each format's files hold: subfolders, own number, recipient types, names, exact times,
// multimedia, calls, messages.
constexpr FormatHolds kHoldsAllButMultimedia{true, true, true, true, true, false, false, true};
constexpr FormatHolds kHoldsAll{true, true, true, true, true, true, false, true};

constexpr FileFormat kFormats[] = {
    {.kind = FileKind::kBackup,
     .name = "backup file",
     .plural = u"backup files",
     .filterName = u"Larkpost File",
     .endings = {u".bak", nullptr},
     .proposedName = "BAK_%Y%m%d_%H%M.bak",
     .caseSensitive = false,
     .readable = true,
     .writable = true,
     .holds = kHoldsAllButMultimedia,
     .comparedOn = kBackupFields,
     .foundInOwnFolder = true,
     .checkedBeforeRestore = false,  // its digest vouches for it
     .listedByRecord = true,
     .openReader = ReadBackupFile,
     .openWriter = WriteBackupFile,
     .openSalvager = SalvageBackupRecords},
    {.kind = FileKind::kTextExport,
     .name = "text export",
     .plural = u"text exports",
     .filterName = u"Text File",
     .endings = {u".txt", nullptr},
     .proposedName = "BAK_%Y%m%d_%H%M.txt",
     .caseSensitive = true,
     .readable = false,
     .writable = true,
     .holds = {true, true, true, true, false, false, false, true},
     .comparedOn = kPhoneFields,
     .foundInOwnFolder = false,
     .checkedBeforeRestore = true,
     .listedByRecord = false,
     .openWriter = WriteTextExport},
    {.kind = FileKind::kPhoneXml,
     .name = "XML",
     .plural = u"XML files",
     .filterName = u"Phone XML",
     .endings = {u".xml", nullptr},
     .proposedName = "sms-%Y%m%d%H%M%S.xml",  // as the app names its files
     .caseSensitive = false,
     .readable = true,
     .writable = true,
     .holds = {false, false, false, true, false, true, true, true},
     .comparedOn = kPhoneFields,
     .foundInOwnFolder = false,
     .checkedBeforeRestore = true,
     .listedByRecord = false,
     .openReader = ReadPhoneXml,
     .openWriter = WritePhoneXml,
     .openSalvager = SalvagePhoneXml},
    // The ZIP's lines carry the whole message besides the app's columns.
    {.kind = FileKind::kPhoneZip,
     .name = "ZIP",
     .plural = u"ZIP files",
     .filterName = u"Phone ZIP",
     .endings = {u".zip", nullptr},
     .proposedName = "BAK_%Y%m%d_%H%M.zip",
     .caseSensitive = false,
     .readable = true,
     .writable = true,
     .holds = kHoldsAll,
     .comparedOn = kPhoneFields,
     .foundInOwnFolder = false,
     .checkedBeforeRestore = true,
     .listedByRecord = false,
     .openReader = ReadPhoneZip,
     .openWriter = WritePhoneZip,
     .openSalvager = SalvagePhoneZip,
     .callLogBeside = CallLogNameBeside},
    // Pictures and attachments go into the page's media folder.
    {.kind = FileKind::kHtml,
     .name = "HTML page",
     .plural = u"HTML pages",
     .filterName = u"HTML Page",
     .endings = {u".html", u".htm"},
     .proposedName = "BAK_%Y%m%d_%H%M.html",
     .caseSensitive = false,
     .readable = false,
     .writable = true,
     .holds = {true, true, true, true, false, true, true, true},
     .comparedOn = kPhoneFields,
     .foundInOwnFolder = false,
     .checkedBeforeRestore = true,
     .listedByRecord = false,
     .openWriter = WritePage,
     .companionFolder = MediaFolderNameFor},
    // Told by what it holds (a folder with Manifest.db, a database with the Messages tables),
    // whatever its name: "sms.db", "chat.db", a backup's folder named by the device's id. Its
    // times are exact (nanoseconds); it has no subfolders, recipient types or own number of an SMS.
    {.kind = FileKind::kIphone,
     .name = "iPhone messages",
     .plural = u"iPhone messages",
     .filterName = u"iPhone Messages",
     .endings = {nullptr, nullptr},
     .proposedName = nullptr,
     .caseSensitive = false,
     .readable = true,
     .writable = false,
     .holds = {false, false, false, true, true, true, false, true},
     .comparedOn = kPhoneFields,
     .foundInOwnFolder = false,
     .checkedBeforeRestore = true,
     .listedByRecord = false,
     .recognises = IsIosInput,
     .dialogNames = u"sms.db;chat.db",
     .openReader = ReadIphone},
    // The other app's call log, kept beside its ZIP: calls only, read and written by themselves
    // or beside a ZIP.
    {.kind = FileKind::kCallLog,
     .name = "call log",
     .plural = u"call logs",
     .filterName = u"Call Log",
     .endings = {u".json", nullptr},
     .proposedName = "calls-%Y-%m-%d.json",  // as the app names its files
     .caseSensitive = false,
     .readable = true,
     .writable = true,
     .holds = {false, false, false, true, false, false, true, false},
     .comparedOn = kPhoneFields,
     .foundInOwnFolder = false,
     .checkedBeforeRestore = true,
     .listedByRecord = false,
     .openReader = ReadCallLog,
     .openWriter = WriteCallLog},
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
