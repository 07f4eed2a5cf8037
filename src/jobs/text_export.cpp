#include "jobs/text_export.h"

#include <cstdio>
#include <limits>

#include "platform/text/text.h"
#include "store/message.h"

namespace larkpost {

std::u16string FormatMessageTime(const FILETIME& time) {
  FILETIME local;
  SYSTEMTIME parts;
  if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &parts)) {
    return std::u16string();
  }
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d", parts.wYear,
                                   parts.wMonth, parts.wDay, parts.wHour, parts.wMinute,
                                   parts.wSecond);
  return std::u16string(text, text + length);
}

// A block, lines ended by carriage return and line feed:
//   Sender: "name" <address>        ("Sender:" alone unless both are non-empty)
//   Recipients: "name" <address>;"name" <address>;
//   Time: 2009-3-5 8:7:6            (local time, empty when it cannot be converted)
//   Content:
//   the message text as stored
//   (empty line)
bool EncodeTextRecord(SmsMessage& message, std::string& bytes, bool* replaced) {
  // A message whose recipients cannot be read would lose them silently; the walk fails instead.
  const RecipientList* recipients = message.Recipients();
  if (recipients == nullptr) return false;

  std::u16string block;
  if (!message.senderAddress.empty() && !message.senderName.empty()) {
    block += u"Sender: \"" + message.senderName + u"\" <" + message.senderAddress + u">\r\n";
  } else {
    block += u"Sender:\r\n";
  }
  block += u"Recipients: ";
  for (const auto& recipient : *recipients) {
    block += u"\"" + recipient->displayName + u"\" <" + recipient->address + u">;";
  }
  block += u"\r\nTime: " + FormatMessageTime(message.deliveryTime) + u"\r\n";
  block += u"Content:\r\n" + message.text + u"\r\n\r\n";

  bytes = WideToAnsi(block, replaced);
  return bytes.size() <= std::numeric_limits<unsigned>::max();
}

}  // namespace larkpost
