#include "cli/cli.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>

#include "cli/terminal_ui.h"
#include "formats/formats_test_util.h"
#include "jobs/outcome.h"
#include "jobs/store_access.h"
#include "message/message_record.h"
#include "platform/file/file_lock.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;

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

  static std::string ReadFile(const std::string& path) { return testing::FileBytes(path); }

  // u.bak written in UTF-8 (--codepage 65001), with an emoji and an accent; the process is back
  // at the default code page after it.
  void WriteUtf8Backup() {
    const std::string line =
        R"({"folder":["Inbox"],"subject":"lasagna \ud83d\ude0a tonight? caf\u00e9",)"
        R"("deliveryTime":133497000000000000,"senderEmailAddress":"\"Ann\" <+49151>"})"
        "\n";
    ASSERT_EQ(Run({"--store", store_, "store", "load"}, line), kExitSuccess) << err_.str();
    ASSERT_EQ(Run({"--codepage", "65001", "--store", store_, "backup", Path("u.bak")}),
              kExitSuccess);
    SetAnsiCodePage(1252);
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
  // A command's help names the program's options it takes as well, and what it reads.
  for (const char* command : {"show", "restore", "merge"}) {
    EXPECT_EQ(Run({command, "--help"}), kExitSuccess);
    EXPECT_NE(out_.str().find("--store DB"), std::string::npos) << out_.str();
    EXPECT_NE(out_.str().find("--region CC"), std::string::npos) << out_.str();
  }
  EXPECT_EQ(Run({"show", "--help"}), kExitSuccess);
  EXPECT_NE(out_.str().find("a backup file or a phone's XML or ZIP"), std::string::npos);
}

TEST_F(CliTest, MissingStoreIsAnInitializationFailure) {
  EXPECT_EQ(Run({"--store", Path("none.db"), "backup", Path("a.bak")}), kExitFailure);
  EXPECT_EQ(err_.str().rfind("SMS Account Initialization Failed.\n", 0), 0u) << err_.str();
  EXPECT_FALSE(fs::exists(Path("a.bak")));
  EXPECT_FALSE(fs::exists(Path("none.db")));
}

// On a new machine the first restore, once confirmed, makes the default store; a store named
// with --store that is not there stays an error.
TEST_F(CliTest, TheFirstRestoreMakesTheDefaultStore) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("a.bak")}), kExitSuccess) << err_.str();
  EXPECT_EQ(Run({"--store", Path("none.db"), "restore", "--yes", Path("a.bak")}), kExitFailure);
  EXPECT_FALSE(fs::exists(Path("none.db")));
  const char* old = std::getenv("XDG_DATA_HOME");
  const std::string saved = old != nullptr ? old : "";
  setenv("XDG_DATA_HOME", Path("data").c_str(), 1);
  EXPECT_EQ(Run({"restore", Path("a.bak")}), kExitFailure);  // no terminal to say yes on
  EXPECT_FALSE(fs::exists(Path("data/larkpost/messages.db")));
  const int status = Run({"restore", "--yes", Path("a.bak")});
  const std::string err = err_.str();
  const int listed = Run({"store", "list"});
  if (old != nullptr) {
    setenv("XDG_DATA_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
  EXPECT_EQ(status, kExitSuccess) << err;
  EXPECT_NE(err.find("Created the message store " + Path("data/larkpost/messages.db")),
            std::string::npos)
      << err;
  EXPECT_EQ(listed, kExitSuccess);
  EXPECT_NE(out_.str().find("3 messages"), std::string::npos) << out_.str();
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

// A store filled from a phone's export of this store holds its messages poorer (no subfolders,
// no own number, milliseconds): restoring this store's backup into it adds nothing, in a dry run
// as for real, and the number the phone writes otherwise counts as found by number format.
TEST_F(CliTest, BackupRestoredIntoAStoreFilledFromThePhoneAddsNothing) {
  auto message = [](const std::string& folder, const std::string& time, const std::string& text,
                    const std::string& sender, const std::string& recipients) {
    return R"({"folder":[)" + folder + R"(],"flags":1,"subject":")" + text +
           R"(","lastModified":)" + time + R"(,"deliveryTime":)" + time +
           R"(,"messageClass":"IPM.SMStext","senderEmailAddress":"\")" + sender +
           R"(","senderName":"","size":2,"recipients":[)" + recipients + "]}\n";
  };
  const std::string me = R"({"name":"Me","address":"+4930111","type":1})";
  const std::string lines =
      message(R"("Inbox")", "133497000000001234", "OK", R"(\" <+49 151 1234567>)", me) +
      message(R"("Inbox","Family")", "133497000000005678", "OK", R"(\" <+491511234567>)", me) +
      message(R"("Inbox","Family")", "133497000000010009", "Caf\u00e9 at 8",
              R"(\" <+491512222222>)", me) +
      message(R"("Sentedbox")", "133497000000024321", "On my way", R"(Me\" <+4930111>)",
              R"({"name":"Ann","address":"+491512222222","type":1})") +
      message(R"("Sentedbox","Trips")", "133497000000035555", "Landed", R"(Me\" <+4930111>)",
              R"({"name":"Bo","address":"+491513333333","type":1},)"
              R"({"name":"Cy","address":"+491514444444","type":2})") +
      message(R"("Inbox")", "133497000000040000", "Whole", R"(\" <+491515555555>)", "") +
      message(R"("Wastebox")", "133497000000050007", "Gone", R"(\" <+491515555555>)", "") +
      message(R"("Wastebox","Old")", "133497000000060000", "Sent, gone", R"(Me\" <+4930111>)",
              R"({"name":"Ann","address":"+491512222222","type":1})");
  ASSERT_EQ(Run({"--store", store_, "store", "load"}, lines), kExitSuccess) << err_.str();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess) << err_.str();

  // The app groups the entries of a message sent to two people by their thread.
  auto sms = [](const std::string& address, const std::string& date, int type,
                const std::string& body, const std::string& name, const std::string& thread = "1") {
    return R"(<sms protocol="0" address=")" + address + R"(" date=")" + date + R"(" type=")" +
           std::to_string(type) + R"(" subject="null" body=")" + body +
           R"(" toa="null" sc_toa="null" service_center="null" read="1" status="-1" locked="0")"
           R"( thread_id=")" + thread + R"(" date_sent="0" readable_date="14.01.2024 11:00:00" contact_name=")" + name +
           "\" />\n";
  };
  std::ofstream(Path("phone.xml"))
      << "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n<smses count=\"9\">\n"
      << sms("+491511234567", "1705226400000", 1, "OK", "Ann")
      << sms("+491511234567", "1705226400000", 1, "OK", "Ann")
      << sms("+491512222222", "1705226400001", 1, "Caf\xC3\xA9 at 8", "Ann")
      << sms("+491512222222", "1705226400002", 2, "On my way", "Ann")
      << sms("+491513333333", "1705226400003", 2, "Landed", "Bo")
      << sms("+491514444444", "1705226400003", 2, "Landed", "Cy")
      << sms("+491515555555", "1705226400004", 1, "Whole", "(Unknown)")
      << sms("+491515555555", "1705226400005", 1, "Gone", "(Unknown)")
      << sms("+491512222222", "1705226400006", 2, "Sent, gone", "Ann") << "</smses>\n";
  const std::string phone = Path("phone.db");
  ASSERT_EQ(Run({"--store", phone, "store", "init"}), kExitSuccess);
  ASSERT_EQ(Run({"--store", phone, "restore", "--yes", Path("phone.xml")}), kExitSuccess)
      << err_.str();
  EXPECT_EQ(out_.str(),
            "Restore Succeeded.\nRestored: 8, already present: 0, folders created: 0\n");
  ASSERT_EQ(Run({"--store", phone, "store", "dump"}), kExitSuccess);
  const std::string filled = out_.str();

  for (const std::string run : {"--dry-run", "--yes"}) {
    ASSERT_EQ(Run({"--store", phone, "restore", run, Path("all.bak")}), kExitSuccess)
        << err_.str();
    // A dry run changed nothing and says so, never "Restore Succeeded.". The backup's
    // subfolders are not made for messages found present in the standard folders.
    EXPECT_EQ(out_.str(), std::string(run == "--dry-run" ? "" : "Restore Succeeded.\n") +
                              "Restored: 0, already present: 8 (1 by number format), folders "
                              "created: 0" +
                              std::string(run == "--dry-run"
                                              ? " (dry run: the store was not changed)\n"
                                              : "\n"));
  }
  ASSERT_EQ(Run({"--store", phone, "store", "dump"}), kExitSuccess);
  EXPECT_EQ(out_.str(), filled);
}

