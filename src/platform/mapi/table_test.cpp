#include <string>

#include "platform/mapi/database.h"
#include "platform/mapi/mapi_test_support.h"

namespace larkpost::mapi::testing {
namespace {

std::u16string Numbered(int i) {
  std::u16string name = u"m";
  for (char digit : std::to_string(i)) name.push_back(static_cast<char16_t>(digit));
  return name;
}

// Adds messages "m<first>".."m<last>" with delivery time (i, 1).
void AddMessages(IMAPIFolder* folder, int first, int last) {
  for (int i = first; i <= last; ++i) {
    std::u16string subject = Numbered(i);
    NewMessage(folder, {Text(PR_SUBJECT, subject.c_str()),
                        Time(PR_MESSAGE_DELIVERY_TIME, static_cast<uint32_t>(i), 1)});
  }
}

std::vector<size_t> PageSizes(IMAPITable* table, LONG pageSize) {
  std::vector<size_t> sizes;
  for (;;) {
    size_t n = Subjects(table, pageSize).size();
    sizes.push_back(n);
    if (n == 0) return sizes;
  }
}

// The statement steps a FindRow for `value` takes from the beginning; it must answer `expected`.
uint64_t FindRowSteps(IMAPITable* table, SPropValue value, HRESULT expected) {
  SRestriction r = PropertyIs(&value);
  const uint64_t before = StatementStepsForTesting();
  EXPECT_EQ(table->FindRow(&r, BOOKMARK_BEGINNING, 0), expected);
  return StatementStepsForTesting() - before;
}

TEST(ContentsTable, PagesTwentyFiveRowsAsTenTenFiveAndNone) {
  Fixture f;
  AddMessages(f.inbox.get(), 1, 25);
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_SUBJECT});
  EXPECT_EQ(RowCount(table.get()), 25u);
  EXPECT_EQ(Subjects(table.get(), 10).front(), u"m1");
  EXPECT_EQ(Subjects(table.get(), 10).front(), u"m11");
  EXPECT_EQ(Subjects(table.get(), 10), (std::vector<std::u16string>{u"m21", u"m22", u"m23",
                                                                    u"m24", u"m25"}));
  EXPECT_TRUE(Subjects(table.get(), 10).empty());
  ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
  EXPECT_EQ(PageSizes(table.get(), 10), (std::vector<size_t>{10, 10, 5, 0}));
}

TEST(ContentsTable, IsALiveViewOfTheFolder) {
  Fixture f;
  AddMessages(f.inbox.get(), 1, 3);
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_SUBJECT, PR_ENTRYID});
  EXPECT_EQ(Subjects(table.get(), 2), (std::vector<std::u16string>{u"m1", u"m2"}));
  AddMessages(f.inbox.get(), 4, 5);  // added during the walk
  EXPECT_EQ(Subjects(table.get(), 10), (std::vector<std::u16string>{u"m3", u"m4", u"m5"}));
  EXPECT_TRUE(Subjects(table.get(), 10).empty());
  AddMessages(f.inbox.get(), 6, 6);  // added after the walk reached the end
  EXPECT_EQ(Subjects(table.get(), 10), std::vector<std::u16string>{u"m6"});
  EXPECT_EQ(RowCount(table.get()), 6u);
}

TEST(ContentsTable, RowsHoldTheChosenColumnsAndOpenableEntryIds) {
  Fixture f;
  AddMessages(f.inbox.get(), 1, 1);
  MapiPtr<IMAPITable> table =
      ContentsTable(f.inbox.get(), {PR_ENTRYID, PR_SENDER_NAME, PR_MESSAGE_DELIVERY_TIME});
  RowBuffer rows;
  ASSERT_EQ(table->QueryRows(1, 0, &rows.rows), S_OK);
  ASSERT_EQ(rows.size(), 1u);
  const SRow& row = rows[0];
  ASSERT_EQ(row.cValues, 3u);
  EXPECT_EQ(row.lpProps[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_SENDER_NAME)));
  EXPECT_EQ(row.lpProps[1].Value.err, MAPI_E_NOT_FOUND);
  EXPECT_EQ(row.lpProps[2].Value.ft.dwLowDateTime, 1u);
  OpenedEntry opened = OpenEntryId(f.inbox.get(), row.lpProps[0].Value.bin);
  ASSERT_EQ(opened.result, S_OK);
  EXPECT_EQ(opened.type, MAPI_MESSAGE);
  MapiPtr<IMessage> message = opened.As<IMessage>();
  PropBuffer props;
  ASSERT_EQ(GetProps(message.get(), {PR_SUBJECT}, &props), S_OK);
  EXPECT_EQ(TextOf(props[0]), u"m1");
}

