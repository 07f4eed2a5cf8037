#include "cli/cli.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/terminal_ui.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;

TEST(DefaultBackupName, LocalMinuteOfTheRun) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  struct tm utc {};
  utc.tm_year = 2010 - 1900;
  utc.tm_mon = 0;
  utc.tm_mday = 6;
  utc.tm_hour = 7;
  utc.tm_min = 45;
  utc.tm_sec = 59;
  EXPECT_EQ(DefaultBackupName(CTime(timegm(&utc))), u"BAK_20100106_0845.bak");
}

TEST(ParseFolderList, NamesInAnyCaseSelectTheirFolders) {
  int32_t flags[5];
  std::string error;
  ASSERT_TRUE(ParseFolderList("Inbox,SENT", flags, error));
  EXPECT_EQ(std::vector<int32_t>(flags, flags + 5), (std::vector<int32_t>{0, 1, 0, 1, 0}));
  ASSERT_TRUE(ParseFolderList(" draft , outbox,deleted", flags, error));
  EXPECT_EQ(std::vector<int32_t>(flags, flags + 5), (std::vector<int32_t>{1, 0, 1, 0, 1}));
}

TEST(ParseFolderList, BadNamesAreNamed) {
  int32_t flags[5];
  std::string error;
  EXPECT_FALSE(ParseFolderList("inbox,junk", flags, error));
  EXPECT_NE(error.find("\"junk\""), std::string::npos) << error;
  EXPECT_FALSE(ParseFolderList("", flags, error));
  EXPECT_FALSE(ParseFolderList("inbox,", flags, error));
  EXPECT_NE(error.find("empty"), std::string::npos) << error;
}

class CliTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args, const std::string& input = "",
          bool inputIsTerminal = false) {
    std::istringstream in(input);
    out_.str("");
    err_.str("");
    return RunCli(args, CliStreams{in, out_, err_, inputIsTerminal, false});
  }

  std::string Path(const std::string& name) const { return temp_.PathOf(name); }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Three messages: two in the inbox (one in a subfolder), one in Sent.
  void LoadSample() {
    const std::string lines =
        R"({"folder":["Inbox"],"flags":1,"subject":"Hello","lastModified":133497000000000000,)"
        R"("deliveryTime":133497000000000000,"messageClass":"IPM.SMStext",)"
        R"("senderEmailAddress":"\"Ann\" <+49151>","senderName":"Ann","size":5,)"
        R"("recipients":[{"name":"Bob","address":"+4930","type":1}]})"
        "\n"
        R"({"folder":["Inbox","Work"],"flags":1,"subject":"Caf\u00e9 at 8","lastModified":133497000000000001,)"
        R"("deliveryTime":133497000000000001,"messageClass":"IPM.SMStext",)"
        R"("senderEmailAddress":"\"\" <+49152>","senderName":"","size":10})"
        "\n"
        R"({"folder":["Sentedbox"],"flags":0,"subject":"On my way","lastModified":133497000000000002,)"
        R"("deliveryTime":133497000000000002,"messageClass":"IPM.SMStext",)"
        R"("senderEmailAddress":"\"Me\" <+4930>","senderName":"Me","size":9,)"
        R"("recipients":[{"name":"Ann","address":"+49151","type":1},{"name":"Cy","address":"+1","type":2}]})"
        "\n";
    ASSERT_EQ(Run({"--store", store_, "store", "load"}, lines), kExitSuccess) << err_.str();
  }

  testing::TempDir temp_;
  const fs::path dir_{temp_.path()};
  const std::string store_ = temp_.PathOf("store.db");
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(CliTest, BadArgumentsAreUsageErrors) {
  EXPECT_EQ(Run({}), kExitUsage);
  EXPECT_EQ(Run({"frobnicate"}), kExitUsage);
  EXPECT_EQ(Run({"restore"}), kExitUsage);  // PATH is required
  EXPECT_EQ(Run({"--codepage", "12345", "verify", Path("x.bak")}), kExitUsage);
  EXPECT_NE(err_.str().find("12345"), std::string::npos);
  EXPECT_EQ(Run({"--store", store_, "backup", "--folders", "inbox,attic", Path("a.bak")}),
            kExitUsage);
  EXPECT_NE(err_.str().find("attic"), std::string::npos);
  EXPECT_FALSE(fs::exists(Path("a.bak")));
  EXPECT_EQ(Run({"--help"}), kExitSuccess);
}