// `backup /dev/stdout > f` and `| ...`: the file goes where the shell opened standard output,
// after what is already there, and what the command says goes to standard error.
TEST_F(CliTest, BackupIntoStandardOutputWritesWhereTheShellPointedIt) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("plain.bak")}), kExitSuccess) << err_.str();
  const std::string plain = ReadFile(Path("plain.bak"));
  const int shellOutput = open(Path("out.bak").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(shellOutput, 0);
  ASSERT_EQ(write(shellOutput, "hi\n", 3), 3);
  const int saved = dup(1);
  dup2(shellOutput, 1);
  const int status = Run({"--store", store_, "backup", "/dev/stdout"});
  dup2(saved, 1);
  close(saved);
  ASSERT_EQ(status, kExitSuccess) << err_.str();
  EXPECT_EQ(out_.str(), "");
  EXPECT_NE(err_.str().find("Backup Succeeded."), std::string::npos) << err_.str();
  // The shell's descriptor by its number: written after the first, never replaced.
  ASSERT_EQ(Run({"--store", store_, "backup", "/dev/fd/" + std::to_string(shellOutput)}),
            kExitSuccess)
      << err_.str();
  close(shellOutput);
  EXPECT_EQ(ReadFile(Path("out.bak")), "hi\n" + plain + plain);
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

// A page of the store replaces an older page with the media folder Larkpost made for it: a
// folder of pictures the new page does not show goes with the page it belonged to. A folder of
// that name Larkpost did not make (a browser's "save page, complete") stays, and so does the page.
TEST_F(CliTest, APageOfTheStoreTakesOnlyAMediaFolderMadeForTheOlderPageAway) {
  LoadSample();
  ASSERT_EQ(mkdir(Path("page_files").c_str(), 0700), 0);
  { std::ofstream(Path("page_files/old.png")) << "png"; }
  { std::ofstream(Path("page.html")) << "<html>older page</html>"; }
  EXPECT_EQ(Run({"--store", store_, "backup", "--force", Path("page.html")}), kExitFailure);
  EXPECT_NE(err_.str().find("is not a folder Larkpost made for this page"), std::string::npos)
      << err_.str();
  EXPECT_EQ(ReadFile(Path("page.html")), "<html>older page</html>");
  EXPECT_EQ(ReadFile(Path("page_files/old.png")), "png");

  std::vector<std::pair<std::string, std::string>> files;
  const std::string line = testing::AppMmsLine(
      "1705226400", "1", "Ann", {testing::PicturePart("image/jpeg", "p.jpg", "jpeg bytes")},
      {{"+491512222222", 137}, {"+4930", 151}}, files);
  files.emplace_back("messages.ndjson", line);
  { std::ofstream(Path("mms.zip"), std::ios::binary) << testing::ZipOf(files); }
  ASSERT_EQ(Run({"convert", Path("mms.zip"), Path("pictures.html")}), kExitSuccess) << err_.str();
  ASSERT_TRUE(fs::exists(Path("pictures_files/p.jpg")));
  ASSERT_EQ(Run({"--store", store_, "backup", "--force", Path("pictures.html")}), kExitSuccess)
      << err_.str();
  EXPECT_NE(ReadFile(Path("pictures.html")).find("Hello"), std::string::npos);
  EXPECT_FALSE(fs::exists(Path("pictures_files")));
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
  EXPECT_EQ(err_.str().rfind("Message store: " + fresh + "\nAre you sure to restore sms from file:" +
                                 Path("all.bak") + "\n",
                             0),
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
  EXPECT_EQ(err_.str(), "Message store: " + store_ + "\n" + Path("gone.bak") + " was not found.\n");

  EXPECT_EQ(Run({"--store", store_, "backup", Path("no/such/dir/a.bak")}), kExitFailure);
  EXPECT_EQ(err_.str(), Path("no/such/dir/a.bak") + " was not found.\n");

  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess);
  std::ofstream(Path("all.bak"), std::ios::app) << "x";
  EXPECT_EQ(Run({"--store", store_, "restore", "--yes", Path("all.bak")}), kExitFailure);
  // A byte more than the digest counts: the line after the system's own names the way out.
  const std::string salvage = "It may be a backup file that was cut off or damaged: larkpost "
                              "salvage " + Path("all.bak") + " OUT.bak keeps what it still holds.\n";
  EXPECT_EQ(err_.str(), "Message store: " + store_ + "\nFile Validation Failed.\n" + salvage);
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(Run({"verify", Path("all.bak")}), kExitFailure);
  EXPECT_EQ(err_.str(), "File Validation Failed.\n" + salvage);
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

// A character the code page lacks is written as "?": the backup holds everything its format can,
// so it replaces PATH as a successful one does, then warns with the way out and exits 3. A
// conversion counts and ends the same way.
TEST_F(CliTest, LossyBackupIsWrittenAndSaysHowToKeepTheCharacters) {
  const std::string lines =
      R"({"folder":["Inbox"],"subject":"Done \u2713","deliveryTime":133497000000000000,)"
      R"("senderEmailAddress":"\"Ann\" <+49151>"})"
      "\n"
      R"({"folder":["Inbox"],"subject":"\u2713 and \u2713","deliveryTime":133497000000000001,)"
      R"("senderEmailAddress":"\"Bob \u2713\" <+49152>"})"
      "\n"
      R"({"folder":["Inbox"],"subject":"plain","deliveryTime":133497000000000002,)"
      R"("senderEmailAddress":"\"Cy\" <+49153>"})"
      "\n";
  ASSERT_EQ(Run({"--store", store_, "store", "load"}, lines), kExitSuccess) << err_.str();
  std::ofstream(Path("a.bak")) << "older backup";
  const std::string lossy =
      "2 messages hold characters code page 1252 lacks, written as \"?\"; use --codepage 65001 "
      "or a .zip/.xml file to keep them.\n";
  EXPECT_EQ(Run({"--store", store_, "backup", "--force", Path("a.bak")}), kExitIncomplete);
  EXPECT_EQ(out_.str(), "Backup Succeeded.\n");
  EXPECT_EQ(err_.str(), lossy);
  EXPECT_EQ(Run({"verify", Path("a.bak")}), kExitSuccess) << err_.str();
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_NE(entry.path().extension(), ".part") << "partial file left: " << entry.path();
  }

  ASSERT_EQ(Run({"--store", store_, "backup", Path("a.zip")}), kExitSuccess) << err_.str();
  EXPECT_EQ(Run({"convert", Path("a.zip"), Path("b.bak")}), kExitIncomplete);
  EXPECT_EQ(err_.str(), lossy);
  EXPECT_TRUE(fs::exists(Path("b.bak")));
  // The way out works: nothing is lost with UTF-8.
  EXPECT_EQ(Run({"--codepage", "65001", "--store", store_, "backup", Path("u.bak")}), kExitSuccess);
  EXPECT_EQ(err_.str(), "");
}

