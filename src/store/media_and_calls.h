// What the store keeps beside its SMS: multimedia messages and the phone's call log, in the
// messaging layer's own terms.
//
// A multimedia message is a message of class "IPM.MMS" in the folder its box names, listed apart
// from the folder's SMS (CONTENTS_MULTIMEDIA), so that whatever reads a folder's SMS, a backup
// file above all, sees exactly what it always saw. It holds the fields an SMS holds (times,
// flags, text, sender, recipients as its to/cc/bcc parties) and:
//
//   PR_LARKPOST_PARTIES   every address with its role, charset and other columns, and the
//                         message's columns without a field of their own (m_type, sub, ...)
//   PR_LARKPOST_COLUMNS   the phone file's further columns of the entry (record.phoneColumns;
//                         an SMS keeps them too, read with its fields by SmsMessage::Load)
//   attachments           one per part, in order: PR_ATTACH_MIME_TAG (ct), PR_DISPLAY_NAME
//                         (name), PR_ATTACH_LONG_FILENAME (fn), PR_ATTACH_CONTENT_ID (cid),
//                         PR_ATTACH_CONTENT_LOCATION (cl), PR_LARKPOST_PART (seq, chset, cd,
//                         text, other columns) and the bytes as PR_ATTACH_DATA_BIN, streamed
//
// A column that is null has no property (or a null mark inside the binary ones), so every
// column comes back as the file had it.
//
// A call is a message of class "IPM.Call" in the call log, a folder beside the standard ones
// (PR_CE_CALL_LOG_ENTRYID), with the fields message_record.h gives a call, its folder path
// ("Inbox" or "Sentedbox") as PR_LARKPOST_FOLDER and its columns as PR_LARKPOST_COLUMNS.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "message/message_record.h"
#include "platform/mapi/mapi.h"

namespace larkpost {

// The store's own properties (ids in the range a provider leaves to its applications).
constexpr ULONG PR_LARKPOST_PARTIES = PROP_TAG(PT_BINARY, 0x8110);
constexpr ULONG PR_LARKPOST_COLUMNS = PROP_TAG(PT_BINARY, 0x8111);
constexpr ULONG PR_LARKPOST_FOLDER = PROP_TAG(PT_UNICODE, 0x8112);
constexpr ULONG PR_LARKPOST_PART = PROP_TAG(PT_BINARY, 0x8113);
// The call log's display name, as the store lays it out and the dump names it.
inline constexpr char16_t kCallLogFolderName[] = u"Call Log";

// Named columns as PR_LARKPOST_COLUMNS holds them; false for bytes that are not such a list.
std::string EncodeColumns(const Columns& columns);
bool DecodeColumns(std::string_view bytes, Columns& columns);

struct SmsFolder;
struct SmsMessage;
struct SmsSession;

// Whether the record is kept as a multimedia message or a call rather than an SMS.
inline bool IsMediaOrCall(const MessageRecord& record) {
  return static_cast<bool>(record.multimedia) || record.kind == EntryKind::kCall;
}

// The class a record is stored under: "IPM.MMS", "IPM.Call", or its own.
std::u16string StoredClassOf(const MessageRecord& record);

// Writes what a multimedia message or a call holds beyond an SMS's fields into a new message
// (after SmsMessage::Save, inside the same store transaction). False with the store's answer in
// `failure`; a part's bytes that cannot be read throw as PartBytes does.
bool SaveMediaAndColumns(IMessage& message, const MessageRecord& record, HRESULT* failure);

// Visits the multimedia messages of `folder` itself (not its subfolders) in the order they were
// stored, each as a record whose parts read their bytes from the store while the session lives,
// with its position (mapi::MessagePosition). What cannot be read is left out and counted in the
// session's unreadableFolders and unreadableMessages, as a walk of SMS counts it. False when
// `visit` stops.
using StoredEntryVisit = std::function<bool(MessageRecord& record, int64_t position)>;
bool ForEachMultimedia(SmsFolder& folder, const StoredEntryVisit& visit);
// The same for the calls of the call log (none in a store without one).
bool ForEachCall(SmsSession& session, const StoredEntryVisit& visit);

// How many multimedia messages `folder` and (unless told otherwise) its subfolders hold, and how
// many calls the store holds; 0 for what cannot be read.
uint32_t CountMultimedia(SmsFolder& folder, bool withSubfolders = true);
uint32_t CountCalls(SmsSession& session);

}  // namespace larkpost
