#include <sqlite3.h>

#include "platform/mapi/mapi_test_support.h"

namespace larkpost::mapi::testing {
namespace {

const char16_t kAwkward[] =
    u"Robert'); DROP TABLE messages;-- \"quoted\" back\\slash; Grüße 你好 \U0001F600";

TEST(MessageProps, NewMessageHasOnlyItsEntryId) {
  Fixture f;
  MapiPtr<IMessage> message = NewMessage(f.inbox.get());
  PropBuffer props;
  EXPECT_EQ(GetProps(message.get(),
                     {PR_ENTRYID, PR_MESSAGE_FLAGS, PR_SUBJECT, PR_LAST_MODIFICATION_TIME,
                      PR_MESSAGE_DELIVERY_TIME, PR_SENDER_EMAIL_ADDRESS, PR_SENDER_NAME,
                      PR_MESSAGE_SIZE, PR_MESSAGE_CLASS},
                     &props),
            MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(props.count, 9u);
  EXPECT_EQ(props[0].ulPropTag, PR_ENTRYID);
  EXPECT_EQ(props[0].Value.bin.cb, 24u);
  for (ULONG i = 1; i < 9; ++i) {
    EXPECT_EQ(PROP_TYPE(props[i].ulPropTag), PT_ERROR) << i;
    EXPECT_EQ(props[i].Value.err, MAPI_E_NOT_FOUND) << i;
  }
  EXPECT_EQ(props[2].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_SUBJECT)));
}

TEST(MessageProps, ValuesComeBackExactlyAsWritten) {
  Fixture f;
  std::string binary("\x00\x01\xFF'\";\\", 7);
  MapiPtr<IMessage> message =
      NewMessage(f.inbox.get(), {Long(PR_MESSAGE_FLAGS, -5), Text(PR_SUBJECT, kAwkward),
                                 Time(PR_LAST_MODIFICATION_TIME, 0xDEADBEEF, 0x01D00000),
                                 Time(PR_MESSAGE_DELIVERY_TIME, 7, 0x01D00001),
                                 Text(PR_MESSAGE_CLASS, u"IPM.SMStext"), Text(PR_SENDER_NAME, u""),
                                 Binary(PROP_TAG(PT_BINARY, 0x6000), binary)});
  PropBuffer props;
  ASSERT_EQ(GetProps(message.get(),
                     {PR_MESSAGE_FLAGS, PR_SUBJECT, PR_LAST_MODIFICATION_TIME,
                      PR_MESSAGE_DELIVERY_TIME, PR_MESSAGE_CLASS, PR_SENDER_NAME,
                      PROP_TAG(PT_BINARY, 0x6000)},
                     &props),
            S_OK);
  EXPECT_EQ(props[0].Value.l, -5);
  EXPECT_EQ(TextOf(props[1]), kAwkward);
  EXPECT_EQ(props[2].Value.ft.dwLowDateTime, 0xDEADBEEFu);
  EXPECT_EQ(props[2].Value.ft.dwHighDateTime, 0x01D00000u);
  EXPECT_EQ(props[3].Value.ft.dwLowDateTime, 7u);
  EXPECT_EQ(props[3].Value.ft.dwHighDateTime, 0x01D00001u);
  EXPECT_EQ(TextOf(props[4]), u"IPM.SMStext");
  EXPECT_EQ(TextOf(props[5]), u"");
  EXPECT_EQ(BytesOf(props[6]), binary);
}

TEST(MessageProps, NoPropertyIsStampedByTheStore) {
  Fixture f;
  MapiPtr<IMessage> message = NewMessage(f.inbox.get(), {Text(PR_SUBJECT, u"hi")});
  ASSERT_EQ(message->SaveChanges(0), S_OK);
  PropBuffer all;
  ASSERT_EQ(message->GetProps(nullptr, 0, &all.count, &all.values), S_OK);
  ASSERT_EQ(all.count, 2u);
  EXPECT_EQ(all[0].ulPropTag, PR_ENTRYID);
  EXPECT_EQ(all[1].ulPropTag, PR_SUBJECT);
}

TEST(MessageProps, RewritingReplacesTheValueAndItsType) {
  Fixture f;
  MapiPtr<IMessage> message =
      NewMessage(f.inbox.get(), {Text(PR_SUBJECT, u"first"), Long(PR_MESSAGE_SIZE, 5)});
  SPropValue again[] = {Text(PR_SUBJECT, u"second"), Text(PROP_TAG(PT_UNICODE, 0x0E08), u"x")};
  ASSERT_EQ(message->SetProps(2, again, nullptr), S_OK);
  PropBuffer props;
  EXPECT_EQ(GetProps(message.get(), {PR_SUBJECT, PR_MESSAGE_SIZE, PROP_TAG(PT_UNICODE, 0x0E08)},
                     &props),
            MAPI_W_ERRORS_RETURNED);
  EXPECT_EQ(TextOf(props[0]), u"second");
  EXPECT_EQ(PROP_TYPE(props[1].ulPropTag), PT_ERROR);
  EXPECT_EQ(TextOf(props[2]), u"x");
}

TEST(MessageProps, EntryIdIsTheProvidersOwn) {
  Fixture f;
  MapiPtr<IMessage> message = NewMessage(f.inbox.get());
  std::string id = EntryIdOf(message.get());
  std::string forged = "forged";
  SPropValue values[] = {Binary(PR_ENTRYID, forged), Text(PR_SUBJECT, u"kept")};
  SPropProblemArray* problems = nullptr;
  ASSERT_EQ(message->SetProps(2, values, &problems), S_OK);
  ASSERT_NE(problems, nullptr);
  ASSERT_EQ(problems->cProblem, 1u);
  EXPECT_EQ(problems->aProblem[0].ulIndex, 0u);
  EXPECT_EQ(problems->aProblem[0].scode, MAPI_E_COMPUTED);
  MAPIFreeBuffer(problems);
  EXPECT_EQ(EntryIdOf(message.get()), id);
}

TEST(MessageProps, UnsupportedTypeWritesNothing) {
  Fixture f;
  MapiPtr<IMessage> message = NewMessage(f.inbox.get(), {Text(PR_SUBJECT, u"before")});
  SPropValue values[] = {Text(PR_SUBJECT, u"after"), Long(PROP_TAG(0x0014, 0x6001), 1)};
  EXPECT_EQ(message->SetProps(2, values, nullptr), MAPI_E_INVALID_PARAMETER);
  SPropValue nullText[] = {Text(PR_SUBJECT, nullptr)};
  EXPECT_EQ(message->SetProps(1, nullText, nullptr), MAPI_E_INVALID_PARAMETER);
  PropBuffer props;
  ASSERT_EQ(GetProps(message.get(), {PR_SUBJECT}, &props), S_OK);
  EXPECT_EQ(TextOf(props[0]), u"before");
}

TEST(MessageProps, WritesAreVisibleToASecondLogonAtOnce) {
  Fixture f;
  MapiPtr<IMessage> message = NewMessage(f.inbox.get(), {Text(PR_SUBJECT, kAwkward)});
  std::string id = EntryIdOf(message.get());

  MapiPtr<IMAPISession> second = Logon();
  MapiPtr<IMsgStore> store = OpenStore(second.get());
  ASSERT_EQ(id.size(), 24u);
  OpenedEntry opened = OpenEntryId(store.get(), id);
  ASSERT_EQ(opened.result, S_OK);
  ASSERT_EQ(opened.type, MAPI_MESSAGE);
  MapiPtr<IMessage> seen = opened.As<IMessage>();
  PropBuffer props;
  ASSERT_EQ(GetProps(seen.get(), {PR_SUBJECT}, &props), S_OK);
  EXPECT_EQ(TextOf(props[0]), kAwkward);

  // And the other way round, through an object opened before the write.
  SPropValue later[] = {Long(PR_MESSAGE_FLAGS, 3)};
  ASSERT_EQ(seen->SetProps(1, later, nullptr), S_OK);
  PropBuffer flags;
  ASSERT_EQ(GetProps(message.get(), {PR_MESSAGE_FLAGS}, &flags), S_OK);
  EXPECT_EQ(flags[0].Value.l, 3);
}

TEST(MessageProps, LoneSurrogatesAreKeptAsWritten) {
  Fixture f;
  const char16_t odd[] = {u'a', 0xD800, u'b', 0xDC00, 0};
  MapiPtr<IMessage> message = NewMessage(f.inbox.get(), {Text(PR_SUBJECT, odd)});
  PropBuffer props;
  ASSERT_EQ(GetProps(message.get(), {PR_SUBJECT}, &props), S_OK);
  EXPECT_EQ(TextOf(props[0]), std::u16string(odd));
}

// Runs one statement on the database file behind the provider's back.
void Tamper(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(MessageProps, DamagedStoredValuesAreReportedNotTrusted) {
  Fixture f;
  MapiPtr<IMessage> cut = NewMessage(f.inbox.get(), {Text(PR_SUBJECT, u"x")});
  MapiPtr<IMessage> odd = NewMessage(f.inbox.get(), {Long(PR_MESSAGE_FLAGS, 1)});
  // A list cut short, and a PT_LONG of two bytes (tag 0x0E070003 little-endian, length 2).
  Tamper(f.database.path(), "UPDATE messages SET props = x'1F003700FFFF' WHERE rowid = 1");
  Tamper(f.database.path(), "UPDATE messages SET props = x'0300070E020000000101' WHERE rowid = 2");
  PropBuffer props;
  EXPECT_EQ(GetProps(cut.get(), {PR_SUBJECT}, &props), MAPI_E_CALL_FAILED);
  EXPECT_EQ(props.values, nullptr);
  PropBuffer flags;
  EXPECT_EQ(GetProps(odd.get(), {PR_MESSAGE_FLAGS}, &flags), MAPI_W_ERRORS_RETURNED);
  EXPECT_EQ(PROP_TYPE(flags[0].ulPropTag), PT_ERROR);
  // The table still lists both rows.
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_ENTRYID, PR_SUBJECT});
  RowBuffer rows;
  ASSERT_EQ(table->QueryRows(10, 0, &rows.rows), S_OK);
  EXPECT_EQ(rows.size(), 2u);
}

