#include "message/own_numbers.h"

#include "message/folder_path.h"

namespace larkpost {

void OwnNumbers::Learn(const MessageRecord& message) {
  const std::u16string_view path = message.folderPath;
  FolderKind kind;
  if (!FolderKindFromName(path.substr(0, path.find(u'\\')), kind)) return;
  if (kind == FolderKind::Inbox) {
    // A phone's received message names no recipient: only a handheld's names the owner.
    for (const RecordRecipient& recipient : message.recipients) {
      if (!recipient.address.empty()) numbers_.insert(recipient.address);
    }
  } else if (kind != FolderKind::Deleted && !message.senderAddress.empty() &&
             !message.recipients.empty()) {
    numbers_.insert(message.senderAddress);
  }
}

bool OwnNumbers::Holds(std::u16string_view number) const {
  return !number.empty() && numbers_.count(std::u16string(number)) > 0;
}

bool OwnNumbers::Received(const MessageRecord& message) const {
  if (message.recipients.empty()) return true;
  if (!numbers_.empty()) {
    if (Holds(message.senderAddress)) return false;
    for (const RecordRecipient& recipient : message.recipients) {
      if (Holds(recipient.address)) return true;
    }
  }
  return false;
}

}  // namespace larkpost