TEST_F(CliTest, MissingStoreIsAnInitializationFailure) {
  EXPECT_EQ(Run({"--store", Path("none.db"), "backup", Path("a.bak")}), kExitFailure);
  EXPECT_EQ(err_.str().rfind("SMS Account Initialization Failed.\n", 0), 0u) << err_.str();
  EXPECT_FALSE(fs::exists(Path("a.bak")));
  EXPECT_FALSE(fs::exists(Path("none.db")));
}

TEST_F(CliTest, BackupVerifyShowRestoreRoundTrip) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess) << err_.str();
  EXPECT_EQ(out_.str(), "Backup Succeeded.\n");

  ASSERT_EQ(Run({"verify", Path("all.bak")}), kExitSuccess) << err_.str();
  EXPECT_EQ(out_.str(), "OK: 3 records, digest valid\n");

  ASSERT_EQ(Run({"show", "--json", Path("all.bak")}), kExitSuccess) << err_.str();
  std::istringstream lines(out_.str());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) ++count;
  EXPECT_EQ(count, 3);
  EXPECT_NE(out_.str().find(R"("folder":"Inbox\\Work")"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("Caf\xC3\xA9 at 8"), std::string::npos);

  const std::string fresh = Path("fresh.db");
  ASSERT_EQ(Run({"--store", fresh, "store", "init"}), kExitSuccess);
  ASSERT_EQ(Run({"--store", fresh, "restore", "--yes", Path("all.bak")}), kExitSuccess)
      << err_.str();
  EXPECT_EQ(out_.str(),
            "Restore Succeeded.\nRestored: 3, already present: 0, folders created: 1\n");

  ASSERT_EQ(Run({"--store", store_, "store", "dump"}), kExitSuccess);
  const std::string original = out_.str();
  ASSERT_EQ(Run({"--store", fresh, "store", "dump"}), kExitSuccess);
  EXPECT_EQ(out_.str(), original);

  ASSERT_EQ(Run({"--store", fresh, "store", "list"}), kExitSuccess);
  EXPECT_NE(out_.str().find("  Work"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("3 messages"), std::string::npos) << out_.str();
}

TEST_F(CliTest, TxtNameWritesTextExportAndFoldersSelect) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", "--folders", "SENT", Path("sent.txt")}),
            kExitSuccess);
  const std::string text = ReadFile(Path("sent.txt"));
  EXPECT_EQ(text.rfind("Sender: \"Me\" <+4930>\r\nRecipients: \"Ann\" <+49151>;\"Cy\" <+1>;\r\n", 0),
            0u)
      << text;
  EXPECT_EQ(text.find("Hello"), std::string::npos);
}

TEST_F(CliTest, DefaultNameIsInTheCurrentFolder) {
  LoadSample();
  const fs::path before = fs::current_path();
  fs::current_path(dir_);
  const int status = Run({"--store", store_, "backup"});
  fs::current_path(before);
  ASSERT_EQ(status, kExitSuccess) << err_.str();
  int found = 0;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("BAK_", 0) == 0 && name.size() == std::string("BAK_20100106_0845.bak").size())
      ++found;
  }
  EXPECT_EQ(found, 1);
}

TEST_F(CliTest, BlankPathsAreRefusedWithTheSystemsTexts) {
  LoadSample();
  EXPECT_EQ(Run({"--store", store_, "backup", "  "}), kExitFailure);
  EXPECT_EQ(err_.str(), "Please Select Save Path.\n");
  EXPECT_EQ(Run({"--store", store_, "restore", "--yes", ""}), kExitFailure);
  EXPECT_EQ(err_.str(), "Please Select File Path.\n");
}

