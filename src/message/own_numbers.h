// The numbers of the owner of a store or a file, as its messages show them: the recipients of
// received messages (Inbox) and the senders of the others (Sent Items, Outbox, Drafts).
//
// Deleted Items keeps messages of both directions, and a handheld's message names both sides:
// a received one its sender and the owner as recipient, a sent one the owner as sender and its
// recipients. Knowing the owner, a deleted message tells its direction: sent when its sender is
// the owner, received when one of its recipients is. Without that knowledge (nothing learned
// yet, or the message names no owner) it is received when it has no recipients, else sent: the
// rule of a message that names one side only, as a phone's file gives it.
//
// The writers of phone files and the identity rule learn the owner from the same messages in
// the same order (a store or a backup file walks Deleted Items last), so both take a deleted
// message the same way.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

#include "message/message_record.h"

namespace larkpost {

class OwnNumbers {
 public:
  // Takes in what the message shows of the owner (nothing for a deleted one).
  void Learn(const MessageRecord& message);
  // For a message of Deleted Items (or any other): whether it was received, as above.
  bool Received(const MessageRecord& message) const;

 private:
  bool Holds(std::u16string_view number) const;
  std::unordered_set<std::u16string> numbers_;
};

}  // namespace larkpost
