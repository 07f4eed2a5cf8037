#include <string>
#include <vector>

#include "platform/mapi/database.h"
#include "platform/mapi/mapi_test_support.h"

namespace larkpost::mapi::testing {
namespace {

// What ReadMessagesAt handed out: per message its subject and its recipients' display names.
struct Seen {
  std::u16string subject;
  std::vector<std::u16string> recipients;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> ReadAt(IMAPIFolder* folder, FILETIME time, int64_t* position,
                         size_t stopAfter = SIZE_MAX) {
  ULONG tags[] = {PR_SUBJECT, PR_ENTRYID};
  SPropTagArray columns{2, tags};
  std::vector<Seen> seen;
  EXPECT_EQ(ReadMessagesAt(folder, time, &columns, position,
                           [&](int64_t, const SRow& message, const SRowSet& recipients) {
                             EXPECT_EQ(message.cValues, 2u);
                             Seen one{TextOf(message.lpProps[0]), {}};
                             for (ULONG i = 0; i < recipients.cRows; ++i) {
                               const SRow& row = recipients.aRow[i];
                               for (ULONG k = 0; k < row.cValues; ++k) {
                                 if (row.lpProps[k].ulPropTag == PR_DISPLAY_NAME) {
                                   one.recipients.push_back(TextOf(row.lpProps[k]));
                                 }
                               }
                             }
                             seen.push_back(std::move(one));
                             return seen.size() < stopAfter;
                           }),
            S_OK);
  return seen;
}

void AddRecipients(IMessage* message, std::vector<const char16_t*> names) {
  std::vector<std::vector<SPropValue>> values;
  std::vector<ADRENTRY> entries;
  for (const char16_t* name : names) {
    values.push_back({Text(PR_DISPLAY_NAME, name), Text(PR_EMAIL_ADDRESS, u"+49"),
                      Long(PR_RECIPIENT_TYPE, MAPI_TO)});
  }
  std::vector<char> block(CbNewADRLIST(static_cast<ULONG>(names.size())));
  auto* list = reinterpret_cast<ADRLIST*>(block.data());
  list->cEntries = static_cast<ULONG>(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    list->aEntries[i] = ADRENTRY{0, 3, values[i].data()};
  }
  ASSERT_EQ(message->ModifyRecipients(MODRECIP_ADD, list), S_OK);
}

MapiPtr<IMessage> At(IMAPIFolder* folder, const char16_t* subject, uint32_t time) {
  return NewMessage(folder, {Text(PR_SUBJECT, subject), Time(PR_MESSAGE_DELIVERY_TIME, time, 1)});
}

TEST(ReadMessagesAt, GivesOneTimeOfOneFolderWithRecipientsThenOnlyWhatWasAdded) {
  Fixture f;
  MapiPtr<IMAPIFolder> outbox = OpenFolder(f.store.get(), PR_IPM_OUTBOX_ENTRYID);
  AddRecipients(At(f.inbox.get(), u"a", 7).get(), {u"Ann", u"Bob"});
  At(f.inbox.get(), u"other time", 8);
  At(f.inbox.get(), u"b", 7);
  At(outbox.get(), u"other folder", 7);
  int64_t position = 0;
  EXPECT_EQ(ReadAt(f.inbox.get(), FILETIME{7, 1}, &position),
            (std::vector<Seen>{{u"a", {u"Ann", u"Bob"}}, {u"b", {}}}));
  EXPECT_TRUE(ReadAt(f.inbox.get(), FILETIME{7, 1}, &position).empty());
  AddRecipients(At(f.inbox.get(), u"c", 7).get(), {u"Cy"});
  EXPECT_EQ(ReadAt(f.inbox.get(), FILETIME{7, 1}, &position),
            (std::vector<Seen>{{u"c", {u"Cy"}}}));
  int64_t fresh = 0;
  EXPECT_TRUE(ReadAt(f.inbox.get(), FILETIME{9, 1}, &fresh).empty());

  // An index seek: a time among thousands costs a few dozen statement steps, not a walk.
  for (uint32_t i = 100; i < 2100; ++i) At(f.inbox.get(), u"filler", i);
  fresh = 0;
  const uint64_t before = StatementStepsForTesting();
  EXPECT_EQ(ReadAt(f.inbox.get(), FILETIME{1500, 1}, &fresh).size(), 1u);
  EXPECT_LT(StatementStepsForTesting() - before, 100u);

  AddFault("ReadMessagesAt", 1, MAPI_E_CALL_FAILED);
  ULONG tags[] = {PR_SUBJECT};
  SPropTagArray columns{1, tags};
  EXPECT_EQ(ReadMessagesAt(f.inbox.get(), FILETIME{7, 1}, &columns, &position,
                           [](int64_t, const SRow&, const SRowSet&) { return true; }),
            MAPI_E_CALL_FAILED);
}

// Time zero is also every message without a delivery time; more of them than one statement run
// takes are each visited once, in order, and a visit that answers false stops the walk there.
TEST(ReadMessagesAt, TimeZeroTakesMessagesWithoutATimeWhateverTheirNumber) {
  Fixture f;
  std::vector<Seen> drafts;
  for (int i = 0; i < 600; ++i) {
    const std::u16string subject = u"d" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
    if (i % 2 == 0) {
      NewMessage(f.inbox.get(), {Text(PR_SUBJECT, subject.c_str())});
    } else {
      NewMessage(f.inbox.get(), {Text(PR_SUBJECT, subject.c_str()),
                                 Time(PR_MESSAGE_DELIVERY_TIME, 0, 0)});
    }
    drafts.push_back({subject, {}});
    if (i % 100 == 0) At(f.inbox.get(), u"timed", 5);
  }
  int64_t position = 0;
  std::vector<Seen> seen = ReadAt(f.inbox.get(), FILETIME{0, 0}, &position, 400);
  EXPECT_EQ(seen.size(), 400u);
  for (Seen& rest : ReadAt(f.inbox.get(), FILETIME{0, 0}, &position)) seen.push_back(rest);
  EXPECT_EQ(seen, drafts);
}

// What ReadMessagesFrom handed out, per message its subject and position, and where it says the
// times go on.
struct Walk {
  std::vector<std::u16string> subjects;
  std::vector<int64_t> positions;
  FILETIME next{};
};

Walk ReadFrom(IMAPIFolder* folder, uint32_t from, size_t atLeast) {
  ULONG tags[] = {PR_SUBJECT};
  SPropTagArray columns{1, tags};
  Walk walk;
  EXPECT_EQ(ReadMessagesFrom(folder, FILETIME{from, 1}, atLeast, &columns, &walk.next,
                             [&](int64_t position, const SRow& message, const SRowSet&) {
                               walk.subjects.push_back(TextOf(message.lpProps[0]));
                               walk.positions.push_back(position);
                               return true;
                             }),
            S_OK);
  return walk;
}

int64_t PositionOf(IMessage* message) {
  int64_t position = 0;
  EXPECT_EQ(MessagePosition(message, &position), S_OK);
  return position;
}

// A walk along the time index: times in order whatever the insertion order, each time whole
// (also one with more messages than a statement reads at once), and `next` exactly where the
// walk stopped, so the caller knows which times it has seen completely.
TEST(ReadMessagesFrom, VisitsWholeTimesInTimeOrderAndSaysWhereItStopped) {
  Fixture f;
  MapiPtr<IMAPIFolder> outbox = OpenFolder(f.store.get(), PR_IPM_OUTBOX_ENTRYID);
  At(f.inbox.get(), u"30", 30);
  const int64_t first = PositionOf(At(f.inbox.get(), u"10a", 10).get());
  At(outbox.get(), u"other folder", 20);
  At(f.inbox.get(), u"20", 20);
  const int64_t second = PositionOf(At(f.inbox.get(), u"10b", 10).get());
  NewMessage(f.inbox.get(), {Text(PR_SUBJECT, u"no time")});
  for (int i = 0; i < 300; ++i) At(f.inbox.get(), u"40", 40);

  Walk walk = ReadFrom(f.inbox.get(), 10, 1);
  EXPECT_EQ(walk.subjects, (std::vector<std::u16string>{u"10a", u"10b"}));
  EXPECT_EQ(walk.positions, (std::vector<int64_t>{first, second}));
  EXPECT_LT(first, second);
  EXPECT_EQ(walk.next.dwLowDateTime, 20u);
  EXPECT_EQ(walk.next.dwHighDateTime, 1u);

  walk = ReadFrom(f.inbox.get(), 11, 2);
  EXPECT_EQ(walk.subjects, (std::vector<std::u16string>{u"20", u"30"}));
  EXPECT_EQ(walk.next.dwLowDateTime, 40u);

  walk = ReadFrom(f.inbox.get(), 30, 2);
  ASSERT_EQ(walk.subjects.size(), 301u);
  EXPECT_EQ(walk.subjects.back(), u"40");
  EXPECT_EQ(walk.next.dwLowDateTime | walk.next.dwHighDateTime, 0u) << "no message left out";

  EXPECT_TRUE(ReadFrom(f.inbox.get(), 41, 5).subjects.empty());

  // Time zero and the top half of the range are not in the index's order.
  ULONG tags[] = {PR_SUBJECT};
  SPropTagArray columns{1, tags};
  FILETIME next{};
  const auto ignore = [](int64_t, const SRow&, const SRowSet&) { return true; };
  EXPECT_EQ(ReadMessagesFrom(f.inbox.get(), FILETIME{0, 0}, 1, &columns, &next, ignore),
            MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(ReadMessagesFrom(f.inbox.get(), FILETIME{0, 0x80000000u}, 1, &columns, &next, ignore),
            MAPI_E_INVALID_PARAMETER);
  AddFault("ReadMessagesFrom", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(ReadMessagesFrom(f.inbox.get(), FILETIME{10, 1}, 1, &columns, &next, ignore),
            MAPI_E_CALL_FAILED);
  ClearFaults();
}

}  // namespace
}  // namespace larkpost::mapi::testing