TEST_F(CliTest, RestoreAsksFirstAndRefusesWithoutTerminal) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess);
  const std::string fresh = Path("fresh.db");
  ASSERT_EQ(Run({"--store", fresh, "store", "init"}), kExitSuccess);

  EXPECT_EQ(Run({"--store", fresh, "restore", Path("all.bak")}), kExitFailure);
  EXPECT_EQ(err_.str().rfind("Are you sure to restore sms from file:" + Path("all.bak") + "\n", 0),
            0u)
      << err_.str();
  EXPECT_NE(err_.str().find("--yes"), std::string::npos);

  EXPECT_EQ(Run({"--store", fresh, "restore", Path("all.bak")}, "n\n", true), kExitFailure);
  ASSERT_EQ(Run({"--store", fresh, "store", "list"}), kExitSuccess);
  EXPECT_NE(out_.str().find("\n0 messages"), std::string::npos) << out_.str();

  EXPECT_EQ(Run({"--store", fresh, "restore", Path("all.bak")}, "y\n", true), kExitSuccess)
      << err_.str();
  ASSERT_EQ(Run({"--store", fresh, "store", "list"}), kExitSuccess);
  EXPECT_NE(out_.str().find("\n3 messages"), std::string::npos) << out_.str();
}

TEST_F(CliTest, FailuresExitNonZeroWithTheirMessage) {
  LoadSample();
  EXPECT_EQ(Run({"--store", store_, "restore", "--yes", Path("gone.bak")}), kExitFailure);
  EXPECT_EQ(err_.str(), Path("gone.bak") + " was not found.\n");

  EXPECT_EQ(Run({"--store", store_, "backup", Path("no/such/dir/a.bak")}), kExitFailure);
  EXPECT_EQ(err_.str(), Path("no/such/dir/a.bak") + " was not found.\n");

  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess);
  std::ofstream(Path("all.bak"), std::ios::app) << "x";
  EXPECT_EQ(Run({"--store", store_, "restore", "--yes", Path("all.bak")}), kExitFailure);
  EXPECT_EQ(err_.str(), "File Validation Failed.\n");
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(Run({"verify", Path("all.bak")}), kExitFailure);
  EXPECT_EQ(err_.str(), "File Validation Failed.\n");
}

TEST_F(CliTest, IncompleteBackupHasItsOwnExitStatus) {
  LoadSample();
  mapi::AddFault("IMAPIFolder::GetContentsTable", 1, MAPI_E_CALL_FAILED, 1000);
  const int status = Run({"--store", store_, "backup", Path("part.bak")});
  mapi::ClearFaults();
  EXPECT_EQ(status, kExitIncomplete);
  EXPECT_EQ(err_.str().rfind("Backup incomplete: ", 0), 0u) << err_.str();
  EXPECT_EQ(out_.str(), "");
  EXPECT_FALSE(fs::exists(Path("part.bak")));
  // The message names the partial file, which is a valid backup of what could be read.
  const std::string marker = "Partial output: ";
  const size_t at = err_.str().find(marker);
  ASSERT_NE(at, std::string::npos) << err_.str();
  const size_t end = err_.str().find('\n', at);
  const std::string partial = err_.str().substr(at + marker.size(), end - at - marker.size());
  EXPECT_EQ(Run({"verify", partial}), kExitSuccess) << err_.str();
}

TEST_F(CliTest, VerifyNamesEachBadRecord) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess);
  std::string bytes = ReadFile(Path("all.bak"));
  // Same length, so the digest still matches: the first record's folder becomes "Xnbox", the
  // second's class "IPM.SMStexT".
  const size_t inbox = bytes.find("Inbox\n");
  ASSERT_NE(inbox, std::string::npos);
  bytes[inbox] = 'X';
  const size_t second = bytes.find("IPM.SMStext\nInbox\\Work");
  ASSERT_NE(second, std::string::npos);
  bytes[second + 10] = 'T';
  std::ofstream(Path("all.bak"), std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_EQ(Run({"verify", Path("all.bak")}), kExitFailure);
  EXPECT_EQ(err_.str(),
            "No.1, Create folder 'Xnbox' error!\n"
            "No.2, Unknow message class name!\n"
            "2 of 3 records would fail to restore\n");
}