std::vector<std::vector<std::u16string>> RecipientRows(IMessage* message) {
  MapiPtr<IMAPITable> table;
  EXPECT_EQ(message->GetRecipientTable(0, table.put()), S_OK);
  std::vector<std::vector<std::u16string>> out;
  for (;;) {
    RowBuffer row;
    EXPECT_EQ(table->QueryRows(1, 0, &row.rows), S_OK);
    if (row.size() == 0) break;
    std::vector<std::u16string> cells;
    for (ULONG i = 0; i < row[0].cValues; ++i) {
      const SPropValue& v = row[0].lpProps[i];
      switch (PROP_TYPE(v.ulPropTag)) {
        case PT_UNICODE:
          cells.push_back(TextOf(v));
          break;
        case PT_LONG:
          cells.push_back(u"#" + std::u16string(1, static_cast<char16_t>(u'0' + v.Value.l)));
          break;
        default:
          cells.push_back(u"err");
      }
    }
    out.push_back(cells);
  }
  return out;
}

TEST(Recipients, MessageWithoutRecipientsAnswersNoRecipients) {
  Fixture f;
  MapiPtr<IMessage> message = NewMessage(f.inbox.get());
  IMAPITable* table = reinterpret_cast<IMAPITable*>(1);
  EXPECT_EQ(message->GetRecipientTable(0, &table), MAPI_E_NO_RECIPIENTS);
  EXPECT_EQ(table, nullptr);
}

