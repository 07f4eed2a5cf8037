#include "store/restore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/session.h"
#include "storejson/store_json.h"
#include "store/store_test_support.h"

namespace larkpost {
namespace {

using testing::TempStore;

MessageRecord Record(std::u16string folder, uint32_t time, std::u16string text) {
  MessageRecord record;
  record.folderPath = std::move(folder);
  record.deliveryTime = FILETIME{time, time == 0 ? 0u : 30000000u};
  record.text = std::move(text);
  record.senderName = u"Ann";
  record.senderAddress = u"+49151";
  record.recipients = {{u"Bob", u"+4930", 1}};
  return record;
}

std::vector<MessageRecord> Sample() {
  return {Record(u"Inbox", 1, u"OK"),         Record(u"Inbox", 1, u"OK"),
          Record(u"Inbox\\A\\B", 2, u"deep"), Record(u"Draft", 0, u"draft"),
          Record(u"inbox\\ A ", 3, u"trim")};
}

RestoreCounts RestoreAll(const std::vector<MessageRecord>& records, bool dryRun = false) {
  SmsSession session(u"SMS");
  RecordRestorer restorer(session, dryRun);
  std::u16string error;
  for (const MessageRecord& record : records) EXPECT_TRUE(restorer.Restore(record, error));
  EXPECT_TRUE(restorer.Commit(error));
  return restorer.counts();
}

std::string Dump() {
  SmsSession session(u"SMS");
  std::ostringstream out;
  std::string error;
  EXPECT_TRUE(DumpStore(session, out, error)) << error;
  return out.str();
}

TEST(RecordRestorer, DryRunCountsWhatARestoreDoesAndChangesNothing) {
  TempStore store;
  const std::string empty = Dump();
  const RestoreCounts planned = RestoreAll(Sample(), true);
  EXPECT_EQ(Dump(), empty);
  EXPECT_EQ(planned.restored, 5u);
  EXPECT_EQ(planned.present, 0u);
  EXPECT_EQ(planned.foldersCreated, 2u);  // Inbox\A and Inbox\A\B

  const RestoreCounts done = RestoreAll(Sample());
  EXPECT_EQ(done.restored, planned.restored);
  EXPECT_EQ(done.foldersCreated, planned.foldersCreated);

  const RestoreCounts again = RestoreAll(Sample(), true);
  EXPECT_EQ(again.restored, 0u);
  EXPECT_EQ(again.present, 5u);
  EXPECT_EQ(again.foldersCreated, 0u);
  const std::string once = Dump();
  RestoreAll(Sample());
  EXPECT_EQ(Dump(), once);
}

// A message the store keeps without any delivery time is a draft of time zero to a backup: the
// record taken from it is recognised.
TEST(RecordRestorer, MessageWithoutDeliveryTimeIsRecognised) {
  TempStore store;
  {
    SmsSession session(u"SMS");
    testing::AddRawMessage(*session.StandardFolder(FolderKind::Draft),
                           {testing::Text(PR_SUBJECT, u"draft"),
                            testing::Text(PR_SENDER_EMAIL_ADDRESS, u"\"Ann\" <+49151>")},
                           {{testing::Text(PR_EMAIL_ADDRESS, u"+4930"),
                             testing::Text(PR_DISPLAY_NAME, u"Bob"),
                             testing::Long(PR_RECIPIENT_TYPE, 1)}});
  }
  const RestoreCounts counts = RestoreAll({Record(u"Draft", 0, u"draft"), Record(u"Draft", 0, u"draft")});
  EXPECT_EQ(counts.present, 1u);
  EXPECT_EQ(counts.restored, 1u);
}

// A number written another way still finds its message, and the report tells how many needed
// that. Of equal messages, the one written alike is taken first: restoring both forms of a
// message the store holds in both counts one match by number format, whatever the order. Both
// ways of reading a folder are covered: along the time index, and time by time (time zero).
TEST(RecordRestorer, MatchesThroughTheNumbersFormatAreCounted) {
  for (uint32_t time : {1u, 0u}) {
    SCOPED_TRACE(time);
    TempStore store;
    MessageRecord plain = Record(u"Inbox", time, u"OK");
    MessageRecord spaced = plain;
    spaced.senderAddress = u"+49 151";
    RestoreAll({plain, spaced});
    for (const auto& order : {std::vector{spaced, plain}, std::vector{plain, spaced}}) {
      const RestoreCounts counts = RestoreAll(order);
      EXPECT_EQ(counts.present, 2u);
      EXPECT_EQ(counts.byNumberFormat, 0u);
    }
    // The second "+49 151" can only have the one written "+49151"; "+49151" then finds none.
    const RestoreCounts counts = RestoreAll({spaced, spaced, plain});
    EXPECT_EQ(counts.present, 2u);
    EXPECT_EQ(counts.byNumberFormat, 1u);
    EXPECT_EQ(counts.restored, 1u);
  }
}

// When the folder's messages cannot be read, whether the record is present is unknown: the
// record is refused rather than guessed at (a guess duplicates or loses a message). Messages with
// a time are read ahead along the time index, those without one time by time.
TEST(RecordRestorer, RecordIsRefusedWhenItsFolderCannotBeRead) {
  TempStore store;
  RestoreAll({Record(u"Inbox", 1, u"OK"), Record(u"Inbox", 0, u"OK")});
  const std::string before = Dump();
  for (const auto& [reader, time] : {std::pair{"ReadMessagesFrom", 1}, {"ReadMessagesAt", 0}}) {
    SCOPED_TRACE(reader);
    SmsSession session(u"SMS");
    RecordRestorer restorer(session);
    std::u16string error;
    mapi::AddFault(reader, 1, MAPI_E_CALL_FAILED);
    EXPECT_FALSE(restorer.Restore(Record(u"Inbox", time, u"OK"), error));
    mapi::ClearFaults();
    EXPECT_EQ(error, u"Save sms error!");
    EXPECT_TRUE(restorer.Restore(Record(u"Inbox", time, u"OK"), error));
    EXPECT_EQ(restorer.counts().present, 1u);
    EXPECT_EQ(restorer.counts().restored, 0u);
  }
  EXPECT_EQ(Dump(), before);
}

// Presence is read ahead along a folder's times while the records follow them, and time by time
// when they do not. In any order of the records a file restored again adds nothing, and equal
// records count as a multiset across every stretch read ahead and every transaction.
TEST(RecordRestorer, PresenceHoldsWhateverTheOrderOfTheRecords) {
  TempStore store;
  std::vector<MessageRecord> records;
  for (uint32_t i = 0; i < 700; ++i) {
    // Two records per time; in every fifth pair they are equal.
    const std::string text = (i / 2) % 5 == 0 ? "same" : "text " + std::to_string(i);
    records.push_back(Record(u"Inbox", 1 + i / 2, std::u16string(text.begin(), text.end())));
  }
  EXPECT_EQ(RestoreAll(records).restored, 700u);
  const std::string once = Dump();

  std::vector<MessageRecord> reversed(records.rbegin(), records.rend());
  std::vector<MessageRecord> shuffled = records;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  for (const auto* order : {&records, &reversed, &shuffled}) {
    const RestoreCounts again = RestoreAll(*order);
    EXPECT_EQ(again.present, 700u);
    EXPECT_EQ(again.restored, 0u);
  }
  EXPECT_EQ(Dump(), once);

  std::vector<MessageRecord> twice = shuffled;
  twice.insert(twice.end(), records.begin(), records.end());
  EXPECT_EQ(RestoreAll(twice).restored, 700u);
  EXPECT_EQ(RestoreAll(twice).restored, 0u);
}

// The presence check and the insert it decides on are one step: restores running at once, each
// with its own connection to the store, leave every message exactly once.
TEST(RecordRestorer, RestoresAtOnceLeaveEachMessageOnce) {
  TempStore store;
  std::vector<MessageRecord> records;
  for (uint32_t i = 0; i < 300; ++i) {
    records.push_back(Record(i % 3 == 0 ? u"Inbox" : u"Inbox\\Busy", 1000 + i / 2,
                             i % 5 == 0 ? u"same" : u"text " + std::u16string(1, u'a' + i % 26)));
  }
  std::vector<std::thread> runs;
  for (int run = 0; run < 3; ++run) runs.emplace_back([&records] { RestoreAll(records); });
  for (std::thread& run : runs) run.join();
  const std::string together = Dump();

  TempStore alone;
  RestoreAll(records);
  EXPECT_EQ(together, Dump());
}

// A store whose folder tree is far deeper than any stack (made before paths were bounded) is
// still counted, dumped and let go of without recursion.
TEST(RecordRestorer, DeepFolderTreesAreWalkedWithoutRecursion) {
  TempStore store;
  constexpr int kDepth = 50000;
  {
    SmsSession session(u"SMS");
    ASSERT_EQ(mapi::BeginStoreTransaction(session.store.get()), S_OK);
    MapiPtr<IMAPIFolder> current(session.StandardFolder(FolderKind::Inbox)->folder.get());
    current->AddRef();
    for (int level = 0; level < kDepth; ++level) {
      IMAPIFolder* child = nullptr;
      ASSERT_EQ(current->CreateFolder(0, u"d", nullptr, nullptr, MAPI_UNICODE, &child), S_OK);
      current.reset(child);
    }
    ASSERT_EQ(mapi::CommitStoreTransaction(session.store.get()), S_OK);
  }
  SmsSession session(u"SMS");
  EXPECT_EQ(CountMessages(*session.StandardFolder(FolderKind::Inbox)), 0u);
  size_t deepest = 0;
  WalkFolderTree(*session.StandardFolder(FolderKind::Inbox), [&deepest](SmsFolder&, size_t depth) {
    deepest = std::max(deepest, depth);
    return true;
  });
  EXPECT_EQ(deepest, static_cast<size_t>(kDepth));
  std::ostringstream out;
  std::string error;
  EXPECT_TRUE(DumpStore(session, out, error)) << error;
}

// Keys are compared whole after their hashes match: with a hash that makes every key collide,
// two distinct messages are both restored, and a second run finds each of them present.
TEST(RecordRestorer, DistinctMessagesWhoseKeysShareAHashAreBothRestored) {
  TempStore store;
  const std::vector<MessageRecord> records = {
      Record(u"Inbox", 5, u"first"), Record(u"Inbox", 5, u"second"), Record(u"Draft", 0, u"a"),
      Record(u"Draft", 0, u"b")};
  for (uint32_t expectedRestored : {4u, 0u}) {
    SmsSession session(u"SMS");
    RecordRestorer restorer(session);
    restorer.SetKeyHash([](std::string_view) { return uint64_t{42}; });
    std::u16string error;
    for (const MessageRecord& record : records) ASSERT_TRUE(restorer.Restore(record, error));
    ASSERT_TRUE(restorer.Commit(error));
    EXPECT_EQ(restorer.counts().restored, expectedRestored);
    EXPECT_EQ(restorer.counts().present, 4u - expectedRestored);
  }
  const std::string dump = Dump();
  for (const char* text : {"\"first\"", "\"second\"", "\"a\"", "\"b\""}) {
    EXPECT_NE(dump.find(text), std::string::npos) << text;
  }
}

// Many messages of one folder at one delivery time, across many transactions: each is restored
// once, a rerun finds every one present, and the time's messages are not read again whole for
// every transaction (they were, which made such a restore slow down with every message). Keys
// hashed count the records looked up (three keys each at most: as written, without parties,
// normalised) and the messages read (two each): reading the time again for each of the six
// transactions would more than double them.
uint64_t keysHashed = 0;

TEST(RecordRestorer, ManyMessagesAtOneTimeAreNotReadAgainForEveryTransaction) {
  TempStore store;
  constexpr uint32_t kMessages = 5 * RecordRestorer::kGroupMessages + 17;
  std::vector<MessageRecord> records;
  for (uint32_t i = 0; i < kMessages; ++i) {
    records.push_back(Record(u"Inbox", 9, u"m" + Utf8ToWide(std::to_string(i % 1500))));
  }
  {
    SmsSession session(u"SMS");
    RecordRestorer restorer(session);
    restorer.SetKeyHash([](std::string_view key) {
      ++keysHashed;
      return RecordRestorer::DefaultKeyHash(key);
    });
    std::u16string error;
    for (const MessageRecord& record : records) ASSERT_TRUE(restorer.Restore(record, error));
    ASSERT_TRUE(restorer.Commit(error));
    EXPECT_EQ(restorer.counts().restored, kMessages);
  }
  EXPECT_LT(keysHashed, 4u * kMessages);
  const RestoreCounts again = RestoreAll(records);
  EXPECT_EQ(again.restored, 0u);
  EXPECT_EQ(again.present, kMessages);
}

// What a restore of a phone's file leaves of a record in the store: the bare standard folder, no
// own number (the recipients of a received message, the sender of any other), the time cut to
// the millisecond.
MessageRecord PhoneCopy(MessageRecord record) {
  record.folderPath = record.folderPath.substr(0, record.folderPath.find(u'\\'));
  if (record.folderPath == u"Inbox") {
    record.recipients.clear();
  } else {
    record.senderName.clear();
    record.senderAddress.clear();
  }
  const uint64_t time = FileTimeToUInt64(record.deliveryTime);
  record.deliveryTime = UInt64ToFileTime(time - time % 10000);
  return record;
}

// A record at `ticks` past a whole millisecond, in a subfolder, with the own number.
MessageRecord FineRecord(uint32_t millisecond, uint32_t ticks, std::u16string text) {
  return Record(u"Inbox\\Family", millisecond * 10000 + ticks, std::move(text));
}

// A backup file restored into a store filled from a phone's file finds each record's poorer copy
// in its standard folder, whatever the order of the records, across windows read ahead, a
// millisecond many copies share, and time zero; the numbers as a phone writes them count as
// found by number format. Equal records take one copy each.
TEST(RecordRestorer, RecordsFindTheirPhoneCopies) {
  TempStore store;
  std::vector<MessageRecord> records;
  for (uint32_t i = 0; i < 600; ++i) {
    // 300 of them in one millisecond, where two by two (and the "same" ones) have equal copies.
    const uint32_t millisecond = i < 300 ? 5 : 6 + i;
    const std::string text = i % 7 == 0 ? "same" : "text " + std::to_string(i / 2 * 2);
    records.push_back(
        FineRecord(millisecond, 1 + i % 9000, std::u16string(text.begin(), text.end())));
  }
  records.push_back(Record(u"Draft\\Old", 0, u"no time"));
  MessageRecord spaced = FineRecord(2, 77, u"spaced");
  records.push_back(spaced);
  std::vector<MessageRecord> copies;
  for (const MessageRecord& record : records) copies.push_back(PhoneCopy(record));
  copies.back().senderAddress = u"+49 151";
  RestoreAll(copies);
  const std::string filled = Dump();

  std::vector<MessageRecord> reversed(records.rbegin(), records.rend());
  std::vector<MessageRecord> shuffled = records;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(11));
  for (const auto* order : {&records, &reversed, &shuffled}) {
    for (bool dryRun : {true, false}) {
      const RestoreCounts counts = RestoreAll(*order, dryRun);
      EXPECT_EQ(counts.restored, 0u);
      EXPECT_EQ(counts.present, records.size());
      EXPECT_EQ(counts.byNumberFormat, 1u);
    }
  }
  EXPECT_EQ(Dump(), filled);
}

// Only a message that holds no more than a phone's file is a phone copy. Two records equal but
// for their subfolder, with the store holding one of them, give one restored in either order:
// the other's message holds its subfolder and is never taken for a copy of the first. Nor are a
// message of the bare folder with an own number, or with a time finer than the millisecond.
TEST(RecordRestorer, MessagesHoldingMoreThanAPhoneFileAreNoPhoneCopies) {
  const MessageRecord inA = Record(u"Inbox\\A", 20000, u"OK");
  MessageRecord inB = inA;
  inB.folderPath = u"Inbox\\B";
  for (const auto& order : {std::vector{inA, inB}, std::vector{inB, inA}}) {
    TempStore store;
    RestoreAll({inA});
    const RestoreCounts counts = RestoreAll(order);
    EXPECT_EQ(counts.restored, 1u);
    EXPECT_EQ(counts.present, 1u);
    EXPECT_EQ(RestoreAll(order).present, 2u);
  }

  TempStore store;
  MessageRecord withOwnNumber = Record(u"Inbox", 30000, u"OK");
  MessageRecord fineTime = PhoneCopy(Record(u"Inbox", 40000, u"OK"));
  fineTime.deliveryTime = UInt64ToFileTime(FileTimeToUInt64(fineTime.deliveryTime) + 1);
  RestoreAll({withOwnNumber, fineTime});
  MessageRecord sameMillisecond = Record(u"Inbox", 40000, u"OK");
  sameMillisecond.recipients.clear();
  const RestoreCounts counts =
      RestoreAll({FineRecord(3, 5, u"OK"), FineRecord(4, 0, u"OK"), sameMillisecond});
  EXPECT_EQ(counts.restored, 3u);
  EXPECT_EQ(counts.present, 0u);
}

}  // namespace
}  // namespace larkpost
