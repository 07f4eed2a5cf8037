#include "store/folder.h"

#include <gtest/gtest.h>

#include "store/cursor.h"
#include "store/message.h"
#include "store/store_test_support.h"

namespace larkpost {
namespace {

using testing::AddTimedMessage;
using testing::SubfolderNames;
using testing::TempStore;

struct Fixture {
  TempStore temp;
  SmsSession session{u"SMS"};
  SmsFolder& inbox = *session.StandardFolder(FolderKind::Inbox);
};

TEST(Subfolders, ListsChildrenInOrderWithTheirParent) {
  Fixture f;
  ASSERT_TRUE(f.inbox.CreateSubfolder(u"Work"));
  ASSERT_TRUE(f.inbox.CreateSubfolder(u"Family"));
  auto* list = f.inbox.Subfolders();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0]->displayName, u"Work");
  EXPECT_EQ((*list)[1]->displayName, u"Family");
  EXPECT_EQ((*list)[0]->parent, &f.inbox);
  EXPECT_TRUE((*list)[1]->folder);
  EXPECT_FALSE((*list)[1]->entryId.empty());
  EXPECT_EQ(f.inbox.Subfolders(), list);
}

TEST(Subfolders, AChildThatCannotBeOpenedIsKeptUnopenedAndCountedOnce) {
  Fixture f;
  auto lost = f.inbox.CreateSubfolder(u"Lost");
  AddTimedMessage(*lost, 7);
  mapi::AddFault("IMsgStore::OpenEntry", 1, MAPI_E_NOT_FOUND);
  auto* list = f.inbox.Subfolders();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->size(), 1u);
  EXPECT_FALSE((*list)[0]->folder);
  EXPECT_EQ((*list)[0]->Cursor(10), nullptr);
  EXPECT_EQ((*list)[0]->Subfolders(), nullptr);
  EXPECT_EQ(CountMessages(f.inbox), 0u);
  EXPECT_EQ(f.session.unreadableFolders, 1u);
}

TEST(Subfolders, AFetchFailingHalfWayGivesNoListAndIsRetried) {
  Fixture f;
  ASSERT_TRUE(f.inbox.CreateSubfolder(u"A"));
  ASSERT_TRUE(f.inbox.CreateSubfolder(u"B"));
  mapi::AddFault("IMAPITable::QueryRows", 2, MAPI_E_CALL_FAILED);
  EXPECT_EQ(f.inbox.Subfolders(), nullptr);
  EXPECT_EQ(f.session.unreadableFolders, 1u);
  auto* list = f.inbox.Subfolders();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->size(), 2u);
}

TEST(CreateSubfolder, TrimsTheNameAndOpensAnExistingFolder) {
  Fixture f;
  auto made = f.inbox.CreateSubfolder(u"  Work\t");
  ASSERT_TRUE(made);
  EXPECT_EQ(made->displayName, u"Work");
  EXPECT_EQ(made->parent, nullptr);
  EXPECT_FALSE(made->entryId.empty());  // read from the new folder itself
  auto again = f.inbox.CreateSubfolder(u"Work");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->entryId.bytes, made->entryId.bytes);
  EXPECT_EQ(SubfolderNames(f.inbox), std::vector<std::u16string>{u"Work"});
}

TEST(CreateSubfolder, ABlankNameBecomesNewFolder) {
  Fixture f;
  auto made = f.inbox.CreateSubfolder(u" \u3000 ");
  ASSERT_TRUE(made);
  EXPECT_EQ(made->displayName, u"NewFolder");
}

TEST(CreateSubfolder, UntrustedNamesAreKeptExactly) {
  Fixture f;
  const std::vector<std::u16string> names = {u"Bob's \"club\"; DROP TABLE folders;--",
                                             u"back\\slash", u"Grüße 日本 🎉", u"%s %n"};
  for (const auto& name : names) ASSERT_TRUE(f.inbox.CreateSubfolder(name));
  EXPECT_EQ(SubfolderNames(f.inbox), names);
}

