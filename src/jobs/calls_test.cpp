// The calls of phone files through conversions and merges: kept where the target holds them, in
// the call log beside a ZIP as the other app keeps it, each call once however many files hold it,
// and counted as left out only where nothing can hold them.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "formats/format_table.h"
#include "formats/formats_test_util.h"
#include "jobs/merge.h"
#include "jobs/message_files.h"
#include "jobs/outcome.h"
#include "platform/text/text.h"

namespace larkpost {
namespace {

using testing::AppCall;
using testing::AppCallLog;
using testing::AppCallLogEntry;
using testing::AppSms;
using testing::AppXml;
using testing::TempDir;

// A phone's XML: two SMS and three calls of its call log among them.
const std::string kPhoneXml =
    AppXml(AppSms("+15550001111", "1704103626000", "1", "Call me") +
               AppCall("+15550001111", "1704103700000", "1", "245", "Ann") +
               AppSms("+15550001111", "1704103750000", "2", "Thanks") +
               AppCall("+1 555-000-1111", "1704103800000", "2", "62", "Ann") +
               AppCall("5552223333", "1704103900000", "3", "0"),
           2);

void Put(const TempDir& dir, const std::string& name, const std::string& bytes) {
  std::ofstream(WideToUtf8(dir.File(name)), std::ios::binary) << bytes;
}

std::vector<MessageRecord> ReadFile(const std::u16string& path) {
  auto reader = OpenMessageReader(path);
  std::string error;
  std::vector<MessageRecord> records = testing::ReadAll(*reader, error);
  EXPECT_EQ(error, "") << WideToUtf8(path);
  return records;
}

size_t CallsIn(const std::vector<MessageRecord>& records) {
  return static_cast<size_t>(std::count_if(records.begin(), records.end(), [](const auto& r) {
    return r.kind == EntryKind::kCall;
  }));
}

TEST(Calls, AConversionIntoAZipWritesTheCallLogBesideItAndNamesIt) {
  TempDir dir;
  Put(dir, "phone.xml", kPhoneXml);
  ConvertResult result;
  ASSERT_TRUE(ConvertMessageFile(dir.File("phone.xml"), dir.File("messages-2024-01-01.zip"),
                                 DeletedAs::kByDirection, Selection(), result))
      << WideToUtf8(result.error);
  EXPECT_EQ(result.written, 2u);
  EXPECT_EQ(result.callsWritten, 3u);
  EXPECT_FALSE(result.leftOut.Any());
  EXPECT_EQ(result.callLog, dir.File("calls-2024-01-01.json"));
  EXPECT_EQ(CallsIn(ReadFile(dir.File("messages-2024-01-01.zip"))), 0u);
  const std::vector<MessageRecord> calls = ReadFile(dir.File("calls-2024-01-01.json"));
  ASSERT_EQ(calls.size(), 3u);
  const std::vector<MessageRecord> read = ReadFile(dir.File("phone.xml"));
  const MessageRecord* inXml[] = {&read[1], &read[3], &read[4]};
  for (size_t i = 0; i < calls.size(); ++i) {
    // The same call: party, name, time and the columns that had a value.
    EXPECT_EQ(calls[i].folderPath, inXml[i]->folderPath);
    EXPECT_EQ(calls[i].senderAddress, inXml[i]->senderAddress);
    EXPECT_EQ(calls[i].recipients, inXml[i]->recipients);
    EXPECT_EQ(calls[i].deliveryTime, inXml[i]->deliveryTime);
    EXPECT_EQ(FindColumn(calls[i].phoneColumns, "subscription_component_name"), nullptr);
    for (const NamedColumn& column : calls[i].phoneColumns) {
      EXPECT_EQ(*FindColumn(inXml[i]->phoneColumns, column.name), column.value);
    }
  }

  // A call log of that name is never replaced (it may be the app's own): the calls go beside it.
  ASSERT_TRUE(ConvertMessageFile(dir.File("phone.xml"), dir.File("messages-2024-01-01.zip"),
                                 DeletedAs::kByDirection, Selection(), result));
  EXPECT_EQ(result.callLog, dir.File("calls-2024-01-01-2.json"));
  EXPECT_EQ(ReadFile(dir.File("calls-2024-01-01.json")), calls);
  EXPECT_EQ(ReadFile(dir.File("calls-2024-01-01-2.json")), calls);

  // Without calls, no call log is written; and one that failed leaves none behind.
  Put(dir, "sms.xml", AppXml(AppSms("+1", "1704103626000", "1", "Hi"), 1));
  ASSERT_TRUE(ConvertMessageFile(dir.File("sms.xml"), dir.File("sms.zip"), DeletedAs::kByDirection,
                                 Selection(), result));
  EXPECT_EQ(result.callLog, u"");
  Put(dir, "broken.xml", kPhoneXml.substr(0, kPhoneXml.rfind("<sms")) + "<sms date=\"x\" />");
  EXPECT_FALSE(ConvertMessageFile(dir.File("broken.xml"), dir.File("broken.zip"),
                                  DeletedAs::kByDirection, Selection(), result));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"broken.xml", "calls-2024-01-01-2.json",
                                                   "calls-2024-01-01.json",
                                                   "messages-2024-01-01.zip", "phone.xml",
                                                   "sms.xml", "sms.zip"}));
}

