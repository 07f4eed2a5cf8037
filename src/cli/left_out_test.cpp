// The commands over phone files with multimedia messages and call entries: what each leaves out
// it says, in its report and its --json, and it ends with the lossy exit status; verify and show
// list the multimedia messages and the calls too.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/terminal_ui.h"
#include "formats/format_table.h"
#include "formats/formats_test_util.h"
#include "jobs/message_files_test_util.h"
#include "message/multimedia_test_util.h"
#include "platform/text/text.h"

namespace larkpost {
namespace {

using testing::FileMessages;
using testing::MmsRecord;
using testing::PhoneSms;

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Larkpost(const std::vector<std::string>& args) {
  std::istringstream in;
  std::ostringstream out, err;
  const int status = RunCli(args, CliStreams{in, out, err, false, false});
  return {status, out.str(), err.str()};
}

class LeftOutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Real files at the paths, as the app writes them; the readers hand out the messages below.
    std::ofstream(Path("phone.xml")) << testing::AppXml(testing::AppSms("+1", "1000", "1", "hi"), 1);
    std::ofstream(Path("calls.xml")) << testing::AppXml(testing::AppSms("+1", "1000", "1", "hi"), 1);
    ASSERT_EQ(Larkpost({"--store", store_, "store", "init"}).status, kExitSuccess);
  }
  std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }

  // One SMS, five multimedia messages (a group chat among them) and ten call entries.
  static FileMessages PhoneFile() {
    FileMessages file{{PhoneSms(1704106020000, u"+4915112345678", u"On my way"),
                       MmsRecord(1704106027000, u"+4930123456", u"All of us",
                                 testing::JpegBytes("group"), {u"+4917011111111"})},
                      10};
    for (int64_t i = 0; i < 4; ++i) {
      file.messages.push_back(
          MmsRecord(1704106030000 + i, u"+4915112345678", u"Look!", testing::JpegBytes("pic")));
    }
    return file;
  }

  testing::TempDir dir_;
  const std::string store_ = Path("store.db");
  testing::ScopedFileMessages files_{
      {{Utf8ToWide(Path("phone.xml")), PhoneFile()},
       {Utf8ToWide(Path("calls.xml")),
        {{PhoneSms(1704106020000, u"+4915112345678", u"On my way")}, 1}}}};
};