// "was not replaced" is said of a file that is there, and only then.
TEST_F(CliTest, IncompleteBackupNamesAReplacedFileOnlyWhenThereWasOne) {
  LoadSample();
  mapi::AddFault("IMAPIFolder::GetContentsTable", 1, MAPI_E_CALL_FAILED, 1000);
  EXPECT_EQ(Run({"--store", store_, "backup", Path("new.bak")}), kExitIncomplete);
  EXPECT_EQ(err_.str().find("was not replaced"), std::string::npos) << err_.str();
  std::ofstream(Path("old.bak")) << "older backup";
  EXPECT_EQ(Run({"--store", store_, "backup", "--force", Path("old.bak")}), kExitIncomplete);
  mapi::ClearFaults();
  EXPECT_NE(err_.str().find(Path("old.bak") + " was not replaced."), std::string::npos)
      << err_.str();
}

// What a command writes follows the ending: one the table does not know is refused, naming the
// known ones, and an existing file is replaced on a yes or with --force, by backup as by convert.
TEST_F(CliTest, UnknownEndingsAreRefusedAndBackupAsksBeforeReplacing) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("old")}), kExitSuccess) << err_.str();
  EXPECT_EQ(Run({"convert", Path("old"), Path("q.pdf")}), kExitUsage);
  EXPECT_EQ(err_.str(), "larkpost: " + Path("q.pdf") +
                            ": unknown ending \".pdf\"; the endings written are .bak or none "
                            "(backup file), .txt (text export), .xml (XML), .zip (ZIP), .html or "
                            ".htm (HTML page), .json (call log)\n");
  EXPECT_EQ(Run({"--store", store_, "backup", Path("out.TXT")}), kExitUsage);
  EXPECT_EQ(err_.str().find("use .txt for the text export"), Path("out.TXT").size() + 12)
      << err_.str();
  EXPECT_FALSE(fs::exists(Path("q.pdf")));
  EXPECT_FALSE(fs::exists(Path("out.TXT")));
  // A call log holds the store's calls (none here) and names the messages it cannot hold.
  EXPECT_EQ(Run({"--store", store_, "backup", Path("calls.json")}), kExitIncomplete);
  EXPECT_EQ(err_.str(), "3 messages left out: call logs hold calls only.\n");

  std::ofstream(Path("mine.bak")) << "not a backup of this store";
  EXPECT_EQ(Run({"--store", store_, "backup", Path("mine.bak")}), kExitFailure);
  EXPECT_EQ(err_.str(), Path("mine.bak") + " exists; use --force to replace it.\n");
  EXPECT_EQ(ReadFile(Path("mine.bak")), "not a backup of this store");
  EXPECT_EQ(Run({"--store", store_, "backup", Path("mine.bak")}, "n\n", true), kExitFailure);
  EXPECT_EQ(ReadFile(Path("mine.bak")), "not a backup of this store");
  EXPECT_EQ(Run({"--store", store_, "backup", "--force", Path("mine.bak")}), kExitSuccess);
  EXPECT_EQ(ReadFile(Path("mine.bak")), ReadFile(Path("old")));
}

// A file of another kind gets one more line after "File Validation Failed.": what it looks like
// and what reads it; a backup file cut short, how to keep what it still holds.
TEST_F(CliTest, AWrongKindOfFileIsNamedAfterTheValidationFailure) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("a.bak")}), kExitSuccess);
  ASSERT_EQ(Run({"--store", store_, "backup", Path("a.txt")}), kExitSuccess);
  ASSERT_EQ(Run({"--store", store_, "backup", Path("a.html")}), kExitSuccess);
  ASSERT_EQ(Run({"--store", store_, "store", "dump", Path("dump.bak")}), kExitSuccess);
  std::ofstream(Path("pic.bak")) << "\x89PNG\r\n\x1a\n" << std::string(100, '\0');
  const std::string whole = ReadFile(Path("a.bak"));
  std::ofstream(Path("cut.bak")) << whole.substr(0, whole.size() - 5);
  const std::pair<std::string, std::string> cases[] = {
      {Path("pic.bak"), "It looks like a PNG picture"},
      {store_, "It looks like an SQLite database: if it is a message store, name it with --store"},
      {Path("a.html"), "It looks like an HTML page"},
      {Path("dump.bak"), "larkpost store load FILE"},
      {Path("a.txt"), "It looks like a text export"},
      {Path("cut.bak"), "larkpost salvage " + Path("cut.bak") + " OUT.bak"},
  };
  for (const auto& [file, hint] : cases) {
    EXPECT_EQ(Run({"verify", file}), kExitFailure) << file;
    EXPECT_EQ(err_.str().rfind("File Validation Failed.\n", 0), 0u) << err_.str();
    EXPECT_NE(err_.str().find(hint), std::string::npos) << err_.str();
  }
  EXPECT_EQ(Run({"convert", Path("pic.bak"), Path("b.xml")}), kExitFailure);
  EXPECT_NE(err_.str().find("File Validation Failed.\nIt looks like a PNG picture"),
            std::string::npos)
      << err_.str();
  EXPECT_EQ(Run({"--store", store_, "restore", "--yes", Path("cut.bak")}), kExitFailure);
  EXPECT_NE(err_.str().find("larkpost salvage"), std::string::npos) << err_.str();
}

// Names that are not UTF-8 are the bytes they are: found, written as given, and an existing
// one is not replaced without --force.
TEST_F(CliTest, FileNamesThatAreNotUtf8AreKeptAsBytes) {
  LoadSample();
  const std::string latin1 = Path("caf\xe9.bak");
  ASSERT_EQ(Run({"--store", store_, "backup", latin1}), kExitSuccess) << err_.str();
  EXPECT_TRUE(fs::exists(latin1));
  EXPECT_EQ(Run({"verify", latin1}), kExitSuccess) << err_.str();
  const std::string odd = Path("\xff.xml");
  ASSERT_EQ(Run({"convert", latin1, odd}), kExitSuccess) << err_.str();
  EXPECT_TRUE(fs::exists(odd));
  EXPECT_FALSE(fs::exists(Path("\xef\xbf\xbd.xml")));
  EXPECT_EQ(Run({"convert", latin1, odd}), kExitFailure);
  EXPECT_NE(err_.str().find("\\xff.xml"), std::string::npos) << err_.str();
  EXPECT_EQ(WideToPath(PathToWide("a\xe9\xff\xc3\xa9\xed\xa0\x80\xf0\x9f\x98\x80")),
            "a\xe9\xff\xc3\xa9\xed\xa0\x80\xf0\x9f\x98\x80");
}