TEST(Recipients, AreAppendedInOrderWithTheirOwnExtraProperties) {
  Fixture f;
  MapiPtr<IMessage> message = NewMessage(f.inbox.get());
  SPropValue first[] = {Text(PR_EMAIL_ADDRESS, u"+4912345"), Long(PR_RECIPIENT_TYPE, MAPI_TO),
                        Text(PR_DISPLAY_NAME, kAwkward)};
  SPropValue second[] = {Text(PR_DISPLAY_NAME, u"Bea"), Long(PR_RECIPIENT_TYPE, MAPI_CC),
                         Text(PR_EMAIL_ADDRESS, u"555"), Text(PR_SENDER_NAME, u"extra")};
  ADRLIST* list = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(CbNewADRLIST(2), reinterpret_cast<void**>(&list)), S_OK);
  list->cEntries = 2;
  list->aEntries[0] = ADRENTRY{0, 3, first};
  list->aEntries[1] = ADRENTRY{0, 4, second};
  ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, list), S_OK);
  list->cEntries = 1;
  list->aEntries[0] = ADRENTRY{0, 1, first};  // address only
  ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, list), S_OK);
  MAPIFreeBuffer(list);

  auto rows = RecipientRows(message.get());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (std::vector<std::u16string>{u"+4912345", u"#1", kAwkward}));
  EXPECT_EQ(rows[1], (std::vector<std::u16string>{u"555", u"#2", u"Bea", u"extra"}));
  EXPECT_EQ(rows[2], (std::vector<std::u16string>{u"+4912345", u"err", u"err"}));
}

