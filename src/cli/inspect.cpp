// verify and show: reading a file of any readable format without a store. Both go through one
// listing of the file: the messages its reader yields, or, for a format listed by record (a
// backup file), each record as it lies, going on past a record a restore would refuse.
#include <cstdio>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "backupfile/backup_file.h"
#include "backupfile/record.h"
#include "cli/commands.h"
#include "cli/printable.h"
#include "cli/record_json.h"
#include "cli/selection_options.h"
#include "cli/terminal_ui.h"
#include "formats/file_sniff.h"
#include "formats/format_table.h"
#include "formats/phone_calls.h"
#include "jobs/message_files.h"
#include "message/counts.h"
#include "message/folder_path.h"
#include "platform/file/file.h"
#include "platform/framework/strings.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

std::string Numbered(uint64_t record, const std::u16string& error) {
  return PrintableLine(WideToUtf8(RecordErrorText(record, error)));
}

// One entry of a file as verify and show see it.
struct Listed {
  uint64_t number = 0;
  // The message; of a record that does not parse, its folder and time only.
  MessageRecord record;
  const RecordFields* fields = nullptr;  // a record as it lies, for a format listed by record
  std::u16string problem;                // why a restore would refuse it; empty when it would not
};

// How the listing ended.
struct ListingEnd {
  bool byRecord = false;
  uint64_t declared = 0;   // by record: the count of the file's header
  uint64_t brokenAt = 0;   // by record: the record that could not be read, the rest lost with it
  uint64_t bytesAfter = 0; // by record: bytes after the last record, which no restore reads
  ReadCounts read;         // by message: what the reader read and passed over
};

bool ListRecords(const std::u16string& path, CliStreams& io,
                 const std::function<void(const Listed&)>& each, ListingEnd& end) {
  CFile file;
  CFileException openError;
  if (!file.Open(path, CFile::modeRead | CFile::shareDenyNone, &openError)) {
    io.err << PrintableLine(WideToUtf8(openError.ErrorMessage())) << "\n";
    return false;
  }
  BackupRecords records(file);
  if (!records.valid()) {
    io.err << WideToUtf8(LoadString(IDS_FILE_VALIDATION_FAILED)) << "\n";
    HintWrongFile(path, io);
    return false;
  }
  end.declared = records.count();
  RecordFields fields;
  Listed listed;
  std::u16string error;
  while (!records.AtEnd()) {
    if (!records.NextFields(fields, error)) {
      end.brokenAt = records.number();
      io.err << Numbered(end.brokenAt, error) << "\n";
      return false;
    }
    listed.number = records.number();
    listed.fields = &fields;
    // The restore's own checker: what it refuses, the listing names, and nothing else.
    if (!CheckRecordFields(fields, listed.record, listed.problem)) {
      listed.record = MessageRecord{};
      listed.record.folderPath = fields.folderPath;
      listed.record.deliveryTime = fields.deliveryTime;
    } else {
      listed.problem.clear();
    }
    each(listed);
  }
  end.bytesAfter = file.GetLength() - file.GetPosition();
  return true;
}

bool ListMessages(const std::u16string& path, CliStreams& io,
                  const std::function<void(const Listed&)>& each, ListingEnd& end) {
  std::unique_ptr<MessageReader> reader = OpenMessageReader(path);
  Listed listed;
  while (reader->Next(listed.record)) {
    ++listed.number;
    each(listed);
  }
  end.read = reader->counts();
  if (reader->error().empty()) return true;
  io.err << PrintableLine(reader->error()) << "\n";
  return false;
}

// Reads the whole file at `path` into `each`, as its row says it is listed (a kind that cannot be
// read is listed as a backup file, whose digest then fails). Prints why and returns false when
// the file cannot be read to its end.
bool ListFile(const std::u16string& path, CliStreams& io,
              const std::function<void(const Listed&)>& each, ListingEnd& end) {
  const FileFormat& format = FormatOf(InputKindOf(path));
  end.byRecord = format.listedByRecord || !format.readable;
  try {
    return end.byRecord ? ListRecords(path, io, each, end) : ListMessages(path, io, each, end);
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return false;
  }
}

// A multimedia message's parts below its text, one line each, without their content:
// "  Part: image/jpeg "a.jpg" a.jpg (3,000 bytes)".
void PrintParts(const Multimedia& multimedia, std::ostream& out) {
  auto text = [](const Column& column) { return column ? PrintableLine(WideToUtf8(*column)) : ""; };
  for (const MessagePart& part : multimedia.parts) {
    out << "  Part: " << text(part.contentType);
    if (part.name) out << " \"" << text(part.name) << "\"";
    if (part.fileName && part.fileName != part.name) out << " " << text(part.fileName);
    out << " (" << Counted(PartByteCount(part), "byte", "bytes") << ")\n";
  }
}

