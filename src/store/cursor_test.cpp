#include "store/cursor.h"

#include <gtest/gtest.h>

#include <functional>

#include "store/folder.h"
#include "store/message.h"
#include "store/store_test_support.h"

namespace larkpost {
namespace {

using testing::AddTimedMessage;
using testing::TempStore;

struct Fixture {
  TempStore temp;
  SmsSession session{u"SMS"};
  SmsFolder& inbox = *session.StandardFolder(FolderKind::Inbox);
};

// The low halves of the delivery times of every message the cursor hands out.
std::vector<uint32_t> Walk(MessageCursor& cursor) {
  std::vector<uint32_t> seen;
  while (cursor.Next()) seen.push_back(cursor.current->deliveryTime.dwLowDateTime);
  return seen;
}

TEST(MessageCursor, ReadsInBatchesOfTenInTableOrder) {
  Fixture f;
  for (uint32_t i = 1; i <= 25; ++i) AddTimedMessage(f.inbox, i);
  MessageCursor* cursor = f.inbox.Cursor(0);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(cursor->batchSize, 10);
  mapi::ClearFaults();
  const std::vector<uint32_t> seen = Walk(*cursor);
  ASSERT_EQ(seen.size(), 25u);
  for (uint32_t i = 0; i < 25; ++i) EXPECT_EQ(seen[i], i + 1);
  EXPECT_EQ(mapi::CallCount("IMAPITable::QueryRows"), 4);  // 10, 10, 5, 0
  EXPECT_EQ(f.session.unreadableMessages, 0u);
}

TEST(MessageCursor, AnEmptyFolderEndsAfterOneFetch) {
  Fixture f;
  MessageCursor* cursor = f.inbox.Cursor(10);
  ASSERT_NE(cursor, nullptr);
  mapi::ClearFaults();
  EXPECT_FALSE(cursor->Next());
  EXPECT_EQ(mapi::CallCount("IMAPITable::QueryRows"), 1);
  EXPECT_EQ(CountMessages(f.inbox), 0u);
}

TEST(MessageCursor, RewindStartsAgainAndTheCursorIsShared) {
  Fixture f;
  for (uint32_t i = 1; i <= 3; ++i) AddTimedMessage(f.inbox, i);
  MessageCursor* cursor = f.inbox.Cursor(2);
  EXPECT_EQ(f.inbox.Cursor(10), cursor);
  EXPECT_EQ(Walk(*cursor).size(), 3u);
  ASSERT_TRUE(cursor->Rewind());
  EXPECT_EQ(cursor->current, nullptr);
  EXPECT_EQ(Walk(*cursor), (std::vector<uint32_t>{1, 2, 3}));
}

TEST(MessageCursor, ARefusedRewindChangesNothing) {
  Fixture f;
  AddTimedMessage(f.inbox, 1);
  AddTimedMessage(f.inbox, 2);
  MessageCursor* cursor = f.inbox.Cursor(10);
  ASSERT_TRUE(cursor->Next());
  SmsMessage* current = cursor->current;
  mapi::AddFault("IMAPITable::SeekRow", 1, MAPI_E_CALL_FAILED);
  EXPECT_FALSE(cursor->Rewind());
  EXPECT_EQ(cursor->current, current);
  ASSERT_TRUE(cursor->Next());
  EXPECT_EQ(cursor->current->deliveryTime.dwLowDateTime, 2u);
}

TEST(MessageCursor, AMessageThatCannotBeOpenedEndsTheFolderAndIsCounted) {
  Fixture f;
  for (uint32_t i = 1; i <= 25; ++i) AddTimedMessage(f.inbox, i);
  MessageCursor* cursor = f.inbox.Cursor(10);
  mapi::AddFault("IMAPIFolder::OpenEntry", 13, MAPI_E_NOT_FOUND);
  EXPECT_EQ(Walk(*cursor).size(), 10u);
  EXPECT_EQ(f.session.unreadableMessages, 15u);
}

TEST(MessageCursor, AFailingFetchCountsTheRowsNotHandedOut) {
  Fixture f;
  for (uint32_t i = 1; i <= 25; ++i) AddTimedMessage(f.inbox, i);
  MessageCursor* cursor = f.inbox.Cursor(10);
  EXPECT_EQ(cursor->RowCount(), 25u);
  mapi::AddFault("IMAPITable::QueryRows", 3, MAPI_E_CALL_FAILED);
  EXPECT_EQ(Walk(*cursor).size(), 20u);
  EXPECT_EQ(f.session.unreadableMessages, 5u);
}

TEST(CountMessages, AddsEveryFolderOfTheTreeAndSharesItsCursors) {
  Fixture f;
  AddTimedMessage(f.inbox, 1);
  auto work = f.inbox.CreateSubfolder(u"Work");
  AddTimedMessage(*work, 2);
  AddTimedMessage(*work, 3);
  auto old = work->CreateSubfolder(u"Old");
  AddTimedMessage(*old, 4);
  EXPECT_EQ(CountMessages(f.inbox), 4u);
  EXPECT_NE(f.inbox.cursor, nullptr);
  ASSERT_NE(f.inbox.subfolders, nullptr);
  EXPECT_NE((*f.inbox.subfolders)[0]->cursor, nullptr);
}

TEST(CountMessages, FolderWhoseContentsCannotBeReadCountsZeroButItsSubfoldersCount) {
  Fixture f;
  AddTimedMessage(f.inbox, 1);
  auto work = f.inbox.CreateSubfolder(u"Work");
  AddTimedMessage(*work, 2);
  mapi::AddFault("IMAPIFolder::GetContentsTable", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(CountMessages(f.inbox), 1u);
  EXPECT_EQ(f.session.unreadableFolders, 1u);
  EXPECT_EQ(CountMessages(f.inbox), 2u);  // the next count tries the table again
  EXPECT_EQ(f.session.unreadableFolders, 1u);
}

TEST(Walk, MeetsMessagesBeforeSubfoldersDepthFirst) {
  Fixture f;
  AddTimedMessage(f.inbox, 1);
  auto a = f.inbox.CreateSubfolder(u"A");
  auto aa = a->CreateSubfolder(u"AA");
  auto b = f.inbox.CreateSubfolder(u"B");
  AddTimedMessage(*b, 5);
  AddTimedMessage(*aa, 4);
  AddTimedMessage(*a, 3);
  AddTimedMessage(f.inbox, 2);
  std::vector<uint32_t> order;
  std::function<void(SmsFolder&)> walk = [&](SmsFolder& folder) {
    MessageCursor* cursor = folder.Cursor(10);
    ASSERT_NE(cursor, nullptr);
    ASSERT_TRUE(cursor->Rewind());
    for (uint32_t t : Walk(*cursor)) order.push_back(t);
    for (auto& child : *folder.Subfolders()) walk(*child);
  };
  walk(f.inbox);
  EXPECT_EQ(order, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace larkpost
