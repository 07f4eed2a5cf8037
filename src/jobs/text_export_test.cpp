#include "formats/text_export.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "jobs/store_backup.h"
#include "jobs/store_backup_test_util.h"
#include "jobs/job_records.h"
#include "jobs/message_files.h"
#include "platform/file/byte_sink.h"

namespace larkpost {
namespace {

using testing::AddMessage;
using testing::TempStore;
using testing::WriteSelected;

// The expectations below are local times of this zone (the test harness sets it as well).
const bool kBerlinTime = [] {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  return true;
}();

constexpr uint64_t kMarch5 = 128807104260000000;    // 2009-03-05 07:07:06 UTC, winter time
constexpr uint64_t kJuly15 = 133655112000000000;    // 2024-07-15 10:00:00 UTC, summer time

std::u16string Format(uint64_t time) { return FormatMessageTime(UInt64ToFileTime(time)); }

TEST(FormatMessageTime, LocalTimeWithoutPadding) {
  ASSERT_TRUE(kBerlinTime);
  EXPECT_EQ(Format(kMarch5), u"2009-3-5 8:7:6");
  EXPECT_EQ(Format(kJuly15), u"2024-7-15 12:0:0");
  EXPECT_EQ(Format(125911583990000000), u"2000-1-1 0:59:59");  // 1999-12-31 23:59:59 UTC
}

TEST(FormatMessageTime, FollowsTheOffsetAtThatInstant) {
  // Summer time starts on 2024-03-31 at 01:00 UTC and ends on 2024-10-27 at 01:00 UTC.
  EXPECT_EQ(Format(133563203990000000), u"2024-3-31 1:59:59");
  EXPECT_EQ(Format(133563204000000000), u"2024-3-31 3:0:0");
  EXPECT_EQ(Format(133744643990000000), u"2024-10-27 2:59:59");
  EXPECT_EQ(Format(133744644000000000), u"2024-10-27 2:0:0");
}

TEST(FormatMessageTime, UnconvertibleTimeIsEmpty) {
  EXPECT_EQ(FormatMessageTime(FILETIME{0xFFFFFFFF, 0xFFFFFFFF}), u"");
}

TEST(TextExport, WritesLabelledBlocksInWalkOrder) {
  TempStore store;
  BackupJob job(u"unused.txt", 1, 1, 1, 1, 1);
  AddMessage(job.session, {u"Sentedbox", u"", 0, kJuly15 + 10000000, 0, 0, u"", u""});
  AddMessage(job.session, {u"Inbox\\Work", u"two\nlines\n", 0, kJuly15, 0, 0, u"", u"+7",
                           {{u"Bob", u"+1", 1}, {u"Eve", u"+2", 2}}});
  AddMessage(job.session, {u"Inbox", u"Caf\u00E9 \u4E2D", 0, kMarch5, 0, 0, u"Ann", u"+49151",
                           {{u"Me", u"+4930", 3}}});
  AddMessage(job.session, {u"Draft", u"no address", 0, kMarch5, 0, 0, u"Name only", u""});

  const std::string expected =
      "Sender:\r\n"
      "Recipients: \r\n"
      "Time: 2009-3-5 8:7:6\r\n"
      "Content:\r\n"
      "no address\r\n"
      "\r\n"
      "Sender: \"Ann\" <+49151>\r\n"
      "Recipients: \"Me\" <+4930>;\r\n"
      "Time: 2009-3-5 8:7:6\r\n"
      "Content:\r\n"
      "Caf\xE9 ?\r\n"
      "\r\n"
      "Sender:\r\n"
      "Recipients: \"Bob\" <+1>;\"Eve\" <+2>;\r\n"
      "Time: 2024-7-15 12:0:0\r\n"
      "Content:\r\n"
      "two\nlines\n\r\n"
      "\r\n"
      "Sender:\r\n"
      "Recipients: \r\n"
      "Time: 2024-7-15 12:0:1\r\n"
      "Content:\r\n"
      "\r\n"
      "\r\n";
  job.total = 4;
  EXPECT_EQ(WriteSelected(store, job), expected);
  EXPECT_EQ(job.written, 4u);
  EXPECT_EQ(job.progress, 1.0);

  // A conversion of a backup of the same messages writes the same bytes.
  BackupJob backup(store.File("all.bak"), 1, 1, 1, 1, 1);
  {
    CFile file(backup.path, CFile::modeCreate | CFile::modeWrite);
    CFileSink sink(file);
    ASSERT_TRUE(WriteStoreBackup(backup, sink));
  }
  ConvertResult converted;
  ASSERT_TRUE(ConvertMessageFile(backup.path, store.File("all.txt"), DeletedAs::kByDirection,
                                 Selection(), converted))
      << WideToUtf8(converted.error);
  EXPECT_EQ(testing::ReadBytes(store.File("all.txt")), expected);
}

TEST(TextExport, EmptySelectionGivesEmptyFile) {
  TempStore store;
  BackupJob job(u"unused.txt", 1, 0, 0, 0, 1);
  AddMessage(job.session, {u"Inbox", u"not selected", 0, kMarch5});
  EXPECT_EQ(WriteSelected(store, job), "");
  EXPECT_EQ(job.progress, 0.0);
}

}  // namespace
}  // namespace larkpost