TEST_F(CliTest, MistypedNamesGetTheNearestKnownOne) {
  EXPECT_EQ(Run({"backpu"}), kExitUsage);
  EXPECT_EQ(err_.str(), "Unknown command 'backpu'. Did you mean 'backup'?\n");
  EXPECT_EQ(Run({"--store", store_, "store", "lsit"}), kExitUsage);
  EXPECT_EQ(err_.str(), "Unknown command 'lsit'. Did you mean 'list'?\n");
  // The value of a global option is no command, whichever option it belongs to.
  EXPECT_EQ(Run({"--region", "US", "backpu"}), kExitUsage);
  EXPECT_EQ(err_.str(), "Unknown command 'backpu'. Did you mean 'backup'?\n");
  EXPECT_EQ(Run({"--stroe", store_, "backup"}), kExitUsage);
  EXPECT_EQ(err_.str(), "Unknown option '--stroe'. Did you mean '--store'?\n");
  // Only the options of the command given are offered.
  EXPECT_EQ(Run({"restore", "--dryrun", Path("a.bak")}), kExitUsage);
  EXPECT_EQ(err_.str(), "Unknown option '--dryrun'. Did you mean '--dry-run'?\n");
  EXPECT_EQ(Run({"backup", "--froce", Path("a.bak")}), kExitUsage);
  EXPECT_EQ(err_.str(), "Unknown option '--froce'. Did you mean '--force'?\n");
  EXPECT_EQ(Run({"zzzzzz"}), kExitUsage);
  EXPECT_EQ(err_.str(), "Unknown command 'zzzzzz'.\n");
  EXPECT_EQ(Run({"--version"}), kExitSuccess);
  EXPECT_EQ(out_.str(), std::string("larkpost ") + LARKPOST_VERSION + "\n");
}

TEST_F(CliTest, ConvertAndSalvageNeverReplaceAFileSilently) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess);
  for (const std::string command : {"convert", "salvage"}) {
    std::ofstream(Path("out.bak")) << "keep me";
    EXPECT_EQ(Run({command, Path("all.bak"), Path("out.bak")}), kExitFailure) << command;
    EXPECT_EQ(err_.str(), Path("out.bak") + " exists; use --force to replace it.\n");
    EXPECT_EQ(ReadFile(Path("out.bak")), "keep me");
    // On a terminal the question is asked; no is the default.
    EXPECT_EQ(Run({command, Path("all.bak"), Path("out.bak")}, "\n", true), kExitFailure);
    EXPECT_EQ(ReadFile(Path("out.bak")), "keep me");
    EXPECT_EQ(Run({command, Path("all.bak"), Path("out.bak")}, "y\n", true), kExitSuccess)
        << err_.str();
    std::ofstream(Path("out.bak")) << "keep me";
    EXPECT_EQ(Run({command, "--force", Path("all.bak"), Path("out.bak")}), kExitSuccess)
        << err_.str();
    EXPECT_EQ(ReadFile(Path("out.bak")), ReadFile(Path("all.bak")));
  }
}

// A file written in one code page and read in another: show says which one to use, and
// --codepage auto reads it right.
TEST_F(CliTest, CodePageAutoReadsTheFilesCodePageAndShowHintsAtIt) {
  WriteUtf8Backup();
  EXPECT_EQ(Run({"show", Path("u.bak")}), kExitSuccess);
  EXPECT_NE(out_.str().find("lasagna \xC3\xB0\xC5\xB8"), std::string::npos) << out_.str();
  EXPECT_EQ(err_.str(),
            "The texts look like code page 65001, not 1252: try --codepage 65001 (or --codepage "
            "auto).\n");
  EXPECT_EQ(Run({"--codepage", "auto", "show", Path("u.bak")}), kExitSuccess);
  EXPECT_NE(out_.str().find("lasagna \xF0\x9F\x98\x8A tonight? caf\xC3\xA9"), std::string::npos)
      << out_.str();
  EXPECT_EQ(err_.str(), "Code page: 65001 (detected)\n");
  SetAnsiCodePage(1252);
}

// Restored, converted, merged or salvaged at the default, a file written in another code page
// would become garbled messages for good: those commands refuse it, naming --codepage, before
// anything is written. --codepage auto reads it right, merge included, and an explicit code page
// reads it as told.
TEST_F(CliTest, FileInAnotherCodePageIsRefusedAtTheDefaultAndReadRightWithAuto) {
  WriteUtf8Backup();
  const std::string refusal =
      "larkpost: " + Path("u.bak") +
      ": the texts look like code page 65001, not 1252, the default: give --codepage 65001 (or "
      "--codepage auto) to read them so, or --codepage 1252 to read them as 1252 all the same. "
      "Nothing was written.\n";
  const std::string other = Path("other.db");
  const std::vector<std::vector<std::string>> commands = {
      {"--store", other, "restore", "--yes", Path("u.bak")},
      {"convert", Path("u.bak"), Path("out.zip")},
      {"merge", Path("out.zip"), Path("u.bak")},
      {"salvage", Path("u.bak"), Path("out.zip")}};
  for (const std::vector<std::string>& command : commands) {
    EXPECT_EQ(Run(command), kExitFailure) << command[0];
    EXPECT_EQ(err_.str(), refusal) << command[0];
  }
  EXPECT_FALSE(fs::exists(other));
  EXPECT_FALSE(fs::exists(Path("out.zip")));

  EXPECT_EQ(Run({"--codepage", "auto", "merge", Path("out.xml"), Path("u.bak")}), kExitSuccess)
      << err_.str();
  EXPECT_EQ(err_.str(), "Code page: 65001 (detected)\n");
  SetAnsiCodePage(1252);
  EXPECT_EQ(Run({"show", Path("out.xml")}), kExitSuccess);
  EXPECT_NE(out_.str().find("lasagna \xF0\x9F\x98\x8A tonight? caf\xC3\xA9"), std::string::npos)
      << out_.str();

  EXPECT_EQ(Run({"--codepage", "1252", "convert", Path("u.bak"), Path("as1252.xml")}),
            kExitSuccess);
  EXPECT_EQ(Run({"show", Path("as1252.xml")}), kExitSuccess);
  EXPECT_NE(out_.str().find("lasagna \xC3\xB0\xC5\xB8"), std::string::npos) << out_.str();
  SetAnsiCodePage(1252);
}

// One run reads one code page: backup files in two are refused with --codepage auto, saying how
// to merge them.
TEST_F(CliTest, CodePageAutoRefusesBackupFilesInDifferentCodePages) {
  const std::string chinese =
      "\u4eca\u5929\u665a\u4e0a\u6211\u4eec\u4e00\u8d77\u53bb\u5403\u996d\u5427\uff0c"
      "\u516b\u70b9\u5728\u706b\u8f66\u7ad9\u89c1\u9762\u3002\u522b\u5fd8\u4e86\u5e26"
      "\u7968\u3002";
  std::string lines;
  for (int i = 0; i < 8; ++i) {
    lines += R"({"folder":["Inbox"],"subject":")" + chinese + R"(","deliveryTime":13349700000000000)" +
             std::to_string(i) + R"(,"senderEmailAddress":"\"\" <+8613800000000>"})" + "\n";
  }
  ASSERT_EQ(Run({"--store", store_, "store", "load"}, lines), kExitSuccess) << err_.str();
  ASSERT_EQ(Run({"--codepage", "936", "--store", store_, "backup", Path("gbk.bak")}), kExitSuccess);
  ASSERT_EQ(Run({"--codepage", "65001", "--store", store_, "backup", Path("utf8.bak")}),
            kExitSuccess);
  SetAnsiCodePage(1252);
  EXPECT_EQ(Run({"--codepage", "auto", "merge", Path("all.zip"), Path("gbk.bak"),
                 Path("utf8.bak")}),
            kExitFailure);
  EXPECT_EQ(err_.str(), "larkpost: the texts of " + Path("gbk.bak") +
                            " look like code page 936, those of " + Path("utf8.bak") +
                            " like 65001, and one run reads one code page: convert each into a "
                            ".zip with its --codepage first, then merge those.\n");
  EXPECT_FALSE(fs::exists(Path("all.zip")));
  EXPECT_EQ(GetACP(), 1252u);
}

