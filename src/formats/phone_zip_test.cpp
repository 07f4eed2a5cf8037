#include "formats/phone_zip.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "formats/formats_test_util.h"
#include "message/multimedia_test_util.h"
#include "platform/file/file.h"
#include "platform/file/byte_sink.h"

namespace larkpost {
namespace {

using testing::AppLine;
using testing::InThread;
using testing::ReadAll;
using testing::Picture;
using testing::TempDir;
using testing::ZipOf;

constexpr char kMmsLine[] =
    R"({"_id":"40","thread_id":"3","date":"1704103627","msg_box":"1","m_type":"132","sub":null,)"
    R"("__sender_address":{"address":"+4915112345678","type":"137"},"__parts":[{"ct":"text/plain","text":"pic"}]})"
    "\n";

std::vector<MessageRecord> ReadZip(const std::string& zip, std::string& error,
                                   ReadCounts* counts = nullptr) {
  auto reader = JoinedReader(ZipEntriesInBuffer(zip));
  std::vector<MessageRecord> records = ReadAll(*reader, error);
  if (counts != nullptr) *counts = reader->counts();
  return records;
}

TEST(PhoneZip, ReadsTheArchiveAsTheAppWritesIt) {
  const std::string ndjson =
      AppLine(R"("+4915112345678")", "1704103626000", "1", R"("Hi \ud83d\ude00 \"you\"")", R"("Ann")") +
      kMmsLine + AppLine(R"("+8613800000000")", "1704103628000", "1", R"("你好")") + "\n" +
      AppLine(R"("+111")", "1704103629000", "2", R"("to both")", R"("Bob")") +
      AppLine(R"("+222")", "1704103629000", "2", R"("to both")") +
      AppLine("null", "1704103630000", "3", "null") +
      // The same time and text to two people in two conversations: two messages.
      InThread(AppLine(R"("+333")", "1704103631000", "2", R"("Dinner at 8?")"), "4") +
      InThread(AppLine(R"("+444")", "1704103631000", "2", R"("Dinner at 8?")"), "5");
  std::string error;
  ReadCounts counts;
  std::vector<MessageRecord> records =
      ReadZip(ZipOf({{"calls.ndjson", ""}, {"messages.ndjson", ndjson}}), error, &counts);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), 7u);
  EXPECT_EQ(counts.entries, 8u);
  EXPECT_EQ(records[5].recipients.size(), 1u);
  EXPECT_EQ(records[6].recipients[0].address, u"+444");
  // Every column no field holds, in the line's order, nulls included; through a ZIP written of
  // the messages they come back, the thread and nulls kept out of the app's sight.
  const Columns expected = {{"_id", u"12"},     {"thread_id", u"3"},    {"date_sent", u"0"},
                            {"protocol", u"0"}, {"status", u"-1"},     {"reply_path_present", u"0"},
                            {"subject", std::nullopt}, {"service_center", std::nullopt},
                            {"locked", u"0"},   {"sub_id", u"1"},      {"error_code", u"-1"},
                            {"creator", u"com.google.android.apps.messaging"}, {"seen", u"1"}};
  EXPECT_EQ(records[0].phoneColumns, expected);
  {
    TempDir dir;
    const std::u16string path = dir.File("again.zip");
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink out(file);
    auto writer = ZipWriter(out, DeletedAs::kByDirection);
    for (const MessageRecord& record : records) ASSERT_TRUE(writer->Write(record, error));
    writer->Finish();
    out.Close();
    auto reader = JoinedReader(ZipEntries(path));
    const std::vector<MessageRecord> again = ReadAll(*reader, error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(again.size(), records.size());
    for (size_t i = 0; i < again.size(); ++i) EXPECT_TRUE(again[i] == records[i]) << "message " << i;
    const std::string zip = testing::FileBytes(dir.PathOf("again.zip"));
    EXPECT_EQ(testing::ZipImportProblems(zip), std::vector<std::string>{});
    const std::string first = testing::ZipLines(zip).at(0);
    EXPECT_EQ(first.rfind(R"({"_id":"12","date_sent":"0","protocol":"0","status":"-1","reply_path_present":"0","locked":"0","sub_id":"1","error_code":"-1","creator":)", 0), 0u) << first;
  }
  ASSERT_TRUE(records[1].multimedia);  // a message of its own among the texts
  EXPECT_EQ(records[1].text, u"pic");
  records.erase(records.begin() + 1);
  EXPECT_EQ(records[0].text, u"Hi \U0001F600 \"you\"");
  EXPECT_EQ(records[0].senderName, u"Ann");
  EXPECT_EQ(records[0].folderPath, u"Inbox");
  EXPECT_EQ(records[1].text, u"你好");
  ASSERT_EQ(records[2].recipients.size(), 2u);
  EXPECT_EQ(records[2].recipients[0].displayName, u"Bob");
  EXPECT_EQ(records[2].recipients[1].address, u"+222");
  EXPECT_EQ(records[3].folderPath, u"Draft");
  EXPECT_EQ(records[3].text, u"");
  EXPECT_TRUE(records[3].recipients.empty());
}

TEST(PhoneZip, BadInputIsAnErrorNamingTheLine) {
  const std::string good = AppLine(R"("+1")", "1000", "1", R"("ok")");
  const struct {
    std::string zip;
    std::string expected;
  } cases[] = {
      {"PK\x03\x04 this is not really a zip", "not a ZIP archive"},
      {ZipOf({{"calls.ndjson", good}}), "holds no messages.ndjson"},
      {ZipOf({{"messages.ndjson", good + "{\"date\": \n"}}), "line 2: not a JSON object"},
      {ZipOf({{"messages.ndjson", good + "[1,2]\n"}}), "line 2: not a JSON object"},
      {ZipOf({{"messages.ndjson", good + R"({"date":["1"],"type":"1"})" "\n"}}),
       "line 2: \"date\" is a list, not text"},
      {ZipOf({{"messages.ndjson", good + R"({"date":"1","type":"1","body":{"a":1}})" "\n"}}),
       "line 2: \"body\" is an object"},
      {ZipOf({{"messages.ndjson", good + AppLine("null", "1000", "7", "null")}}),
       "line 2: type \"7\" is not a message type"},
      {ZipOf({{"messages.ndjson", good + AppLine("null", "-11644473600001", "1", "null")}}),
       "line 2: date \"-11644473600001\""},
      {ZipOf({{"messages.ndjson", good + AppLine("null", "1e400", "1", "null")}}),
       "line 2: \"date\" is \"1e400\", not a number"},
      {ZipOf({{"messages.ndjson", good + R"({"date":"1"})" "\n"}}), "line 2: it has no type"},
      {ZipOf({{"messages.ndjson", good + R"({"date":"1","type":"2","larkpost":{"recipients":"x"}})" "\n"}}),
       "line 2: \"larkpost\": folder \"\" is not a path below a standard folder"},
      {ZipOf({{"messages.ndjson", good + R"({"date":"1","type":"1","larkpost":{"folder":"Inbox","class":"IPM.Note"}})" "\n"}}),
       "line 2: \"larkpost\": class \"IPM.Note\" is not a text message"},
  };
  for (const auto& c : cases) {
    std::string error;
    ReadZip(c.zip, error);
    EXPECT_NE(error.find(c.expected), std::string::npos) << "error: " << error;
  }
}

TEST(PhoneZip, AnOverlongLineIsRefusedAfterReadingOnlyTheLimit) {
  std::string ndjson = AppLine(R"("+1")", "1000", "1", R"("ok")");
  // Letters that do not pack much: a line of one letter over and over is a ZIP bomb, refused as
  // that before its length counts.
  std::string letters(kMaxEntryBytes * 2, 'a');
  uint32_t state = 12345;
  for (char& c : letters) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>('a' + (state >> 16) % 26);
  }
  ndjson += "{\"body\":\"" + letters + "\"}\n";
  std::string error;
  ReadZip(ZipOf({{"messages.ndjson", ndjson}}), error);
  EXPECT_NE(error.find("messages.ndjson line 2 is larger than 8 MiB"), std::string::npos) << error;
}