TEST(ContentsTable, SeeksFromEachBookmark) {
  Fixture f;
  AddMessages(f.inbox.get(), 1, 6);
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_SUBJECT});
  LONG sought = 0;
  ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 2, &sought), S_OK);
  EXPECT_EQ(sought, 2);
  EXPECT_EQ(Subjects(table.get(), 1).front(), u"m3");
  ASSERT_EQ(table->SeekRow(BOOKMARK_CURRENT, -2, &sought), S_OK);
  EXPECT_EQ(sought, -2);
  EXPECT_EQ(Subjects(table.get(), 1).front(), u"m2");
  ASSERT_EQ(table->SeekRow(BOOKMARK_END, -1, &sought), S_OK);
  EXPECT_EQ(sought, -1);
  EXPECT_EQ(Subjects(table.get(), 5), std::vector<std::u16string>{u"m6"});
  ASSERT_EQ(table->SeekRow(BOOKMARK_CURRENT, 10, &sought), S_OK);
  EXPECT_EQ(sought, 0);
  ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, -3, &sought), S_OK);
  EXPECT_EQ(sought, 0);
  ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 100, &sought), S_OK);
  EXPECT_EQ(sought, 6);
  EXPECT_EQ(table->SeekRow(7, 0, nullptr), MAPI_E_INVALID_PARAMETER);
}

TEST(ContentsTable, OnlyListsItsOwnFolder) {
  Fixture f;
  MapiPtr<IMAPIFolder> drafts = OpenFolder(f.store.get(), PR_CE_DRAFTS_ENTRYID);
  AddMessages(f.inbox.get(), 1, 2);
  AddMessages(drafts.get(), 3, 3);
  AddMessages(f.inbox.get(), 4, 4);
  MapiPtr<IMAPITable> table = ContentsTable(drafts.get(), {PR_SUBJECT});
  EXPECT_EQ(Subjects(table.get(), 10), std::vector<std::u16string>{u"m3"});
}

TEST(FindRow, FindsTheFirstMatchAtOrAfterTheOriginAndPositionsOnIt) {
  Fixture f;
  AddMessages(f.inbox.get(), 1, 5);
  AddMessages(f.inbox.get(), 3, 3);  // a second message with time (3, 1), as the sixth row
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_SUBJECT});
  SPropValue time = Time(PR_MESSAGE_DELIVERY_TIME, 3, 1);
  SRestriction r = PropertyIs(&time);
  ASSERT_EQ(table->FindRow(&r, BOOKMARK_BEGINNING, 0), S_OK);
  EXPECT_EQ(Subjects(table.get(), 10),
            (std::vector<std::u16string>{u"m3", u"m4", u"m5", u"m3"}));
  ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 3, nullptr), S_OK);
  ASSERT_EQ(table->FindRow(&r, BOOKMARK_CURRENT, 0), S_OK);
  EXPECT_EQ(Subjects(table.get(), 10), std::vector<std::u16string>{u"m3"});
  ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 1, nullptr), S_OK);
  EXPECT_EQ(table->FindRow(&r, BOOKMARK_CURRENT, 0), S_OK);
  EXPECT_EQ(table->FindRow(&r, BOOKMARK_END, 0), MAPI_E_NOT_FOUND);
}

TEST(FindRow, MissesOnOtherTimesOtherTypesAndOtherFolders) {
  Fixture f;
  MapiPtr<IMAPIFolder> drafts = OpenFolder(f.store.get(), PR_CE_DRAFTS_ENTRYID);
  AddMessages(f.inbox.get(), 1, 3);
  AddMessages(drafts.get(), 9, 9);
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_SUBJECT});
  SPropValue otherHigh = Time(PR_MESSAGE_DELIVERY_TIME, 2, 2);
  SRestriction r1 = PropertyIs(&otherHigh);
  EXPECT_EQ(table->FindRow(&r1, BOOKMARK_BEGINNING, 0), MAPI_E_NOT_FOUND);
  SPropValue inDrafts = Time(PR_MESSAGE_DELIVERY_TIME, 9, 1);
  SRestriction r2 = PropertyIs(&inDrafts);
  EXPECT_EQ(table->FindRow(&r2, BOOKMARK_BEGINNING, 0), MAPI_E_NOT_FOUND);
  // The value's type must be the column's: a PT_LONG 2 is not the time (2, 1).
  SPropValue wrongType = Long(PROP_TAG(PT_LONG, PROP_ID(PR_MESSAGE_DELIVERY_TIME)), 2);
  SRestriction r3{};
  r3.rt = RES_PROPERTY;
  r3.res.resProperty = SPropertyRestriction{RELOP_EQ, PR_MESSAGE_DELIVERY_TIME, &wrongType};
  EXPECT_EQ(table->FindRow(&r3, BOOKMARK_BEGINNING, 0), MAPI_E_NOT_FOUND);
  // A miss leaves the position alone.
  EXPECT_EQ(Subjects(table.get(), 1), std::vector<std::u16string>{u"m1"});
}

