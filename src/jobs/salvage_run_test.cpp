#include "jobs/salvage_run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "formats/formats_test_util.h"
#include "jobs/outcome.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {
namespace {

using testing::AppSms;
using testing::AppXml;
using testing::TempDir;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Sms(int n, const std::string& type = "1") {
  return AppSms("+49151" + std::to_string(n), std::to_string(1704103626000 + n * 1000), type,
                "text " + std::to_string(n));
}

std::vector<std::u16string> TextsOf(const std::u16string& path) {
  std::unique_ptr<MessageReader> reader = OpenMessageReader(path, FileKindForPath(path));
  std::string error;
  std::vector<std::u16string> texts;
  for (const MessageRecord& record : testing::ReadAll(*reader, error)) texts.push_back(record.text);
  EXPECT_EQ(error, "");
  return texts;
}

// An XML with a broken entry in the middle and cut inside its last one.
std::string DamagedXml() {
  const std::string whole = AppXml(Sms(1) + Sms(2, "9") + Sms(3) + Sms(4), 4);
  return whole.substr(0, whole.rfind("body="));
}

// Whatever OUT's kind, it holds the messages kept, reads back as a file of its kind, and the
// folder holds nothing but the damaged file and OUT.
TEST(SalvageMessageFile, WritesWhatWasKeptInTheKindOfOut) {
  TempDir dir;
  WriteFile(dir.PathOf("damaged.xml"), DamagedXml());
  for (const std::string out : {"out.bak", "out.xml", "out.zip"}) {
    SCOPED_TRACE(out);
    SalvageResult result;
    ASSERT_TRUE(SalvageMessageFile(dir.File("damaged.xml"), dir.File(out), DeletedAs::kByDirection,
                                   result))
        << WideToUtf8(result.error);
    EXPECT_EQ(result.messagesWritten, 2u);
    EXPECT_TRUE(result.Incomplete());
    ASSERT_EQ(result.phone.skipped.size(), 2u);
    EXPECT_EQ(result.phone.skipped[0].entry, 2u);
    EXPECT_EQ(result.phone.skipped[1].entry, 4u);
    EXPECT_EQ(TextsOf(dir.File(out)), (std::vector<std::u16string>{u"text 1", u"text 3"}));
    EXPECT_EQ(dir.Names().size(), 2u);
    std::remove(dir.PathOf(out).c_str());
  }

  // A backup file into a phone file: its records as messages, the damaged one left out.
  WriteFile(dir.PathOf("a.xml"), AppXml(Sms(1) + Sms(2) + Sms(3), 3));
  SalvageResult result;
  ASSERT_TRUE(SalvageMessageFile(dir.File("a.xml"), dir.File("a.bak"), DeletedAs::kByDirection, result));
  EXPECT_FALSE(result.Incomplete());
  std::string backup = testing::FileBytes(dir.PathOf("a.bak"));
  const size_t second = backup.find("IPM.SMStext\n", 21);
  backup[second + 12] = 'X';  // no standard folder any more
  WriteFile(dir.PathOf("b.bak"), backup);
  ASSERT_TRUE(SalvageMessageFile(dir.File("b.bak"), dir.File("b.xml"), DeletedAs::kByDirection, result));
  EXPECT_TRUE(result.Incomplete());
  ASSERT_EQ(result.backup.skipped.size(), 1u);
  EXPECT_EQ(result.backup.skipped[0].record, 2u);
  EXPECT_EQ(result.backup.skipped[0].offset, second);
  EXPECT_EQ(TextsOf(dir.File("b.xml")), (std::vector<std::u16string>{u"text 1", u"text 3"}));
}

// Asked to stop while it runs (as the first Ctrl-C asks), a salvage ends before the next
// message, on each of its paths: OUT stays as it was and no partial file is left.
TEST(SalvageMessageFile, AStopRequestEndsItAndLeavesOutAsItWas) {
  TempDir dir;
  WriteFile(dir.PathOf("in.xml"), AppXml(Sms(1) + Sms(2) + Sms(3) + Sms(4), 4));
  SalvageResult converted;
  ASSERT_TRUE(SalvageMessageFile(dir.File("in.xml"), dir.File("in.bak"), DeletedAs::kByDirection,
                                 converted));
  const struct {
    const char* in;
    const char* out;
  } paths[] = {{"in.bak", "old.bak"}, {"in.bak", "old.xml"}, {"in.xml", "old.zip"}};
  for (const auto& path : paths) {
    SCOPED_TRACE(std::string(path.in) + " -> " + path.out);
    WriteFile(dir.PathOf(path.out), "keep me");
    const std::vector<std::string> before = dir.Names();
    SalvageResult result;
    uint64_t seen = 0;
    EXPECT_FALSE(SalvageMessageFile(dir.File(path.in), dir.File(path.out), DeletedAs::kByDirection,
                                    result, [&](uint64_t kept) {
                                      seen = kept;
                                      if (kept == 2) RequestStop(SIGINT);
                                    }));
    ClearStopRequest();
    EXPECT_TRUE(result.interrupted);
    EXPECT_EQ(result.error, u"");
    EXPECT_EQ(seen, 2u);  // nothing was taken after the request
    EXPECT_EQ(testing::FileBytes(dir.PathOf(path.out)), "keep me");
    EXPECT_EQ(dir.Names(), before);
  }
}

TEST(SalvageMessageFile, RefusesWhatItCannotDoBeforeWritingAnything) {
  TempDir dir;
  WriteFile(dir.PathOf("in.xml"), AppXml(Sms(1), 1));
  SalvageResult result;
  EXPECT_FALSE(SalvageMessageFile(dir.File("in.xml"), dir.File("in.xml"), DeletedAs::kByDirection, result));
  EXPECT_EQ(result.error, u"OUT must not be the damaged file itself");
  EXPECT_FALSE(SalvageMessageFile(dir.File("in.html"), dir.File("out.bak"), DeletedAs::kByDirection, result));
  EXPECT_NE(result.error.find(u"cannot be salvaged"), std::u16string::npos);
  // An archive with nothing of messages.ndjson left is a failure, not an empty success.
  WriteFile(dir.PathOf("in.zip"), testing::ZipOf({{"calls.ndjson", "{}\n"}}));
  EXPECT_FALSE(SalvageMessageFile(dir.File("in.zip"), dir.File("out.bak"), DeletedAs::kByDirection, result));
  EXPECT_NE(result.error.find(u"messages.ndjson"), std::u16string::npos);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"in.xml", "in.zip"}));
}

}  // namespace
}  // namespace larkpost