TEST(PhoneZip, WrittenArchiveBringsEveryMessageBackUnchanged) {
  testing::TempDir dir;
  MessageRecord received;
  received.folderPath = u"Inbox\\Work\\Old";
  received.deliveryTime = UInt64ToFileTime(133485772261234567ULL);
  received.lastModified = UInt64ToFileTime(133485772269999999ULL);
  received.flags = 5;
  received.size = 321;
  received.senderName = u"Ann \"A\"";
  received.senderAddress = u"+4915112345678";
  received.recipients = {{u"Me", u"+4917000000", 1}};
  received.text = u"Hi \U0001F600\n你好\x01";
  MessageRecord sent;
  sent.folderPath = u"Sentedbox";
  sent.deliveryTime = UInt64ToFileTime(133485772270000000ULL);
  sent.senderName = u"Me";
  sent.senderAddress = u"+4917000000";
  sent.recipients = {{u"Bob", u"+111", 1}, {u"", u"+222", 2}, {u"Cy", u"+333", 3}};
  sent.text = u"to all";
  MessageRecord again = sent;  // same time and text right after: still two messages
  MessageRecord draft;
  draft.folderPath = u"Wastebox\\Trash 2";
  draft.messageClass = u"IPM.SMStext";
  draft.text = u"";
  MessageRecord early = received;  // before 1970
  early.deliveryTime = UInt64ToFileTime(2147483647);
  MessageRecord late = received;  // after 9999
  late.deliveryTime = UInt64ToFileTime(UINT64_MAX);

  const std::u16string path = dir.File("out.zip");
  std::string error;
  const std::vector<MessageRecord> written = {received, sent, again, draft, early, late};
  {
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink out(file);
    auto writer = ZipWriter(out, DeletedAs::kByDirection);
    for (const MessageRecord& record : written) ASSERT_TRUE(writer->Write(record, error));
    writer->Finish();
    EXPECT_EQ(writer->entriesWritten(), 10u);
    out.Close();
  }
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"out.zip"});  // no spool left behind

  auto reader = JoinedReader(ZipEntries(path));
  const std::vector<MessageRecord> back = ReadAll(*reader, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(back.size(), written.size());
  for (size_t i = 0; i < back.size(); ++i) {
    EXPECT_TRUE(back[i] == written[i]) << "message " << i;
  }
}

