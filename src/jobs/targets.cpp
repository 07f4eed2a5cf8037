#include "jobs/targets.h"

#include <string>

#include "formats/format_table.h"
#include "message/counts.h"

namespace larkpost {

std::u16string DefaultBackupName(const CTime& now) {
  return u"BAK_" + now.Format("%Y%m%d_%H%M.bak");
}

std::u16string DefaultFileName(FileKind kind, const CTime& now) {
  const char* proposed = FormatOf(kind).proposedName;
  return proposed != nullptr ? now.Format(proposed) : DefaultBackupName(now);
}

std::u16string RestoreQuestion(const std::u16string& path) {
  return u"Are you sure to restore sms from file:" + path;
}

std::u16string EntryCountsText(uint64_t sms, uint64_t multimedia, uint64_t calls) {
  std::string text = Counted(sms, "SMS", "SMS");
  if (multimedia > 0 || calls > 0) {
    text += (calls > 0 ? ", " : " and ") + Counted(multimedia, "multimedia message", "multimedia messages");
  }
  if (calls > 0) text += " and " + Counted(calls, "call", "calls");
  return std::u16string(text.begin(), text.end());
}

namespace {

// " (5 SMS, 2 multimedia messages and 1 call)" when some of `total` are not SMS.
std::string Breakdown(uint64_t total, uint64_t multimedia, uint64_t calls) {
  if (multimedia == 0 && calls == 0) return std::string();
  const std::u16string text = EntryCountsText(total - multimedia - calls, multimedia, calls);
  return " (" + std::string(text.begin(), text.end()) + ")";
}

}  // namespace

std::u16string RestoreSummaryLine(const RestoreCounts& counts) {
  std::string line = "Restored: " + std::to_string(counts.restored) +
                     Breakdown(counts.restored, counts.restoredMultimedia, counts.restoredCalls) +
                     ", already present: " + std::to_string(counts.present) +
                     Breakdown(counts.present, counts.presentMultimedia, counts.presentCalls);
  if (counts.byNumberFormat > 0) {
    line += " (" + std::to_string(counts.byNumberFormat) + " by number format)";
  }
  line += ", folders created: " + std::to_string(counts.foldersCreated);
  return std::u16string(line.begin(), line.end());
}

namespace {

// "Larkpost File(*.bak)|*.bak|" for each format the test takes.
template <class Takes>
std::u16string DialogFilter(Takes takes) {
  std::u16string filter;
  for (const FileFormat& format : FileFormats()) {
    // A call log holds nothing of the store's: no dialog of a backup or restore offers it.
    if (!takes(format) || !format.holds.messages) continue;
    std::u16string patterns;
    for (const char16_t* ending : format.endings) {
      if (ending == nullptr) continue;
      if (!patterns.empty()) patterns += u";";
      patterns += u"*";
      patterns += ending;
    }
    // An input told by its content is offered by the names its files usually have, if any.
    if (patterns.empty() && format.dialogNames != nullptr) patterns = format.dialogNames;
    if (patterns.empty()) continue;
    filter += format.filterName + (u"(" + patterns + u")|" + patterns + u"|");
  }
  return filter;
}

}  // namespace

std::u16string SaveDialogFilter() {
  return DialogFilter([](const FileFormat& format) { return format.writable; });
}

std::u16string OpenDialogFilter() {
  return DialogFilter([](const FileFormat& format) { return format.readable; });
}

}  // namespace larkpost