// show reads what verify reads; store list names the standard folders as phones do.
TEST_F(CliTest, ShowListsPhoneFilesAndStoreListNamesFoldersAsPeopleKnowThem) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.zip")}), kExitSuccess) << err_.str();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.xml")}), kExitSuccess) << err_.str();
  EXPECT_EQ(Run({"show", Path("all.zip")}), kExitSuccess) << err_.str();
  EXPECT_NE(out_.str().find("No.2  Inbox\\Work  "), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("    Caf\xC3\xA9 at 8\n"), std::string::npos) << out_.str();
  EXPECT_EQ(Run({"show", "--json", Path("all.xml")}), kExitSuccess) << err_.str();
  EXPECT_NE(out_.str().find(R"("text":"On my way")"), std::string::npos) << out_.str();
  std::ofstream(Path("bad.xml")) << "<smses><sms date=\"1\" type=\"9\" body=\"x\"/></smses>";
  EXPECT_EQ(Run({"show", Path("bad.xml")}), kExitFailure);
  EXPECT_NE(err_.str().find("sms entry 1"), std::string::npos) << err_.str();

  // Listings name folders as the desktop program does and give ISO times, "no time" for none;
  // the files keep the handheld's names.
  ASSERT_EQ(Run({"--store", store_, "store", "load"},
                R"({"folder":["Draft"],"subject":"unsent","messageClass":"IPM.SMStext"})" "\n"),
            kExitSuccess);
  ASSERT_EQ(Run({"--store", store_, "store", "list"}), kExitSuccess);
  EXPECT_NE(out_.str().find("\nSent Items     "), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("\nDeleted Items  "), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("Inbox      "), std::string::npos) << out_.str();
  EXPECT_EQ(out_.str().find("Sentedbox"), std::string::npos) << out_.str();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("d.bak")}), kExitSuccess);
  EXPECT_EQ(Run({"show", Path("d.bak")}), kExitSuccess);
  EXPECT_NE(out_.str().find("No.1  Drafts  no time\n"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("  Sent Items  2024-0"), std::string::npos) << out_.str();
  EXPECT_EQ(out_.str().find("Sentedbox"), std::string::npos) << out_.str();
  EXPECT_NE(ReadFile(Path("d.bak")).find("Sentedbox"), std::string::npos);
}

TEST_F(CliTest, RestoreNamesTheStoreBeforeItAsks) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess);
  EXPECT_EQ(Run({"--store", store_, "restore", Path("all.bak")}), kExitFailure);
  EXPECT_EQ(err_.str().rfind("Message store: " + store_ + "\nAre you sure", 0), 0u) << err_.str();
  EXPECT_EQ(Run({"--store", store_, "restore", "--yes", Path("all.bak")}), kExitSuccess);
  EXPECT_EQ(err_.str(), "Message store: " + store_ + "\n");
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
            "Restored: 3, already present: 0, folders created: 1"
            " (dry run: the store was not changed)\n");
  ASSERT_EQ(Run({"--store", fresh, "store", "dump"}), kExitSuccess);
  EXPECT_EQ(out_.str(), empty);

  ASSERT_EQ(Run({"--store", fresh, "restore", "--yes", "--json", Path("all.bak")}), kExitSuccess);
  EXPECT_EQ(nlohmann::json::parse(out_.str()),
            nlohmann::json::parse(
                R"({"restored":3,"restoredMultimedia":0,"restoredCalls":0,"alreadyPresent":0,)"
                R"("alreadyPresentMultimedia":0,"alreadyPresentCalls":0,"byNumberFormat":0,"sameWithRegion":0,)"
                R"("foldersCreated":1,"dryRun":false,)"
                R"("multimediaLeftOut":0,"callsLeftOut":0,"multimedia_left_out":0,"calls_left_out":0})"));
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

// Every command that writes a file refuses the store (by any name) and leaves it as it was, and
// every file it writes is readable by its owner only, whatever file it replaces.
TEST_F(CliTest, WrittenFilesNeverReplaceTheStoreAndAreOwnerOnly) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess) << err_.str();
  const std::string storeBytes = ReadFile(store_);
  fs::create_symlink(store_, Path("link.db"));
  fs::create_hard_link(store_, Path("store.bak"));
  for (const std::string& target : {store_, Path("link.db"), store_ + "-wal"}) {
    // No command writes a file of that ending; and by a name it would write, it is refused.
    EXPECT_EQ(Run({"--store", store_, "salvage", Path("all.bak"), target}), kExitUsage) << target;
    EXPECT_EQ(Run({"--store", store_, "salvage", "--force", Path("all.bak"), Path("store.bak")}),
              kExitFailure);
    EXPECT_NE(err_.str().find("is the message store or one of its files"), std::string::npos)
        << err_.str();
    EXPECT_EQ(Run({"--store", store_, "store", "dump", target}), kExitFailure) << target;
    EXPECT_NE(err_.str().find("is the message store or one of its files"), std::string::npos)
        << err_.str();
  }
  EXPECT_EQ(ReadFile(store_), storeBytes);
  ASSERT_EQ(Run({"--store", store_, "store", "list"}), kExitSuccess);
  EXPECT_NE(out_.str().find("3 messages"), std::string::npos) << out_.str();

  const auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
  const auto open = ownerOnly | fs::perms::group_read | fs::perms::others_read;
  for (const char* name : {"dump.ndjson", "saved.bak", "copy.xml", "again.bak"}) {
    std::ofstream(Path(name)) << "old";
    fs::permissions(Path(name), open);
  }
  ASSERT_EQ(Run({"--store", store_, "store", "dump", Path("dump.ndjson")}), kExitSuccess)
      << err_.str();
  ASSERT_EQ(Run({"--store", store_, "store", "dump"}), kExitSuccess);
  EXPECT_EQ(ReadFile(Path("dump.ndjson")), out_.str());
  ASSERT_EQ(Run({"salvage", "--force", Path("all.bak"), Path("saved.bak")}), kExitSuccess)
      << err_.str();
  ASSERT_EQ(Run({"convert", "--force", Path("all.bak"), Path("copy.xml")}), kExitSuccess)
      << err_.str();
  ASSERT_EQ(Run({"--store", store_, "backup", "--force", Path("again.bak")}), kExitSuccess)
      << err_.str();
  for (const char* name : {"dump.ndjson", "saved.bak", "copy.xml", "again.bak"}) {
    EXPECT_EQ(fs::status(Path(name)).permissions() & fs::perms::all, ownerOnly) << name;
  }
}

