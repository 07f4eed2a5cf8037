#include "store/message.h"

#include <gtest/gtest.h>

#include "store/cursor.h"
#include "store/folder.h"
#include "store/store_test_support.h"

namespace larkpost {
namespace {

using testing::AddRawMessage;
using testing::Long;
using testing::TempStore;
using testing::Text;
using testing::Time;

struct Fixture {
  TempStore temp;
  SmsSession session{u"SMS"};
  SmsFolder& inbox = *session.StandardFolder(FolderKind::Inbox);

  // The first message of the inbox, read through a cursor.
  SmsMessage& First() {
    MessageCursor* cursor = inbox.Cursor(10);
    EXPECT_NE(cursor, nullptr);
    EXPECT_TRUE(cursor->Rewind());
    EXPECT_TRUE(cursor->Next());
    return *cursor->current;
  }
};

TEST(MessageLoad, ReadsEveryPropertyOfTheRecord) {
  Fixture f;
  AddRawMessage(f.inbox, {Long(PR_MESSAGE_FLAGS, 3), Text(PR_SUBJECT, u"See you at 8"),
                          Time(PR_LAST_MODIFICATION_TIME, 8, 7), Time(PR_MESSAGE_DELIVERY_TIME, 10, 9),
                          Text(PR_SENDER_EMAIL_ADDRESS, u"\"Ann Lee\" <+4915112345678>"),
                          Text(PR_SENDER_NAME, u"ignored"), Long(PR_MESSAGE_SIZE, 12),
                          Text(PR_MESSAGE_CLASS, u"IPM.Note")});
  SmsMessage& m = f.First();
  EXPECT_EQ(m.flags, 3u);
  EXPECT_EQ(m.text, u"See you at 8");
  EXPECT_EQ(m.lastModified.dwHighDateTime, 7u);
  EXPECT_EQ(m.lastModified.dwLowDateTime, 8u);
  EXPECT_EQ(m.deliveryTime.dwHighDateTime, 9u);
  EXPECT_EQ(m.deliveryTime.dwLowDateTime, 10u);
  EXPECT_EQ(m.senderName, u"Ann Lee");
  EXPECT_EQ(m.senderAddress, u"+4915112345678");
  EXPECT_EQ(m.size, 12u);
  EXPECT_EQ(m.messageClass, u"IPM.SMStext");
  EXPECT_FALSE(m.entryId.empty());
  EXPECT_EQ(m.folder, &f.inbox);
  EXPECT_EQ(m.recipients, nullptr);
}

TEST(MessageLoad, ABareAddressIsBothNameAndAddress) {
  Fixture f;
  AddRawMessage(f.inbox, {Text(PR_SENDER_EMAIL_ADDRESS, u"+4930123")});
  SmsMessage& m = f.First();
  EXPECT_EQ(m.senderName, u"+4930123");
  EXPECT_EQ(m.senderAddress, u"+4930123");
}

TEST(MessageLoad, AnEmptyQuotedNameTakesTheSenderName) {
  Fixture f;
  AddRawMessage(f.inbox,
                {Text(PR_SENDER_EMAIL_ADDRESS, u"\"\" <+4930123>"), Text(PR_SENDER_NAME, u"Bo")});
  SmsMessage& m = f.First();
  EXPECT_EQ(m.senderName, u"Bo");
  EXPECT_EQ(m.senderAddress, u"+4930123");
}

TEST(MessageLoad, AMissingPropertyKeepsTheOthers) {
  Fixture f;
  AddRawMessage(f.inbox, {Text(PR_SUBJECT, u"only text"), Long(PR_MESSAGE_SIZE, 9)});
  SmsMessage& m = f.First();
  EXPECT_EQ(m.text, u"only text");
  EXPECT_EQ(m.size, 9u);
  EXPECT_EQ(m.flags, 0u);
  EXPECT_TRUE(m.senderName.empty());
}

TEST(MessageLoad, ARefusedReadLeavesTheDefaultsAndTheCursorLeavesItOut) {
  Fixture f;
  AddRawMessage(f.inbox, {Text(PR_SUBJECT, u"unreadable")});
  AddRawMessage(f.inbox, {Text(PR_SUBJECT, u"readable")});
  mapi::AddFault("IMessage::GetProps", 1, MAPI_E_CALL_FAILED);
  MessageCursor* cursor = f.inbox.Cursor(10);
  ASSERT_TRUE(cursor->Rewind());
  // Written out, the unreadable message would be an empty record: it is skipped and counted.
  ASSERT_TRUE(cursor->Next());
  EXPECT_EQ(cursor->current->text, u"readable");
  EXPECT_FALSE(cursor->Next());
  EXPECT_EQ(f.session.unreadableMessages, 1u);

  mapi::AddFault("IMessage::GetProps", 1, MAPI_E_CALL_FAILED);
  SmsMessage direct(&f.inbox, nullptr);
  EXPECT_FALSE(direct.loaded);
  EXPECT_TRUE(direct.text.empty());
  EXPECT_TRUE(direct.entryId.empty());
}

// A message that did not come from a backup keeps a bare number as its sender address and the
// name in PR_SENDER_NAME; both travel.
TEST(MessageLoad, BareSenderAddressTakesItsNameFromTheSenderName) {
  Fixture f;
  AddRawMessage(f.inbox, {Text(PR_SENDER_EMAIL_ADDRESS, u"+4915112345678"),
                          Text(PR_SENDER_NAME, u"Ann Lee")});
  SmsMessage& m = f.First();
  EXPECT_EQ(m.senderName, u"Ann Lee");
  EXPECT_EQ(m.senderAddress, u"+4915112345678");
}

TEST(Recipients, ReadsEveryRowInOrderWithItsType) {
  Fixture f;
  AddRawMessage(f.inbox, {},
                {{Text(PR_EMAIL_ADDRESS, u"+1"), Text(PR_DISPLAY_NAME, u"One"),
                  Long(PR_RECIPIENT_TYPE, MAPI_CC)},
                 {Text(PR_EMAIL_ADDRESS, u"+2"), Long(PR_RECIPIENT_TYPE, MAPI_BCC)},
                 {Text(PR_EMAIL_ADDRESS, u"+3"), Text(PR_DISPLAY_NAME, u"Three")}});
  SmsMessage& m = f.First();
  RecipientList* list = m.Recipients();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ((*list)[0]->address, u"+1");
  EXPECT_EQ((*list)[0]->displayName, u"One");
  EXPECT_EQ((*list)[0]->type, 2);
  EXPECT_EQ((*list)[1]->type, 3);
  EXPECT_TRUE((*list)[1]->displayName.empty());
  EXPECT_EQ((*list)[2]->type, 1);  // no type: MAPI_TO, not the previous row's
  EXPECT_EQ(m.Recipients(), list);
}

TEST(Recipients, AMessageWithoutRecipientsGetsAnEmptyList) {
  Fixture f;
  AddRawMessage(f.inbox, {Text(PR_SUBJECT, u"x")});
  RecipientList* list = f.First().Recipients();
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(list->empty());
}

TEST(Recipients, ATableThatCannotBeReadGivesNoListAndIsAskedAgain) {
  Fixture f;
  AddRawMessage(f.inbox, {}, {{Text(PR_EMAIL_ADDRESS, u"+1")}, {Text(PR_EMAIL_ADDRESS, u"+2")}});
  SmsMessage& m = f.First();
  mapi::AddFault("IMessage::GetRecipientTable", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(m.Recipients(), nullptr);
  mapi::AddFault("IMAPITable::QueryRows", 2, MAPI_E_CALL_FAILED);
  EXPECT_EQ(m.Recipients(), nullptr);  // cut short: not passed off as complete
  ASSERT_NE(m.Recipients(), nullptr);
  EXPECT_EQ(m.Recipients()->size(), 2u);
}

// Properties of the inbox's only message as the store keeps them, read with a fresh wrapper.
struct Stored {
  std::u16string subject, sender, messageClass;
  std::u16string senderName;
  ULONG flags = 0, size = 0;
  FILETIME delivery{}, modified{};
  std::vector<SmsRecipient> recipients;
};

Stored ReadBack(SmsFolder& inbox) {
  Stored s;
  inbox.cursor.reset();
  MessageCursor* cursor = inbox.Cursor(10);
  EXPECT_TRUE(cursor->Next());
  IMessage* message = cursor->current->message.get();
  const ULONG tags[] = {PR_SUBJECT, PR_SENDER_EMAIL_ADDRESS, PR_MESSAGE_CLASS, PR_SENDER_NAME};
  const SPropTagArray array{4, tags};
  ULONG count = 0;
  SPropValue* values = nullptr;
  message->GetProps(&array, MAPI_UNICODE, &count, &values);
  if (values[0].ulPropTag == PR_SUBJECT) s.subject = values[0].Value.lpszW;
  if (values[1].ulPropTag == PR_SENDER_EMAIL_ADDRESS) s.sender = values[1].Value.lpszW;
  if (values[2].ulPropTag == PR_MESSAGE_CLASS) s.messageClass = values[2].Value.lpszW;
  if (values[3].ulPropTag == PR_SENDER_NAME) s.senderName = values[3].Value.lpszW;
  MAPIFreeBuffer(values);
  SmsMessage& m = *cursor->current;
  s.flags = m.flags;
  s.size = m.size;
  s.delivery = m.deliveryTime;
  s.modified = m.lastModified;
  for (auto& r : *m.Recipients()) s.recipients.push_back(*r);
  return s;
}

TEST(Save, WritesTheValuesAndTheComposedSender) {
  Fixture f;
  auto m = f.inbox.CreateMessage();
  ASSERT_TRUE(m);
  m->text = u"Hi; \"you\"";
  m->flags = 1;
  m->size = 4;
  m->deliveryTime = FILETIME{10, 20};
  m->lastModified = FILETIME{30, 40};
  m->senderName = u"Ann";
  m->senderAddress = u"+49";
  mapi::ClearFaults();
  ASSERT_TRUE(m->Save());
  EXPECT_EQ(mapi::CallCount("IMessage::ModifyRecipients"), 0);
  m.reset();
  const Stored s = ReadBack(f.inbox);
  EXPECT_EQ(s.subject, u"Hi; \"you\"");
  EXPECT_EQ(s.sender, u"\"Ann\" <+49>");
  EXPECT_EQ(s.messageClass, u"IPM.SMStext");
  EXPECT_EQ(s.senderName, u"Ann");
  EXPECT_EQ(s.flags, 1u);
  EXPECT_EQ(s.size, 4u);
  EXPECT_EQ(s.delivery.dwLowDateTime, 10u);
  EXPECT_EQ(s.delivery.dwHighDateTime, 20u);
  EXPECT_EQ(s.modified.dwLowDateTime, 30u);
}

TEST(Save, AddsAllRecipientsInOneCall) {
  Fixture f;
  auto m = f.inbox.CreateMessage();
  RecipientList* list = m->Recipients();
  ASSERT_NE(list, nullptr);
  list->push_back(std::make_unique<SmsRecipient>(SmsRecipient{u"+1", u"One", 1}));
  list->push_back(std::make_unique<SmsRecipient>(SmsRecipient{u"+2", u"Two", 3}));
  mapi::ClearFaults();
  ASSERT_TRUE(m->Save());
  EXPECT_EQ(mapi::CallCount("IMessage::ModifyRecipients"), 1);
  m.reset();
  const Stored s = ReadBack(f.inbox);
  ASSERT_EQ(s.recipients.size(), 2u);
  EXPECT_EQ(s.recipients[1].address, u"+2");
  EXPECT_EQ(s.recipients[1].displayName, u"Two");
  EXPECT_EQ(s.recipients[1].type, 3);
}

TEST(Save, ARecipientListSetWithoutReadingTheTableIsWritten) {
  Fixture f;
  auto m = f.inbox.CreateMessage();
  mapi::AddFault("IMessage::GetRecipientTable", 1, MAPI_E_CALL_FAILED);
  ASSERT_EQ(m->Recipients(), nullptr);
  m->recipients = std::make_unique<RecipientList>();
  m->recipients->push_back(std::make_unique<SmsRecipient>(SmsRecipient{u"+7", u"", 1}));
  ASSERT_TRUE(m->Save());
  m.reset();
  ASSERT_EQ(ReadBack(f.inbox).recipients.size(), 1u);
}

TEST(Save, RefusedValuesAddNoRecipients) {
  Fixture f;
  auto m = f.inbox.CreateMessage();
  m->Recipients()->push_back(std::make_unique<SmsRecipient>());
  mapi::AddFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(m->Save());
  EXPECT_EQ(mapi::CallCount("IMessage::ModifyRecipients"), 0);
}

TEST(Save, FailsWhenMemoryOrTheRecipientsAreRefused) {
  Fixture f;
  auto m = f.inbox.CreateMessage();
  m->Recipients()->push_back(std::make_unique<SmsRecipient>(SmsRecipient{u"+1", u"One", 1}));
  m->Recipients()->push_back(std::make_unique<SmsRecipient>(SmsRecipient{u"+2", u"Two", 1}));
  mapi::AddFault("MAPIAllocateBuffer", 5, MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(m->Save());
  EXPECT_EQ(mapi::CallCount("IMessage::ModifyRecipients"), 0);
  mapi::AddFault("IMessage::ModifyRecipients", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(m->Save());
}

}  // namespace
}  // namespace larkpost
