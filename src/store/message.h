// SmsMessage and SmsRecipient: one message of the store with the properties a backup record
// carries, and one of its recipients.
//
// A message is owned by the cursor batch that opened it or by the restore step that created it;
// it is made, read and destroyed on the thread that runs the backup or restore.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "message/message_record.h"
#include "platform/mapi/mapi.h"
#include "platform/mapi/mapi_ptr.h"
#include "store/entry_id.h"

namespace larkpost {

struct SmsFolder;

struct SmsRecipient {
  std::u16string address;      // PR_EMAIL_ADDRESS
  std::u16string displayName;  // PR_DISPLAY_NAME
  int32_t type = MAPI_TO;      // PR_RECIPIENT_TYPE
};

using RecipientList = std::vector<std::unique_ptr<SmsRecipient>>;

struct SmsMessage {
  MapiPtr<IMessage> message;
  std::u16string text;             // PR_SUBJECT
  uint32_t flags = 0;              // PR_MESSAGE_FLAGS
  FILETIME lastModified{0, 0};     // PR_LAST_MODIFICATION_TIME
  FILETIME deliveryTime{0, 0};     // PR_MESSAGE_DELIVERY_TIME
  std::unique_ptr<RecipientList> recipients;  // null until Recipients() is first called
  EntryId entryId;                 // PR_ENTRYID
  std::u16string messageClass = u"IPM.SMStext";
  SmsFolder* folder = nullptr;     // not owned
  std::u16string senderName;       // from PR_SENDER_EMAIL_ADDRESS or PR_SENDER_NAME
  std::u16string senderAddress;    // from PR_SENDER_EMAIL_ADDRESS
  uint32_t size = 0;               // PR_MESSAGE_SIZE
  Columns phoneColumns;            // PR_LARKPOST_COLUMNS: a phone file's further columns
  bool loaded = false;             // the last Load() could read the properties

  // Takes ownership of `openMessage` and reads its properties at once (Load).
  SmsMessage(SmsFolder* folder, IMessage* openMessage);
  ~SmsMessage();
  SmsMessage(const SmsMessage&) = delete;
  SmsMessage& operator=(const SmsMessage&) = delete;

  // The properties Load reads.
  static const SPropTagArray& PropTags();
  // Reads the properties; the values the store returned are taken even when some are missing.
  bool Load();
  // Takes the properties of PropTags() from values already read (a contents-table row), as
  // Load does; values of other tags and missing ones (PT_ERROR) are skipped.
  void TakeProps(const SPropValue* values, ULONG count);
  // The recipient list, read on first call and kept; null when the recipient table cannot be
  // opened or read to its end (the next call asks again). A message without recipients gets an
  // empty list. A row without a type is MAPI_TO.
  RecipientList* Recipients();
  // "\"name\" <address>"
  std::u16string SenderText() const;
  // Writes the values (the sender as SenderText() and its name as PR_SENDER_NAME) and adds
  // the recipients (when Recipients() was called or the list was set); false when the store
  // refuses either, with its answer in `failure` (may be null): MAPI_E_NOT_ENOUGH_DISK for a
  // full disk.
  bool Save(HRESULT* failure = nullptr);
};

// A recipient from a row of a recipient table; a row without a type is MAPI_TO.
std::unique_ptr<SmsRecipient> RecipientFromRow(const SRow& row);

// The store's own forms of the address splitter (backupfile/address.h). ParseSenderText sets
// the message's senderName and senderAddress, or returns false and changes nothing.
bool ParseSenderText(SmsMessage& message, std::u16string_view text);
// A new recipient from one recipient entry, or null when the entry is not of the form.
std::unique_ptr<SmsRecipient> ParseRecipientText(std::u16string_view text);

// The folder path a record names the folder by: the display names from the standard folder
// down to `folder`, joined by backslashes (the standard folder's wrapper carries its file name).
std::u16string FolderPathOf(const SmsFolder& folder);

// The message as a backup record holds it. False when it has no folder or its recipients
// cannot be read.
bool RecordFromMessage(SmsMessage& message, MessageRecord& record);

}  // namespace larkpost