// A file that ends right after a whole record, though its count names more, lost records: the
// salvage says so and does not exit as if nothing was missing.
TEST_F(CliTest, SalvageOfFewerRecordsThanCountedIsIncomplete) {
  LoadSample();
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess) << err_.str();
  const std::string whole = ReadFile(Path("all.bak"));
  std::ofstream(Path("header.bak"), std::ios::binary) << whole.substr(0, 20);
  EXPECT_EQ(Run({"salvage", Path("header.bak"), Path("none.bak")}), kExitIncomplete);
  EXPECT_NE(out_.str().find("Kept 0 records"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("Missing: 3 records"), std::string::npos) << out_.str();
}

// A pipe nobody reads is refused at once instead of waited on for ever.
TEST_F(CliTest, PipeWithoutReaderIsRefused) {
  LoadSample();
  ASSERT_EQ(mkfifo(Path("pipe.bak").c_str(), 0600), 0);
  EXPECT_EQ(Run({"--store", store_, "backup", Path("pipe.bak")}), kExitFailure);
  EXPECT_NE(err_.str().find("is a pipe that nobody reads"), std::string::npos) << err_.str();

  // With a reader, a phone XML goes out whole, its count filled in (a pipe cannot be gone back in).
  ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess) << err_.str();
  ASSERT_EQ(mkfifo(Path("pipe.xml").c_str(), 0600), 0);
  const int reader = open(Path("pipe.xml").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(Run({"convert", Path("all.bak"), Path("pipe.xml")}), kExitSuccess) << err_.str();
  std::string xml;
  char buffer[4096];
  for (ssize_t got; (got = read(reader, buffer, sizeof buffer)) > 0;) xml.append(buffer, got);
  close(reader);
  EXPECT_NE(xml.find("<smses count=\"4\""), std::string::npos) << xml;  // one per recipient
  EXPECT_EQ(xml.substr(xml.size() - 9), "</smses>\n");
}

// What a crafted phone file puts in an error (an ESC sequence, a C1 control from a character
// reference, a stray byte) reaches the terminal escaped, in verify and in convert alike.
TEST_F(CliTest, ErrorsQuotingAFileReachTheTerminalEscaped) {
  std::ofstream(Path("evil.xml"))
      << R"(<?xml version="1.0" encoding="UTF-8"?><smses count="1">)"
      << R"(<sms address="1" date="&#27;]0;owned&#7;&#x9b;2J" type="1" body="x" read="1"/>)"
      << "</smses>";
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"verify", Path("evil.xml")},
        std::vector<std::string>{"convert", Path("evil.xml"), Path("evil.bak")}}) {
    EXPECT_EQ(Run(command), kExitFailure);
    const std::string shown = out_.str() + err_.str();
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x07'), std::string::npos) << shown;
    EXPECT_EQ(shown.find("\xC2\x9B"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\\x1b]0;owned\\x07\\u009b2J"), std::string::npos) << shown;
  }
  EXPECT_FALSE(fs::exists(Path("evil.bak")));
  // A store's own path too, as store init and store load name it.
  const std::string store = Path("s\x1b]0;owned\x07.db");
  for (const char* command : {"init", "load"}) {
    EXPECT_EQ(Run({"--store", store, "store", command}), kExitSuccess) << err_.str();
    EXPECT_EQ(out_.str().find('\x1b'), std::string::npos) << out_.str();
    EXPECT_NE(out_.str().find("s\\x1b]0;owned\\x07.db"), std::string::npos) << out_.str();
  }
}

// A folder deeper than a file may name, and a text longer than any reader takes back, are left
// out as the backup walks, counted, and the backup is incomplete (exit 3), never "Backup
// Succeeded." for a file verify would refuse, whatever the file's format.
TEST_F(CliTest, WhatNoReaderTakesBackMakesABackupIncomplete) {
  std::string folder = R"(["Inbox")";
  for (int level = 0; level < 70; ++level) folder += ",\"L" + std::to_string(level) + "\"";
  folder += "]";
  const std::string lines =
      R"({"folder":["Inbox"],"subject":"shallow","deliveryTime":1})" "\n"
      R"({"folder":)" + folder + R"(,"subject":"deep","deliveryTime":2})" "\n"
      R"({"folder":["Inbox"],"subject":")" + std::string(kMaxTextChars + 1, 'x') +
      R"(","deliveryTime":3})" "\n";
  ASSERT_EQ(Run({"--store", store_, "store", "load"}, lines), kExitSuccess) << err_.str();
  for (const std::string name : {"deep.bak", "deep.zip", "deep.xml"}) {
    EXPECT_EQ(Run({"--store", store_, "backup", Path(name)}), kExitIncomplete) << name;
    EXPECT_EQ(out_.str().find("Backup Succeeded."), std::string::npos) << out_.str();
    EXPECT_NE(err_.str().find("6 folders and 1 message could not be read"), std::string::npos)
        << err_.str();
    EXPECT_FALSE(fs::exists(Path(name)));
  }
  // The partial files keep what was written; under their format's name each verifies.
  std::vector<fs::path> parts;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    if (entry.path().extension() == ".part") parts.push_back(entry.path());
  }
  ASSERT_EQ(parts.size(), 3u);
  int partials = 0;
  for (const fs::path& part : parts) {
    const std::string name = part.filename().string();
    ++partials;
    const std::string ending = name.substr(name.find('.', 1), 4);  // ".deep.zip.XXXX.part"
    const std::string kept = Path("kept" + std::to_string(partials) + ending);
    fs::rename(part, kept);
    ASSERT_EQ(Run({"verify", kept}), kExitSuccess) << kept << err_.str();
    EXPECT_NE(out_.str().find("OK: 1 "), std::string::npos) << kept << out_.str();
  }
}

// A salvage into a format that cannot hold what it found names it as left out, and is not a
// plain success: a call in a backup file's salvage was said to be kept, and the exit was 0.
TEST_F(CliTest, SalvageNamesWhatTheOutputCannotHold) {
  std::ofstream(Path("calls.xml"), std::ios::binary)
      << testing::AppXml(testing::AppSms("+1", "1704103626000", "1", "one") +
                             testing::AppCall("+2", "1704103627000", "1", "5"),
                         1);
  EXPECT_EQ(Run({"salvage", Path("calls.xml"), Path("calls.bak")}), kExitIncomplete);
  EXPECT_EQ(out_.str(), "Kept 1 entry in " + Path("calls.bak") + "; the file's count said 1.\n"
                        "1 call entry left out: backup files hold SMS only.\n");
  EXPECT_EQ(Run({"salvage", Path("calls.xml"), Path("calls-saved.xml")}), kExitSuccess);
  EXPECT_EQ(out_.str(), "Kept 1 entry and 1 call entry in " + Path("calls-saved.xml") +
                            "; the file's count said 1.\n");
}

// A load or a dedupe started while another run holds the store waits and says so; given up (a
// stop requested meanwhile), it has changed nothing, and once the store is free it runs.
TEST_F(CliTest, LoadAndDedupeWaitForAnotherRunOnTheStore) {
  LoadSample();
  const std::string line =
      R"({"folder":["Inbox"],"subject":"new","deliveryTime":133497000000000009,)"
      R"("senderEmailAddress":"\"\" <+1>"})"
      "\n";
  ExclusiveLock other;
  std::string error;
  ASSERT_TRUE(other.Acquire(StoreLockPath(store_), nullptr, nullptr, error)) << error;
  RequestStop(SIGINT);
  const std::string waited = "Waiting for another run on " + store_ +
                             " to end...\nlarkpost: interrupted while waiting for another run on "
                             "the store\n";
  EXPECT_EQ(Run({"--store", store_, "store", "load"}, line), kExitFailure);
  EXPECT_EQ(err_.str(), waited);
  EXPECT_EQ(Run({"--store", store_, "store", "dedupe", "--yes"}), kExitFailure);
  EXPECT_EQ(err_.str(), waited);
  ClearStopRequest();
  other.Release();
  EXPECT_EQ(Run({"--store", store_, "store", "load"}, line), kExitSuccess) << err_.str();
  EXPECT_EQ(out_.str(), "Loaded 1 message into " + store_ + "\n");
}

