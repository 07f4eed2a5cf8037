// The message store as a source of messages, as every backup reads it: the standard folders the
// selection takes (with their multimedia messages, and the call log, for a target that keeps
// them) (a standard folder the store lacks is left out), in the order Drafts, Inbox,
// Outbox, Sent, Deleted; in each, a folder's own messages, then its subfolders depth first.
//
// What cannot be copied faithfully is left out and counted in the session: folders the store
// cannot open, list or read, folders deeper than a record's folder path may be (a record of them
// would be refused by every reader), and messages whose text no reader takes back
// (session.unreadableFolders, session.unreadableMessages).
#pragma once

#include <functional>

#include "message/message_record.h"
#include "message/selection.h"

#include <cstdint>

namespace larkpost {

struct SmsSession;

// Calls `each` with every message the selection takes, as a message value (which `each` may
// take the contents of), and `leftOut` for every other one. False when the walk fails (a message whose recipients cannot be read would
// lose them silently) or `each` does.
//
// `holds` says what the target keeps: multimedia messages come after each folder's SMS, calls
// after every folder; what it does not keep is not handed out but counted in `notHeld` (SMS as
// messages). By default SMS only, as a backup file keeps them.
struct TargetHolds {
  bool messages = true;
  bool multimedia = false;
  bool calls = false;
};
struct NotHeld {
  uint64_t messages = 0;
  uint64_t multimedia = 0;
  uint64_t calls = 0;
};
bool WalkStore(SmsSession& session, const Selection& selection,
               const std::function<void()>& leftOut,
               const std::function<bool(MessageRecord&)>& each,
               const TargetHolds& holds = {}, NotHeld* notHeld = nullptr);

}  // namespace larkpost
