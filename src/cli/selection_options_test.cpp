// The selection options through the commands: one selection gives the same messages whatever
// command reads them.
#include "cli/selection_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/terminal_ui.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

// Delivery times in ticks: 2024-01-30 23:00 UTC is the first second of 2024-01-31 in Berlin.
constexpr uint64_t kJan31Start = 133511292000000000ULL;
constexpr uint64_t kSecond = 10'000'000ULL;

std::string Line(const char* folder, uint64_t time, const char* sender, const char* text) {
  nlohmann::ordered_json line;
  line["folder"] = nlohmann::json::array({folder});
  line["flags"] = 1;
  line["subject"] = text;
  line["lastModified"] = time;
  line["deliveryTime"] = time;
  line["messageClass"] = "IPM.SMStext";
  line["senderEmailAddress"] = std::string("\"\" <") + sender + ">";
  line["senderName"] = "";
  line["size"] = 1;
  return line.dump() + "\n";
}

class SelectionCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    const std::string lines =
        Line("Inbox", kJan31Start - kSecond, "+1 555-000-0001", "the day before") +
        Line("Inbox", kJan31Start, "+1 (555) 000-0001", "first second") +
        Line("Inbox", kJan31Start + 86399 * kSecond, "+15550000001", "last second") +
        Line("Inbox", kJan31Start + 86400 * kSecond, "+1.555.000.0001", "the day after") +
        Line("Inbox", kJan31Start + 3600 * kSecond, "+4930", "someone else") +
        Line("Draft", 0, "", "a draft");
    ASSERT_EQ(Run({"--store", store_, "store", "load"}, lines), kExitSuccess) << err_.str();
    ASSERT_EQ(Run({"--store", store_, "backup", Path("all.bak")}), kExitSuccess) << err_.str();
  }

  int Run(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    out_.str("");
    err_.str("");
    return RunCli(args, CliStreams{in, out_, err_, false, false});
  }
  std::string Path(const std::string& name) const { return temp_.PathOf(name); }
  std::vector<std::string> ShownTexts(const std::string& file,
                                      std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"show", "--json", file};
    args.insert(args.end(), options.begin(), options.end());
    EXPECT_EQ(Run(args), kExitSuccess) << err_.str();
    std::vector<std::string> texts;
    std::istringstream lines(out_.str());
    for (std::string line; std::getline(lines, line);) {
      texts.push_back(nlohmann::json::parse(line)["text"].get<std::string>());
    }
    return texts;
  }

  testing::TempDir temp_;
  const std::string store_ = temp_.PathOf("store.db");
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(SelectionCommands, BackupConvertAndShowTakeTheSameMessages) {
  const std::vector<std::string> selection = {"--since", "2024-01-31", "--until", "2024-01-31",
                                              "--contact", "+1 555 000 0001"};
  std::vector<std::string> backup = {"--store", store_, "backup", Path("day.bak")};
  backup.insert(backup.end(), selection.begin(), selection.end());
  ASSERT_EQ(Run(backup), kExitSuccess) << err_.str();
  EXPECT_NE(out_.str().find("Selected 2 of 6 messages."), std::string::npos) << out_.str();

  std::vector<std::string> convert = {"convert", Path("all.bak"), Path("converted.bak")};
  convert.insert(convert.end(), selection.begin(), selection.end());
  ASSERT_EQ(Run(convert), kExitSuccess) << err_.str();
  EXPECT_NE(out_.str().find("Selected 2 of 6 messages."), std::string::npos) << out_.str();
  EXPECT_EQ(testing::FileBytes(Path("day.bak")), testing::FileBytes(Path("converted.bak")));

  const std::vector<std::string> expected = {"first second", "last second"};
  EXPECT_EQ(ShownTexts(Path("day.bak")), expected);
  EXPECT_EQ(ShownTexts(Path("all.bak"), selection), expected);
  EXPECT_NE(err_.str().find("Selected 2 of 6 messages."), std::string::npos) << err_.str();
}