TEST(FindRow, AndOfDeliveryTimeAndSubject) {
  Fixture f;
  NewMessage(f.inbox.get(), {Text(PR_SUBJECT, u"a"), Time(PR_MESSAGE_DELIVERY_TIME, 5, 5)});
  NewMessage(f.inbox.get(), {Text(PR_SUBJECT, u"b;'\\"), Time(PR_MESSAGE_DELIVERY_TIME, 5, 5)});
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_SUBJECT});
  SPropValue time = Time(PR_MESSAGE_DELIVERY_TIME, 5, 5);
  SPropValue subject = Text(PR_SUBJECT, u"b;'\\");
  SRestriction parts[] = {PropertyIs(&time), PropertyIs(&subject)};
  SRestriction both{};
  both.rt = RES_AND;
  both.res.resAnd = SAndRestriction{2, parts};
  ASSERT_EQ(table->FindRow(&both, BOOKMARK_BEGINNING, 0), S_OK);
  EXPECT_EQ(Subjects(table.get(), 5), std::vector<std::u16string>{u"b;'\\"});
  SPropValue otherSubject = Text(PR_SUBJECT, u"B;'\\");
  parts[1] = PropertyIs(&otherSubject);
  EXPECT_EQ(table->FindRow(&both, BOOKMARK_BEGINNING, 0), MAPI_E_NOT_FOUND);
  // A restriction on a column the table does not show still applies to the row.
  std::string unknownId = "nothing like it";
  SPropValue byId = Binary(PR_ENTRYID, unknownId);
  SRestriction r = PropertyIs(&byId);
  EXPECT_EQ(table->FindRow(&r, BOOKMARK_BEGINNING, 0), MAPI_E_NOT_FOUND);
}

TEST(FindRow, ByDeliveryTimeIsAnIndexSeekNotAScan) {
  Fixture f;
  constexpr int kMessages = 2000;
  AddMessages(f.inbox.get(), 1, kMessages);
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_SUBJECT});
  // A scan of the folder takes several steps per row; a seek a few dozen in all.
  EXPECT_LT(FindRowSteps(table.get(), Time(PR_MESSAGE_DELIVERY_TIME, 1500, 1), S_OK), 100u);
  EXPECT_LT(FindRowSteps(table.get(), Time(PR_MESSAGE_DELIVERY_TIME, 1500, 2), MAPI_E_NOT_FOUND),
            100u);
  EXPECT_EQ(Subjects(table.get(), 1), std::vector<std::u16string>{u"m1500"});
}

TEST(FindRow, RefusesWhatItCannotEvaluate) {
  Fixture f;
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_SUBJECT});
  SPropValue time = Time(PR_MESSAGE_DELIVERY_TIME, 5, 5);
  SRestriction greater = PropertyIs(&time);
  greater.res.resProperty.relop = 2;
  EXPECT_EQ(table->FindRow(&greater, BOOKMARK_BEGINNING, 0), MAPI_E_NO_SUPPORT);
  SRestriction noValue = PropertyIs(&time);
  noValue.res.resProperty.lpProp = nullptr;
  EXPECT_EQ(table->FindRow(&noValue, BOOKMARK_BEGINNING, 0), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(table->FindRow(nullptr, BOOKMARK_BEGINNING, 0), MAPI_E_INVALID_PARAMETER);
}

