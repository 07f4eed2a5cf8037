#include "jobs/outcome.h"

namespace larkpost {

namespace {

std::u16string Counted(uint32_t count, std::u16string_view one, std::u16string_view many) {
  std::u16string text;
  for (char c : std::to_string(count)) text.push_back(static_cast<char16_t>(c));
  text += u" ";
  text += count == 1 ? one : many;
  return text;
}

}  // namespace

std::u16string IncompleteBackupText(const BackupShortfall& shortfall) {
  std::u16string text = u"Backup incomplete: ";
  const uint32_t folders = shortfall.unreadableFolders;
  const uint32_t messages = shortfall.unreadableMessages;
  if (folders > 0 || messages > 0) {
    if (folders > 0) text += Counted(folders, u"folder", u"folders");
    if (folders > 0 && messages > 0) text += u" and ";
    if (messages > 0) text += Counted(messages, u"message", u"messages");
    text += static_cast<uint64_t>(folders) + messages == 1
                ? u" could not be read and is not in the file"
                : u" could not be read and are not in the file";
  }
  if (shortfall.replacedMessages > 0) {
    if (folders > 0 || messages > 0) text += u"; ";
    text += Counted(shortfall.replacedMessages, u"message holds", u"messages hold");
    text += u" characters the code page lacks, written as \"?\"";
  }
  text += u".";
  return text;
}

std::u16string PartialOutputLine(std::u16string_view path) {
  return std::u16string(u"Partial output: ") + std::u16string(path);
}

std::u16string NotReplacedLine(std::u16string_view target) {
  return std::u16string(target) + u" was not replaced.";
}

}  // namespace larkpost