// A phone's XML with a broken entry and cut inside its last one, and an archive with a damaged
// line: the report names each entry skipped by number and byte, and the exit status says that
// something was lost; a file without damage is a plain success.
TEST_F(CliTest, SalvageOfPhoneFilesNamesWhatItSkippedByEntryAndByte) {
  const std::string second = testing::AppSms("+2", "1704103627000", "9", "bad");
  const std::string whole = testing::AppXml(testing::AppSms("+1", "1704103626000", "1", "one") +
                                                second + testing::AppSms("+3", "1704103628000", "1", "three"),
                                            3);
  const size_t secondAt = whole.find(second) + 2;
  const size_t thirdAt = whole.find("<sms", secondAt + 1);
  std::ofstream(Path("cut.xml"), std::ios::binary) << whole.substr(0, thirdAt + 20);
  EXPECT_EQ(Run({"salvage", Path("cut.xml"), Path("saved.xml")}), kExitIncomplete) << err_.str();
  EXPECT_EQ(out_.str(),
            "Kept 1 entry in " + Path("saved.xml") + "; the file's count said 3.\n"
            "Skipped: entry 2 at byte " + std::to_string(secondAt) + " (line 6, " +
                std::to_string(second.size() - 3) + " bytes): type \"9\" is not a message type (1 to 6)\n"
            "Skipped: entry 3 at byte " + std::to_string(thirdAt) + " (line 7, 20 bytes): the file "
            "ends inside this entry\n");
  ASSERT_EQ(Run({"show", Path("saved.xml")}), kExitSuccess) << err_.str();
  EXPECT_NE(out_.str().find("one"), std::string::npos);

  const std::string good = testing::AppSms("+1", "1704103626000", "1", "one") +
                           testing::AppSms("+3", "1704103628000", "1", "three");
  const std::string counted = testing::AppXml(good, 3);
  std::ofstream(Path("short.xml"), std::ios::binary) << counted.substr(0, counted.find("</smses>"));
  EXPECT_EQ(Run({"salvage", Path("short.xml"), Path("short.bak")}), kExitIncomplete);
  EXPECT_EQ(out_.str(), "Kept 2 entries in " + Path("short.bak") + "; the file's count said 3.\n"
                        "Missing: 1 entry the count names are not in the file.\n");
  std::ofstream(Path("whole.xml"), std::ios::binary) << testing::AppXml(good, 2);
  EXPECT_EQ(Run({"salvage", Path("whole.xml"), Path("whole.bak")}), kExitSuccess) << out_.str();
  EXPECT_EQ(out_.str(), "Kept 2 entries in " + Path("whole.bak") + "; the file's count said 2.\n");
  // The app's call log cut before its end names its own root.
  const std::string calls = testing::AppCallsXml(testing::AppCall("+1", "1704103626000", "1", "5"), 1);
  std::ofstream(Path("calls.xml"), std::ios::binary) << calls.substr(0, calls.find("</calls>"));
  EXPECT_EQ(Run({"salvage", Path("calls.xml"), Path("calls-saved.xml")}), kExitIncomplete);
  EXPECT_NE(out_.str().find("Cut short: the file ends before </calls>;"), std::string::npos)
      << out_.str();

  const std::string first = testing::AppLine(R"("+1")", "1000", "1", R"("one")");
  std::ofstream(Path("lines.zip"), std::ios::binary)
      << testing::ZipOf({{"messages.ndjson", first + "{\"date\":\n" + first}});
  EXPECT_EQ(Run({"salvage", Path("lines.zip"), Path("lines.html")}), kExitIncomplete);
  EXPECT_NE(out_.str().find("Skipped: line 2 of messages.ndjson at its byte " +
                            std::to_string(first.size()) + " (8 bytes): "),
            std::string::npos)
      << out_.str();
}

}  // namespace
}  // namespace larkpost

