#include "formats/phone_entry.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

MessageRecord InFolder(const std::u16string& folder, std::vector<RecordRecipient> recipients) {
  MessageRecord record;
  record.folderPath = folder;
  record.deliveryTime = PhoneDateToFileTime(1704103626123);
  record.senderAddress = u"+49151";
  record.recipients = std::move(recipients);
  record.text = u"x";
  return record;
}

TEST(PhoneEntry, FolderRootsMapToTypesAndDeletedFollowsTheChoice) {
  const std::vector<RecordRecipient> one = {{u"Bob", u"+111", 1}};
  EXPECT_EQ(PhoneTypeOf(InFolder(u"inbox\\Work", {}), DeletedAs::kByDirection), kPhoneReceived);
  EXPECT_EQ(PhoneTypeOf(InFolder(u"Sentedbox", one), DeletedAs::kByDirection), kPhoneSent);
  EXPECT_EQ(PhoneTypeOf(InFolder(u"Draft", one), DeletedAs::kByDirection), kPhoneDraft);
  EXPECT_EQ(PhoneTypeOf(InFolder(u"OUTBOX", one), DeletedAs::kByDirection), kPhoneOutbox);
  EXPECT_EQ(PhoneTypeOf(InFolder(u"Wastebox", one), DeletedAs::kByDirection), kPhoneSent);
  EXPECT_EQ(PhoneTypeOf(InFolder(u"Wastebox\\Old", {}), DeletedAs::kByDirection), kPhoneReceived);
  EXPECT_EQ(PhoneTypeOf(InFolder(u"Wastebox", one), DeletedAs::kReceived), kPhoneReceived);
  EXPECT_EQ(PhoneTypeOf(InFolder(u"Wastebox", {}), DeletedAs::kSent), kPhoneSent);

  std::vector<PhoneEntry> entries;
  std::string error;
  EXPECT_FALSE(EntriesOf(InFolder(u"Archive\\Inbox", {}), DeletedAs::kByDirection, entries, error));
  EXPECT_EQ(error, "its folder is not below a standard folder");
}

// A handheld's received message names the owner as its recipient: in Deleted Items it is told
// from a sent one by the owner the other folders show, and goes to the phone from its sender.
TEST(PhoneEntry, ADeletedMessageGoesByWhoTheOwnerIs) {
  const RecordRecipient owner{u"Me", u"+4915112340000", 1};
  MessageRecord received = InFolder(u"Inbox", {owner});
  MessageRecord sent = InFolder(u"Sentedbox", {{u"", u"+111", 1}});
  sent.senderAddress = owner.address;
  MessageRecord deletedReceived = InFolder(u"Wastebox", {owner});
  deletedReceived.senderAddress = u"+4915900000";
  MessageRecord deletedSent = InFolder(u"Wastebox", {{u"", u"+222", 1}});
  deletedSent.senderAddress = owner.address;
  OwnNumbers own;
  EXPECT_EQ(PhoneTypeOf(deletedReceived, DeletedAs::kByDirection, own), kPhoneSent);  // unknown yet
  for (const MessageRecord* learned : {&received, &sent, &deletedReceived}) own.Learn(*learned);
  std::vector<PhoneEntry> entries;
  std::string error;
  ASSERT_TRUE(EntriesOf(deletedReceived, DeletedAs::kByDirection, entries, error, own));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].type, kPhoneReceived);
  EXPECT_EQ(entries[0].address, u"+4915900000");
  ASSERT_TRUE(EntriesOf(deletedSent, DeletedAs::kByDirection, entries, error, own));
  EXPECT_EQ(entries[0].type, kPhoneSent);
  EXPECT_EQ(entries[0].address, u"+222");
  EXPECT_EQ(PhoneTypeOf(InFolder(u"Wastebox", {}), DeletedAs::kByDirection, own), kPhoneReceived);
}

TEST(PhoneEntry, AMessageToSeveralBecomesOneEntryEachAndJoinsAgain) {
  const MessageRecord sent =
      InFolder(u"Sentedbox", {{u"Bob", u"+111", 1}, {u"", u"+222", 1}, {u"Cy", u"+333", 1}});
  std::vector<PhoneEntry> entries;
  std::string error;
  ASSERT_TRUE(EntriesOf(sent, DeletedAs::kByDirection, entries, error));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].address, u"+333");
  EXPECT_EQ(entries[2].contactName, u"Cy");
  EXPECT_EQ(entries[1].date, 1704103626123);
  EXPECT_EQ(entries[1].type, kPhoneSent);

  // As a phone file holds them: without the whole message beside the columns. Of one time,
  // text and type, they are still three messages, unless the app's grouping marks them as one.
  EntryJoiner joiner;
  MessageRecord done;
  for (PhoneEntry& entry : entries) {
    entry.whole.reset();
    entry.part = 0;
    EXPECT_EQ(joiner.Add(entry, done), &entry != &entries.front());
  }
  ASSERT_TRUE(joiner.Finish(done));
  for (PhoneEntry& entry : entries) {
    entry.columns = {{"date_sent", u"0"}, {"thread_id", u"7"}};
    EXPECT_FALSE(joiner.Add(entry, done));
  }
  ASSERT_TRUE(joiner.Finish(done));
  ASSERT_EQ(done.recipients.size(), 3u);
  EXPECT_EQ(done.recipients[1].address, u"+222");
  EXPECT_EQ(done.folderPath, u"Sentedbox");
  EXPECT_EQ(FileTimeToPhoneDate(done.deliveryTime), 1704103626123);
  EXPECT_EQ(done.phoneColumns, entries[0].columns);
  EXPECT_FALSE(joiner.Finish(done));

  // Two equal messages to one party (a draft saved twice) are two messages, not one to the
  // same party twice: the entry of a party the message already has begins the next message.
  for (int i = 0; i < 2; ++i) {
    PhoneEntry again = entries[0];
    again.whole.reset();
    EXPECT_EQ(joiner.Add(again, done), i == 1);
  }
  ASSERT_TRUE(joiner.Finish(done));
  EXPECT_EQ(done.recipients.size(), 1u);
}

TEST(PhoneEntry, DatesAreMillisecondsAndZeroStaysZero) {
  EXPECT_EQ(FileTimeToPhoneDate(FILETIME{0, 0}), 0);
  EXPECT_EQ(FileTimeToUInt64(PhoneDateToFileTime(0)), 0u);
  // 1970-01-01 plus 1 ms, and the last representable date.
  EXPECT_EQ(FileTimeToUInt64(PhoneDateToFileTime(1)), 116444736000010000ULL);
  EXPECT_EQ(FileTimeToPhoneDate(PhoneDateToFileTime(kMaxPhoneDate)), kMaxPhoneDate);
  // Finer than a millisecond is cut, never rounded into the next one.
  EXPECT_EQ(FileTimeToPhoneDate(UInt64ToFileTime(116444736000019999ULL)), 1);
  // The first date is the second millisecond of 1601: the first one would be tick 0, which a
  // backup keeps for "no time"; a time inside it keeps the first date instead.
  EXPECT_EQ(FileTimeToUInt64(PhoneDateToFileTime(kMinPhoneDate)), 10000u);
  EXPECT_EQ(FileTimeToPhoneDate(UInt64ToFileTime(1)), kMinPhoneDate);
  EXPECT_EQ(FileTimeToPhoneDate(PhoneDateToFileTime(kMinPhoneDate)), kMinPhoneDate);
}

}  // namespace
}  // namespace larkpost
