// Test helpers of the tests that back up a store and restore into one: a temporary store per
// test, a way to put messages into it and list them again, and the records a walk writes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "backupfile/backup_file.h"
#include "backupfile/backup_test_util.h"
#include "jobs/job_records.h"
#include "jobs/store_backup.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "platform/time/filetime.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"
#include "store/store_test_support.h"
#include "platform/file/byte_sink.h"

namespace larkpost::testing {

// A message to put into a store.
struct StoreMessage {
  struct Recipient {
    std::u16string name;
    std::u16string address;
    int32_t type;
  };
  StoreMessage(std::u16string folderPath, std::u16string text, uint64_t lastModified = 0,
               uint64_t deliveryTime = 0, uint32_t flags = 0, uint32_t size = 0,
               std::u16string senderName = {}, std::u16string senderAddress = {},
               std::vector<Recipient> recipients = {})
      : folderPath(std::move(folderPath)),
        text(std::move(text)),
        lastModified(lastModified),
        deliveryTime(deliveryTime),
        flags(flags),
        size(size),
        senderName(std::move(senderName)),
        senderAddress(std::move(senderAddress)),
        recipients(std::move(recipients)) {}

  std::u16string folderPath;
  std::u16string text;
  uint64_t lastModified;
  uint64_t deliveryTime;
  uint32_t flags;
  uint32_t size;
  std::u16string senderName;
  std::u16string senderAddress;
  std::vector<Recipient> recipients;
};

// Adds a message through the store wrappers, creating its subfolders as needed.
inline void AddMessage(SmsSession& session, const StoreMessage& m) {
  bool isStandard = false;
  std::unique_ptr<SmsFolder> owned;
  SmsFolder* folder = ResolveFolderPath(session, m.folderPath, isStandard, owned);
  ASSERT_NE(folder, nullptr);
  std::unique_ptr<SmsMessage> message = folder->CreateMessage();
  ASSERT_NE(message, nullptr);
  message->text = m.text;
  message->lastModified = UInt64ToFileTime(m.lastModified);
  message->deliveryTime = UInt64ToFileTime(m.deliveryTime);
  message->flags = m.flags;
  message->size = m.size;
  message->senderName = m.senderName;
  message->senderAddress = m.senderAddress;
  if (!m.recipients.empty()) {
    message->recipients = std::make_unique<RecipientList>();
    for (const auto& r : m.recipients) {
      auto recipient = std::make_unique<SmsRecipient>();
      recipient->displayName = r.name;
      recipient->address = r.address;
      recipient->type = r.type;
      message->recipients->push_back(std::move(recipient));
    }
  }
  ASSERT_TRUE(message->Save());
}

// One message as read back from a store, with the path of its folder.
struct ListedMessage {
  std::u16string folderPath;
  std::u16string text;
  uint64_t lastModified;
  uint64_t deliveryTime;
  uint32_t flags;
  uint32_t size;
  std::u16string sender;  // "\"name\" <address>"
  std::u16string recipients;  // "name|address|type" entries joined by ";"

  bool operator==(const ListedMessage&) const = default;
};

inline void PrintTo(const ListedMessage& m, std::ostream* os) {
  *os << "{" << WideToUtf8(m.folderPath) << " | " << WideToUtf8(m.text) << " | "
      << m.deliveryTime << " | " << WideToUtf8(m.sender) << " | " << WideToUtf8(m.recipients)
      << "}";
}

inline void ListFolder(SmsFolder& folder, const std::u16string& path,
                       std::vector<ListedMessage>& out) {
  MessageCursor* cursor = folder.Cursor(10);
  ASSERT_NE(cursor, nullptr);
  ASSERT_TRUE(cursor->Rewind());
  while (cursor->Next()) {
    SmsMessage& m = *cursor->current;
    ListedMessage listed{path, m.text, FileTimeToUInt64(m.lastModified),
                         FileTimeToUInt64(m.deliveryTime), m.flags, m.size, m.SenderText(), u""};
    RecipientList* recipients = m.Recipients();
    ASSERT_NE(recipients, nullptr);
    for (const auto& r : *recipients) {
      if (!listed.recipients.empty()) listed.recipients += u";";
      const std::string type = std::to_string(r->type);
      listed.recipients += r->displayName + u"|" + r->address + u"|" +
                           std::u16string(type.begin(), type.end());
    }
    out.push_back(std::move(listed));
  }
  auto* subfolders = folder.Subfolders();
  ASSERT_NE(subfolders, nullptr);
  for (const auto& sub : *subfolders) ListFolder(*sub, path + u"\\" + sub->displayName, out);
}

// The sample record's message as ListStore lists it.
inline ListedMessage SampleListed() {
  return {u"Inbox\\Work", u"See you at 8", kMay1Later, kMay1, 1, 42,
          u"\"Ann\" <+4915112345678>", u"Bob|+4930123|1;Eve|+4940456|2"};
}

// The records of the job's selected folders in the job's format, written without the container,
// as a text export writes them (and a backup between its header and its digest).
inline std::string WriteSelected(TempStore& store, BackupJob& job) {
  const std::u16string path = store.File("records.out");
  {
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink sink(file);
    EXPECT_TRUE(WriteStoreBackup(job, sink));
    file.Close();
  }
  const std::string bytes = ReadBytes(path);
  constexpr size_t kBackupHeaderBytes = 20;
  return job.format == FileKindForPath(u".bak") ? bytes.substr(kBackupHeaderBytes) : bytes;
}

// Restores a backup file into the current store the way a restore run does: validate, then read
// the counted records. "" on success, "File Validation Failed.", or "No.<n>, <the record's
// error>" for the first record that fails.
inline std::u16string RestoreBytes(TempStore& store, const std::string& bytes) {
  const std::u16string path = store.File("restore.bak");
  WriteBytes(path, bytes);
  RestoreJob job(path);
  EXPECT_EQ(job.session.initialized, 1);
  CFile file(path, CFile::modeRead | CFile::shareDenyNone);
  BackupRecords records(file);
  if (!records.valid()) return u"File Validation Failed.";
  MessageRecord message;
  while (!records.AtEnd()) {
    std::u16string error;
    if (!records.Next(message, error) || !job.Take(message, error)) {
      return RecordErrorText(records.number(), error);
    }
  }
  return u"";
}

// Every message of the store in backup order, read through a fresh session.
inline std::vector<ListedMessage> ListStore() {
  SmsSession session(u"SMS");
  std::vector<ListedMessage> out;
  EXPECT_EQ(session.initialized, 1);
  for (int i = 0; i < kFolderKindCount; ++i) {
    const auto kind = static_cast<FolderKind>(i);
    SmsFolder* folder = session.StandardFolder(kind);
    if (folder != nullptr) ListFolder(*folder, FolderKindName(kind), out);
  }
  return out;
}

}  // namespace larkpost::testing