namespace larkpost {
namespace {

// Encrypted files (age) through the commands: a key made by keygen, every command that writes
// encrypting and every command that reads decrypting, with the passphrase asked on the terminal.
class EncryptedCliTest : public CliTest {
 protected:
  std::string MakeKey(const std::string& name) {
    EXPECT_EQ(Run({"keygen", "-o", Path(name)}), kExitSuccess) << err_.str();
    const std::string line = out_.str();
    EXPECT_EQ(line.rfind("Public key: age1", 0), 0u) << line;
    return line.substr(12, line.size() - 13);
  }
  std::string StoreCount(const std::string& store) {
    Run({"--store", store, "store", "list"});
    return out_.str().substr(out_.str().rfind('\n', out_.str().size() - 2) + 1);
  }
};

TEST_F(EncryptedCliTest, EveryCommandWritesAndReadsEncryptedFiles) {
  LoadSample();
  const std::string key = MakeKey("me.key");
  struct stat info {};
  ASSERT_EQ(stat(Path("me.key").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(Run({"keygen", "-o", Path("me.key")}), kExitFailure);  // never replaced
  ASSERT_EQ(Run({"--store", store_, "backup", "--encrypt-to", key, Path("all.bak.age")}),
            kExitSuccess) << err_.str();
  const std::string encrypted = ReadFile(Path("all.bak.age"));
  EXPECT_EQ(encrypted.rfind("age-encryption.org/v1\n-> X25519 ", 0), 0u);
  EXPECT_EQ(encrypted.find("On my way"), std::string::npos);
  ASSERT_EQ(Run({"verify", "--identity", Path("me.key"), Path("all.bak.age")}), kExitSuccess)
      << err_.str();
  EXPECT_EQ(out_.str(), "OK: 3 records, digest valid\n");
  // Into an armored ZIP; a passphrase from a file for an XML; both back into a store.
  ASSERT_EQ(Run({"convert", "--identity", Path("me.key"), "--encrypt-to", key, "--armor",
                 Path("all.bak.age"), Path("all.zip.age")}), kExitSuccess) << err_.str();
  EXPECT_EQ(ReadFile(Path("all.zip.age")).rfind("-----BEGIN AGE ENCRYPTED FILE-----\n", 0), 0u);
  std::ofstream(Path("pass")) << "open sesame\n";
  ASSERT_EQ(Run({"convert", "--identity", Path("me.key"), "--passphrase-file", Path("pass"),
                 Path("all.zip.age"), Path("all.xml.age")}), kExitSuccess) << err_.str();
  EXPECT_NE(ReadFile(Path("all.xml.age")).find("\n-> scrypt "), std::string::npos);
  const std::string fresh = Path("fresh.db");
  ASSERT_EQ(Run({"--store", fresh, "store", "init"}), kExitSuccess);
  ASSERT_EQ(Run({"--store", fresh, "restore", "--yes", "--passphrase", Path("all.xml.age")},
                "open sesame\n", true), kExitSuccess) << err_.str();
  EXPECT_NE(err_.str().find("Passphrase: "), std::string::npos);
  EXPECT_EQ(StoreCount(fresh), "3 messages\n");
  // A dump encrypted with a passphrase asked twice; loaded back from it.
  ASSERT_EQ(Run({"--store", store_, "store", "dump", "--passphrase", Path("dump.age")},
                "pw one\npw one\n", true), kExitSuccess) << err_.str();
  const std::string loaded = Path("loaded.db");
  ASSERT_EQ(Run({"--store", loaded, "store", "load", "--passphrase-file", Path("pass"),
                 Path("dump.age")}), kExitFailure);
  EXPECT_NE(err_.str().find("wrong passphrase"), std::string::npos) << err_.str();
  ASSERT_EQ(Run({"--store", loaded, "store", "load", Path("dump.age")}, "pw one\n", true),
            kExitSuccess) << err_.str();
  EXPECT_EQ(StoreCount(loaded), "3 messages\n");
  // Merge and salvage read encrypted files and write one.
  ASSERT_EQ(Run({"merge", "--identity", Path("me.key"), "--passphrase-file", Path("pass"),
                 "--encrypt-to", key, Path("merged.age"), Path("all.bak.age"),
                 Path("all.xml.age")}), kExitSuccess) << err_.str();
  ASSERT_EQ(Run({"salvage", "--identity", Path("me.key"), Path("merged.age"), Path("s.bak")}),
            kExitSuccess) << err_.str();
  ASSERT_EQ(Run({"verify", Path("s.bak")}), kExitSuccess);
  EXPECT_EQ(out_.str(), "OK: 3 records, digest valid\n");
  // What we write opens with age, where it is installed.
  if (std::system("age --version >/dev/null 2>&1") == 0) {
    ASSERT_EQ(std::system(("age -d -i " + Path("me.key") + " -o " + Path("age.bak") + " " +
                           Path("all.bak.age")).c_str()), 0);
    ASSERT_EQ(Run({"verify", Path("age.bak")}), kExitSuccess);
  }
}

TEST_F(EncryptedCliTest, OptionsThatDoNotFitAreUsageErrorsAndWriteNothing) {
  LoadSample();
  const std::string key = MakeKey("me.key");
  const std::vector<std::vector<std::string>> refused = {
      {"--store", store_, "backup", Path("x.bak.age")},                          // no key
      {"--store", store_, "backup", "--armor", Path("x.bak")},                   // armor alone
      {"--store", store_, "backup", "--encrypt-to", key, Path("x.html.age")},    // a page
      {"--store", store_, "backup", "--encrypt-to", key, "--passphrase", Path("x.age")},
      {"--store", store_, "backup", "--encrypt-to", "age1nothing", Path("x.age")},
      {"--store", store_, "store", "dump", "--encrypt-to", key},                 // to stdout
  };
  for (const std::vector<std::string>& args : refused) {
    EXPECT_EQ(Run(args), kExitUsage) << args.back();
    EXPECT_NE(err_.str().find("larkpost: "), std::string::npos);
  }
  // Passphrases that differ, or no terminal to ask on: refused, nothing written.
  EXPECT_EQ(Run({"--store", store_, "backup", "--passphrase", Path("p.age")}, "one\ntwo\n", true),
            kExitFailure);
  EXPECT_EQ(Run({"--store", store_, "backup", "--passphrase", Path("p.age")}), kExitFailure);
  for (const std::string& name : temp_.Names()) {
    EXPECT_TRUE(name == "me.key" || name.rfind("store.db", 0) == 0) << name;
  }
}

TEST_F(EncryptedCliTest, ThePhoneAppsEncryptedExportReadsWithItsPassphrase) {
  const std::string zip = testing::ZipOf(
      {{"messages.ndjson", testing::AppLine("\"+4915112345678\"", "1700000000000", "1",
                                            "\"Hi there\"")}});
  std::ofstream(Path("export.zip"), std::ios::binary)
      << testing::AppEncryptedExport(zip, "phone pass", 65536, true, 1, 8);
  std::ofstream(Path("pass")) << "phone pass\n";
  EXPECT_EQ(Run({"verify", Path("export.zip")}), kExitFailure);
  EXPECT_NE(err_.str().find("needs its passphrase"), std::string::npos) << err_.str();
  ASSERT_EQ(Run({"convert", "--passphrase-file", Path("pass"), Path("export.zip"),
                 Path("out.xml")}), kExitSuccess) << err_.str();
  EXPECT_NE(ReadFile(Path("out.xml")).find("Hi there"), std::string::npos);
}

// An incomplete backup is kept under its partial name: encrypted, and whole as far as it goes.
TEST_F(EncryptedCliTest, AnIncompleteEncryptedBackupKeepsItsPartialFileEncrypted) {
  LoadSample();
  const std::string key = MakeKey("me.key");
  mapi::AddFault("IMAPIFolder::GetContentsTable", 1, MAPI_E_CALL_FAILED, 1000);
  const int status = Run({"--store", store_, "backup", "--encrypt-to", key, Path("part.age")});
  mapi::ClearFaults();
  ASSERT_EQ(status, kExitIncomplete) << err_.str();
  const std::string marker = "Partial output: ";
  const size_t at = err_.str().find(marker);
  ASSERT_NE(at, std::string::npos) << err_.str();
  const std::string partial =
      err_.str().substr(at + marker.size(), err_.str().find('\n', at) - at - marker.size());
  EXPECT_EQ(ReadFile(partial).rfind("age-encryption.org/v1\n", 0), 0u);
  EXPECT_EQ(Run({"verify", "--identity", Path("me.key"), partial}), kExitSuccess) << err_.str();
}

TEST_F(EncryptedCliTest, ADamagedOrForeignEncryptedFileRestoresNothing) {
  LoadSample();
  const std::string key = MakeKey("me.key");
  MakeKey("other.key");
  ASSERT_EQ(Run({"--store", store_, "backup", "--encrypt-to", key, Path("all.age")}),
            kExitSuccess);
  const std::string file = ReadFile(Path("all.age"));
  std::ofstream(Path("cut.bak"), std::ios::binary) << file.substr(0, file.size() - 20);
  std::string flipped = file;
  flipped[file.size() - 30] ^= 4;
  std::ofstream(Path("flipped.bak"), std::ios::binary) << flipped;
  // Data after a full last chunk: a whole chunk of it, so that the last chunk opens as the last.
  std::ofstream(Path("long.bak"), std::ios::binary) << file << std::string(70000, 'x');
  const std::string fresh = Path("fresh.db");
  ASSERT_EQ(Run({"--store", fresh, "store", "init"}), kExitSuccess);
  for (const auto& [name, identity, says] :
       {std::tuple{"cut.bak", "me.key", "cut short"}, {"flipped.bak", "me.key", "modified"},
        {"long.bak", "me.key", "modified"}, {"all.age", "other.key", "no identity given opens"}}) {
    EXPECT_EQ(Run({"--store", fresh, "restore", "--yes", "--identity", Path(identity),
                   Path(name)}), kExitFailure) << name;
    EXPECT_NE(err_.str().find(says), std::string::npos) << err_.str();
    const std::string said = err_.str();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_EQ(StoreCount(fresh), "0 messages\n");
  }
  EXPECT_EQ(Run({"verify", Path("all.age")}), kExitFailure);  // no key given
  EXPECT_NE(err_.str().find("--identity"), std::string::npos) << err_.str();
}

}  // namespace
}  // namespace larkpost
