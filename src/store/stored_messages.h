// Every message of a store as a plain value with its folder path, and where it lies: for the
// runs that compare a store's messages among themselves or with a file (dedupe, the presence
// index of a restore from a phone's file). Runs on the thread that uses the session.
#pragma once

#include <cstdint>
#include <functional>

#include "message/message_record.h"

namespace larkpost {

struct SmsSession;
struct SmsFolder;

// `position` is the message's MessagePosition; `folder` lives as long as the session.
using StoredMessageVisit =
    std::function<bool(const MessageRecord& message, SmsFolder& folder, int64_t position)>;

// Visits the messages of the five standard folders in FolderKind order, each folder before its
// subfolders (depth first). False when `visit` stops the walk or anything could not be read: a
// missing standard folder, a folder or message the store refuses. Then the walk has not seen
// every message, and a caller that removes or skips messages must not act on it.
bool WalkStoredMessages(SmsSession& session, const StoredMessageVisit& visit);
// The same, then the multimedia messages of the same folders in the same order, then the calls
// (whose folder is the call log): everything the store holds.
bool WalkStoredEntries(SmsSession& session, const StoredMessageVisit& visit);

}  // namespace larkpost
