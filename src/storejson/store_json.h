// Export and import of a message store as NDJSON: one message per line, for building stores in
// tests and samples and for looking at what a store holds.
//
// A line is one JSON object (UTF-8, keys in this order):
//   {"folder":["Inbox","Work"],        standard-folder name ("Draft", "Inbox", "Outbox",
//                                       "Sentedbox", "Wastebox"), then subfolder names
//    "flags":1,                         PR_MESSAGE_FLAGS
//    "subject":"See you at 8",          PR_SUBJECT (the message text)
//    "lastModified":133497..,           PR_LAST_MODIFICATION_TIME
//    "deliveryTime":133497..,           PR_MESSAGE_DELIVERY_TIME
//    "messageClass":"IPM.SMStext",      PR_MESSAGE_CLASS
//    "senderEmailAddress":"\"Ann\" <+49151>",  PR_SENDER_EMAIL_ADDRESS
//    "senderName":"Ann",                PR_SENDER_NAME
//    "size":12,                         PR_MESSAGE_SIZE
//    "recipients":[{"name":"Bob","address":"+4930","type":1}]}
//                                       PR_DISPLAY_NAME, PR_EMAIL_ADDRESS, PR_RECIPIENT_TYPE
// Times are 64-bit integers of 100 ns since 1601-01-01 UTC; on load an ISO-8601 UTC text
// ("2024-05-01T12:30:00Z", optionally with up to 7 fraction digits) is accepted as well.
// The values are the store's properties as they are kept, not as a backup interprets them. A
// property the message lacks is left out (and stays missing on load); "recipients" is left out
// when the message has none. Messages come in backup order: standard folders in FolderKind order,
// each folder's messages in table order, then its subfolders depth first. So
// dump -> load into an empty store -> dump gives the same bytes. Empty folders are not written.
//
// Both functions run on the caller's thread and use the session as a backup or restore would;
// they never print. Failures come back as false with a one-line English description.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "store/session.h"

namespace larkpost {

// Writes every message of the store's standard folders and their subfolders, one line each.
// A standard folder the store does not have is skipped; any read failure (a folder, table or
// message that exists but cannot be read), or a failing stream, returns false with `error` set
// (the lines written so far stay written).
// The call log's calls follow, as lines of the folder ["Call Log"] with their folder path
// ("callFolder") and columns ("columns"). Multimedia messages are not written: with
// `multimediaLeftOut` they are counted there, for the caller to say so.
bool DumpStore(SmsSession& session, std::ostream& out, std::string& error,
               uint32_t* multimediaLeftOut = nullptr);

struct LoadOptions {
  bool addPresent = false;  // add a line's message even when the store holds it already
};
struct LoadCounts {
  uint32_t added = 0;
  uint32_t present = 0;  // lines skipped as already in the store
};

// Reads lines as DumpStore writes them (blank lines are skipped) and adds each message, creating
// missing subfolders. The whole input is checked first: a bad line returns false with `error`
// naming its line number ("line 3: ...") and nothing is added to the store.
// A line whose message the store holds already is skipped, as a restore skips a present record:
// same folder, delivery time, text, sender and recipients (identity/identity.h, every field),
// equal lines counted as a multiset against the store as it was before the load. So a rerun of
// a load that was interrupted, killed or not, completes it: each message once.
// Each message comes into sight whole or not at all; messages are committed in groups (a
// fraction of a second of work), so a crash loses at most the last group, and no message half.
// A store failure while adding returns false as well; the messages of earlier lines stay (but
// for the group the store then failed to commit). `counts` says what was done, also on failure.
// Two loads into one store at the same time may both add a message neither found: the command
// takes the store's lock first (jobs/store_access.h).
bool LoadStore(SmsSession& session, std::istream& in, const LoadOptions& options,
               LoadCounts& counts, std::string& error);
// The same with the default options; `loaded` (may be null) receives the number added.
bool LoadStore(SmsSession& session, std::istream& in, std::string& error,
               uint32_t* loaded = nullptr);

}  // namespace larkpost
