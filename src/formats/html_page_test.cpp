#include "formats/html_page.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "formats/formats_test_util.h"
#include "platform/file/file.h"

namespace larkpost {
namespace {

FILETIME At(int64_t unixSeconds) { return UnixTimeToFileTime(unixSeconds); }

MessageRecord Received(const std::u16string& folder, int64_t when, const std::u16string& name,
                       const std::u16string& address, const std::u16string& text) {
  MessageRecord record;
  record.folderPath = folder;
  record.deliveryTime = record.lastModified = At(when);
  record.senderName = name;
  record.senderAddress = address;
  record.text = text;
  return record;
}

MessageRecord Sent(const std::u16string& folder, int64_t when,
                   std::vector<RecordRecipient> recipients, const std::u16string& text) {
  MessageRecord record;
  record.folderPath = folder;
  record.deliveryTime = record.lastModified = At(when);
  record.recipients = std::move(recipients);
  record.text = text;
  return record;
}

// A small archive of the kind people keep, out of order as a backup walks folders.
std::vector<MessageRecord> Archive() {
  constexpr int64_t kDay = 86400;
  const int64_t t = 1704103626;  // 2024-01-01 10:07:06 UTC
  return {
      Sent(u"Sentedbox", t + 120, {{u"Ann Weber", u"+4915112345678", 1}},
           u"Sure! I'll bring the pizza \U0001F355"),
      Received(u"Inbox", t, u"Ann Weber", u"+4915112345678",
               u"Are you coming tonight? Bring something to eat."),
      Received(u"Inbox\\Family", t + 2 * kDay + 300, u"Mum", u"+4930123456",
               u"Happy new year, darling!\nCall me when you are up."),
      Sent(u"Sentedbox", t + 2 * kDay + 900, {{u"Mum", u"+4930123456", 1}},
           u"Happy new year! Calling you at noon \u2764\ufe0f"),
      Received(u"Inbox", t + kDay + 60, u"", u"+8613800000000", u"你好！明天见。"),
      Received(u"Wastebox", t + 3 * kDay, u"", u"SHOP-INFO",
               u"<script>alert('hi')</script> Your code is <b>4711</b> & valid 10 min."),
      Sent(u"Draft", t + 3 * kDay + 60, {{u"Ann Weber", u"+4915112345678", 1}},
           u"Thanks for the evening \u2013 next time at our place?"),
      Sent(u"Sentedbox", t + kDay * 1 + 3600,
           {{u"Ann Weber", u"+4915112345678", 1}, {u"Bob", u"+4917099887766", 1}},
           u"Running 10 minutes late, sorry!"),
  };
}

std::string ReadFile(const std::string& path) { return testing::FileBytes(path); }

std::string WritePage(const std::u16string& path) {
  CFile file(path, CFile::modeCreate | CFile::modeWrite);
  auto writer = HtmlWriter(file);
  std::string error;
  for (const MessageRecord& record : Archive()) EXPECT_TRUE(writer->Write(record, error));
  writer->Finish();
  file.Close();
  return ReadFile(WideToUtf8(path));
}

TEST(HtmlPage, EscapesTextAndShowsConversationsNewestLast) {
  testing::TempDir dir;
  const std::string page = WritePage(dir.File("page.html"));
  EXPECT_NE(page.find("&lt;script&gt;alert(&#39;hi&#39;)&lt;/script&gt; Your code is &lt;b&gt;4711"),
            std::string::npos);
  EXPECT_EQ(page.find("<b>4711"), std::string::npos);
  EXPECT_EQ(page.find("http"), page.find("http-equiv"));  // nothing fetched from anywhere
  EXPECT_NE(page.find("8 messages in 5 conversations"), std::string::npos);

  // Conversations by their latest message, latest first; inside one, oldest first.
  const size_t shop = page.find("SHOP-INFO</span>");
  const size_t ann = page.find("<span class=\"who\">Ann Weber</span>");
  const size_t mum = page.find("<span class=\"who\">Mum</span>");
  const size_t group = page.find("Ann Weber, Bob");
  ASSERT_NE(ann, std::string::npos);
  EXPECT_LT(ann, shop);  // the draft to Ann is the newest message
  EXPECT_LT(shop, mum);
  EXPECT_LT(mum, group);
  const size_t first = page.find("Are you coming tonight", ann);
  const size_t second = page.find("pizza", ann);
  const size_t third = page.find("next time at our place", ann);
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_LT(third, mum);
  EXPECT_NE(page.find("<span class=\"f\">Inbox / Family</span>"), std::string::npos);
  EXPECT_NE(page.find("class=\"m out draft\""), std::string::npos);
}

// Runs headless Chromium on the page with its own empty profile; its standard error in `log`.
bool RunChromium(const std::string& profile, const std::string& arguments, std::string& log) {
  const std::string command =
      "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--user-data-dir='" + profile + "' --enable-logging=stderr --v=0 " + arguments + " 2>'" +
      profile + ".log'";
  const int status = std::system(command.c_str());
  log = ReadFile(profile + ".log");
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(HtmlPage, LoadsInABrowserWithoutErrorsAndTheSearchBoxFilters) {
  if (std::system("command -v chromium >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "chromium is not installed";
  }
  // The page and its screenshot stay in the build folder for people to look at.
  const std::string artefacts = "artefacts";
  mkdir(artefacts.c_str(), 0700);
  char absolute[4096];
  ASSERT_NE(realpath(artefacts.c_str(), absolute), nullptr);
  const std::string folder = absolute;
  const std::string page = folder + "/html_page.html";
  std::remove(page.c_str());
  WritePage(Utf8ToWide(page));
  testing::TempDir profiles;

  std::string log;
  const std::string dom = folder + "/html_page_search.dom";
  ASSERT_TRUE(RunChromium(profiles.path() + "/search",
                          "--dump-dom 'file://" + page + "#q=ANN%20pizza' >'" + dom + "'", log))
      << log;
  EXPECT_EQ(log.find(":CONSOLE"), std::string::npos) << log;
  const std::string filtered = ReadFile(dom);
  // Message items as the browser left them: shown, or with the hidden attribute.
  int shown = 0, hidden = 0;
  for (size_t at = filtered.find("<li class=\"m "); at != std::string::npos;
       at = filtered.find("<li class=\"m ", at + 1)) {
    const std::string tag = filtered.substr(at, filtered.find('>', at) - at);
    ++(tag.find("hidden") != std::string::npos ? hidden : shown);
  }
  EXPECT_EQ(shown, 1) << filtered;
  EXPECT_EQ(hidden, 7);
  EXPECT_NE(filtered.find("1 of 8 messages"), std::string::npos);

  // A search given with a broken escape is searched for as it stands, without a script error.
  ASSERT_TRUE(RunChromium(profiles.path() + "/broken",
                          "--dump-dom 'file://" + page + "#q=%E0%A4%A' >'" + dom + "'", log))
      << log;
  EXPECT_EQ(log.find(":CONSOLE"), std::string::npos) << log;
  EXPECT_NE(ReadFile(dom).find("0 of 8 messages"), std::string::npos);

  const std::string screenshot = folder + "/html_page.png";
  std::remove(screenshot.c_str());
  ASSERT_TRUE(RunChromium(profiles.path() + "/shot",
                          "--hide-scrollbars --window-size=900,1250 --screenshot='" + screenshot +
                              "' 'file://" + page + "'",
                          log))
      << log;
  EXPECT_EQ(log.find(":CONSOLE"), std::string::npos) << log;
  struct stat info {};
  ASSERT_EQ(stat(screenshot.c_str(), &info), 0);
  EXPECT_GT(info.st_size, 10000);
}

}  // namespace
}  // namespace larkpost