TEST(Restrict, LimitsRowsAndCountUntilLifted) {
  Fixture f;
  for (int i = 1; i <= 6; ++i) {
    std::u16string subject = Numbered(i);
    NewMessage(f.inbox.get(), {Text(PR_SUBJECT, subject.c_str()),
                               Time(PR_MESSAGE_DELIVERY_TIME, static_cast<uint32_t>(i % 2), 0)});
  }
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_SUBJECT});
  Subjects(table.get(), 2);
  SPropValue odd = Time(PR_MESSAGE_DELIVERY_TIME, 1, 0);
  SRestriction r = PropertyIs(&odd);
  ASSERT_EQ(table->Restrict(&r, 0), S_OK);
  EXPECT_EQ(RowCount(table.get()), 3u);
  EXPECT_EQ(Subjects(table.get(), 2), (std::vector<std::u16string>{u"m1", u"m3"}));
  NewMessage(f.inbox.get(), {Text(PR_SUBJECT, u"m7"), Time(PR_MESSAGE_DELIVERY_TIME, 1, 0)});
  EXPECT_EQ(Subjects(table.get(), 5), (std::vector<std::u16string>{u"m5", u"m7"}));
  ASSERT_EQ(table->Restrict(nullptr, 0), S_OK);
  EXPECT_EQ(RowCount(table.get()), 7u);
  EXPECT_EQ(Subjects(table.get(), 1), std::vector<std::u16string>{u"m1"});
}

TEST(Restrict, OnATextColumnWithoutAnIndex) {
  Fixture f;
  AddMessages(f.inbox.get(), 1, 300);
  MapiPtr<IMAPITable> table = ContentsTable(f.inbox.get(), {PR_SUBJECT});
  SPropValue subject = Text(PR_SUBJECT, u"m299");
  SRestriction r = PropertyIs(&subject);
  ASSERT_EQ(table->Restrict(&r, 0), S_OK);
  EXPECT_EQ(Subjects(table.get(), 10), std::vector<std::u16string>{u"m299"});
}

TEST(HierarchyTable, ListsImmediateChildrenInCreationOrder) {
  Fixture f;
  MapiPtr<IMAPIFolder> b, a, inner;
  ASSERT_EQ(f.inbox->CreateFolder(0, u"b", nullptr, nullptr, MAPI_UNICODE, b.put()), S_OK);
  ASSERT_EQ(f.inbox->CreateFolder(0, u"a", u"note", nullptr, MAPI_UNICODE, a.put()), S_OK);
  ASSERT_EQ(b->CreateFolder(0, u"inner", nullptr, nullptr, MAPI_UNICODE, inner.put()), S_OK);
  MapiPtr<IMAPITable> table;
  ASSERT_EQ(f.inbox->GetHierarchyTable(0, table.put()), S_OK);
  EXPECT_EQ(RowCount(table.get()), 2u);
  ULONG columns[] = {PR_DISPLAY_NAME, PR_ENTRYID, PR_COMMENT};
  SPropTagArray tags{3, columns};
  ASSERT_EQ(table->SetColumns(&tags, 0), S_OK);
  RowBuffer rows;
  ASSERT_EQ(table->QueryRows(10, 0, &rows.rows), S_OK);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(TextOf(rows[0].lpProps[0]), u"b");
  EXPECT_EQ(BytesOf(rows[0].lpProps[1]), EntryIdOf(b.get()));
  EXPECT_EQ(PROP_TYPE(rows[0].lpProps[2].ulPropTag), PT_ERROR);
  EXPECT_EQ(TextOf(rows[1].lpProps[0]), u"a");
  EXPECT_EQ(TextOf(rows[1].lpProps[2]), u"note");
  // Folders opened from the hierarchy are reachable through the store.
  OpenedEntry opened = OpenEntryId(f.store.get(), rows[1].lpProps[1].Value.bin);
  ASSERT_EQ(opened.result, S_OK);
  EXPECT_EQ(opened.type, MAPI_FOLDER);
}

TEST(HierarchyTable, FindsAChildByItsExactName) {
  Fixture f;
  const char16_t* names[] = {u"a'b", u"A'B", u"x\\y; --"};
  for (const char16_t* name : names) {
    MapiPtr<IMAPIFolder> folder;
    ASSERT_EQ(f.inbox->CreateFolder(0, name, nullptr, nullptr, MAPI_UNICODE, folder.put()), S_OK);
  }
  MapiPtr<IMAPITable> table;
  ASSERT_EQ(f.inbox->GetHierarchyTable(0, table.put()), S_OK);
  ULONG columns[] = {PR_DISPLAY_NAME};
  SPropTagArray tags{1, columns};
  ASSERT_EQ(table->SetColumns(&tags, 0), S_OK);
  SPropValue name = Text(PR_DISPLAY_NAME, u"A'B");
  SRestriction r = PropertyIs(&name);
  ASSERT_EQ(table->FindRow(&r, BOOKMARK_BEGINNING, 0), S_OK);
  EXPECT_EQ(Subjects(table.get(), 10), (std::vector<std::u16string>{u"A'B", u"x\\y; --"}));
  SPropValue missing = Text(PR_DISPLAY_NAME, u"a'B");
  r = PropertyIs(&missing);
  EXPECT_EQ(table->FindRow(&r, BOOKMARK_BEGINNING, 0), MAPI_E_NOT_FOUND);
}

