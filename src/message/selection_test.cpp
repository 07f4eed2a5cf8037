#include "message/selection.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/time/filetime.h"

namespace larkpost {
namespace {

// The delivery-time ticks of a UTC instant.
uint64_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  const int64_t days = DaysFromCivil(year, month, day);
  return FileTimeToUInt64(UnixTimeToFileTime(days * 86400 + hour * 3600 + minute * 60 + second));
}

MessageRecord At(uint64_t ticks, std::u16string folder = u"Inbox") {
  MessageRecord message;
  message.folderPath = std::move(folder);
  message.deliveryTime = UInt64ToFileTime(ticks);
  return message;
}

class SelectionTime : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
  }
  static Selection Span(const char* since, const char* until) {
    Selection selection;
    uint64_t bound = 0;
    if (since != nullptr) {
      EXPECT_TRUE(ParseSelectionTime(since, false, bound)) << since;
      selection.SetSince(bound);
    }
    if (until != nullptr) {
      EXPECT_TRUE(ParseSelectionTime(until, true, bound)) << until;
      selection.SetUntil(bound);
    }
    return selection;
  }
};

TEST_F(SelectionTime, ADayIsWholeFromItsFirstToItsLastSecondOfLocalTime) {
  const Selection day = Span("2024-01-31", "2024-01-31");
  // Berlin is UTC+1 in winter: the local day runs from 23:00 UTC the evening before.
  EXPECT_FALSE(day.Selects(At(Utc(2024, 1, 30, 22, 59, 59))));
  EXPECT_TRUE(day.Selects(At(Utc(2024, 1, 30, 23, 0, 0))));
  EXPECT_TRUE(day.Selects(At(Utc(2024, 1, 31, 22, 59, 59))));
  EXPECT_TRUE(day.Selects(At(Utc(2024, 1, 31, 22, 59, 59) + 9'999'999)));  // its last tick
  EXPECT_FALSE(day.Selects(At(Utc(2024, 1, 31, 23, 0, 0))));
}

TEST_F(SelectionTime, DaysOfTwentyThreeAndTwentyFiveHoursAreWhole) {
  // Clocks go forward on 2024-03-31 (23 hours) and back on 2024-10-27 (25 hours).
  const Selection spring = Span("2024-03-31", "2024-03-31");
  EXPECT_TRUE(spring.Selects(At(Utc(2024, 3, 30, 23, 0, 0))));
  EXPECT_TRUE(spring.Selects(At(Utc(2024, 3, 31, 21, 59, 59))));
  EXPECT_FALSE(spring.Selects(At(Utc(2024, 3, 31, 22, 0, 0))));
  const Selection autumn = Span("2024-10-27", "2024-10-27");
  EXPECT_FALSE(autumn.Selects(At(Utc(2024, 10, 26, 21, 59, 59))));
  EXPECT_TRUE(autumn.Selects(At(Utc(2024, 10, 26, 22, 0, 0))));
  EXPECT_TRUE(autumn.Selects(At(Utc(2024, 10, 27, 22, 59, 59))));
  EXPECT_FALSE(autumn.Selects(At(Utc(2024, 10, 27, 23, 0, 0))));
}

TEST_F(SelectionTime, AReadingTheClocksShowTwiceIsTakenWhole) {
  // On 2024-10-27 Berlin's clocks show 02:00-03:00 twice: from 00:00 UTC (summer time) and
  // from 01:00 UTC. --since takes the first 02:00, --until the second 02:30 whole.
  const Selection since = Span("2024-10-27T02:00", nullptr);
  EXPECT_FALSE(since.Selects(At(Utc(2024, 10, 26, 23, 59, 59))));
  EXPECT_TRUE(since.Selects(At(Utc(2024, 10, 27, 0, 0, 0))));
  const Selection until = Span(nullptr, "2024-10-27T02:30");
  EXPECT_TRUE(until.Selects(At(Utc(2024, 10, 27, 1, 30, 59))));
  EXPECT_FALSE(until.Selects(At(Utc(2024, 10, 27, 1, 31, 0))));
}

