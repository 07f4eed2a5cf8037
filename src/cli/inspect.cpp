// verify and show: reading a backup file without any store.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "backupfile/backup_file.h"
#include "backupfile/record.h"
#include "message/folder_path.h"
#include "cli/commands.h"
#include "cli/printable.h"
#include "formats/file_sniff.h"
#include "cli/record_json.h"
#include "cli/selection_options.h"
#include "cli/terminal_ui.h"
#include "platform/file/output_file.h"
#include "platform/file/file.h"
#include "platform/framework/strings.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

std::string Numbered(uint32_t record, const std::u16string& error) {
  return PrintableLine(WideToUtf8(RecordErrorText(record, error)));
}

// Reads every record of the backup file at `path` into `file` and hands each one's number and
// fields to `visit`. Prints why and returns false when the file cannot be opened or validated, or
// a record is broken (its number then in `broken`); `count` is the record count of the header.
template <class Visit>
bool ReadEachRecord(const std::u16string& path, CFile& file, uint32_t& count, uint32_t& broken,
                    CliStreams& io, Visit visit) {
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
  count = records.count();
  RecordFields fields;
  std::u16string error;
  while (!records.AtEnd()) {
    if (!records.NextFields(fields, error)) {
      broken = records.number();
      io.err << Numbered(broken, error) << "\n";
      return false;
    }
    visit(records.number(), fields);
  }
  return true;
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

int VerifyBackupFile(const std::u16string& path, bool json, const Selection& selection,
                     CliStreams& io) {
  try {
    CFile file;
    uint32_t count = 0, brokenAt = 0, broken = 0, selected = 0;
    const bool read = ReadEachRecord(path, file, count, brokenAt, io,
                                     [&](uint32_t record, const RecordFields& fields) {
      // The restore's own checker: what it refuses, verify names, and nothing else.
      MessageRecord checked;
      std::u16string error;
      if (!CheckRecordFields(fields, checked, error)) {
        io.err << Numbered(record, error) << "\n";
        ++broken;
      } else if (selection.Selects(checked)) {
        ++selected;
      }
    });
    if (!read) {
      // The rest of the file cannot be found again once a record is broken.
      if (brokenAt > 0) io.err << "records " << brokenAt << " to " << count << " cannot be read\n";
      return kExitFailure;
    }
    const uint64_t rest = file.GetLength() - file.GetPosition();
    if (rest > 0) {
      io.err << "note: " << rest << " bytes after record " << count
             << " are not read by a restore\n";
    }
    if (broken > 0) {
      io.err << broken << " of " << count << " records would fail to restore\n";
      return kExitFailure;
    }
    if (json) {
      // A backup file holds SMS only: a restore leaves nothing of it out.
      nlohmann::ordered_json summary;
      summary["messages"] = count;
      summary["multimedia"] = 0;
      summary["entries"] = count;
      AddLeftOutJson(summary, 0, 0);
      if (selection.Narrows()) summary["selected"] = selected;
      io.out << JsonLine(summary) << "\n";
      return kExitSuccess;
    }
    io.out << "OK: " << count << (count == 1 ? " record" : " records") << ", digest valid\n";
    if (selection.Narrows()) io.out << SelectedLine(selected, count) << "\n";
    return kExitSuccess;
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  }
}

int ShowBackupFile(const std::u16string& path, bool json, const Selection& selection,
                   CliStreams& io) {
  try {
    CFile file;
    uint32_t count = 0, brokenAt = 0, selected = 0;
    const bool read = ReadEachRecord(path, file, count, brokenAt, io,
                                     [&](uint32_t record, const RecordFields& fields) {
      MessageRecord checked;
      std::u16string problem;
      const bool parsed = CheckRecordFields(fields, checked, problem);
      if (selection.Narrows()) {
        // A record that does not parse is judged by its folder and time alone.
        if (!parsed) {
          checked = MessageRecord{};
          checked.folderPath = fields.folderPath;
          checked.deliveryTime = fields.deliveryTime;
        }
        if (!selection.Selects(checked)) return;
      }
      ++selected;
      if (json) {
        nlohmann::ordered_json line;
        line["record"] = record;
        line["messageClass"] = WideToUtf8(fields.messageClass);
        line["folder"] = WideToUtf8(fields.folderPath);
        line["lastModified"] = FileTimeToUInt64(fields.lastModified);
        line["deliveryTime"] = FileTimeToUInt64(fields.deliveryTime);
        line["flags"] = fields.flags;
        line["size"] = fields.size;
        if (parsed) {
          AddPartiesJson(line, checked);
        } else {
          line["sender"] = WideToUtf8(fields.sender);
          line["recipients"] = WideToUtf8(fields.recipients);
          line["error"] = WideToUtf8(problem);
        }
        line["text"] = WideToUtf8(fields.text);
        io.out << JsonLine(line) << "\n";
      } else {
        io.out << "No." << record << "  "
               << PrintableLine(WideToUtf8(ShownFolderPath(fields.folderPath))) << "  "
               << ShownTime(fields.deliveryTime) << "\n"
               << "  From: " << PrintableLine(WideToUtf8(fields.sender)) << "\n"
               << "  To:   " << PrintableLine(WideToUtf8(fields.recipients)) << "\n"
               << "    " << PrintableIndented(WideToUtf8(fields.text), "    ") << "\n";
        if (!parsed) io.out << "  (" << PrintableLine(WideToUtf8(problem)) << ")\n";
      }
    });
    if (!read) return kExitFailure;
    // With --json the standard output carries the records alone.
    if (selection.Narrows()) (json ? io.err : io.out) << SelectedLine(selected, count) << "\n";
    return kExitSuccess;
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  }
}

}  // namespace larkpost