TEST(ResolveFolderPath, AStandardNameInAnyCaseIsTheSessionsFolder) {
  Fixture f;
  bool isStandard = false;
  std::unique_ptr<SmsFolder> owned;
  EXPECT_EQ(ResolveFolderPath(f.session, u"iNBOX", isStandard, owned), &f.inbox);
  EXPECT_TRUE(isStandard);
  EXPECT_FALSE(owned);
  EXPECT_EQ(mapi::CallCount("IMAPIFolder::CreateFolder"), 0);
}

TEST(ResolveFolderPath, OpensOrCreatesEachLevelAndKeepsOnlyTheDeepest) {
  Fixture f;
  bool isStandard = true;
  std::unique_ptr<SmsFolder> owned;
  SmsFolder* deep = ResolveFolderPath(f.session, u"Inbox\\ Work \\Old", isStandard, owned);
  ASSERT_NE(deep, nullptr);
  EXPECT_FALSE(isStandard);
  EXPECT_EQ(deep, owned.get());
  EXPECT_EQ(deep->displayName, u"Old");
  EXPECT_EQ(deep->parent, nullptr);
  const EntryId first = deep->entryId;

  deep = ResolveFolderPath(f.session, u"inbox\\Work\\Old", isStandard, owned);
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(deep->entryId.bytes, first.bytes);
  EXPECT_EQ(SubfolderNames(f.inbox), std::vector<std::u16string>{u"Work"});
}

TEST(ResolveFolderPath, UntrustedNamesOnThePathAreKeptExactly) {
  Fixture f;
  bool isStandard = true;
  std::unique_ptr<SmsFolder> owned;
  ASSERT_NE(ResolveFolderPath(f.session, u"Inbox\\Bob's \"club\"; DROP TABLE x;--\\日本 🎉",
                              isStandard, owned),
            nullptr);
  EXPECT_EQ(owned->displayName, u"日本 🎉");
  auto* list = f.inbox.Subfolders();
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ((*list)[0]->displayName, u"Bob's \"club\"; DROP TABLE x;--");
  EXPECT_EQ(SubfolderNames(*(*list)[0]), std::vector<std::u16string>{u"日本 🎉"});
}

TEST(ResolveFolderPath, ATrailingBackslashNamesNewFolder) {
  Fixture f;
  bool isStandard = true;
  std::unique_ptr<SmsFolder> owned;
  SmsFolder* folder = ResolveFolderPath(f.session, u"Sentedbox\\", isStandard, owned);
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->displayName, u"NewFolder");
}

TEST(ResolveFolderPath, AnUnknownFirstPieceFailsWithoutTouchingTheStore) {
  Fixture f;
  mapi::ClearFaults();
  bool isStandard = true;
  std::unique_ptr<SmsFolder> owned;
  EXPECT_EQ(ResolveFolderPath(f.session, u"Inbox2\\Work", isStandard, owned), nullptr);
  EXPECT_EQ(ResolveFolderPath(f.session, u"", isStandard, owned), nullptr);
  EXPECT_FALSE(owned);
  EXPECT_EQ(mapi::CallCount("IMsgStore::GetProps"), 0);
  EXPECT_EQ(mapi::CallCount("IMAPIFolder::CreateFolder"), 0);
}

TEST(ResolveFolderPath, AMissingStandardFolderIsNeverUsed) {
  TempStore temp;
  ASSERT_EQ(mapi::AddStore(temp.path(), u"Bare", false), S_OK);
  SmsSession session(u"Bare");
  bool isStandard = true;
  std::unique_ptr<SmsFolder> owned;
  EXPECT_EQ(ResolveFolderPath(session, u"Inbox\\Work", isStandard, owned), nullptr);
  EXPECT_FALSE(owned);
  EXPECT_EQ(mapi::CallCount("IMAPIFolder::CreateFolder"), 0);
}

TEST(ResolveFolderPath, AFailureHalfWayLeavesNoWrapper) {
  Fixture f;
  mapi::AddFault("IMAPIFolder::CreateFolder", 2, MAPI_E_CALL_FAILED);
  bool isStandard = true;
  std::unique_ptr<SmsFolder> owned;
  EXPECT_EQ(ResolveFolderPath(f.session, u"Inbox\\A\\B", isStandard, owned), nullptr);
  EXPECT_FALSE(owned);
}