// The job's outcome, not the text of a message, decides the exit status and the stream.
TEST(TerminalUserInterface, ExitStatusAndStreamFollowTheOutcome) {
  std::istringstream in;
  std::ostringstream out, err;
  TerminalUserInterface ui(in, out, err, false, false);
  EXPECT_EQ(ui.ExitStatus(), kExitFailure);  // nothing happened: not a success
  std::atomic<RunOutcome> outcome{RunOutcome::kNotRun};
  ui.Follow(outcome);
  ui.MessageBox(u"Please Select Save Path.", MB_ICONINFORMATION);
  EXPECT_EQ(ui.ExitStatus(), kExitFailure);
  outcome = RunOutcome::kFailed;
  ui.MessageBox(u"File Validation Failed.", MB_ICONINFORMATION);
  EXPECT_EQ(ui.ExitStatus(), kExitFailure);
  outcome = RunOutcome::kIncomplete;
  ui.MessageBox(u"Backup incomplete: 2 messages could not be read and are not in the file.",
                MB_ICONWARNING);
  EXPECT_EQ(ui.ExitStatus(), kExitIncomplete);
  outcome = RunOutcome::kSucceeded;
  ui.MessageBox(u"Backup Succeeded.", MB_ICONINFORMATION);
  EXPECT_EQ(ui.ExitStatus(), kExitSuccess);
  EXPECT_EQ(out.str(), "Backup Succeeded.\n");
  EXPECT_EQ(err.str(),
            "Please Select Save Path.\nFile Validation Failed.\n"
            "Backup incomplete: 2 messages could not be read and are not in the file.\n");
}

// Names and texts from a backup file or a store never reach the terminal raw; JSON stays JSON.
TEST_F(CliTest, ControlCharactersOfUntrustedTextAreShownEscaped) {
  const std::string lines =
      R"({"folder":["Inbox","\u001b]0;owned\u0007Evil"],"flags":1,)"
      R"("subject":"line one\nclear\u001b[2J","lastModified":133497000000000000,)"
      R"("deliveryTime":133497000000000000,"messageClass":"IPM.SMStext",)"
      R"("senderEmailAddress":"\"Eve\u001b[1m\" <+49151>","size":5})"
      "\n"
      R"({"folder":["Draft","\u009b31mC1"],"flags":1,"subject":"x","lastModified":1,)"
      R"("deliveryTime":1,"messageClass":"IPM.SMStext","senderEmailAddress":"","size":1})"
      "\n";
  ASSERT_EQ(Run({"--store", store_, "store", "load"}, lines), kExitSuccess) << err_.str();
  ASSERT_EQ(Run({"--store", store_, "store", "list"}), kExitSuccess);
  EXPECT_NE(out_.str().find("  \\x1b]0;owned\\x07Evil"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("  \\u009b31mC1"), std::string::npos) << out_.str();
  // (The C1 character has no place in code page 1252: a backup of it would be incomplete.)
  ASSERT_EQ(Run({"--store", store_, "backup", "--folders", "inbox", Path("evil.bak")}),
            kExitSuccess)
      << err_.str();

  ASSERT_EQ(Run({"show", Path("evil.bak")}), kExitSuccess) << err_.str();
  EXPECT_EQ(out_.str().find('\x1b'), std::string::npos) << out_.str();
  EXPECT_EQ(out_.str().find('\x07'), std::string::npos);
  EXPECT_NE(out_.str().find("Inbox\\\\x1b]0;owned\\x07Evil"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("line one\n    clear\\x1b[2J\n"), std::string::npos);
  EXPECT_NE(out_.str().find("Eve\\x1b[1m"), std::string::npos);

  ASSERT_EQ(Run({"show", "--json", Path("evil.bak")}), kExitSuccess);
  const nlohmann::json record = nlohmann::json::parse(out_.str().substr(0, out_.str().find('\n')));
  EXPECT_EQ(record["folder"], "Inbox\\\x1b]0;owned\x07" "Evil");
  EXPECT_EQ(record["text"], "line one\nclear\x1b[2J");

  // An error that quotes a name: a record whose folder cannot be created says so, escaped.
  std::string bytes = ReadFile(Path("evil.bak"));
  bytes[bytes.find("Inbox\\")] = 'X';
  std::ofstream(Path("evil.bak"), std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_EQ(Run({"verify", Path("evil.bak")}), kExitFailure);
  EXPECT_EQ(err_.str().find('\x1b'), std::string::npos) << err_.str();
  EXPECT_NE(err_.str().find("\\x1b]0;owned\\x07Evil"), std::string::npos) << err_.str();
}

// A character the code page lacks is written as "?": the backup finishes but says so, and the
// program's exit status is the incomplete backup's.
TEST_F(CliTest, ReplacedCharactersMakeABackupIncomplete) {
  const std::string line =
      R"({"folder":["Inbox"],"subject":"Done \u2713","deliveryTime":133497000000000000,)"
      R"("senderEmailAddress":"\"Ann\" <+49151>"})"
      "\n";
  ASSERT_EQ(Run({"--store", store_, "store", "load"}, line), kExitSuccess) << err_.str();
  EXPECT_EQ(Run({"--store", store_, "backup", Path("a.bak")}), kExitIncomplete);
  EXPECT_NE(err_.str().find("1 message holds characters the code page lacks"), std::string::npos)
      << err_.str();
}