TEST(Calls, TargetsWithoutCallsCountThemAndACallLogCountsTheMessages) {
  TempDir dir;
  Put(dir, "phone.xml", kPhoneXml);
  ConvertResult result;
  ASSERT_TRUE(ConvertMessageFile(dir.File("phone.xml"), dir.File("out.bak"),
                                 DeletedAs::kByDirection, Selection(), result));
  EXPECT_EQ(result.written, 2u);
  EXPECT_EQ(result.leftOut.calls, 3u);
  EXPECT_EQ(WideToUtf8(LeftOutText(result.leftOut, LeftOutHolder(FileKind::kBackup))),
            "3 call entries left out: backup files hold SMS only.");

  ASSERT_TRUE(ConvertMessageFile(dir.File("phone.xml"), dir.File("calls.json"),
                                 DeletedAs::kByDirection, Selection(), result));
  EXPECT_EQ(result.written, 0u);
  EXPECT_EQ(result.callsWritten, 3u);
  EXPECT_EQ(WideToUtf8(LeftOutText(result.leftOut, LeftOutHolder(FileKind::kCallLog))),
            "2 messages left out: call logs hold calls only.");
  EXPECT_EQ(ReadFile(dir.File("calls.json")).size(), 3u);
}

TEST(Calls, AMergeKeepsEachCallOnceWhereverItCameFrom) {
  TempDir dir;
  Put(dir, "a.xml", kPhoneXml);
  MergeResult result;
  ASSERT_TRUE(MergeMessageFiles({dir.File("a.xml"), dir.File("a.xml")}, dir.File("twice.xml"),
                                DeletedAs::kByDirection, Selection(), result))
      << WideToUtf8(result.error);
  EXPECT_EQ(result.written, 2u);
  EXPECT_EQ(result.callsWritten, 3u);
  EXPECT_EQ(CallsIn(ReadFile(dir.File("twice.xml"))), 3u);

  // The same calls from the other app's files: a ZIP and its call log, with one more call and
  // the numbers written another way.
  Put(dir, "b.xml", AppXml(AppSms("+15550001111", "1704103626000", "1", "Call me"), 1));
  ConvertResult converted;
  ASSERT_TRUE(ConvertMessageFile(dir.File("b.xml"), dir.File("b.zip"), DeletedAs::kByDirection,
                                 Selection(), converted));
  Put(dir, "calls-b.json",
      AppCallLog({AppCallLogEntry("1", "+15550001111", "1704103700000", "1", "245", "Ann"),
                  AppCallLogEntry("2", "+15550001111", "1704103800000", "2", "62", "Ann"),
                  AppCallLogEntry("3", "5552223333", "1704103900000", "3", "0", ""),
                  AppCallLogEntry("4", "5552223333", "1704104000000", "1", "30", "")}));
  ASSERT_TRUE(MergeMessageFiles({dir.File("a.xml"), dir.File("b.zip"), dir.File("calls-b.json")},
                                dir.File("joined.zip"), DeletedAs::kByDirection, Selection(),
                                result))
      << WideToUtf8(result.error);
  EXPECT_EQ(result.written, 2u);
  EXPECT_EQ(result.callsWritten, 4u);
  EXPECT_EQ(result.callLog, dir.File("calls-joined.json"));
  ASSERT_EQ(result.inputs.size(), 3u);
  EXPECT_EQ(result.inputs[2].alreadyThere, 3u);
  EXPECT_EQ(result.inputs[2].contributed, 1u);
  const nlohmann::json log =
      nlohmann::json::parse(testing::FileBytes(WideToUtf8(dir.File("calls-joined.json"))));
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0]["duration"], "245");
  EXPECT_EQ(log[0]["name"], "Ann");
}

// Into a backup file, whose records the merge copies as they lie from a backup input: the
// calls before them are left out, whichever records come after them.
TEST(Calls, AMergeIntoABackupFileLeavesOutTheCallsBesideCopiedRecords) {
  TempDir dir;
  std::string calls, messages;
  for (int i = 0; i < 300; ++i) {
    calls += AppCall("+1555000" + std::to_string(1000 + i), std::to_string(1704103600000 + i), "1",
                     "5");
    messages += AppSms("+15550001111", std::to_string(1704200000000 + i), "1",
                       "text " + std::to_string(i));
  }
  Put(dir, "calls.xml", AppXml(calls, 0));
  Put(dir, "sms.xml", AppXml(messages, 300));
  ConvertResult converted;
  ASSERT_TRUE(ConvertMessageFile(dir.File("sms.xml"), dir.File("sms.bak"), DeletedAs::kByDirection,
                                 Selection(), converted));
  MergeResult result;
  ASSERT_TRUE(MergeMessageFiles({dir.File("calls.xml"), dir.File("sms.bak")},
                                dir.File("out.bak"), DeletedAs::kByDirection, Selection(), result))
      << WideToUtf8(result.error);
  EXPECT_EQ(result.written, 300u);
  EXPECT_EQ(result.leftOut.calls, 300u);
  EXPECT_EQ(ReadFile(dir.File("out.bak")).size(), 300u);
}

}  // namespace
}  // namespace larkpost
