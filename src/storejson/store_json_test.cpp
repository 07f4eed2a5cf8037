#include "storejson/store_json.h"

#include <gtest/gtest.h>


#include <set>
#include <sstream>

#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/store_test_support.h"

namespace larkpost {
namespace {

using testing::TempStore;

std::string Dump(SmsSession& session) {
  std::ostringstream out;
  std::string error;
  EXPECT_TRUE(DumpStore(session, out, error)) << error;
  return out.str();
}

bool Load(SmsSession& session, const std::string& text, std::string& error,
          uint32_t* loaded = nullptr) {
  std::istringstream in(text);
  return LoadStore(session, in, error, loaded);
}

// Hand-written lines in the order a dump writes them; names and texts that need escaping.
const char kSample[] =
    R"({"folder":["Inbox"],"flags":1,"subject":"Hi \"you\"; 'x'\\y","lastModified":133500000000000000,"deliveryTime":133500000000000001,"messageClass":"IPM.SMStext","senderEmailAddress":"\"Ann\" <+4915112345678>","size":12,"recipients":[{"name":"Bo","address":"+4930","type":1},{"address":"+4931","type":2}]})"
    "\n"
    R"({"folder":["Inbox","Bob's \"club\"; DROP TABLE x;--","a\\b Grüße 日本"],"subject":"ünïcödé 🎉"})"
    "\n"
    R"({"folder":["Wastebox"],"deliveryTime":1,"senderName":"Cy"})"
    "\n";

TEST(StoreJson, DumpLoadDumpGivesTheSameBytes) {
  std::string first;
  {
    TempStore temp;
    SmsSession session(u"SMS");
    std::string error;
    uint32_t loaded = 0;
    ASSERT_TRUE(Load(session, kSample, error, &loaded)) << error;
    EXPECT_EQ(loaded, 3u);
    first = Dump(session);
    EXPECT_EQ(first, kSample);
  }
  TempStore temp;
  SmsSession session(u"SMS");
  std::string error;
  ASSERT_TRUE(Load(session, first, error)) << error;
  EXPECT_EQ(Dump(session), first);
}

TEST(StoreJson, LoadedMessagesReadAsTheStoreWouldShowThem) {
  TempStore temp;
  SmsSession session(u"SMS");
  std::string error;
  ASSERT_TRUE(Load(session, kSample, error)) << error;
  SmsFolder& inbox = *session.StandardFolder(FolderKind::Inbox);
  ASSERT_TRUE(inbox.Cursor(10)->Next());
  SmsMessage& m = *inbox.cursor->current;
  EXPECT_EQ(m.text, u"Hi \"you\"; 'x'\\y");
  EXPECT_EQ(m.senderName, u"Ann");
  EXPECT_EQ(FileTimeToUInt64(m.deliveryTime), 133500000000000001u);
  ASSERT_EQ(m.Recipients()->size(), 2u);
  EXPECT_EQ((*m.Recipients())[1]->type, 2);
  auto* subs = inbox.Subfolders();
  ASSERT_EQ(subs->size(), 1u);
  EXPECT_EQ((*subs)[0]->displayName, u"Bob's \"club\"; DROP TABLE x;--");
  EXPECT_EQ((*(*subs)[0]->Subfolders())[0]->displayName, u"a\\b Grüße 日本");
}

TEST(StoreJson, AcceptsIsoTimes) {
  TempStore temp;
  SmsSession session(u"SMS");
  std::string error;
  ASSERT_TRUE(Load(session,
                   R"({"folder":["inbox"],"deliveryTime":"1970-01-01T00:00:01Z","lastModified":"2024-02-29T23:59:59.1234567Z"})",
                   error))
      << error;
  EXPECT_EQ(Dump(session),
            R"({"folder":["Inbox"],"lastModified":133537247991234567,"deliveryTime":116444736010000000})"
            "\n");
}

TEST(StoreJson, ABadLineIsNamedAndNothingIsAdded) {
  const std::pair<const char*, const char*> cases[] = {
      {"{\"folder\":[\"Inbox\"]}\n{\"folder\":[\"Inbox\"],\"size\":-1}\n", "line 2: "},
      {"{\"folder\":[\"Inbox\"]}\n\n{oops\n", "line 3: not valid JSON"},
      {"{\"folder\":[\"Inbox\"],\"lastModified\":1E400}\n", "line 1: not valid JSON"},
      {"{\"folder\":[\"Outbox2\"]}\n", "line 1: \"Outbox2\" is not a standard folder"},
      {"{\"subject\":\"x\"}\n", "line 1: no \"folder\""},
      {"{\"folder\":[]}\n", "line 1: "},
      {"{\"folder\":[\"Inbox\"],\"colour\":1}\n", "line 1: unknown key \"colour\""},
      {"{\"folder\":[\"Inbox\"],\"deliveryTime\":\"2024-02-30T00:00:00Z\"}\n", "line 1: "},
      {"{\"folder\":[\"Inbox\"],\"recipients\":[{\"type\":\"to\"}]}\n", "line 1: "},
      {"[1]\n", "line 1: not a JSON object"},
  };
  for (const auto& [input, expected] : cases) {
    SCOPED_TRACE(input);
    TempStore temp;
    SmsSession session(u"SMS");
    std::string error;
    uint32_t loaded = 7;
    EXPECT_FALSE(Load(session, input, error, &loaded));
    EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
    EXPECT_EQ(loaded, 0u);
    EXPECT_EQ(Dump(session), "");
  }
}