// A NUL in any text of a line is refused naming the line, in the app's columns and in the whole
// message alike; so are a recipient type that does not fit, the first millisecond of 1601 (which
// would become "no time") and an object of more keys than any message has, found quickly.
TEST(PhoneZip, NulAndEndlessKeysAreRefusedNamingTheLine) {
  std::string error;
  ReadZip(ZipOf({{"messages.ndjson", AppLine(R"("+1")", "1704103626000", "1", R"("ok")") +
                                         AppLine(R"("+1")", "1704103627000", "1", R"("a\u0000b")")}}),
          error);
  EXPECT_EQ(error, "messages.ndjson line 2: its body holds a NUL character, which a message in "
                   "the store cannot keep");
  ReadZip(ZipOf({{"messages.ndjson",
                  R"({"address":"+1","date":"1","type":"1","body":"x","larkpost":{"folder":"Inbox\\A\u0000","time":"1"}})"
                  "\n"}}),
          error);
  EXPECT_EQ(error, "messages.ndjson line 1: its folder holds a NUL character, which a message in "
                   "the store cannot keep");

  ReadZip(ZipOf({{"messages.ndjson",
                  R"({"address":"+1","date":"1","type":"2","body":"x","larkpost":{"folder":"Sentedbox","time":"1","recipients":[{"address":"+1","type":"99999999999"}]}})"
                  "\n"}}),
          error);
  EXPECT_EQ(error, "messages.ndjson line 1: \"larkpost\": recipient type \"99999999999\" is not a "
                   "32-bit number");
  ReadZip(ZipOf({{"messages.ndjson", AppLine(R"("+1")", "-11644473600000", "1", R"("x")")}}), error);
  EXPECT_NE(error.find("is not a time in milliseconds a backup can hold"), std::string::npos)
      << error;

  std::string line = R"({"address":"+1","date":"1","type":"1","body":"x")";
  for (int key = 0; key < 200000; ++key) line += ",\"k" + std::to_string(key) + "\":0";
  line += "}\n";
  ReadZip(ZipOf({{"messages.ndjson", line}}), error);
  EXPECT_EQ(error, "messages.ndjson line 1: it holds more than 10000 keys; no message has that many");
}

// Archives that are not what they seem: two entries named messages.ndjson, a ZIP bomb of one
// line over and over, and a message joined from endless equal entries are refused.
TEST(PhoneZip, AmbiguousAndExplodingArchivesAreRefused) {
  std::string error;
  const std::string line = AppLine(R"("+1")", "1704103626000", "1", R"("ok")");
  // The ZIP library does not write two entries of one name: the second is renamed afterwards.
  std::string twice = ZipOf({{"messages.ndjson", line}, {"messages.ndjsoN", line}});
  for (size_t at = twice.find("messages.ndjsoN"); at != std::string::npos;
       at = twice.find("messages.ndjsoN", at)) {
    twice[at + 14] = 'n';
  }
  ReadZip(twice, error);
  EXPECT_EQ(error, "the ZIP holds 2 entries named messages.ndjson; it is unclear which one holds "
                   "the messages");

  std::string many;
  while (many.size() < (size_t{20} << 20)) many += line;
  ReadZip(ZipOf({{"messages.ndjson", many}}), error);
  EXPECT_NE(error.find("refused as a ZIP bomb"), std::string::npos) << error;

  std::string parts;
  for (size_t i = 0; i <= kMaxJoinedEntries; ++i) {
    parts += AppLine("\"+" + std::to_string(i) + "\"", "1704103626000", "2", R"("to all")");
  }
  ReadZip(ZipOf({{"messages.ndjson", parts}}), error);
  EXPECT_EQ(error, "entry 1001 would join more than 1000 entries of the same time, text and type "
                   "into one message");
}

}  // namespace
}  // namespace larkpost

