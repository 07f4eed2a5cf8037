// verify and show: reading a backup file without any store.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <vector>

#include "backupfile/address.h"
#include "backupfile/backup_file.h"
#include "backupfile/record.h"
#include "backupfile/text_export.h"
#include "cli/commands.h"
#include "cli/printable.h"
#include "cli/terminal_ui.h"
#include "platform/file/file.h"
#include "platform/framework/strings.h"
#include "platform/text/text.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

std::string Numbered(uint32_t record, const std::u16string& error) {
  char number[32];
  std::snprintf(number, sizeof number, "No.%u, ", record);
  return number + PrintableLine(WideToUtf8(error));
}

bool IsStandardFolderName(const std::u16string& name) {
  for (int kind = 0; kind < kFolderKindCount; ++kind) {
    const std::u16string standard = FolderKindName(static_cast<FolderKind>(kind));
    if (standard.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      char16_t a = name[i], b = standard[i];
      if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
      if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
      same = a == b;
    }
    if (same) return true;
  }
  return false;
}

// The recipients of a recipient line as a restore reads them: entries joined by ";", an entry
// that does not parse joined with the next one. False when some entry never parses.
bool ParseRecipientLine(const std::u16string& line, std::vector<SmsRecipient>& recipients) {
  if (line.empty()) return true;
  std::u16string pending;
  bool hasPending = false;
  for (const std::u16string& piece : SplitText(line, std::u16string(u";"))) {
    const std::u16string entry = hasPending ? pending + u";" + piece : piece;
    if (std::unique_ptr<SmsRecipient> parsed = ParseRecipientText(entry)) {
      recipients.push_back(*parsed);
      hasPending = false;
    } else {
      pending = entry;
      hasPending = true;
    }
  }
  return !hasPending;
}

// The problems a restore would report for a record it can read: class, folder, recipients and
// sender, in the order the restore checks them.
std::vector<std::u16string> RecordProblems(const RecordFields& fields) {
  std::vector<std::u16string> problems;
  const std::u16string root = SplitText(fields.folderPath, std::u16string(u"\\")).front();
  if (!IsStandardFolderName(root)) {
    problems.push_back(u"Create folder '" + fields.folderPath + u"' error!");
  }
  if (fields.messageClass != u"IPM.SMStext") problems.push_back(u"Unknow message class name!");
  std::vector<SmsRecipient> recipients;
  if (!ParseRecipientLine(fields.recipients, recipients)) {
    problems.push_back(u"Parse recipient error!");
  }
  SmsMessage probe(nullptr, nullptr);
  if (!ParseSenderText(probe, fields.sender)) problems.push_back(u"Parse sender info error!");
  return problems;
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
      const std::vector<std::u16string> problems = RecordProblems(fields);
      for (const std::u16string& problem : problems) io.err << Numbered(record, problem) << "\n";
      if (!problems.empty()) ++broken;
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
      std::vector<SmsRecipient> recipients;
      const bool recipientsParsed = ParseRecipientLine(fields.recipients, recipients);
      SmsMessage sender(nullptr, nullptr);
      const bool senderParsed = ParseSenderText(sender, fields.sender);
      if (json) {
        nlohmann::ordered_json line;
        line["record"] = record;
        line["messageClass"] = WideToUtf8(fields.messageClass);
        line["folder"] = WideToUtf8(fields.folderPath);
        line["lastModified"] = FileTimeToUInt64(fields.lastModified);
        line["deliveryTime"] = FileTimeToUInt64(fields.deliveryTime);
        line["flags"] = fields.flags;
        line["size"] = fields.size;
        if (senderParsed) {
          line["sender"] = {{"name", WideToUtf8(sender.senderName)},
                            {"address", WideToUtf8(sender.senderAddress)}};
        } else {
          line["sender"] = WideToUtf8(fields.sender);
        }
        if (recipientsParsed) {
          line["recipients"] = nlohmann::ordered_json::array();
          for (const SmsRecipient& r : recipients) {
            line["recipients"].push_back({{"name", WideToUtf8(r.displayName)},
                                          {"address", WideToUtf8(r.address)},
                                          {"type", r.type}});
          }
        } else {
          line["recipients"] = WideToUtf8(fields.recipients);
        }
        line["text"] = WideToUtf8(fields.text);
        io.out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
      } else {
        io.out << "No." << record << "  " << PrintableLine(WideToUtf8(fields.folderPath)) << "  "
               << WideToUtf8(FormatMessageTime(fields.deliveryTime)) << "\n"
               << "  From: " << PrintableLine(WideToUtf8(fields.sender)) << "\n"
               << "  To:   " << PrintableLine(WideToUtf8(fields.recipients)) << "\n"
               << "    " << Indented(fields.text) << "\n";
      }
    }
    return kExitSuccess;
  } catch (const CFileException& error) {
    io.err << PrintableLine(WideToUtf8(error.ErrorMessage())) << "\n";
    return kExitFailure;
  }
}

}  // namespace larkpost