int ReportRecords(const ListingEnd& end, uint64_t broken, uint64_t selected, bool json,
                  const Selection& selection, CliStreams& io) {
  if (end.bytesAfter > 0) {
    io.err << "note: " << end.bytesAfter << " bytes after record " << end.declared
           << " are not read by a restore\n";
  }
  if (broken > 0) {
    io.err << broken << " of " << end.declared << " records would fail to restore\n";
    return kExitFailure;
  }
  if (json) {
    // A backup file holds SMS only: a restore leaves nothing of it out.
    nlohmann::ordered_json summary;
    summary["messages"] = end.declared;
    summary["multimedia"] = 0;
    summary["entries"] = end.declared;
    AddLeftOutJson(summary, 0, 0);
    if (selection.Narrows()) summary["selected"] = selected;
    io.out << JsonLine(summary) << "\n";
    return kExitSuccess;
  }
  io.out << "OK: " << end.declared << (end.declared == 1 ? " record" : " records")
         << ", digest valid\n";
  if (selection.Narrows()) io.out << SelectedLine(selected, end.declared) << "\n";
  return kExitSuccess;
}

int ReportMessages(const ListingEnd& end, uint64_t multimedia, uint64_t selected, bool json,
                   const Selection& selection, CliStreams& io) {
  const ReadCounts& read = end.read;
  // What a restore of the file would leave out of the store.
  // The store keeps multimedia messages and calls: a restore leaves out only what no target
  // keeps.
  LeftOut restoreLeavesOut = LeftOutByReader(read);
  if (json) {
    nlohmann::ordered_json summary;
    summary["messages"] = read.messages;
    summary["multimedia"] = multimedia;
    summary["entries"] = read.entries;
    if (read.calls > 0) summary["calls"] = read.calls;
    AddLeftOutJson(summary, restoreLeavesOut.multimedia, restoreLeavesOut.calls);
    // What only an iPhone's messages hold, named when there is any.
    const std::pair<const char*, uint64_t> notMessages[] = {
        {"tapbacksLeftOut", restoreLeavesOut.tapbacks},
        {"unsentLeftOut", restoreLeavesOut.unsent},
        {"groupEventsLeftOut", restoreLeavesOut.groupEvents},
        {"stickersLeftOut", restoreLeavesOut.stickers},
        {"attachmentsMissing", restoreLeavesOut.attachmentsMissing}};
    for (const auto& [key, count] : notMessages) {
      if (count > 0) summary[key] = count;
    }
    if (selection.Narrows()) summary["selected"] = selected;
    io.out << JsonLine(summary) << "\n";
    return kExitSuccess;
  }
  if (read.entries == 0 && read.calls > 0) {
    // A call log.
    io.out << "OK: " << Counted(read.calls, "call entry", "call entries") << "\n";
  } else {
    io.out << "OK: " << Counted(read.messages, "message", "messages");
    if (multimedia > 0) io.out << " (" << Thousands(multimedia) << " multimedia)";
    io.out << " in " << Counted(read.entries, "entry", "entries");
    if (read.calls > 0) io.out << ", and " << Counted(read.calls, "call entry", "call entries");
    io.out << "\n";
  }
  if (restoreLeavesOut.Any()) {
    io.out << "On restore, " << WideToUtf8(LeftOutText(restoreLeavesOut, kStoreHolder)) << "\n";
  }
  if (selection.Narrows()) io.out << SelectedLine(selected, read.messages + read.calls) << "\n";
  return kExitSuccess;
}

}  // namespace

void HintWrongFile(const std::u16string& path, CliStreams& io) {
  const std::string looks = WhatTheFileLooksLike(path);
  if (!looks.empty()) {
    io.err << looks << "\n";
    return;
  }
  io.err << "It may be a backup file that was cut off or damaged: larkpost salvage "
         << PrintableLine(WideToPath(path)) << " OUT.bak keeps what it still holds.\n";
}