namespace larkpost {
namespace {

// What the app's import does with a ZIP written here: messages.ndjson first and each picture
// once after it, text parts as text only, no null value, no thread_id two phones could share,
// an addressless multimedia message left out and named, a draft dated when it was saved.
TEST(PhoneZip, TheAppImportsWhatIsWrittenWhole) {
  TempDir dir;
  MessageRecord group = testing::MmsRecord(1704103627000, u"+4915111111111", u"hi all",
                                           Picture("jpeg", 3000), {u"+4915122222222"});
  auto extras = std::make_shared<Multimedia>(*group.multimedia);
  extras->extras.push_back({"thread_id", u"1"});
  // A text part whose text came as bytes: kept as text, never as a file the phone lacks.
  MessagePart bytesText = testing::MmsTextPart(u"");
  bytesText.text.reset();
  bytesText.data = BytesInMemory("Gr\xC3\xBC\xC3\x9F" "e");
  extras->parts.push_back(bytesText);
  group.multimedia.value = extras;
  MessageRecord otherPhone = testing::MmsRecord(1704103628000, u"+4917000000000", u"yo",
                                                Picture("png", 500));
  auto otherExtras = std::make_shared<Multimedia>(*otherPhone.multimedia);
  otherExtras->extras.push_back({"thread_id", u"1"});
  otherPhone.multimedia.value = otherExtras;
  MessageRecord unaddressed = testing::MmsRecord(1704103629000, u"", u"cut", Picture("gif", 90));
  auto noParties = std::make_shared<Multimedia>(*unaddressed.multimedia);
  noParties->addresses.clear();
  unaddressed.multimedia.value = noParties;
  unaddressed.recipients.clear();
  MessageRecord draft;
  draft.folderPath = u"Draft";
  draft.messageClass = u"IPM.SMStext";
  draft.lastModified = PhoneDateToFileTime(1704103630000);
  draft.text = u"to whom?";

  const std::u16string path = dir.File("out.zip");
  std::string error;
  {
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink out(file);
    auto writer = ZipWriter(out, DeletedAs::kByDirection);
    for (const MessageRecord* record : {&group, &unaddressed, &otherPhone, &draft}) {
      ASSERT_TRUE(writer->Write(*record, error)) << error;
    }
    writer->Finish();
    EXPECT_EQ(writer->unaddressedLeftOut(), 1u);
    EXPECT_EQ(writer->firstUnaddressed().rfind("Inbox, 2024-01-01 ", 0), 0u) << writer->firstUnaddressed();
    out.Close();
  }
  const std::string zip = testing::FileBytes(dir.PathOf("out.zip"));
  EXPECT_EQ(testing::ZipImportProblems(zip), std::vector<std::string>{});
  const std::vector<std::string> lines = testing::ZipLines(zip);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].find("thread_id\":\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(R"({"seq":"0","ct":"text/plain","name":"text_0.txt","chset":"106","cl":"text_0.txt","text":"Grüße"})"),
            std::string::npos) << lines[0];
  EXPECT_EQ(lines[2].find("\"address\""), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find("\"date\":\"1704103630000\""), std::string::npos) << lines[2];

  auto reader = JoinedReader(ZipEntries(path));
  const std::vector<MessageRecord> back = ReadAll(*reader, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(*FindColumn(back[1].multimedia->extras, "thread_id"), Column(u"1"));  // ours, kept
  EXPECT_EQ(ReadAllBytes(*back[1].multimedia->parts[1].data), Picture("png", 500));
  EXPECT_EQ(FileTimeToUInt64(back[2].deliveryTime), 0u);  // the draft's own time
}

// The check itself finds what today's apps stumble over.
TEST(PhoneZip, TheImportCheckFindsWhatStopsTheApp) {
  const std::string line =
      R"({"date":"1704103627","msg_box":"1","m_type":"132","sub":null,"thread_id":"1",)"
      R"("__sender_address":{"address":"+1","type":"137"},"__parts":[{"ct":"text/plain","_data":"app_parts/PART_1"}],"larkpost":{}})"
      "\n"
      R"({"date":"1704103628","msg_box":"1","m_type":"132","thread_id":"1","__parts":[]})"
      "\n";
  const std::vector<std::string> problems =
      testing::ZipImportProblems(ZipOf({{"data/PART_1", "abc"}, {"messages.ndjson", line}}));
  std::string all;
  for (const std::string& problem : problems) all += problem + "\n";
  for (const char* expected : {"messages.ndjson is not the first entry", "comes before messages.ndjson",
                               "\"sub\" is null", "the text part names the file",
                               "without any address stops the import", "joins it to another conversation"}) {
    EXPECT_NE(all.find(expected), std::string::npos) << expected << " in " << all;
  }
}

}  // namespace
}  // namespace larkpost