TEST(ContainsDeliveryTime, FindsExactTimesInThisFolderOnly) {
  Fixture f;
  AddTimedMessage(f.inbox, 100, u"hello");
  auto sub = f.inbox.CreateSubfolder(u"Sub");
  AddTimedMessage(*sub, 200, u"deeper");
  EXPECT_TRUE(f.inbox.ContainsDeliveryTime(FILETIME{100, 1}));
  EXPECT_FALSE(f.inbox.ContainsDeliveryTime(FILETIME{100, 2}));
  EXPECT_FALSE(f.inbox.ContainsDeliveryTime(FILETIME{200, 1}));
  EXPECT_TRUE(sub->ContainsDeliveryTime(FILETIME{200, 1}));
}

TEST(ContainsDeliveryTime, WithATextBothMustMatch) {
  Fixture f;
  AddTimedMessage(f.inbox, 100, u"hello");
  const std::u16string same = u"hello", other = u"hello!";
  EXPECT_TRUE(f.inbox.ContainsDeliveryTime(FILETIME{100, 1}, &same));
  EXPECT_FALSE(f.inbox.ContainsDeliveryTime(FILETIME{100, 1}, &other));
}

TEST(ContainsDeliveryTime, ZeroNeverMatches) {
  Fixture f;
  testing::AddRawMessage(f.inbox, {testing::Time(PR_MESSAGE_DELIVERY_TIME, 0, 0)});
  EXPECT_FALSE(f.inbox.ContainsDeliveryTime(FILETIME{0, 0}));
  EXPECT_EQ(mapi::CallCount("IMAPIFolder::GetContentsTable"), 0);
}

TEST(ContainsDeliveryTime, OnlyTimeValuesCount) {
  Fixture f;
  // The same property id with a number in it is not a delivery time.
  testing::AddRawMessage(f.inbox, {testing::Long(PROP_TAG(PT_LONG, PROP_ID(PR_MESSAGE_DELIVERY_TIME)), 100)});
  EXPECT_FALSE(f.inbox.ContainsDeliveryTime(FILETIME{100, 0}));
}

TEST(ContainsDeliveryTime, MakesItsTableOnceAndAsksTheIndex) {
  Fixture f;
  for (uint32_t i = 1; i <= 30; ++i) AddTimedMessage(f.inbox, i);
  mapi::ClearFaults();
  for (uint32_t i = 1; i <= 40; ++i) {
    EXPECT_EQ(f.inbox.ContainsDeliveryTime(FILETIME{i, 1}), i <= 30) << i;
  }
  EXPECT_EQ(mapi::CallCount("IMAPIFolder::GetContentsTable"), 1);
  EXPECT_EQ(mapi::CallCount("IMAPITable::FindRow"), 40);
  EXPECT_EQ(mapi::CallCount("IMAPITable::QueryRows"), 0);
  EXPECT_TRUE(f.inbox.deliveryTimeTable);
}

TEST(ContainsDeliveryTime, AFailureAnswersFalseAndTheNextCallTriesAgain) {
  Fixture f;
  AddTimedMessage(f.inbox, 5);
  mapi::AddFault("IMAPITable::SetColumns", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(f.inbox.ContainsDeliveryTime(FILETIME{5, 1}));
  EXPECT_FALSE(f.inbox.deliveryTimeTable);
  mapi::AddFault("IMAPITable::FindRow", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(f.inbox.ContainsDeliveryTime(FILETIME{5, 1}));
  EXPECT_TRUE(f.inbox.ContainsDeliveryTime(FILETIME{5, 1}));
}

TEST(CreateMessage, GivesAnEmptySmsMessageOrNothing) {
  Fixture f;
  auto message = f.inbox.CreateMessage();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->folder, &f.inbox);
  EXPECT_EQ(message->messageClass, u"IPM.SMStext");
  EXPECT_TRUE(message->text.empty());
  mapi::AddFault("IMAPIFolder::CreateMessage", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(f.inbox.CreateMessage());
}

}  // namespace
}  // namespace larkpost