TEST_F(CliTest, RestoreSaysWhatItDidAndDryRunChangesNothing) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess) << err_.str();
  const std::string fresh = Path("fresh.db");
  ASSERT_EQ(Run({"--store", fresh, "store", "init"}), kExitSuccess);
  ASSERT_EQ(Run({"--store", fresh, "store", "dump"}), kExitSuccess);
  const std::string empty = out_.str();

  ASSERT_EQ(Run({"--store", fresh, "restore", "--dry-run", Path("all.bak")}), kExitSuccess)
      << err_.str();
  EXPECT_EQ(out_.str(),
            "Restore Succeeded.\nRestored: 3, already present: 0, folders created: 1"
            " (dry run: the store was not changed)\n");
  ASSERT_EQ(Run({"--store", fresh, "store", "dump"}), kExitSuccess);
  EXPECT_EQ(out_.str(), empty);

  ASSERT_EQ(Run({"--store", fresh, "restore", "--yes", "--json", Path("all.bak")}), kExitSuccess);
  EXPECT_EQ(nlohmann::json::parse(out_.str()),
            nlohmann::json::parse(
                R"({"restored":3,"alreadyPresent":0,"byNumberFormat":0,"foldersCreated":1,"dryRun":false})"));
  ASSERT_EQ(Run({"--store", fresh, "restore", "--yes", Path("all.bak")}), kExitSuccess);
  EXPECT_EQ(out_.str(),
            "Restore Succeeded.\nRestored: 0, already present: 3, folders created: 0\n");
}

// A file cut in half, and one with a damaged record in the middle, give back every whole record.
TEST_F(CliTest, SalvageKeepsEveryWholeRecord) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess) << err_.str();
  const std::string whole = ReadFile(Path("all.bak"));
  const size_t second = whole.find("IPM.SMStext\n", 21);
  const size_t third = whole.find("IPM.SMStext\n", second + 1);
  ASSERT_NE(third, std::string::npos);

  std::ofstream(Path("cut.bak"), std::ios::binary) << whole.substr(0, third + 30);
  EXPECT_EQ(Run({"salvage", Path("cut.bak"), Path("cut-saved.bak")}), kExitIncomplete);
  EXPECT_NE(out_.str().find("Kept 2 records"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("Skipped: record 3 at byte " + std::to_string(third)),
            std::string::npos)
      << out_.str();
  EXPECT_EQ(ReadFile(Path("cut-saved.bak")).substr(20), whole.substr(20, third - 20));
  ASSERT_EQ(Run({"verify", Path("cut-saved.bak")}), kExitSuccess) << err_.str();

  std::string damaged = whole;
  damaged[second + 12] = 'X';  // the second record's folder is no standard folder any more
  std::ofstream(Path("damaged.bak"), std::ios::binary) << damaged;
  EXPECT_EQ(Run({"salvage", Path("damaged.bak"), Path("saved.bak")}), kExitIncomplete);
  EXPECT_NE(out_.str().find("Kept 2 records"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("record 2 at byte " + std::to_string(second)), std::string::npos)
      << out_.str();
  ASSERT_EQ(Run({"verify", Path("saved.bak")}), kExitSuccess) << err_.str();
  EXPECT_EQ(Run({"salvage", Path("all.bak"), Path("all.bak")}), kExitFailure);
  EXPECT_EQ(ReadFile(Path("all.bak")), whole);
}

}  // namespace
}  // namespace larkpost
