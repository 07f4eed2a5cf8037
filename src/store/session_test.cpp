#include "store/session.h"

#include <gtest/gtest.h>

#include "store/folder.h"
#include "store/store_test_support.h"

namespace larkpost {
namespace {

using testing::TempStore;

TEST(SessionLogon, OpensTheStoreWhoseNameMatchesIgnoringCase) {
  TempStore temp;
  SmsSession session(u"sMs");
  EXPECT_EQ(session.initialized, 1);
  EXPECT_TRUE(session.store);
}

TEST(SessionLogon, FirstMatchingStoreWinsAndTheRestIsNotRead) {
  TempStore temp;
  ASSERT_EQ(mapi::AddStore(temp.path(), u"sms", false), S_OK);
  SmsSession session(u"SMS");
  ASSERT_EQ(session.initialized, 1);
  // The first store has its standard folders; the second one has none.
  EXPECT_NE(session.StandardFolder(FolderKind::Inbox), nullptr);
  EXPECT_EQ(mapi::CallCount("IMAPITable::QueryRows"), 1);
}

TEST(SessionLogon, FindsALaterStoreOneRowAtATime) {
  TempStore temp;
  ASSERT_EQ(mapi::AddStore(temp.path(), u"Other", true), S_OK);
  SmsSession session(u"other");
  EXPECT_EQ(session.initialized, 1);
  EXPECT_EQ(mapi::CallCount("IMAPITable::QueryRows"), 2);
}

TEST(SessionLogon, WithoutAMatchingStoreIsUninitializedButStillLogsOff) {
  TempStore temp;
  {
    SmsSession session(u"Nowhere");
    EXPECT_EQ(session.initialized, 0);
    EXPECT_FALSE(session.store);
    EXPECT_EQ(session.StandardFolder(FolderKind::Inbox), nullptr);
  }
  EXPECT_EQ(mapi::CallCount("IMAPISession::Logoff"), 1);
}

TEST(SessionLogon, EveryFailingStepLeavesTheSessionUninitialized) {
  for (const char* operation : {"MAPILogonEx", "IMAPISession::GetMsgStoresTable",
                                "IMAPITable::SetColumns", "IMAPITable::QueryRows",
                                "IMAPISession::OpenEntry"}) {
    SCOPED_TRACE(operation);
    TempStore temp;
    mapi::AddFault(operation, 1, MAPI_E_CALL_FAILED);
    SmsSession session(u"SMS");
    EXPECT_EQ(session.initialized, 0);
    EXPECT_FALSE(session.store);
  }
}

TEST(SessionLogon, ClosingASessionThatNeverLoggedOnIsHarmless) {
  TempStore temp;
  mapi::AddFault("MAPILogonEx", 1, MAPI_E_LOGON_FAILED);
  {
    SmsSession session(u"SMS");
    EXPECT_EQ(session.initialized, 0);
    session.Close();
  }
  EXPECT_EQ(mapi::CallCount("IMAPISession::Logoff"), 0);
}

TEST(StandardFolder, IsLookedUpOnceAndKept) {
  TempStore temp;
  SmsSession session(u"SMS");
  SmsFolder* first = session.StandardFolder(FolderKind::Inbox);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(session.StandardFolder(FolderKind::Inbox), first);
  EXPECT_EQ(mapi::CallCount("IMsgStore::GetProps"), 1);
  EXPECT_EQ(mapi::CallCount("IMsgStore::OpenEntry"), 1);
  EXPECT_FALSE(first->entryId.empty());
  EXPECT_TRUE(first->folder);
}

TEST(StandardFolder, WrappersCarryTheFileNamesNotTheStoreNames) {
  TempStore temp;
  SmsSession session(u"SMS");
  const char16_t* expected[] = {u"Draft", u"Inbox", u"Outbox", u"Sentedbox", u"Wastebox"};
  for (int k = 0; k < kFolderKindCount; ++k) {
    SmsFolder* folder = session.StandardFolder(static_cast<FolderKind>(k));
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(folder->displayName, expected[k]);
    EXPECT_EQ(folder->parent, nullptr);
  }
}

TEST(StandardFolder, AMissingFolderIsAskedForAgainAndCountedOnce) {
  TempStore temp;
  ASSERT_EQ(mapi::AddStore(temp.path(), u"Bare", false), S_OK);
  SmsSession session(u"Bare");
  ASSERT_EQ(session.initialized, 1);
  EXPECT_EQ(session.StandardFolder(FolderKind::Outbox), nullptr);
  EXPECT_EQ(session.StandardFolder(FolderKind::Outbox), nullptr);
  EXPECT_EQ(mapi::CallCount("IMsgStore::GetProps"), 2);
  EXPECT_EQ(session.unreadableFolders, 1u);
}

TEST(StandardFolder, AFolderThatCannotBeOpenedIsRetriedLater) {
  TempStore temp;
  SmsSession session(u"SMS");
  mapi::AddFault("IMsgStore::OpenEntry", 1, MAPI_E_NOT_FOUND);
  EXPECT_EQ(session.StandardFolder(FolderKind::Sent), nullptr);
  EXPECT_NE(session.StandardFolder(FolderKind::Sent), nullptr);
}

}  // namespace
}  // namespace larkpost
