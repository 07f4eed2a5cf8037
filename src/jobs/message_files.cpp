#include "jobs/message_files.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "backupfile/backup_file.h"
#include "backupfile/record.h"
#include "backupfile/record_codec.h"
#include "formats/html_page.h"
#include "formats/ios_input.h"
#include "formats/page_media.h"
#include "formats/phone_xml.h"
#include "formats/phone_zip.h"
#include "jobs/output_file.h"
#include "jobs/store_backup.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

MessageReaderOverride& ReaderOverride() {
  static MessageReaderOverride open;
  return open;
}


// The records of a validated backup file, checked as a restore checks them.
class BackupFileReader : public MessageReader {
 public:
  explicit BackupFileReader(const std::u16string& path)
      : file_(path, CFile::modeRead | CFile::shareDenyNone), records_(file_) {
    if (!records_.valid()) error_ = "File Validation Failed.";
  }

  bool Next(MessageRecord& record) override {
    if (!error_.empty() || records_.AtEnd()) return false;
    recordStart_ = file_.GetPosition();
    std::u16string error;
    if (!records_.Next(record, error)) {
      error_ = WideToUtf8(RecordErrorText(records_.number(), error));
      return false;
    }
    ++counts_.entries;
    ++counts_.messages;
    return true;
  }

  bool RecordStart(uint64_t& start) const override {
    start = recordStart_;
    return counts_.messages > 0;
  }

 private:
  CFile file_;
  BackupRecords records_;
  uint64_t recordStart_ = 0;
};

// A backup file of the given records. Unlike a backup of a store, which flushes every record as
// it goes, a conversion flushes once at the end: the output only counts once it is complete.
class BackupFileWriter : public MessageWriter {
 public:
  explicit BackupFileWriter(CFile& file) : file_(file) { BeginBackupFile(file_, 0); }

  bool Write(const MessageRecord& record, std::string& error) override {
    PreparedMessage prepared;
    return Prepare(record, prepared, error) && WritePrepared(prepared, error);
  }

  // The record's bytes, made on any thread: most of what writing it costs.
  bool Prepare(const MessageRecord& record, PreparedMessage& prepared,
               std::string& error) const override {
    // A record has no place for parts or addresses with roles: written as an SMS, the message
    // would lose its pictures without a word.
    if (record.multimedia) {
      error = "a multimedia message cannot be written into a backup file, which holds SMS only";
      return false;
    }
    prepared.replaced = false;
    prepared.bytes = EncodeRecord(record, &prepared.replaced);
    if (prepared.bytes.size() > UINT32_MAX) return TooLarge(error);
    return true;
  }

  bool WritePrepared(const PreparedMessage& prepared, std::string& error) override {
    if (entries_ == UINT32_MAX) return TooLarge(error);
    file_.Write(prepared.bytes.data(), static_cast<unsigned>(prepared.bytes.size()));
    if (prepared.replaced) ++replacedMessages;
    ++entries_;
    return true;
  }

  void Finish() override {
    SealBackupFile(file_, static_cast<uint32_t>(entries_));
    file_.Flush();
  }

  uint64_t replacedMessages = 0;

 private:
  static bool TooLarge(std::string& error) {
    error = "the message is too large for a backup file";
    return false;
  }

  CFile& file_;
};

// In front of the writer of a format without multimedia: such messages are counted, not written.
class MultimediaLeftOut : public MessageWriter {
 public:
  explicit MultimediaLeftOut(MessageWriter& writer) : writer_(writer) {}
  bool Write(const MessageRecord& record, std::string& error) override {
    if (record.multimedia) {
      ++leftOut;
      return true;
    }
    return writer_.Write(record, error);
  }
  bool Prepare(const MessageRecord& record, PreparedMessage& prepared,
               std::string& error) const override {
    prepared.leftOut = static_cast<bool>(record.multimedia);
    return prepared.leftOut || writer_.Prepare(record, prepared, error);
  }
  bool WritePrepared(const PreparedMessage& prepared, std::string& error) override {
    if (!prepared.leftOut) return writer_.WritePrepared(prepared, error);
    ++leftOut;
    return true;
  }
  void Finish() override { writer_.Finish(); }
  uint64_t leftOut = 0;

 private:
  MessageWriter& writer_;
};

// A page with its media folder ("archive_files" beside "archive.html"), which is built beside
// the partial page and committed with it.
std::unique_ptr<MessageWriter> PageWriter(CFile& file, OutputFile& output) {
  const std::string page = WideToPath(output.finalPath);
  const std::string folder = MediaFolderNameFor(page.substr(page.rfind('/') + 1));
  PlanCompanionFolder(output, folder);
  return HtmlWriter(file, PageMedia{folder, [&output] { return CompanionFolder(output); }});
}