TEST_F(LeftOutTest, TheStoreKeepsEverythingAndABackupFileSaysWhatItCannotHold) {
  Outcome run = Larkpost({"--store", store_, "restore", "--dry-run", Path("phone.xml")});
  EXPECT_EQ(run.status, kExitSuccess) << run.err;
  EXPECT_EQ(run.out,
            "Restored: 16 (1 SMS, 5 multimedia messages and 10 calls), already present: 0, "
            "folders created: 0 (dry run: the store was not changed)\n");
  EXPECT_EQ(run.err, "Message store: " + store_ + "\n");

  run = Larkpost({"--store", store_, "restore", "--yes", "--json", Path("phone.xml")});
  EXPECT_EQ(run.status, kExitSuccess) << run.err;
  const nlohmann::json summary = nlohmann::json::parse(run.out);
  EXPECT_EQ(summary["restored"], 16);
  EXPECT_EQ(summary["restoredMultimedia"], 5);
  EXPECT_EQ(summary["restoredCalls"], 10);
  EXPECT_EQ(summary["multimediaLeftOut"], 0);
  EXPECT_EQ(summary["callsLeftOut"], 0);

  // Again: everything is there already, and nothing is left out.
  run = Larkpost({"--store", store_, "restore", "--yes", Path("phone.xml")});
  EXPECT_EQ(run.status, kExitSuccess);
  EXPECT_EQ(run.out,
            "Restore Succeeded.\nRestored: 0, already present: 16 (1 SMS, 5 multimedia messages "
            "and 10 calls), folders created: 0\n");

  // A backup file holds the SMS and says what it left out; an XML holds everything.
  run = Larkpost({"--store", store_, "backup", Path("all.bak")});
  EXPECT_EQ(run.status, kExitIncomplete) << run.err;
  EXPECT_NE(run.err.find("5 multimedia messages and 10 call entries left out: backup files hold "
                         "SMS only.\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(Larkpost({"verify", Path("all.bak")}).out, "OK: 1 record, digest valid\n");
  run = Larkpost({"--store", store_, "backup", Path("all.xml")});
  EXPECT_EQ(run.status, kExitSuccess) << run.err;
  EXPECT_EQ(run.out, "Backup Succeeded.\nWritten: 1 SMS, 5 multimedia messages and 10 calls\n");
  run = Larkpost({"--store", store_, "restore", "--yes", "--dry-run", Path("all.xml")});
  EXPECT_EQ(run.out.rfind("Restored: 0, already present: 16", 0), 0u) << run.out;
}

TEST_F(LeftOutTest, ConvertAndMergeSayWhatTheirOutputCannotHold) {
  Outcome run = Larkpost({"convert", Path("phone.xml"), Path("out.bak")});
  EXPECT_EQ(run.status, kExitIncomplete) << run.err;
  EXPECT_EQ(run.out, "Converted 1 message from " + Path("phone.xml") + " to " + Path("out.bak") +
                         ".\n");
  EXPECT_EQ(run.err,
            "5 multimedia messages and 10 call entries left out: backup files hold SMS only.\n");
  EXPECT_EQ(Larkpost({"verify", Path("out.bak")}).out, "OK: 1 record, digest valid\n");
  run = Larkpost({"convert", "--json", "--force", Path("phone.xml"), Path("out.bak")});
  EXPECT_EQ(run.status, kExitIncomplete) << run.err;
  nlohmann::json summary = nlohmann::json::parse(run.out);
  EXPECT_EQ(summary["converted"], 1);
  EXPECT_EQ(summary["multimedia_left_out"], 5);
  EXPECT_EQ(summary["calls_left_out"], 10);

  // A ZIP misses nothing: its calls go into the app's call log beside it, named.
  run = Larkpost({"convert", Path("calls.xml"), Path("out.zip")});
  EXPECT_EQ(run.status, kExitSuccess) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("Wrote 1 call entry into " + Path("calls-out.json") + ".\n"),
            std::string::npos)
      << run.out;

  // Each message and call once: the same multimedia messages in both files are left out once,
  // and so is the call both files hold.
  run = Larkpost({"merge", Path("merged.bak"), Path("phone.xml"), Path("calls.xml")});
  EXPECT_EQ(run.status, kExitIncomplete) << run.err;
  EXPECT_EQ(run.out.rfind("Merged 1 message from 2 files", 0), 0u) << run.out;
  EXPECT_EQ(run.err,
            "5 multimedia messages and 10 call entries left out: backup files hold SMS only.\n");
  run = Larkpost({"merge", "--json", "--force", Path("merged.bak"), Path("phone.xml"),
                  Path("calls.xml")});
  EXPECT_EQ(run.status, kExitIncomplete) << run.err;
  summary = nlohmann::json::parse(run.out);
  EXPECT_EQ(summary["written"], 1);
  EXPECT_EQ(summary["inputs"][1]["alreadyThere"], 2);
  EXPECT_EQ(summary["multimedia_left_out"], 5);
  EXPECT_EQ(summary["calls_left_out"], 10);
}

TEST_F(LeftOutTest, VerifyAndShowListMultimediaMessagesAndCalls) {
  Outcome run = Larkpost({"verify", Path("phone.xml")});
  EXPECT_EQ(run.status, kExitSuccess) << run.err;
  EXPECT_EQ(run.out, "OK: 6 messages (5 multimedia) in 6 entries, and 10 call entries\n");
  run = Larkpost({"verify", "--json", Path("phone.xml")});
  EXPECT_EQ(nlohmann::json::parse(run.out),
            nlohmann::json::parse(R"({"messages":6,"multimedia":5,"entries":6,"calls":10,)"
                                  R"("multimediaLeftOut":0,"callsLeftOut":0,)"
                                  R"("multimedia_left_out":0,"calls_left_out":0})"));

  run = Larkpost({"show", "--json", Path("phone.xml")});
  EXPECT_EQ(run.status, kExitSuccess) << run.err;
  EXPECT_EQ(run.err, "");
  std::istringstream lines(run.out);
  std::string line;
  std::vector<nlohmann::json> shown;
  while (std::getline(lines, line)) shown.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(shown.size(), 16u);
  EXPECT_EQ(shown[6]["sender"]["address"], "+15550001111");
  EXPECT_EQ(shown[6]["call"], nlohmann::json::parse(R"({"duration":"5","type":"1"})"));
  EXPECT_FALSE(shown[0].contains("parts"));
  const nlohmann::json& group = shown[1];
  EXPECT_EQ(group["text"], "All of us");
  EXPECT_EQ(group["addresses"],
            nlohmann::json::parse(R"([{"address":"+4930123456","role":"from"},)"
                                  R"({"address":"+4915199990000","role":"to"},)"
                                  R"({"address":"+4917011111111","role":"to"}])"));
  ASSERT_EQ(group["parts"].size(), 3u);
  EXPECT_EQ(group["parts"][1],
            nlohmann::json::parse(R"({"seq":"0","contentType":"image/jpeg","name":"IMG_0001.jpg",)"
                                  R"("fileName":null,"charset":null,"bytes":27})"));
  EXPECT_EQ(group["parts"][2]["bytes"], 9);  // "All of us"
  EXPECT_EQ(run.out.find("JFIF"), std::string::npos);  // never the data

  run = Larkpost({"show", Path("phone.xml")});
  EXPECT_NE(run.out.find("    All of us\n  Part: application/smil \"smil.xml\" ("),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("  Part: image/jpeg \"IMG_0001.jpg\" (27 bytes)\n"), std::string::npos);
  EXPECT_NE(run.out.find("  From: \"\" <+15550001111>\n  To:   \n    Incoming call, 0:05\n"),
            std::string::npos)
      << run.out;
}

// The other app's call log on its own: verify counts its calls, a conversion into an XML keeps
// them, the store keeps them once, and a backup into a call log gives them back.
TEST(CallLog, VerifyConvertAndRestoreTellWhatBecomesOfTheCalls) {
  testing::TempDir dir;
  const std::string log = dir.path() + "/calls-2024-01-01.json";
  std::ofstream(log) << testing::AppCallLog(
      {testing::AppCallLogEntry("1", "+15550001111", "1704103700000", "1", "245", "Ann"),
       testing::AppCallLogEntry("2", "+15550001111", "1704103800000", "3", "0", "Ann")});
  Outcome run = Larkpost({"verify", log});
  EXPECT_EQ(run.status, kExitSuccess) << run.err;
  EXPECT_EQ(run.out, "OK: 2 call entries\n");

  run = Larkpost({"convert", log, dir.path() + "/calls.xml"});
  EXPECT_EQ(run.status, kExitSuccess) << run.err;
  EXPECT_EQ(run.out, "Converted 0 messages from " + log + " to " + dir.path() +
                         "/calls.xml.\nWrote 2 call entries.\n");

  const std::string store = dir.path() + "/store.db";
  ASSERT_EQ(Larkpost({"--store", store, "store", "init"}).status, kExitSuccess);
  for (const char* restored : {"Restored: 2 (0 SMS, 0 multimedia messages and 2 calls), already "
                               "present: 0, folders created: 0\n",
                               "Restored: 0, already present: 2 (0 SMS, 0 multimedia messages and "
                               "2 calls), folders created: 0\n"}) {
    run = Larkpost({"--store", store, "restore", "--yes", log});
    EXPECT_EQ(run.status, kExitSuccess) << run.err;
    EXPECT_EQ(run.out, std::string("Restore Succeeded.\n") + restored);
  }
  run = Larkpost({"--store", store, "backup", dir.path() + "/calls-back.json"});
  EXPECT_EQ(run.status, kExitSuccess) << run.err;
  EXPECT_EQ(run.out, "Backup Succeeded.\nWritten: 0 SMS, 0 multimedia messages and 2 calls\n");
  run = Larkpost({"convert", dir.path() + "/calls-back.json", dir.path() + "/back.xml"});
  std::ifstream before(dir.path() + "/calls.xml"), after(dir.path() + "/back.xml");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(after), {}),
            std::string(std::istreambuf_iterator<char>(before), {}));
}

}  // namespace
}  // namespace larkpost
