#include <atomic>
#include <stdexcept>
#include <thread>

#include "platform/mapi/mapi_test_support.h"

namespace larkpost::mapi::testing {
namespace {

TEST(FaultPlan, TheNthCallAnswersThePlannedResultAndDoesNothing) {
  Fixture f;
  NewMessage(f.inbox.get());  // one CreateMessage before the fault is armed
  AddFault("IMAPIFolder::CreateMessage", 2, MAPI_E_NOT_ENOUGH_MEMORY);
  MapiPtr<IMessage> message;
  EXPECT_EQ(f.inbox->CreateMessage(nullptr, 0, message.put()), S_OK);
  IMessage* failed = reinterpret_cast<IMessage*>(1);
  EXPECT_EQ(f.inbox->CreateMessage(nullptr, 0, &failed), MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(failed, nullptr);
  EXPECT_EQ(f.inbox->CreateMessage(nullptr, 0, message.put()), S_OK);
  ASSERT_EQ(message->SaveChanges(0), S_OK);
  EXPECT_EQ(CallCount("IMAPIFolder::CreateMessage"), 4);
  EXPECT_EQ(MessageCount(f.inbox.get()), 3u);  // the faulted call made no message
}

TEST(FaultPlan, TimesRepeatsTheFaultOnFollowingCalls) {
  Fixture f;
  MapiPtr<IMessage> message = NewMessage(f.inbox.get());
  AddFault("IMessage::SetProps", 1, MAPI_E_CALL_FAILED, 2);
  SPropValue subject = Text(PR_SUBJECT, u"x");
  EXPECT_EQ(message->SetProps(1, &subject, nullptr), MAPI_E_CALL_FAILED);
  EXPECT_EQ(message->SetProps(1, &subject, nullptr), MAPI_E_CALL_FAILED);
  PropBuffer props;
  EXPECT_EQ(GetProps(message.get(), {PR_SUBJECT}, &props), MAPI_W_ERRORS_RETURNED);
  EXPECT_EQ(message->SetProps(1, &subject, nullptr), S_OK);
}

TEST(FaultPlan, CoversLogonTablesAndAllocation) {
  TempDatabase database;
  AddFault("MAPILogonEx", 1, MAPI_E_LOGON_FAILED);
  IMAPISession* session = reinterpret_cast<IMAPISession*>(1);
  EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, 0, &session), MAPI_E_LOGON_FAILED);
  EXPECT_EQ(session, nullptr);
  MapiPtr<IMAPISession> good = Logon();
  ASSERT_TRUE(good);

  MapiPtr<IMAPITable> stores;
  ASSERT_EQ(good->GetMsgStoresTable(0, stores.put()), S_OK);
  AddFault("IMAPITable::QueryRows", 1, MAPI_E_CALL_FAILED);
  SRowSet* rows = reinterpret_cast<SRowSet*>(1);
  EXPECT_EQ(stores->QueryRows(1, 0, &rows), MAPI_E_CALL_FAILED);
  EXPECT_EQ(rows, nullptr);
  RowBuffer row;
  ASSERT_EQ(stores->QueryRows(1, 0, &row.rows), S_OK);  // the faulted call did not move
  EXPECT_EQ(row.size(), 1u);