// The writer of `kind` into the partial file of `output`: a page comes with its media folder, so
// that an older page's folder goes with the page it replaces.
std::unique_ptr<MessageWriter> OutputWriter(CFile& file, OutputFile& output, FileKind kind,
                                            DeletedAs deletedAs) {
  return kind == FileKind::kHtml && output.temporary ? PageWriter(file, output)
                                                     : OpenMessageWriter(file, kind, deletedAs);
}

}  // namespace

CompanionState PageFolderState(const std::u16string& path, std::u16string& folderName) {
  folderName.clear();
  if (FileKindForPath(path) != FileKind::kHtml) return CompanionState::kAbsent;
  std::string page = WideToPath(path);
  char resolved[PATH_MAX];
  if (realpath(page.c_str(), resolved) != nullptr) page = resolved;  // a link: the page's own
  const std::string folder = MediaFolderNameFor(page.substr(page.rfind('/') + 1));
  folderName = PathToWide(folder);
  return CompanionStateOf(PathToWide(page), folder);
}

void OverrideMessageReaders(MessageReaderOverride open) { ReaderOverride() = std::move(open); }

LeftOut LeftOutByReader(const ReadCounts& read) {
  LeftOut leftOut;
  leftOut.calls = read.callsSkipped;
  leftOut.tapbacks = read.tapbacksSkipped;
  leftOut.unsent = read.unsentSkipped;
  leftOut.groupEvents = read.groupEventsSkipped;
  leftOut.stickers = read.stickersSkipped;
  leftOut.attachmentsMissing = read.attachmentsMissing;
  return leftOut;
}

LeftOut UnwrittenOf(const WrittenCounts& written) {
  LeftOut leftOut;
  leftOut.multimedia = written.multimediaLeftOut;
  leftOut.unaddressed = written.unaddressedLeftOut;
  leftOut.firstUnaddressed = written.firstUnaddressed;
  return leftOut;
}

std::unique_ptr<MessageReader> OpenMessageReader(const std::u16string& path, FileKind kind,
                                                 std::shared_ptr<PartSpool> spool) {
  if (ReaderOverride()) {
    if (std::unique_ptr<MessageReader> reader = ReaderOverride()(path)) return reader;
  }
  if (const auto open = FormatOf(kind).openReader) return open(path);
  switch (kind) {
    case FileKind::kBackup:
      return WithContactNames(std::make_unique<BackupFileReader>(path));
    case FileKind::kPhoneXml: {
      // The reader owns the open file through its byte source.
      return WithContactNames(JoinedReader(XmlEntries(
          FileByteSource(std::make_shared<CFile>(path, CFile::modeRead | CFile::shareDenyNone)),
          std::move(spool))));
    }
    case FileKind::kPhoneZip: {
      CFile exists(path, CFile::modeRead | CFile::shareDenyNone);  // the file's own error first
      return WithContactNames(JoinedReader(ZipEntries(path)));
    }
    case FileKind::kTextExport:
    case FileKind::kHtml:
    case FileKind::kIphone:
      break;
  }
  return nullptr;
}

std::unique_ptr<MessageWriter> OpenMessageWriter(CFile& file, FileKind kind, DeletedAs deletedAs) {
  switch (kind) {
    case FileKind::kBackup:
      return std::make_unique<BackupFileWriter>(file);
    case FileKind::kPhoneXml:
      return XmlWriter(file, deletedAs);
    case FileKind::kPhoneZip:
      return ZipWriter(file, deletedAs);
    case FileKind::kHtml:
      return HtmlWriter(file);
    case FileKind::kTextExport:
    case FileKind::kIphone:
      break;
  }
  return nullptr;
}

uint64_t ReplacedMessages(const MessageWriter& writer) {
  const auto* backup = dynamic_cast<const BackupFileWriter*>(&writer);
  return backup != nullptr ? backup->replacedMessages : 0;
}

bool WriteMessageFile(BackupJob& job, CFile& file, OutputFile& output) {
  std::unique_ptr<MessageWriter> writer =
      OutputWriter(file, output, job.format, DeletedAs::kByDirection);
  if (writer == nullptr) return false;
  std::string error;
  const bool walked =
      WalkSelectedMessages(job, [&](SmsMessage& message, const MessageRecord* value) {
        MessageRecord made;
        if (value == nullptr && !RecordFromMessage(message, made)) return false;
        if (!writer->Write(value != nullptr ? *value : made, error)) return false;
        job.RecordWritten();
        return StopRequested() == 0;  // asked to stop: the walk ends here
      });
  if (!walked) return false;
  writer->Finish();
  return true;
}