TEST_F(SelectionCommands, DraftsFoldersAndRestoreCounts) {
  EXPECT_EQ(ShownTexts(Path("all.bak"), {"--since", "2024-02-01T00:00"}),
            (std::vector<std::string>{"the day after"}));
  EXPECT_EQ(ShownTexts(Path("all.bak"), {"--since", "2024-02-01T00:00", "--drafts"}),
            (std::vector<std::string>{"a draft", "the day after"}));
  EXPECT_EQ(ShownTexts(Path("all.bak"), {"--folders", "draft"}),
            (std::vector<std::string>{"a draft"}));

  // The path after --contact is the path, not a second contact.
  ASSERT_EQ(Run({"verify", "--contact", "+4930", Path("all.bak")}), kExitSuccess) << err_.str();
  EXPECT_NE(out_.str().find("Selected 1 of 6 messages."), std::string::npos) << out_.str();

  const std::string empty = temp_.PathOf("empty.db");
  ASSERT_EQ(Run({"--store", empty, "store", "init"}), kExitSuccess);
  ASSERT_EQ(Run({"--store", empty, "restore", "--yes", "--json", Path("all.bak"), "--until",
                 "2024-01-30"}),
            kExitSuccess)
      << err_.str();
  const auto counts = nlohmann::json::parse(out_.str());
  EXPECT_EQ(counts["restored"], 1);
  EXPECT_EQ(counts["selected"], 1);
  EXPECT_EQ(counts["read"], 6);
}

// A number given finds its party however the messages write it, as restore and merge compare
// numbers: with the region, the national form finds the international one and back.
TEST_F(SelectionCommands, ContactNumberFindsItsPartyWrittenWithOrWithoutCountryCode) {
  const std::string lines = Line("Inbox", kJan31Start, "+49 151 12345678", "international") +
                            Line("Inbox", kJan31Start + kSecond, "0151 12345678", "national") +
                            Line("Inbox", kJan31Start + 2 * kSecond, "+4915112345679", "next");
  const std::string store = temp_.PathOf("de.db");
  ASSERT_EQ(Run({"--store", store, "store", "load"}, lines), kExitSuccess) << err_.str();
  ASSERT_EQ(Run({"--store", store, "backup", Path("de.bak")}), kExitSuccess) << err_.str();
  const std::vector<std::string> both = {"international", "national"};
  EXPECT_EQ(ShownTexts(Path("de.bak"), {"--region", "DE", "--contact", "015112345678"}), both);
  EXPECT_EQ(ShownTexts(Path("de.bak"), {"--region", "DE", "--contact", "+4915112345678"}), both);
  // Without a region a national number is only itself.
  EXPECT_EQ(ShownTexts(Path("de.bak"), {"--region", "", "--contact", "015112345678"}),
            std::vector<std::string>{"national"});
}

TEST_F(SelectionCommands, ABadDateIsAUsageErrorNamingOptionAndText) {
  for (const char* command : {"show", "verify"}) {
    EXPECT_EQ(Run({command, Path("all.bak"), "--until", "2024-02-30"}), kExitUsage);
    EXPECT_NE(err_.str().find("--until: \"2024-02-30\""), std::string::npos) << err_.str();
  }
  EXPECT_EQ(Run({"--store", store_, "backup", Path("x.bak"), "--since", "31.01.2024"}),
            kExitUsage);
  EXPECT_NE(err_.str().find("--since: \"31.01.2024\""), std::string::npos) << err_.str();
  EXPECT_FALSE(std::ifstream(Path("x.bak")).good());
  // An empty value selects nothing in particular and a span that ends before it starts selects
  // nothing at all: both are mistakes, not "everything" and not an empty file.
  for (const char* option : {"--since", "--until", "--folders"}) {
    EXPECT_EQ(Run({"verify", Path("all.bak"), option, ""}), kExitUsage) << option;
    EXPECT_NE(err_.str().find(option), std::string::npos) << err_.str();
  }
  EXPECT_EQ(Run({"show", Path("all.bak"), "--since", "2024-02-01", "--until", "2024-01-31"}),
            kExitUsage);
  EXPECT_NE(err_.str().find("--until: \"2024-01-31\" ends before --since \"2024-02-01\""),
            std::string::npos)
      << err_.str();
  EXPECT_EQ(Run({"show", Path("all.bak"), "--since", "2024-01-31", "--until", "2024-01-31"}),
            kExitSuccess);
}

}  // namespace
}  // namespace larkpost