// A line of endless keys is refused at once (it took time in the square of their number), and
// an endless line after reading only the limit of it.
TEST(StoreJson, LinesOfEndlessKeysOrBytesAreRefused) {
  std::string keys = R"({"folder":["Inbox"],"recipients":[)";
  for (int i = 0; i < 100000; ++i) keys += std::string(i == 0 ? "" : ",") + R"({"type":1})";
  keys += "]}\n";
  const std::string endless = "{\"folder\":[\"Inbox\"],\"subject\":\"" +
                              std::string((size_t{8} << 20) + 10, 'x') + "\"}\n";
  const std::pair<const std::string*, const char*> cases[] = {
      {&keys, "line 2: more than 10000 keys; no message has that many"},
      {&endless, "line 2: longer than 8 MiB; no message is that long"},
  };
  for (const auto& [input, expected] : cases) {
    TempStore temp;
    SmsSession session(u"SMS");
    std::string error;
    EXPECT_FALSE(Load(session, "{\"folder\":[\"Inbox\"]}\n" + *input, error));
    EXPECT_EQ(error, expected) << error.substr(0, 200);
    EXPECT_EQ(Dump(session), "");
  }
}

TEST(StoreJson, AStoreFailureWhileLoadingIsReported) {
  TempStore temp;
  SmsSession session(u"SMS");
  mapi::AddFault("IMAPIFolder::CreateMessage", 2, MAPI_E_CALL_FAILED);
  std::string error;
  uint32_t loaded = 0;
  EXPECT_FALSE(Load(session, kSample, error, &loaded));
  EXPECT_EQ(error.rfind("line 2: cannot create the message", 0), 0u) << error;
  EXPECT_EQ(loaded, 1u);
}

// What makes a rerun of an interrupted load give each message once: a message the store refuses
// halfway leaves nothing behind, and a rerun adds only what the store lacks.
TEST(StoreJson, ARefusedMessageLeavesNoTraceAndARerunAddsOnlyWhatIsMissing) {
  const std::string lines =
      std::string(kSample) +
      R"({"folder":["Inbox"],"subject":"twice","deliveryTime":7})" "\n"
      R"({"folder":["Inbox"],"subject":"twice","deliveryTime":7})" "\n";
  std::string clean;
  {
    TempStore temp;
    SmsSession session(u"SMS");
    std::string error;
    ASSERT_TRUE(Load(session, lines, error)) << error;
    clean = Dump(session);
  }
  TempStore temp;
  SmsSession session(u"SMS");
  std::string error;
  // The first message has recipients: the store refuses them after the message was written.
  mapi::AddFault("IMessage::ModifyRecipients", 1, MAPI_E_NOT_ENOUGH_DISK);
  LoadCounts counts;
  std::istringstream first(lines);
  EXPECT_FALSE(LoadStore(session, first, LoadOptions{}, counts, error));
  EXPECT_EQ(error.rfind("line 1: cannot add the recipients", 0), 0u) << error;
  EXPECT_EQ(counts.added, 0u);
  EXPECT_EQ(Dump(session), "");
  mapi::ClearFaults();

  // A part loaded, then the whole: the rest comes, and equal lines count one for one.
  std::istringstream part(lines.substr(0, lines.find('\n') + 1) + lines.substr(lines.rfind('{')));
  ASSERT_TRUE(LoadStore(session, part, LoadOptions{}, counts, error)) << error;
  EXPECT_EQ(counts.added, 2u);
  std::istringstream whole(lines);
  ASSERT_TRUE(LoadStore(session, whole, LoadOptions{}, counts, error)) << error;
  EXPECT_EQ(counts.added, 3u);
  EXPECT_EQ(counts.present, 2u);
  // The same messages as a clean load's, in the order they came.
  const auto sorted = [](const std::string& dump) {
    std::multiset<std::string> lines;
    std::istringstream in(dump);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
  };
  EXPECT_EQ(sorted(Dump(session)), sorted(clean));
  std::istringstream again(lines);
  ASSERT_TRUE(LoadStore(session, again, LoadOptions{}, counts, error)) << error;
  EXPECT_EQ(counts.added, 0u);
  EXPECT_EQ(counts.present, 5u);

  // Asked to, it adds them all again.
  std::istringstream all(lines);
  ASSERT_TRUE(LoadStore(session, all, LoadOptions{true}, counts, error)) << error;
  EXPECT_EQ(counts.added, 5u);
  EXPECT_EQ(counts.present, 0u);
}

TEST(StoreJson, ADumpThatCannotReadAMessageFails) {
  TempStore temp;
  SmsSession session(u"SMS");
  std::string error;
  ASSERT_TRUE(Load(session, kSample, error)) << error;
  mapi::AddFault("IMAPIFolder::OpenEntry", 2, MAPI_E_CALL_FAILED);
  std::ostringstream out;
  EXPECT_FALSE(DumpStore(session, out, error));
  EXPECT_NE(error.find("cannot open a message"), std::string::npos) << error;
}

TEST(StoreJson, AStoreWithoutStandardFoldersDumpsNothingButAnUnopenableOneFails) {
  TempStore temp;
  ASSERT_EQ(mapi::AddStore(temp.path(), u"Bare", false), S_OK);
  {
    SmsSession bare(u"Bare");
    EXPECT_EQ(Dump(bare), "");
  }
  SmsSession session(u"SMS");
  mapi::AddFault("IMsgStore::OpenEntry", 1, MAPI_E_CALL_FAILED);
  std::ostringstream out;
  std::string error;
  EXPECT_FALSE(DumpStore(session, out, error));
  EXPECT_EQ(error, "cannot open the Draft folder");
}

}  // namespace
}  // namespace larkpost
