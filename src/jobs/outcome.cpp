#include "jobs/outcome.h"

#include <atomic>
#include <vector>

#include "message/counts.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

std::atomic<int> stopRequest{0};
static_assert(std::atomic<int>::is_always_lock_free, "stored from a signal handler");

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string Counted(uint64_t count, std::u16string_view one, std::u16string_view many) {
  std::u16string text = Ascii(Thousands(count));
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
  text += u".";
  return text;
}

std::u16string LossyBackupText(uint64_t messages, unsigned codePage) {
  return Counted(messages, u"message holds", u"messages hold") + u" characters code page " +
         Ascii(std::to_string(codePage)) +
         u" lacks, written as \"?\"; use --codepage 65001 or a .zip/.xml file to keep them.";
}

std::u16string LeftOutHolder(FileKind target) {
  const FileFormat& format = FormatOf(target);
  if (!format.holds.messages) return format.plural + std::u16string(u" hold calls only");
  return format.plural +
         std::u16string(format.holds.multimedia ? u" hold messages only" : u" hold SMS only");
}

namespace {

// "1 tapback", "2 tapbacks and 1 group event", "2 tapbacks, 1 sticker and 1 group event": the
// counts that are not zero.
std::u16string Listed(std::initializer_list<std::u16string> counts) {
  std::vector<std::u16string> named;
  for (const std::u16string& count : counts) {
    if (!count.empty()) named.push_back(count);
  }
  std::u16string text;
  for (size_t i = 0; i < named.size(); ++i) {
    if (i > 0) text += i + 1 == named.size() ? u" and " : u", ";
    text += named[i];
  }
  return text;
}

std::u16string CountedIf(uint64_t count, std::u16string_view one, std::u16string_view many) {
  return count > 0 ? Counted(count, one, many) : std::u16string();
}

}  // namespace

std::u16string LeftOutText(const LeftOut& leftOut, std::u16string_view holder) {
  std::u16string text;
  auto sentence = [&text](const std::u16string& added) {
    if (!text.empty()) text += u" ";
    text += added;
  };
  const std::u16string byTarget =
      Listed({CountedIf(leftOut.multimedia, u"multimedia message", u"multimedia messages"),
              CountedIf(leftOut.calls, u"call entry", u"call entries"),
              CountedIf(leftOut.messages, u"message", u"messages")});
  if (!byTarget.empty()) sentence(byTarget + u" left out: " + std::u16string(holder) + u".");
  if (leftOut.unaddressed > 0) {
    sentence(Counted(leftOut.unaddressed, u"multimedia message", u"multimedia messages") +
             u" without any address left out (the first: " + Utf8ToWide(leftOut.firstUnaddressed) +
             u"): the phone app's import stops at such a message.");
  }
  const std::u16string noMessages =
      Listed({CountedIf(leftOut.tapbacks, u"tapback", u"tapbacks"),
              CountedIf(leftOut.unsent, u"unsent message", u"unsent messages"),
              CountedIf(leftOut.groupEvents, u"group event", u"group events"),
              CountedIf(leftOut.stickers, u"sticker", u"stickers")});
  if (!noMessages.empty()) sentence(noMessages + u" left out: no file keeps them as messages.");
  if (leftOut.attachmentsMissing > 0) {
    sentence(Counted(leftOut.attachmentsMissing, u"attachment was", u"attachments were") +
             u" not found (kept in iCloud?): their messages are kept without them.");
  }
  return text;
}

void RequestStop(int signalNumber) { stopRequest.store(signalNumber); }
int StopRequested() { return stopRequest.load(); }
void ClearStopRequest() { stopRequest.store(0); }

std::u16string InterruptedRestoreText(uint64_t done, uint64_t total) {
  return u"Interrupted: " + Ascii(Thousands(done)) + u" of " + Counted(total, u"message", u"messages") +
         u" restored; run the same command again to complete it.";
}

std::u16string InterruptedWriteText(uint64_t done, uint64_t total, std::u16string_view target,
                                    bool targetExists) {
  return u"Interrupted: stopped after " + Ascii(Thousands(done)) + u" of " +
         Counted(total, u"message", u"messages") + u"; the partial output was removed and " +
         std::u16string(target) + (targetExists ? u" was not replaced." : u" was not written.");
}

std::u16string PartialOutputLine(std::u16string_view path) {
  return std::u16string(u"Partial output: ") + std::u16string(path);
}

std::u16string NotReplacedLine(std::u16string_view target) {
  return std::u16string(target) + u" was not replaced.";
}

}  // namespace larkpost
