#include "jobs/outcome.h"

namespace larkpost {

namespace {

constexpr std::u16string_view kIncompletePrefix = u"Backup incomplete: ";

std::u16string Counted(uint32_t count, std::u16string_view one, std::u16string_view many) {
  std::u16string text;
  for (char c : std::to_string(count)) text.push_back(static_cast<char16_t>(c));
  text += u" ";
  text += count == 1 ? one : many;
  return text;
}

}  // namespace

std::u16string IncompleteBackupText(uint32_t folders, uint32_t messages) {
  std::u16string text(kIncompletePrefix);
  if (folders > 0) text += Counted(folders, u"folder", u"folders");
  if (folders > 0 && messages > 0) text += u" and ";
  if (messages > 0) text += Counted(messages, u"message", u"messages");
  text += static_cast<uint64_t>(folders) + messages == 1 ? u" could not be read and is not in the file."
                                  : u" could not be read and are not in the file.";
  return text;
}

bool IsIncompleteBackupText(std::u16string_view text) {
  return text.substr(0, kIncompletePrefix.size()) == kIncompletePrefix;
}

std::u16string PartialOutputLine(std::u16string_view path) {
  return std::u16string(u"Partial output: ") + std::u16string(path);
}

}  // namespace larkpost