TEST(Recipients, OnlyAddingIsSupportedAndABadEntryAddsNothing) {
  Fixture f;
  MapiPtr<IMessage> message = NewMessage(f.inbox.get());
  SPropValue good[] = {Text(PR_EMAIL_ADDRESS, u"1")};
  SPropValue bad[] = {Text(PR_EMAIL_ADDRESS, nullptr)};
  ADRLIST* list = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(CbNewADRLIST(2), reinterpret_cast<void**>(&list)), S_OK);
  list->cEntries = 2;
  list->aEntries[0] = ADRENTRY{0, 1, good};
  list->aEntries[1] = ADRENTRY{0, 1, bad};
  EXPECT_EQ(message->ModifyRecipients(MODRECIP_ADD, list), MAPI_E_INVALID_PARAMETER);
  list->cEntries = 1;
  EXPECT_EQ(message->ModifyRecipients(1 /* remove */, list), MAPI_E_NO_SUPPORT);
  MAPIFreeBuffer(list);
  IMAPITable* table = nullptr;
  EXPECT_EQ(message->GetRecipientTable(0, &table), MAPI_E_NO_RECIPIENTS);
}

// A message being written is seen by nobody, another logon included, until it is saved whole;
// the ways a new message is saved or taken away.
TEST(NewMessages, ComeIntoSightWholeWhenSavedAndNeverHalfWritten) {
  Fixture f;
  MapiPtr<IMAPISession> second = Logon();
  MapiPtr<IMAPIFolder> secondInbox = OpenFolder(OpenStore(second.get()).get(), PR_CE_INBOX_ENTRYID);
  MapiPtr<IMessage> message;
  ASSERT_EQ(f.inbox->CreateMessage(nullptr, 0, message.put()), S_OK);
  SPropValue props[] = {Text(PR_SUBJECT, u"whole"), Time(PR_MESSAGE_DELIVERY_TIME, 5, 0x01D00000)};
  ASSERT_EQ(message->SetProps(2, props, nullptr), S_OK);
  SPropValue to[] = {Text(PR_EMAIL_ADDRESS, u"+4912345")};
  ADRLIST* list = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(CbNewADRLIST(1), reinterpret_cast<void**>(&list)), S_OK);
  list->cEntries = 1;
  list->aEntries[0] = ADRENTRY{0, 1, to};
  ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, list), S_OK);
  MAPIFreeBuffer(list);
  // Written, readable through its own object, but in no table, count or lookup yet.
  PropBuffer own;
  ASSERT_EQ(GetProps(message.get(), {PR_SUBJECT}, &own), S_OK);
  EXPECT_EQ(MessageCount(f.inbox.get()), 0u);
  EXPECT_EQ(MessageCount(secondInbox.get()), 0u);
  EXPECT_EQ(OpenEntryId(f.store.get(), EntryIdOf(message.get())).result, MAPI_E_NOT_FOUND);
  SPropValue at = props[1];
  ULONG subjectTag = PR_SUBJECT;
  const SPropTagArray subject{1, &subjectTag};
  int64_t from = 0;
  size_t seen = 0;
  ASSERT_EQ(ReadMessagesAt(f.inbox.get(), at.Value.ft, &subject, &from,
                           [&](int64_t, const SRow&, const SRowSet&) { return ++seen, true; }),
            S_OK);
  EXPECT_EQ(seen, 0u);

  ASSERT_EQ(message->SaveChanges(0), S_OK);
  EXPECT_EQ(MessageCount(secondInbox.get()), 1u);
  ASSERT_EQ(ReadMessagesAt(secondInbox.get(), at.Value.ft, &subject, &from,
                           [&](int64_t, const SRow&, const SRowSet& recipients) {
                             seen += recipients.cRows;
                             return true;
                           }),
            S_OK);
  EXPECT_EQ(seen, 1u);  // with its recipient
  EXPECT_EQ(message->SaveChanges(0), S_OK);  // nothing more to do

  // Released unsaved: saved, as the system relies on.
  ASSERT_EQ(f.inbox->CreateMessage(nullptr, 0, message.put()), S_OK);
  message.reset();
  EXPECT_EQ(MessageCount(secondInbox.get()), 2u);

  // Made in a transaction that is rolled back: gone, and saving it later brings back nothing.
  ASSERT_EQ(BeginStoreTransaction(f.store.get()), S_OK);
  ASSERT_EQ(f.inbox->CreateMessage(nullptr, 0, message.put()), S_OK);
  AbortStoreTransaction(f.store.get());
  EXPECT_EQ(message->SaveChanges(0), MAPI_E_NOT_FOUND);
  message.reset();
  EXPECT_EQ(MessageCount(f.inbox.get()), 2u);

  // Made in a transaction that commits: in sight with it, still open and unsaved.
  ASSERT_EQ(BeginStoreTransaction(f.store.get()), S_OK);
  ASSERT_EQ(BeginStoreTransaction(f.store.get()), S_OK);
  ASSERT_EQ(f.inbox->CreateMessage(nullptr, 0, message.put()), S_OK);
  ASSERT_EQ(CommitStoreTransaction(f.store.get()), S_OK);
  EXPECT_EQ(MessageCount(f.inbox.get()), 3u);
  AbortStoreTransaction(f.store.get());  // the outer one takes it away again
  EXPECT_EQ(MessageCount(f.inbox.get()), 2u);
  EXPECT_EQ(message->SaveChanges(0), MAPI_E_NOT_FOUND);
  message.reset();
  EXPECT_EQ(MessageCount(secondInbox.get()), 2u);
}

TEST(Memory, BlocksFromAllocateMoreGoWithTheirParent) {
  void* parent = nullptr;
  ASSERT_EQ(MAPIAllocateBuffer(16, &parent), S_OK);
  void* child = nullptr;
  void* grandchild = nullptr;
  ASSERT_EQ(MAPIAllocateMore(100, parent, &child), S_OK);
  ASSERT_EQ(MAPIAllocateMore(100, child, &grandchild), S_OK);  // hangs on the same parent
  std::memset(child, 1, 100);
  std::memset(grandchild, 2, 100);
  EXPECT_EQ(MAPIFreeBuffer(child), 0u);  // not freed on its own
  std::memset(child, 3, 100);
  EXPECT_EQ(MAPIFreeBuffer(parent), 0u);  // ASan reports a leak or double free otherwise
  EXPECT_EQ(MAPIFreeBuffer(nullptr), 0u);
  FreeProws(nullptr);
  void* none = nullptr;
  EXPECT_EQ(MAPIAllocateMore(4, nullptr, &none), MAPI_E_INVALID_PARAMETER);
}

}  // namespace
}  // namespace larkpost::mapi::testing