TEST(HierarchyTable, FindingAChildByNameIsAnIndexSeekNotAScan) {
  Fixture f;
  constexpr int kFolders = 1000;
  for (int i = 0; i < kFolders; ++i) {
    std::u16string name = u"f";
    for (char c : std::to_string(i)) name.push_back(static_cast<char16_t>(c));
    MapiPtr<IMAPIFolder> folder;
    ASSERT_EQ(f.inbox->CreateFolder(0, name.c_str(), nullptr, nullptr, MAPI_UNICODE,
                                    folder.put()),
              S_OK);
  }
  MapiPtr<IMAPITable> table;
  ASSERT_EQ(f.inbox->GetHierarchyTable(0, table.put()), S_OK);
  ULONG columns[] = {PR_DISPLAY_NAME};
  SPropTagArray tags{1, columns};
  ASSERT_EQ(table->SetColumns(&tags, 0), S_OK);
  EXPECT_LT(FindRowSteps(table.get(), Text(PR_DISPLAY_NAME, u"f900"), S_OK), 100u);
  EXPECT_LT(FindRowSteps(table.get(), Text(PR_DISPLAY_NAME, u"f1000"), MAPI_E_NOT_FOUND), 100u);
  EXPECT_EQ(Subjects(table.get(), 1), std::vector<std::u16string>{u"f900"});
}

TEST(CreateFolder, OpensAnExistingNameOnlyWhenAsked) {
  Fixture f;
  MapiPtr<IMAPIFolder> first, again, other;
  ASSERT_EQ(f.inbox->CreateFolder(0, u"Work", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS,
                                  first.put()),
            S_OK);
  ASSERT_EQ(f.inbox->CreateFolder(0, u"Work", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS,
                                  again.put()),
            S_OK);
  EXPECT_EQ(EntryIdOf(first.get()), EntryIdOf(again.get()));
  IMAPIFolder* collided = nullptr;
  EXPECT_EQ(f.inbox->CreateFolder(0, u"Work", nullptr, nullptr, MAPI_UNICODE, &collided),
            MAPI_E_COLLISION);
  EXPECT_EQ(collided, nullptr);
  // Names match exactly: another case is another folder.
  ASSERT_EQ(f.inbox->CreateFolder(0, u"work", nullptr, nullptr, MAPI_UNICODE | OPEN_IF_EXISTS,
                                  other.put()),
            S_OK);
  EXPECT_NE(EntryIdOf(first.get()), EntryIdOf(other.get()));
  IMAPIFolder* none = nullptr;
  EXPECT_EQ(f.inbox->CreateFolder(0, u"", nullptr, nullptr, MAPI_UNICODE, &none),
            MAPI_E_INVALID_PARAMETER);
}

TEST(CreateFolder, AwkwardNamesRoundTripExactly) {
  Fixture f;
  const std::u16string names[] = {u"O'Brien", u"a\"b", u"x; DROP TABLE folders;--",
                                  u"back\\slash", u"Grüße 你好 \U0001F600", u"%_*"};
  for (const std::u16string& name : names) {
    MapiPtr<IMAPIFolder> folder;
    ASSERT_EQ(f.inbox->CreateFolder(0, name.c_str(), nullptr, nullptr,
                                    MAPI_UNICODE | OPEN_IF_EXISTS, folder.put()),
              S_OK);
    PropBuffer props;
    ASSERT_EQ(GetProps(folder.get(), {PR_DISPLAY_NAME}, &props), S_OK);
    EXPECT_EQ(TextOf(props[0]), name);
  }
  MapiPtr<IMAPITable> table;
  ASSERT_EQ(f.inbox->GetHierarchyTable(0, table.put()), S_OK);
  EXPECT_EQ(RowCount(table.get()), 6u);
  // Each name opens its own folder again rather than making a new one.
  for (const std::u16string& name : names) {
    IMAPIFolder* folder = nullptr;
    EXPECT_EQ(f.inbox->CreateFolder(0, name.c_str(), nullptr, nullptr, MAPI_UNICODE, &folder),
              MAPI_E_COLLISION);
  }
}

}  // namespace
}  // namespace larkpost::mapi::testing
