// merge, store dedupe and restore's "already present" across formats, run as a user runs them:
// phone files built as the apps write them, the demo store, and the files the program writes.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <tuple>

#include "backupfile/backup_test_util.h"
#include "cli/cli.h"
#include "formats/formats_test_util.h"
#include "identity/phone_number.h"
#include "jobs/merge.h"
#include "jobs/message_files.h"
#include "jobs/outcome.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"

namespace larkpost {
namespace {

using testing::AppSms;
using testing::AppXml;

struct Outcome {
  int status;
  std::string out, err;
};

// One run of the program, as a process of its own: what --codepage and --region set lasts for
// the run only, so no test depends on the options of the tests before it.
Outcome Larkpost(const std::vector<std::string>& args, const std::string& input = "") {
  const unsigned codePage = GetACP();
  const std::string region = NumberRegion();
  std::istringstream in(input);
  std::ostringstream out, err;
  const int status = RunCli(args, CliStreams{in, out, err, false, false});
  SetAnsiCodePage(codePage);
  SetNumberRegion(region);
  return {status, out.str(), err.str()};
}

std::string DemoDump() {
  const char* source = std::getenv("LARKPOST_SOURCE_DIR");
  const std::string bytes =
      testing::FileBytes(std::string(source != nullptr ? source : ".") + "/samples/demo-store.ndjson");
  EXPECT_FALSE(bytes.empty()) << "set LARKPOST_SOURCE_DIR to the source folder";
  return bytes;
}

// A ZIP as "SMS Import / Export" writes it: messages.ndjson with Android's columns only.
std::string AppZip(const std::string& ndjson) {
  return testing::ZipOf({{"messages.ndjson", ndjson}});
}

std::string AppLine(const std::string& address, const std::string& date, const std::string& type,
                    const std::string& body, const std::string& name) {
  return testing::AppLine("\"" + address + "\"", date, type, "\"" + body + "\"", name);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<MessageRecord> Messages(const std::string& path) {
  std::unique_ptr<MessageReader> reader =
      OpenMessageReader(Utf8ToWide(path), FileKindForPath(Utf8ToWide(path)));
  std::string error;
  std::vector<MessageRecord> messages = testing::ReadAll(*reader, error);
  EXPECT_EQ(error, "") << path;
  std::sort(messages.begin(), messages.end(), [](const MessageRecord& a, const MessageRecord& b) {
    const uint64_t x = FileTimeToUInt64(a.deliveryTime), y = FileTimeToUInt64(b.deliveryTime);
    if (x != y) return x < y;
    return std::tie(a.text, a.flags, a.senderName) < std::tie(b.text, b.flags, b.senderName);
  });
  return messages;
}

void ExpectSameMessages(const std::vector<MessageRecord>& a, const std::vector<MessageRecord>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(a[i] == b[i]) << "message " << i << ": " << WideToUtf8(a[i].text)
                                                 << " / " << WideToUtf8(b[i].text);
  }
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The lines of a store dump, each parsed, sorted: the store's messages whatever their order.
std::vector<nlohmann::json> DumpOf(const std::string& dump) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(dump);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Two exports of one phone, a year apart: in between Ann was renamed and the numbers are written
// as the contacts app had them then; a short code and an alphanumeric sender in both.
TEST(Merge, TwoExportsOfOnePhoneMergeToTheirUnionInAnyOrder) {
  testing::TempDir dir;
  WriteFile(dir.PathOf("old.xml"),
            AppXml(AppSms("+49 151 12345678", "1704103626000", "1", "Coffee at 10?", "Ann") +
                       AppSms("0151 12345678", "1704103700000", "1", "OK") +
                       AppSms("0151 12345678", "1704103700000", "1", "OK") +
                       AppSms("shop-info", "1704103800000", "1", "Code 1234") +
                       AppSms("72345", "1704103900000", "1", "Balance 5 EUR"),
                   5));
  WriteFile(dir.PathOf("new.zip"),
            AppZip(AppLine("+4915112345678", "1704103626000", "1", "Coffee at 10?",
                           R"("Ann Becker")") +
                   AppLine("+4915112345678", "1704103700000", "1", "OK", "null") +
                   AppLine("SHOP-INFO", "1704103800000", "1", "Code 1234", "null") +
                   AppLine("72345", "1704103900000", "1", "Balance 5 EUR", "null") +
                   AppLine("+4915112345678", "1767225600000", "1", "Happy new year!",
                           R"("Ann Becker")")));
  Outcome run = Larkpost(
      {"--region", "DE", "merge", dir.PathOf("ab.bak"), dir.PathOf("old.xml"), dir.PathOf("new.zip")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Merged 6 messages from 2 files into " + dir.PathOf("ab.bak") + ".\n  " +
                         dir.PathOf("old.xml") + ": 5 messages, contributed 5, already there 0\n  " +
                         dir.PathOf("new.zip") + ": 5 messages, contributed 1, already there 4\n");
  run = Larkpost(
      {"--region", "DE", "merge", dir.PathOf("ba.bak"), dir.PathOf("new.zip"), dir.PathOf("old.xml")});
  ASSERT_EQ(run.status, 0) << run.err;
  // Whatever the order, the same copies are chosen and written in the same order.
  EXPECT_EQ(FileBytes(dir.PathOf("ab.bak")), FileBytes(dir.PathOf("ba.bak")));
  const std::vector<MessageRecord> merged = Messages(dir.PathOf("ab.bak"));
  ASSERT_EQ(merged.size(), 6u);
  EXPECT_EQ(merged[1].text, u"OK");  // both "OK"s of the old export: two real messages
  EXPECT_EQ(merged[2].text, u"OK");
  EXPECT_EQ(merged[5].text, u"Happy new year!");

  EXPECT_EQ(run.err, "");
  // Without the region the national form is another number: the "OK"s differ then, which the
  // merge says once, with what the region would have matched.
  run = Larkpost({"--region", "", "merge", dir.PathOf("x.bak"), dir.PathOf("old.xml"),
                  dir.PathOf("new.zip")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Messages(dir.PathOf("x.bak")).size(), 7u);
  EXPECT_EQ(run.err,
            "Numbers without a country code were met; --region CC compares them with "
            "international ones.\nWith it, 1 message would have matched another.\n");

  // A file merged with itself is the file, message for message: also two messages that differ
  // only in a name and the read flag, each kept as it is.
  std::string unread = AppSms("+4915112345678", "1704103626000", "1", "Coffee at 10?");
  unread.replace(unread.find("read=\"1\""), 8, "read=\"0\"");
  WriteFile(dir.PathOf("twins.xml"), AppXml(AppSms("+4915112345678", "1704103626000", "1",
                                                   "Coffee at 10?", "Ann") + unread, 2));
  for (const std::string file : {"old.xml", "twins.xml"}) {
    const std::string bak = file + ".bak";
    ASSERT_EQ(Larkpost({"convert", dir.PathOf(file), dir.PathOf(bak)}).status, 0);
    for (const auto& [out, alone] : {std::pair<std::string, std::string>{file + ".self.xml", file},
                                     {file + ".self.bak", bak}}) {
      run = Larkpost({"merge", dir.PathOf(out), dir.PathOf(file), dir.PathOf(file)});
      ASSERT_EQ(run.status, 0) << run.err;
      ExpectSameMessages(Messages(dir.PathOf(out)), Messages(dir.PathOf(alone)));
    }
  }

  run = Larkpost({"--region", "QQ", "merge", dir.PathOf("y.bak"), dir.PathOf("old.xml")});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("--region: \"QQ\""), std::string::npos) << run.err;
}

// A backup file keeps subfolders and exact times but writes "?" for what its code page lacks; a
// phone's XML keeps the characters but no subfolders. Merged, each message has both.
TEST(Merge, KeepsFromEqualCopiesWhatAnyOfThemHolds) {
  testing::TempDir dir;
  const std::string store = dir.PathOf("s.db");
  ASSERT_EQ(Larkpost({"--store", store, "store", "load"}, DemoDump()).status, 0);
  ASSERT_EQ(Larkpost({"--store", store, "backup", dir.PathOf("all.zip")}).status, 0);
  ASSERT_EQ(Larkpost({"--store", store, "backup", dir.PathOf("phone.xml")}).status, 0);
  Larkpost({"convert", dir.PathOf("all.zip"), dir.PathOf("old.bak")});  // "✓" becomes "?"
  Outcome run = Larkpost({"merge", "--folders", "draft,inbox,sent,outbox,deleted",
                          dir.PathOf("out.zip"), dir.PathOf("phone.xml"), dir.PathOf("old.bak")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("old.bak: 32 messages, contributed 0, already there 32"),
            std::string::npos)
      << run.out;
  ExpectSameMessages(Messages(dir.PathOf("out.zip")), Messages(dir.PathOf("all.zip")));
}

// Files of thousands of messages, in no order, are held in several sorted chunks per input:
// every message still comes out once (twice where one file has it twice), in time order, and
// the order of the inputs changes no byte.
TEST(Merge, ThousandsOfMessagesInNoOrderComeOutOnceEachInTimeOrder) {
  testing::TempDir dir;
  auto entries = [](size_t first, size_t end, unsigned seed, bool twice) {
    std::vector<std::string> sms;
    for (size_t i = first; i < end; ++i) {
      const std::string entry =
          AppSms("+4915100" + std::to_string(i % 97), std::to_string(1704103600000 + i * 1000),
                 i % 3 == 0 ? "2" : "1", "Message " + std::to_string(i));
      sms.push_back(entry);
      if (twice && i % 500 == 0) sms.push_back(entry);
    }
    std::shuffle(sms.begin(), sms.end(), std::mt19937(seed));
    std::string all;
    for (const std::string& entry : sms) all += entry;
    return AppXml(all, static_cast<int>(sms.size()));
  };
  WriteFile(dir.PathOf("a.xml"), entries(0, 2500, 1, true));     // 2,505 entries
  WriteFile(dir.PathOf("b.xml"), entries(500, 2800, 2, false));  // 2,000 of them and 300 more
  Outcome run = Larkpost(
      {"merge", "--json", dir.PathOf("ab.bak"), dir.PathOf("a.xml"), dir.PathOf("b.xml")});
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json counts = nlohmann::json::parse(run.out);
  EXPECT_EQ(counts["written"], 2805);
  EXPECT_EQ(counts["inputs"][0]["contributed"], 2505);
  EXPECT_EQ(counts["inputs"][1]["contributed"], 300);
  EXPECT_EQ(counts["inputs"][1]["alreadyThere"], 2000);
  run = Larkpost({"merge", dir.PathOf("ba.bak"), dir.PathOf("b.xml"), dir.PathOf("a.xml")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(FileBytes(dir.PathOf("ab.bak")), FileBytes(dir.PathOf("ba.bak")));

  std::unique_ptr<MessageReader> reader =
      OpenMessageReader(dir.File("ab.bak"));
  std::string error;
  const std::vector<MessageRecord> merged = testing::ReadAll(*reader, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(merged.size(), 2805u);
  for (size_t i = 1; i < merged.size(); ++i) {
    ASSERT_LE(FileTimeToUInt64(merged[i - 1].deliveryTime),
              FileTimeToUInt64(merged[i].deliveryTime))
        << i;
  }
  std::vector<std::u16string> texts;
  for (const MessageRecord& message : merged) texts.push_back(message.text);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), u"Message 1000"), 2);
  EXPECT_EQ(std::set<std::u16string>(texts.begin(), texts.end()).size(), 2800u);
}

// Backup files merged into a backup file: each record goes in as its file holds it, byte for
// byte (a carriage return in a name, which a record written afresh drops, stays), read again from
// wherever it lies in its file: the files hold their folders one after the other while OUT runs
// in time order across them, and one text is longer than any read ahead. A copy that takes its
// names from another is written afresh.
// The files the phone apps wrote (when the published samples lie beside the source), the demo
// store and a merge of two phones' files, written as XML and ZIP: the apps import every line.
TEST(Merge, PublishedPhoneFilesBecomeFilesTheAppsImportWhole) {
  const char* source = std::getenv("LARKPOST_SOURCE_DIR");
  const std::string samples = std::string(source != nullptr ? source : ".") + "/../shared/samples/phone/";
  if (!std::filesystem::exists(samples + "sbv_sample_backup.xml")) GTEST_SKIP() << "no samples";
  testing::TempDir dir;
  const std::string store = dir.PathOf("store.db");
  ASSERT_EQ(Larkpost({"--store", store, "store", "load"}, DemoDump()).status, 0);
  std::vector<std::string> written;
  for (const std::string kind : {".xml", ".zip"}) {
    written.push_back(dir.PathOf("demo" + kind));
    EXPECT_LE(Larkpost({"--store", store, "backup", written.back()}).status, 3);
    for (const std::string in : {"sbv_sample_backup.xml", "sms_and_mms.closed-by-tester.xml",
                                 "real-2011.xml", "assembled-sms-ie-messages.zip"}) {
      written.push_back(dir.PathOf(in + kind));
      const Outcome run = Larkpost({"convert", samples + in, written.back()});
      EXPECT_LE(run.status, 3) << in << ": " << run.err;
    }
    written.push_back(dir.PathOf("merged" + kind));
    const Outcome run = Larkpost({"merge", written.back(), samples + "sbv_sample_backup.xml",
                                  samples + "assembled-sms-ie-messages.zip"});
    EXPECT_LE(run.status, 3) << run.err;
  }
  for (const std::string& path : written) {
    const std::string bytes = testing::FileBytes(path);
    ASSERT_FALSE(bytes.empty()) << path;
    const std::vector<std::string> problems = path.ends_with(".zip")
                                                  ? testing::ZipImportProblems(bytes)
                                                  : testing::XmlImportProblems(bytes);
    EXPECT_EQ(problems, std::vector<std::string>{}) << path;
  }
}

TEST(Merge, BackupFilesMergeIntoABackupFileRecordByRecordAsTheyAre) {
  testing::TempDir dir;
  std::vector<testing::GoldenRecord> all;
  for (uint64_t i = 0; i < 600; ++i) {
    testing::GoldenRecord record;
    record.deliveryTime = testing::kMay1 + i * 10000000;
    record.lastModified = record.deliveryTime;
    if (i % 2 == 0) {
      record.sender = "\"Ann\r\" <+4915112345678>";
    } else {
      record.folderPath = "Sentedbox";
      record.recipients = "\"Bob\" <+4930123> 1";
    }
    record.text = "Message " + std::to_string(i) + (i == 301 ? std::string(300000, 'x') : "");
    all.push_back(record);
  }
  // Messages [first, end), the received ones first.
  auto file = [&](size_t first, size_t end) {
    std::vector<testing::GoldenRecord> records(all.begin() + first, all.begin() + end);
    std::stable_partition(records.begin(), records.end(),
                          [](const testing::GoldenRecord& r) { return r.folderPath == "Inbox"; });
    return testing::BackupBytes(records);
  };
  WriteFile(dir.PathOf("a.bak"), file(0, 400));
  WriteFile(dir.PathOf("b.bak"), file(200, 600));
  Outcome run = Larkpost({"merge", dir.PathOf("ab.bak"), dir.PathOf("a.bak"), dir.PathOf("b.bak")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(FileBytes(dir.PathOf("ab.bak")), testing::BackupBytes(all));
  run = Larkpost({"merge", dir.PathOf("ba.bak"), dir.PathOf("b.bak"), dir.PathOf("a.bak")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(FileBytes(dir.PathOf("ba.bak")), testing::BackupBytes(all));

  // One file has a message twice without its sender's name, the other once with it: both copies
  // are written, both with the name.
  testing::GoldenRecord nameless = all[0];
  nameless.sender = "\"\" <+4915112345678>";
  WriteFile(dir.PathOf("twice.bak"), testing::BackupBytes({nameless, nameless}));
  WriteFile(dir.PathOf("named.bak"), testing::BackupBytes({all[0]}));
  run = Larkpost(
      {"merge", dir.PathOf("out.bak"), dir.PathOf("twice.bak"), dir.PathOf("named.bak")});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<MessageRecord> merged = Messages(dir.PathOf("out.bak"));
  ASSERT_EQ(merged.size(), 2u);
  for (const MessageRecord& message : merged) EXPECT_EQ(message.senderName, u"Ann");
}

TEST(Merge, ABrokenInputNamesFileAndEntryAndNothingIsWritten) {
  testing::TempDir dir;
  WriteFile(dir.PathOf("good.xml"), AppXml(AppSms("+1", "1000", "1", "hi"), 1));
  WriteFile(dir.PathOf("bad.xml"),
            AppXml(AppSms("+1", "1000", "1", "hi") + AppSms("+1", "2000", "9", "x"), 2));
  const std::vector<std::string> before = dir.Names();
  Outcome run =
      Larkpost({"merge", dir.PathOf("out.xml"), dir.PathOf("good.xml"), dir.PathOf("bad.xml")});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("larkpost: merge: " + dir.PathOf("bad.xml") + ": sms entry 2", 0), 0u)
      << run.err;
  EXPECT_NE(run.err.find("Nothing was written."), std::string::npos);
  EXPECT_EQ(dir.Names(), before);
  // Asked to stop, it writes nothing either.
  RequestStop(SIGINT);
  MergeResult result;
  EXPECT_FALSE(MergeMessageFiles({dir.File("good.xml")}, dir.File("out.xml"),
                                 DeletedAs::kByDirection, Selection(), result));
  ClearStopRequest();
  EXPECT_EQ(dir.Names(), before);
}

// More inputs than the usual soft limit of open files: the merge raises it to the hard one.
TEST(Merge, MoreInputsThanTheSoftLimitOfOpenFilesAreMerged) {
  testing::TempDir dir;
  std::vector<std::string> args = {"merge", dir.PathOf("all.xml")};
  for (int i = 0; i < 120; ++i) {
    args.push_back(dir.PathOf("in" + std::to_string(i) + ".xml"));
    WriteFile(args.back(), AppXml(AppSms("+1", std::to_string(1000 + i), "1", "hi"), 1));
  }
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  if (old.rlim_max != RLIM_INFINITY && old.rlim_max < 1024) GTEST_SKIP() << "hard limit too low";
  struct rlimit low = old;
  low.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  const Outcome run = Larkpost(args);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Messages(dir.PathOf("all.xml")).size(), 120u);
}

// Our own export read back adds nothing, and what goes through a format comes out as it went in,
// as far as the format holds it.
TEST(RestoreAcrossFormats, AFileOfEveryReadableFormatRestoredIntoItsStoreAddsNothing) {
  for (const std::string ending : {".bak", ".xml", ".zip"}) {
    SCOPED_TRACE(ending);
    testing::TempDir dir;
    const std::string store = dir.PathOf("s.db");
    const std::string file = dir.PathOf("f" + ending);
    ASSERT_EQ(Larkpost({"--store", store, "store", "load"}, DemoDump()).status, 0);
    Outcome run = Larkpost({"--codepage", "65001", "--store", store, "backup", file});
    ASSERT_EQ(run.status, 0) << run.err;
    run = Larkpost({"--codepage", "65001", "--store", store, "restore", "--yes", file});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Restored: 0, already present: 32, folders created: 0"),
              std::string::npos)
        << run.out;

    const std::string empty = dir.PathOf("e.db");
    ASSERT_EQ(Larkpost({"--store", empty, "store", "init"}).status, 0);
    for (int pass = 0; pass < 2; ++pass) {
      run = Larkpost({"--codepage", "65001", "--store", empty, "restore", "--yes", file});
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_NE(run.out.find(pass == 0 ? "Restored: 32, already present: 0"
                                       : "Restored: 0, already present: 32"),
                std::string::npos)
          << run.out;
    }
    const std::string again = dir.PathOf("g" + ending);
    ASSERT_EQ(Larkpost({"--codepage", "65001", "--store", empty, "backup", again}).status, 0);
    ExpectSameMessages(Messages(again), Messages(file));
  }
}

TEST(RestoreAcrossFormats, SaysHowManyMessagesWereFoundThroughTheNumbersForm) {
  testing::TempDir dir;
  const std::string store = dir.PathOf("s.db");
  ASSERT_EQ(Larkpost({"--store", store, "store", "load"}, DemoDump()).status, 0);
  // Two of the demo's messages as the phone had them: Ann's number in its national form.
  WriteFile(dir.PathOf("phone.xml"),
            AppXml(AppSms("0151 12345678", "1711962900000", "1",
                          "Morning! Coffee at 10 in the café?", "Ann") +
                       AppSms("+4930123456", "1711964880000", "1", "Running 5 minutes late, sorry.",
                              "Bob B.") +
                       AppSms("+4930123456", "1711964880000", "1", "Something new"),
                   3));
  Outcome run = Larkpost({"--region", "DE", "--store", store, "restore", "--yes", "--json",
                          dir.PathOf("phone.xml")});
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json counts = nlohmann::json::parse(run.out);
  EXPECT_EQ(counts["restored"], 1);
  EXPECT_EQ(counts["alreadyPresent"], 2);
  EXPECT_EQ(counts["byNumberFormat"], 1);
  run = Larkpost({"--region", "DE", "--store", store, "restore", "--yes", "--dry-run",
                  dir.PathOf("phone.xml")});
  EXPECT_NE(run.out.find("Restored: 0, already present: 3 (1 by number format)"),
            std::string::npos)
      << run.out;
  const std::string notice =
      "Numbers without a country code were met; --region CC compares them with international "
      "ones.\nWith it, 1 message would have matched another.\n";
  EXPECT_EQ(run.err.find("Numbers without"), std::string::npos) << run.err;
  // Without a region Ann's national number is another party: her message would be restored
  // again, which the restore says once, with what a region would have found.
  run = Larkpost({"--region", "", "--store", store, "restore", "--yes", "--dry-run", "--json",
                  dir.PathOf("phone.xml")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out)["restored"], 1);
  EXPECT_EQ(nlohmann::json::parse(run.out)["sameWithRegion"], 1);
  EXPECT_NE(run.err.find(notice), std::string::npos) << run.err;

  // The same the other way round: a backup file restored into a store filled from the phone's
  // file, whose copy of Ann's message names her number nationally.
  const std::string phoneStore = dir.PathOf("phone.db");
  ASSERT_EQ(Larkpost({"--store", phoneStore, "store", "init"}).status, 0);
  ASSERT_EQ(Larkpost({"--region", "", "--store", phoneStore, "restore", "--yes",
                      dir.PathOf("phone.xml")})
                .status,
            0);
  ASSERT_EQ(Larkpost({"--codepage", "65001", "--store", store, "backup", dir.PathOf("all.bak")})
                .status,
            0);
  run = Larkpost({"--codepage", "65001", "--region", "", "--store", phoneStore, "restore",
                  "--yes", "--dry-run", "--json", dir.PathOf("all.bak")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out)["sameWithRegion"], 1) << run.out;
  EXPECT_NE(run.err.find(notice), std::string::npos) << run.err;
  run = Larkpost({"--codepage", "65001", "--region", "DE", "--store", phoneStore, "restore",
                  "--yes", "--dry-run", "--json", dir.PathOf("all.bak")});
  EXPECT_EQ(nlohmann::json::parse(run.out)["sameWithRegion"], 0) << run.out;
  EXPECT_EQ(run.err.find("Numbers without"), std::string::npos) << run.err;
}

TEST(StoreDedupe, ADumpLoadedTwiceComesBackAsTheDumpKeepingTheRicherCopy) {
  testing::TempDir dir;
  const std::string store = dir.PathOf("s.db");
  const std::string dump = DemoDump();
  // A poorer copy of one message first: no names, in the bare inbox instead of Inbox\Family.
  nlohmann::json poor;
  for (const nlohmann::json& line : DumpOf(dump)) {
    if (line["folder"] == nlohmann::json::array({"Inbox", "Family"})) {
      poor = line;
      break;
    }
  }
  ASSERT_FALSE(poor.is_null());
  poor["folder"] = nlohmann::json::array({"Inbox"});
  poor["senderName"] = "";
  const std::string address = poor["senderEmailAddress"].get<std::string>();
  poor["senderEmailAddress"] = "\"\" " + address.substr(address.find('<'));
  for (nlohmann::json& recipient : poor["recipients"]) recipient["name"] = "";
  ASSERT_EQ(Larkpost({"--store", store, "store", "load"}, poor.dump() + "\n").status, 0);
  ASSERT_EQ(Larkpost({"--store", store, "store", "load"}, dump).status, 0);
  ASSERT_EQ(Larkpost({"--store", store, "store", "load", "--duplicates"}, dump).status, 0);
  const std::string loaded = Larkpost({"--store", store, "store", "dump"}).out;

  Outcome run = Larkpost({"--store", store, "store", "dedupe", "--dry-run"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("Would remove 33 duplicates of 65 messages (dry run: the store was "
                          "not changed).\n  Drafts: 2\n  Inbox: 9\n", 0),
            0u)
      << run.out;
  EXPECT_EQ(Larkpost({"--store", store, "store", "dump"}).out, loaded);

  // Removing asks first, as a restore does: without a terminal to say yes on, only --yes.
  run = Larkpost({"--store", store, "store", "dedupe"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("(pass --yes)"), std::string::npos) << run.err;
  EXPECT_EQ(Larkpost({"--store", store, "store", "dump"}).out, loaded);

  // A removal the store refuses halfway removes nothing.
  mapi::AddFault("DeleteMessageAt", 5, MAPI_E_CALL_FAILED);
  run = Larkpost({"--store", store, "store", "dedupe", "--yes"});
  mapi::ClearFaults();
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Larkpost({"--store", store, "store", "dump"}).out, loaded);

  run = Larkpost({"--store", store, "store", "dedupe", "--yes", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines;
  std::istringstream out(run.out);
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 34u);
  const auto poorGone = std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    const nlohmann::json removed = nlohmann::json::parse(line);
    return removed.contains("folder") && removed["folder"] == "Inbox" &&
           removed["text"] == poor["subject"];
  });
  EXPECT_EQ(poorGone, 1);
  EXPECT_EQ(nlohmann::json::parse(lines.back())["removed"], 33);
  EXPECT_EQ(DumpOf(Larkpost({"--store", store, "store", "dump"}).out), DumpOf(dump));
  EXPECT_NE(Larkpost({"--store", store, "store", "dedupe", "-y"}).out.find("Removed 0 duplicates"),
            std::string::npos);
}

// A message filed under two subfolders is two messages; its copy brought back from the phone's
// file (bare inbox, millisecond time, no own number) and its copy from a backup file whose code
// page lacked a character are that message, as a restore of either finds it present.
TEST(StoreDedupe, CopiesAreTheSameWhereTheyAgreeOnWhatBothHold) {
  testing::TempDir dir;
  const std::string store = dir.PathOf("s.db");
  nlohmann::json message = {
      {"folder", {"Inbox", "Work"}}, {"flags", 1}, {"subject", "Train at 9 \u2713"},
      {"lastModified", 133592329210001234}, {"deliveryTime", 133592329200001234},
      {"messageClass", "IPM.SMStext"}, {"senderEmailAddress", "\"Ann\" <+4915112345678>"},
      {"senderName", "Ann"}, {"size", 12},
      {"recipients", {{{"name", "Me"}, {"address", "+4915112340000"}, {"type", 1}}}}};
  std::string lines = message.dump() + "\n";
  nlohmann::json other = message;
  other["folder"] = {"Inbox", "Travel"};
  lines += other.dump() + "\n";
  nlohmann::json fromPhone = message;
  fromPhone["folder"] = {"Inbox"};
  fromPhone["deliveryTime"] = 133592329200000000;
  fromPhone["recipients"] = nlohmann::json::array();
  fromPhone["senderName"] = "";
  fromPhone["senderEmailAddress"] = "\"\" <+4915112345678>";
  lines += fromPhone.dump() + "\n";
  nlohmann::json questionMark = message;
  questionMark["subject"] = "Train at 9 ?";
  lines += questionMark.dump() + "\n";
  ASSERT_EQ(Larkpost({"--store", store, "store", "load", "--duplicates"}, lines).status, 0);
  Outcome run = Larkpost({"--store", store, "store", "dedupe", "--yes"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("Removed 2 duplicates of 4 messages", 0), 0u) << run.out;
  EXPECT_EQ(DumpOf(Larkpost({"--store", store, "store", "dump"}).out),
            DumpOf(message.dump() + "\n" + other.dump() + "\n"));
}

}  // namespace
}  // namespace larkpost
