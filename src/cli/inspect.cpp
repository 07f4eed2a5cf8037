// verify and show: reading a backup file without any store.
#include <sys/stat.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "backupfile/backup_file.h"
#include "backupfile/record.h"
#include "backupfile/salvage.h"
#include "backupfile/text_export.h"
#include "cli/commands.h"
#include "cli/printable.h"
#include "cli/terminal_ui.h"
#include "jobs/output_file.h"
#include "platform/file/file.h"
#include "platform/framework/strings.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

std::string Numbered(uint32_t record, const std::u16string& error) {
  char number[32];
  std::snprintf(number, sizeof number, "No.%u, ", record);
  return number + PrintableLine(WideToUtf8(error));
}

// Opens and validates; on failure prints why and returns false.
bool OpenBackupFile(const std::u16string& path, CFile& file, uint32_t& count, CliStreams& io) {
  CFileException error;
  if (!file.Open(path, CFile::modeRead | CFile::shareDenyNone, &error)) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return false;
  }
  if (!ValidateBackupFile(file, count)) {
    io.err << WideToUtf8(LoadString(IDS_FILE_VALIDATION_FAILED)) << "\n";
    return false;
  }
  return true;
}

std::string Indented(const std::u16string& text) {
  std::string out;
  for (char c : PrintableText(WideToUtf8(text))) {
    out.push_back(c);
    if (c == '\n') out += "    ";
  }
  return out;
}

}  // namespace

int VerifyBackupFile(const std::u16string& path, CliStreams& io) {
  try {
    CFile file;
    uint32_t count = 0;
    if (!OpenBackupFile(path, file, count, io)) return kExitFailure;
    uint32_t broken = 0;
    for (uint32_t record = 1; record <= count && record != 0; ++record) {
      RecordFields fields;
      std::u16string error;
      if (!ReadRecordFields(file, fields, error)) {
        // The rest of the file cannot be found again once a record is broken.
        io.err << Numbered(record, error) << "\n"
               << "records " << record << " to " << count << " cannot be read\n";
        return kExitFailure;
      }
      // The restore's own checker: what it refuses, verify names, and nothing else.
      MessageRecord checked;
      if (!CheckRecordFields(fields, checked, error)) {
        io.err << Numbered(record, error) << "\n";
        ++broken;
      }
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
    io.out << "OK: " << count << (count == 1 ? " record" : " records") << ", digest valid\n";
    return kExitSuccess;
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  }
}

int ShowBackupFile(const std::u16string& path, bool json, CliStreams& io) {
  try {
    CFile file;
    uint32_t count = 0;
    if (!OpenBackupFile(path, file, count, io)) return kExitFailure;
    for (uint32_t record = 1; record <= count && record != 0; ++record) {
      RecordFields fields;
      std::u16string error;
      if (!ReadRecordFields(file, fields, error)) {
        io.err << Numbered(record, error) << "\n";
        return kExitFailure;
      }
      MessageRecord checked;
      std::u16string problem;
      const bool parsed = CheckRecordFields(fields, checked, problem);
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
          line["sender"] = {{"name", WideToUtf8(checked.senderName)},
                            {"address", WideToUtf8(checked.senderAddress)}};
          line["recipients"] = nlohmann::ordered_json::array();
          for (const RecordRecipient& r : checked.recipients) {
            line["recipients"].push_back({{"name", WideToUtf8(r.displayName)},
                                          {"address", WideToUtf8(r.address)},
                                          {"type", r.type}});
          }
        } else {
          line["sender"] = WideToUtf8(fields.sender);
          line["recipients"] = WideToUtf8(fields.recipients);
          line["error"] = WideToUtf8(problem);
        }
        line["text"] = WideToUtf8(fields.text);
        io.out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
      } else {
        io.out << "No." << record << "  " << PrintableLine(WideToUtf8(fields.folderPath)) << "  "
               << WideToUtf8(FormatMessageTime(fields.deliveryTime)) << "\n"
               << "  From: " << PrintableLine(WideToUtf8(fields.sender)) << "\n"
               << "  To:   " << PrintableLine(WideToUtf8(fields.recipients)) << "\n"
               << "    " << Indented(fields.text) << "\n";
        if (!parsed) io.out << "  (" << PrintableLine(WideToUtf8(problem)) << ")\n";
      }
    }
    return kExitSuccess;
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  }
}

int RunSalvage(const std::u16string& damagedPath, const std::u16string& outPath,
               CliStreams& io) {
  try {
    CFile damaged;
    CFileException error;
    if (!damaged.Open(damagedPath, CFile::modeRead | CFile::shareDenyNone, &error)) {
      io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
      return kExitFailure;
    }
    struct stat in {}, existing {};
    if (fstat(damaged.GetHandle(), &in) == 0 &&
        stat(WideToUtf8(outPath).c_str(), &existing) == 0 && in.st_dev == existing.st_dev &&
        in.st_ino == existing.st_ino) {
      io.err << "larkpost: salvage: OUT must not be the damaged file itself\n";
      return kExitFailure;
    }
    // Written as every output is: never over the store, and only whole (a partial file renamed
    // when complete), so a failed salvage leaves an older OUT as it was.
    OutputFile output;
    CFile out;
    OpenOutputFile(output, outPath, MessageStoreFiles(), out);
    const SalvageReport report = SalvageBackupFile(damaged, out);
    CommitOutputFile(output, out);
    io.out << "Kept " << report.kept << (report.kept == 1 ? " record" : " records") << " in "
           << PrintableLine(WideToUtf8(outPath)) << "; the damaged file's count said " << report.declaredCount
           << ", its digest " << (report.digestValid ? "matched" : "did not match") << ".\n";
    for (const SkippedStretch& skipped : report.skipped) {
      io.out << "Skipped: record " << skipped.record << " at byte " << skipped.offset << " ("
             << skipped.length << " bytes): " << PrintableLine(WideToUtf8(skipped.error)) << "\n";
    }
    // Fewer records than the file said it held are lost records, even when no bytes were skipped
    // (a file cut off right after a record).
    if (report.kept < report.declaredCount && report.skipped.empty()) {
      io.out << "Missing: " << report.declaredCount - report.kept
             << (report.declaredCount - report.kept == 1 ? " record" : " records")
             << " the count names are not in the file.\n";
      return kExitIncomplete;
    }
    return report.skipped.empty() ? kExitSuccess : kExitIncomplete;
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  } catch (const OutputRefused& refused) {
    io.err << PrintableLine(WideToUtf8(refused.text)) << "\n";
    return kExitFailure;
  }
}

}  // namespace larkpost