  AddFault("MAPIAllocateBuffer", 2, MAPI_E_NOT_ENOUGH_MEMORY);
  void* first = nullptr;
  void* second = reinterpret_cast<void*>(1);
  EXPECT_EQ(MAPIAllocateBuffer(8, &first), S_OK);
  EXPECT_EQ(MAPIAllocateBuffer(8, &second), MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(second, nullptr);
  MAPIFreeBuffer(first);
  // The provider's own buffers are not the caller's allocations: they neither count nor fail.
  AddFault("MAPIAllocateBuffer", 1, MAPI_E_NOT_ENOUGH_MEMORY, 100);
  MapiPtr<IMsgStore> store = OpenStore(good.get());
  EXPECT_TRUE(store);
  EXPECT_EQ(CallCount("MAPIAllocateBuffer"), 2);
}

TEST(FaultPlan, CountsEveryOperationByItsInterfaceAndClears) {
  Fixture f;
  ClearFaults();
  PropBuffer a, b, c;
  GetProps(f.store.get(), {PR_DISPLAY_NAME}, &a);
  GetProps(f.inbox.get(), {PR_DISPLAY_NAME}, &b);
  GetProps(f.inbox.get(), {PR_ENTRYID}, &c);
  EXPECT_EQ(CallCount("IMsgStore::GetProps"), 1);
  EXPECT_EQ(CallCount("IMAPIFolder::GetProps"), 2);
  EXPECT_EQ(CallCount("IMessage::GetProps"), 0);
  AddFault("IMAPIFolder::GetProps", 1, MAPI_E_NO_SUPPORT);
  ClearFaults();
  EXPECT_EQ(CallCount("IMAPIFolder::GetProps"), 0);
  PropBuffer d;
  EXPECT_EQ(GetProps(f.inbox.get(), {PR_ENTRYID}, &d), S_OK);
}

TEST(FaultPlan, RejectsANameTheInterfaceDoesNotHave) {
  // A misspelt operation would arm a fault that never fires and count calls that never happen.
  EXPECT_THROW(AddFault("IMAPITable::QueryRow", 1, MAPI_E_CALL_FAILED), std::invalid_argument);
  EXPECT_THROW(AddFault("IMAPIFolder::GetProps ", 1, MAPI_E_CALL_FAILED), std::invalid_argument);
  EXPECT_THROW(CallCount("IMessage::Getprops"), std::invalid_argument);
  EXPECT_EQ(CallCount("IMAPITable::Restrict"), 0);
}

TEST(FaultPlan, IsSafeToUseFromSeveralThreads) {
  TempDatabase database;
  AddFault("MAPIAllocateMore", 1000, MAPI_E_NOT_ENOUGH_MEMORY);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures] {
      for (int i = 0; i < 500; ++i) {
        void* block = nullptr;
        void* own = nullptr;
        if (MAPIAllocateBuffer(4, &own) != S_OK) continue;
        if (MAPIAllocateMore(4, own, &block) != S_OK) ++failures;
        MAPIFreeBuffer(own);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(CallCount("MAPIAllocateMore"), 2000);
  EXPECT_EQ(failures.load(), 1);
}

TEST(Threads, TwoSessionsWriteAtTheSameTime) {
  Fixture f;
  MapiPtr<IMAPISession> second = Logon();
  MapiPtr<IMsgStore> store = OpenStore(second.get());
  MapiPtr<IMAPIFolder> inbox = OpenFolder(store.get(), PR_CE_INBOX_ENTRYID);
  auto write = [](IMAPIFolder* folder) {
    for (int i = 0; i < 50; ++i) {
      MapiPtr<IMessage> message;
      ASSERT_EQ(folder->CreateMessage(nullptr, 0, message.put()), S_OK);
      SPropValue flags = Long(PR_MESSAGE_FLAGS, i);
      ASSERT_EQ(message->SetProps(1, &flags, nullptr), S_OK);
    }
  };
  std::thread a(write, f.inbox.get());
  std::thread b(write, inbox.get());
  a.join();
  b.join();
  EXPECT_EQ(MessageCount(f.inbox.get()), 100u);
}

TEST(Threads, ASessionMadeOnOneThreadIsUsedOnAnother) {
  Fixture f;
  std::thread worker([&f] {
    for (int i = 0; i < 20; ++i) NewMessage(f.inbox.get(), {Long(PR_MESSAGE_FLAGS, i)});
  });
  worker.join();
  EXPECT_EQ(MessageCount(f.inbox.get()), 20u);
}

}  // namespace
}  // namespace larkpost::mapi::testing