bool IsPhoneFile(const std::u16string& path) {
  const FileKind kind = InputKindOf(path);
  return kind != FileKind::kBackup && IsReadable(kind);
}

bool ConvertMessageFile(const std::u16string& in, const std::u16string& out, DeletedAs deletedAs,
                        const Selection& selection, ConvertResult& result) {
  result = ConvertResult{};
  const FileKind inKind = InputKindOf(in);
  const FileKind outKind = FileKindForPath(out);
  if (!IsReadable(inKind)) {
    result.error = Utf8ToWide(std::string("a ") + FileKindName(inKind) + " cannot be read");
    return false;
  }
  if (outKind == FileKind::kTextExport) {
    result.error = u"a text export is written by a backup of a store only";
    return false;
  }
  if (HoldsReadOnlyInput(out)) {
    result.error = out + u" holds " + Utf8ToWide(FileKindName(InputKindOf(out))) +
                   u", which are only read, never replaced";
    return false;
  }
  // Attachments decoded out of the input wait beside the output, where the disk must hold them
  // anyway.
  std::unique_ptr<MessageReader> reader =
      OpenMessageReader(in, inKind, std::make_shared<PartSpool>(out));
  WrittenCounts written;
  std::string error;
  const bool converted = WriteMessageOutput(
      out, outKind, deletedAs,
      [&](MessageWriter& writer, std::string& failure) {
        MessageRecord record;
        while (reader->Next(record)) {
          if (StopRequested() != 0) {
            failure = "interrupted";
            return false;
          }
          if (!selection.Selects(record)) continue;
          ++result.selected;
          if (!writer.Write(record, failure)) {
            failure = "message " + std::to_string(reader->counts().messages) + ": " + failure;
            return false;
          }
        }
        failure = reader->error();
        return failure.empty();
      },
      written, error);
  result.read = reader->counts();
  result.leftOut = LeftOutByReader(result.read);
  result.leftOut += UnwrittenOf(written);
  result.written = result.selected - written.multimediaLeftOut - written.unaddressedLeftOut;
  result.entriesWritten = written.entriesWritten;
  result.replacedMessages = written.replacedMessages;
  if (!converted) result.error = Utf8ToWide(error);
  return converted;
}

bool WriteOutputFile(const std::u16string& out,
                     const std::function<bool(CFile& file, OutputFile& output, std::string& error)>& fill,
                     std::string& error) {
  CFile file;
  OutputFile output;
  OpenOutputFile(output, out, MessageStoreFiles(), file);
  // A failed output leaves nothing: the partial file and its media folder go.
  auto discard = [&] {
    file.Abort();
    if (output.temporary) unlink(WideToPath(output.writePath).c_str());
    DiscardCompanionFolder(output);
  };
  try {
    if (!fill(file, output, error)) {
      discard();
      return false;
    }
    if (!FlushFileBuffers(file)) {
      const int osError = errno;
      throw CFileException(CFileException::CauseFromErrno(osError), osError, output.target);
    }
    CommitOutputFile(output, file);
  } catch (CFileException& failure) {
    discard();
    if (output.temporary && failure.m_strFileName == output.writePath) {
      failure.m_strFileName = output.target;  // the user chose the target
    }
    throw;
  } catch (...) {
    discard();
    throw;
  }
  return true;
}

bool WriteMessageOutput(const std::u16string& out, FileKind kind, DeletedAs deletedAs,
                        const std::function<bool(MessageWriter&, std::string& error)>& fill,
                        WrittenCounts& counts, std::string& error) {
  return WriteOutputFile(
      out,
      [&](CFile& file, OutputFile& output, std::string& failure) {
        // The writer goes before the file is finished or thrown away: it may hold files of its
        // own beside it.
        std::unique_ptr<MessageWriter> writer = OutputWriter(file, output, kind, deletedAs);
        if (writer == nullptr) {  // the text export: no writer of messages makes one
          failure = std::string("a ") + FileKindName(kind) + " is written by a backup of a store only";
          return false;
        }
        MultimediaLeftOut leaveOut(*writer);
        MessageWriter& sink = FormatOf(kind).holds.multimedia ? *writer : leaveOut;
        if (!fill(sink, failure)) return false;
        writer->Finish();
        counts.entriesWritten = writer->entriesWritten();
        counts.replacedMessages = ReplacedMessages(*writer);
        counts.multimediaLeftOut = leaveOut.leftOut;
        counts.unaddressedLeftOut = writer->unaddressedLeftOut();
        counts.firstUnaddressed = writer->firstUnaddressed();
        return true;
      },
      error);
}

}  // namespace larkpost