TEST_F(SelectionTime, ATimeBoundTakesItsWholeMinuteOrSecond) {
  const Selection minute = Span("2024-01-31T18:30", "2024-01-31T18:30");
  EXPECT_FALSE(minute.Selects(At(Utc(2024, 1, 31, 17, 29, 59))));
  EXPECT_TRUE(minute.Selects(At(Utc(2024, 1, 31, 17, 30, 0))));
  EXPECT_TRUE(minute.Selects(At(Utc(2024, 1, 31, 17, 30, 59))));
  EXPECT_FALSE(minute.Selects(At(Utc(2024, 1, 31, 17, 31, 0))));
  const Selection second = Span(nullptr, "2024-01-31T18:30:15");
  EXPECT_TRUE(second.Selects(At(Utc(2024, 1, 31, 17, 30, 15))));
  EXPECT_FALSE(second.Selects(At(Utc(2024, 1, 31, 17, 30, 16))));
}

TEST_F(SelectionTime, DraftsWithoutATimeAreTakenOnlyWithoutASpanOrWhenAsked) {
  EXPECT_TRUE(Selection().Selects(At(0)));
  Selection since = Span("2024-01-31", nullptr);
  EXPECT_FALSE(since.Selects(At(0)));
  since.SetDrafts(true);
  EXPECT_TRUE(since.Selects(At(0)));
  EXPECT_FALSE(since.Selects(At(Utc(2020, 1, 1))));  // --drafts widens nothing else
}

TEST(ParseSelectionTime, OnlyRealDatesAndTimesInTheTwoForms) {
  uint64_t bound = 0;
  for (const char* bad : {"", "2024-02-30", "2023-02-29", "2024-1-5", "2024-01-31T25:00",
                          "2024-01-31T18:60", "2024-01-31T18", "2024-01-31T18:30:5",
                          "2024-01-31x", "31.01.2024", "yesterday", "2024-13-01"}) {
    EXPECT_FALSE(ParseSelectionTime(bad, false, bound)) << bad;
  }
  EXPECT_TRUE(ParseSelectionTime("2024-02-29", true, bound));
  EXPECT_TRUE(ParseSelectionTime("1999-12-31T23:59:59", true, bound));  // the next second
}

TEST(SelectionContact, ANumberMatchesHoweverItIsWrittenAndOnlyWhole) {
  Selection selection;
  selection.AddContact(u"+1 555-000-0001");
  for (const char16_t* written : {u"+1 (555) 000-0001", u"+1.555.000.0001", u"+15550000001"}) {
    MessageRecord received = At(1);
    received.senderAddress = written;
    EXPECT_TRUE(selection.Selects(received)) << std::u16string(written).size();
    MessageRecord sent = At(1, u"Sentedbox");
    sent.senderAddress = u"+4930";
    sent.recipients = {{u"", u"+4940", 1}, {u"", written, 2}};
    EXPECT_TRUE(selection.Selects(sent));
  }
  MessageRecord other = At(1);
  other.senderAddress = u"+1555000000";  // a prefix is another number
  EXPECT_FALSE(selection.Selects(other));
  EXPECT_EQ(NumberDigits(u"SHOP-INFO"), u"");  // a sender name is no number
}

TEST(SelectionContact, NamesMatchByPartInAnyLetterCaseBeyondAscii) {
  MessageRecord message = At(1);
  message.senderName = u"Jürgen Straße";
  message.senderAddress = u"+49151";
  for (const char16_t* text : {u"jürgen", u"JÜRGEN", u"STRASSE", u"gen str"}) {
    Selection selection;
    selection.AddContact(text);
    EXPECT_TRUE(selection.Selects(message)) << std::u16string(text).size();
  }
  Selection other;
  other.AddContact(u"Jurgen");  // letters differ, not only their case
  other.AddContact(u"+49152");
  EXPECT_FALSE(other.Selects(message));
  other.AddContact(u"0049 151");  // any contact of the list
  EXPECT_FALSE(other.Selects(message));
  other.AddContact(u"+49 151");
  EXPECT_TRUE(other.Selects(message));
}

TEST(SelectionFolders, TheStandardFolderOfThePathDecides) {
  Selection selection;
  std::array<bool, kFolderKindCount> folders{};
  folders[static_cast<int>(FolderKind::Sent)] = true;
  selection.SetFolders(folders);
  EXPECT_TRUE(selection.Narrows());
  EXPECT_FALSE(selection.LooksAtMessages());
  EXPECT_TRUE(selection.Selects(At(1, u"sentedbox\\Work\\Old")));
  EXPECT_FALSE(selection.Selects(At(1, u"Inbox\\Sentedbox")));
  EXPECT_FALSE(selection.Selects(At(1, u"Attic")));
  EXPECT_TRUE(Selection().Selects(At(1, u"Attic")));
  EXPECT_FALSE(Selection().Narrows());
}

}  // namespace
}  // namespace larkpost