int VerifyFile(const std::u16string& path, bool json, const Selection& selection,
               CliStreams& io) {
  uint64_t broken = 0, selected = 0, multimedia = 0;
  ListingEnd end;
  const bool read = ListFile(path, io, [&](const Listed& listed) {
    if (!listed.problem.empty()) {
      io.err << Numbered(listed.number, listed.problem) << "\n";
      ++broken;
      return;
    }
    if (listed.record.multimedia) ++multimedia;
    if (selection.Selects(listed.record)) ++selected;
  }, end);
  if (!read) {
    // The rest of the file cannot be found again once a record is broken.
    if (end.brokenAt > 0) {
      io.err << "records " << end.brokenAt << " to " << end.declared << " cannot be read\n";
    }
    return kExitFailure;
  }
  return end.byRecord ? ReportRecords(end, broken, selected, json, selection, io)
                      : ReportMessages(end, multimedia, selected, json, selection, io);
}

int ShowFile(const std::u16string& path, bool json, const Selection& selection, CliStreams& io) {
  uint64_t listedCount = 0, selected = 0;
  ListingEnd end;
  const bool read = ListFile(path, io, [&](const Listed& listed) {
    ++listedCount;
    // A record that does not parse is judged by its folder and time alone.
    if (!selection.Selects(listed.record)) return;
    ++selected;
    const MessageRecord& record = listed.record;
    const RecordFields* fields = listed.fields;
    if (json) {
      nlohmann::ordered_json line;
      line["record"] = listed.number;
      if (fields != nullptr) line["messageClass"] = WideToUtf8(fields->messageClass);
      line["folder"] = WideToUtf8(fields != nullptr ? fields->folderPath : record.folderPath);
      if (fields != nullptr) line["lastModified"] = FileTimeToUInt64(fields->lastModified);
      line["deliveryTime"] = FileTimeToUInt64(fields != nullptr ? fields->deliveryTime
                                                                : record.deliveryTime);
      line["flags"] = fields != nullptr ? fields->flags : record.flags;
      if (fields != nullptr) line["size"] = fields->size;
      if (listed.problem.empty()) {
        AddPartiesJson(line, record);
      } else {
        line["sender"] = WideToUtf8(fields->sender);
        line["recipients"] = WideToUtf8(fields->recipients);
        line["error"] = WideToUtf8(listed.problem);
      }
      line["text"] = WideToUtf8(fields != nullptr ? fields->text : record.text);
      if (record.multimedia) AddMultimediaJson(line, *record.multimedia);
      if (record.kind == EntryKind::kCall) {
        nlohmann::ordered_json& call = line["call"] = nlohmann::ordered_json::object();
        for (const NamedColumn& column : record.phoneColumns) {
          call[column.name] = ColumnJson(column.value);
        }
      }
      io.out << JsonLine(line) << "\n";
      return;
    }
    // A record as it lies; a message as a record would show it. The texts come from the file, so
    // they are printed with their control characters escaped.
    std::string from, to;
    if (fields != nullptr) {
      from = WideToUtf8(fields->sender);
      to = WideToUtf8(fields->recipients);
    } else {
      from = "\"" + WideToUtf8(record.senderName) + "\" <" + WideToUtf8(record.senderAddress) + ">";
      for (const RecordRecipient& r : record.recipients) {
        if (!to.empty()) to += ";";
        to += "\"" + WideToUtf8(r.displayName) + "\" <" + WideToUtf8(r.address) + ">";
      }
    }
    const std::u16string& folder = fields != nullptr ? fields->folderPath : record.folderPath;
    const std::u16string& text = fields != nullptr ? fields->text : record.text;
    io.out << "No." << listed.number << "  " << PrintableLine(WideToUtf8(ShownFolderPath(folder)))
           << "  " << ShownTime(fields != nullptr ? fields->deliveryTime : record.deliveryTime)
           << "\n"
           << "  From: " << PrintableLine(from) << "\n"
           << "  To:   " << PrintableLine(to) << "\n"
           << "    "
           << PrintableIndented(record.kind == EntryKind::kCall ? CallSummary(record)
                                                                : WideToUtf8(text),
                                "    ")
           << "\n";
    if (!listed.problem.empty()) io.out << "  (" << PrintableLine(WideToUtf8(listed.problem)) << ")\n";
    if (record.multimedia) PrintParts(*record.multimedia, io.out);
  }, end);
  if (!read) return kExitFailure;
  // With --json the standard output carries the entries alone.
  std::ostream& notes = json ? io.err : io.out;
  if (selection.Narrows()) {
    notes << SelectedLine(selected, end.byRecord ? end.declared : listedCount) << "\n";
  }
  // The call entries a listing of a phone's file passes over (it lists messages, multimedia
  // ones among them).
  const LeftOut notListed = LeftOutByReader(end.read);
  if (notListed.Any()) {
    notes << WideToUtf8(LeftOutText(notListed, u"only messages are listed")) << "\n";
  }
  return kExitSuccess;
}

}  // namespace larkpost
