#include "formats/phone_xml.h"

#include <gtest/gtest.h>

#include <cstring>

#include "formats/formats_test_util.h"
#include "formats/xml_prefilter.h"
#include "platform/file/file.h"
#include "platform/file/byte_sink.h"

namespace larkpost {
namespace {

using testing::AppMms;
using testing::AppSms;
using testing::AppXml;
using testing::InThread;
using testing::ReadAll;

std::vector<MessageRecord> ReadXml(const std::string& xml, std::string& error,
                                   ReadCounts* counts = nullptr) {
  auto reader = JoinedReader(XmlEntries(BufferByteSource(xml)));
  std::vector<MessageRecord> records = ReadAll(*reader, error);
  if (counts != nullptr) *counts = reader->counts();
  return records;
}

TEST(PhoneXml, ReadsTheFileAsTheAppWritesIt) {
  const std::string xml = AppXml(
      AppSms("+4915112345678", "1704103626000", "1", "Hi &#55357;&#56832;&#10;there", "Ann") +
          AppMms("1704103627000") +
          AppSms("+8613800000000", "1704103628000", "1", "你好，世界 &amp; &lt;b&gt;") +
          InThread(AppSms("+111", "1704103629000", "2", "to both", "Bob"), "3") +
          InThread(AppSms("+222", "1704103629000", "2", "to both", "Cy"), "3") +
          AppSms("null", "0", "3", "draft &#1;text") + AppSms("+333", "1704103630000", "5", "failed"),
      7);
  std::string error;
  ReadCounts counts;
  std::vector<MessageRecord> records = ReadXml(xml, error, &counts);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(counts.entries, 7u);
  EXPECT_EQ(counts.messages, 6u);
  ASSERT_TRUE(records[1].multimedia);  // the <mms>, a message of its own among the texts
  records.erase(records.begin() + 1);

  EXPECT_EQ(records[0].folderPath, u"Inbox");
  EXPECT_EQ(records[0].senderAddress, u"+4915112345678");
  EXPECT_EQ(records[0].senderName, u"Ann");
  EXPECT_EQ(records[0].text, u"Hi \U0001F600\nthere");
  EXPECT_EQ(FileTimeToUInt64(records[0].deliveryTime), (1704103626000ULL + 11644473600000ULL) * 10000);
  EXPECT_TRUE(records[0].recipients.empty());

  EXPECT_EQ(records[1].text, u"你好，世界 & <b>");
  EXPECT_EQ(records[1].senderName, u"");  // contact_name "null"

  EXPECT_EQ(records[2].folderPath, u"Sentedbox");
  ASSERT_EQ(records[2].recipients.size(), 2u);
  EXPECT_EQ(records[2].recipients[0].address, u"+111");
  EXPECT_EQ(records[2].recipients[0].displayName, u"Bob");
  EXPECT_EQ(records[2].recipients[1].address, u"+222");
  EXPECT_EQ(records[2].recipients[1].type, 1);

  EXPECT_EQ(records[3].folderPath, u"Draft");
  EXPECT_TRUE(records[3].recipients.empty());
  EXPECT_EQ(FileTimeToUInt64(records[3].deliveryTime), 0u);
  EXPECT_EQ(records[3].text, std::u16string(u"draft \x01text"));

  EXPECT_EQ(records[4].folderPath, u"Outbox");  // 5, failed
}

// Only the app's grouping joins entries: the same thread_id on entries of one time, text and
// sent type that follow each other, each for another party. Equal time and text alone (two
// messages of one millisecond to two people, as the app writes them without thread_id) join
// nothing.
TEST(PhoneXml, JoinsOnlyEntriesTheAppGroupsAsOneSentMessage) {
  std::string toEight = InThread(AppSms("+888", "7000", "2", "to both"), "6");
  toEight.replace(toEight.find("status=\"-1\""), 11, "status=\"64\"");  // failed for this one
  const std::string xml = AppXml(
      InThread(AppSms("+111", "1000", "2", "same"), "1") + InThread(AppSms("+999", "2000", "1", "x"), "1") +
          InThread(AppSms("+222", "1000", "2", "same"), "1") +
          InThread(AppSms("+333", "3000", "1", "hello"), "2") +
          InThread(AppSms("+444", "3000", "1", "hello"), "2") +
          InThread(AppSms("+555", "4000", "2", "a"), "3") + InThread(AppSms("+666", "4000", "2", "b"), "3") +
          AppSms("+777", "5000", "2", "no thread") + AppSms("+888", "5000", "2", "no thread") +
          InThread(AppSms("+777", "6000", "3", "draft"), "4") + InThread(AppSms("+888", "6000", "3", "draft"), "5") +
          InThread(AppSms("+777", "7000", "2", "to both"), "6") + toEight,
      13);
  std::string error;
  const std::vector<MessageRecord> records = ReadXml(xml, error);
  ASSERT_EQ(error, "");
  // Apart, received, of another text, of no or another thread: one message each; the last two
  // entries one message to both.
  ASSERT_EQ(records.size(), 12u);
  EXPECT_EQ(records[7].recipients.size(), 1u);
  ASSERT_EQ(records[11].recipients.size(), 2u);
  EXPECT_EQ(records[11].recipients[1].address, u"+888");
  // The second entry's own status stays with it.
  std::vector<PhoneEntry> entries;
  ASSERT_TRUE(EntriesOf(records[11], DeletedAs::kByDirection, entries, error));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(*FindColumn(entries[0].columns, "status"), Column(u"-1"));
  EXPECT_EQ(*FindColumn(entries[1].columns, "status"), Column(u"64"));
  EXPECT_EQ(entries[1].columns.size(), entries[0].columns.size());
}

TEST(PhoneXml, BadInputIsAnErrorNamingTheEntry) {
  const std::string good = AppSms("+1", "1000", "1", "ok");
  const struct {
    std::string xml;
    std::string expected;
  } cases[] = {
      {AppXml(good + "  <sms address=\"+2\" date=\"1\" type=\"1\" body=\"open", 2),
       "malformed XML at line"},
      {AppXml(good + "  <sms address=\"+2\" date=\"1\" type=\"1\" body=\"a\"></smss>", 2),
       "malformed XML at line"},
      {"<?xml version='1.0'?><contacts count=\"0\"></contacts>", "root element is <contacts>"},
      {"", "it is empty"},
      {AppXml(good + AppSms("+2", "1000", "9", "x"), 2), "sms entry 2 (line 6): type \"9\""},
      {AppXml(good + AppSms("+2", "1000", "null", "x"), 2), "sms entry 2 (line 6): type \"null\""},
      {AppXml(good + AppSms("+2", "-11644473600001", "1", "x"), 2),
       "sms entry 2 (line 6): date \"-11644473600001\""},
      {AppXml(good + AppSms("+2", "99999999999999999", "1", "x"), 2), "date \"99999999999999999\""},
      {AppXml(good + AppSms("+2", "soon", "1", "x"), 2), "date \"soon\""},
      {AppXml(good + "  <sms address=\"+2\" type=\"1\" body=\"x\" />\n", 2), "sms entry 2 (line 6): it has no date"},
  };
  for (const auto& c : cases) {
    std::string error;
    ReadXml(c.xml, error);
    EXPECT_NE(error.find(c.expected), std::string::npos) << "error: " << error << "\nfor: " << c.xml;
  }
}

TEST(PhoneXml, AGigabyteAttributeIsRefusedAfterReadingOnlyTheLimit) {
  const std::string head = AppXml(AppSms("+1", "1000", "1", "ok"), 2);
  const std::string start = head.substr(0, head.rfind("</smses>")) + "  <sms date=\"1\" body=\"";
  uint64_t served = 0;
  constexpr uint64_t kGigabyte = uint64_t{1} << 30;
  ByteSource source = [&](char* buffer, size_t capacity) -> size_t {
    size_t count = 0;
    for (; count < capacity && served < kGigabyte; ++count, ++served) {
      buffer[count] = served < start.size() ? start[served] : 'a';
    }
    return count;
  };
  auto reader = JoinedReader(XmlEntries(source));
  std::string error;
  ReadAll(*reader, error);
  EXPECT_NE(error.find("entry 2 (from line 6) is larger than 8 MiB"), std::string::npos) << error;
  EXPECT_LT(served, kMaxEntryBytes + (uint64_t{1} << 20));
}

TEST(PhoneXml, WrittenFileReadsBackWithWhatTheXmlHolds) {
  testing::TempDir dir;
  MessageRecord received;
  received.folderPath = u"Inbox\\Work";
  received.deliveryTime = UInt64ToFileTime((1704103626123ULL + 11644473600000ULL) * 10000 + 4567);
  received.lastModified = received.deliveryTime;
  received.flags = 1;
  received.senderName = u"Ann \"A\" <&>";
  received.senderAddress = u"+4915112345678";
  received.text = u"<script>alert('x')</script> & \U0001F600 你好\nline two\ttab \x01";
  MessageRecord sent;
  sent.folderPath = u"Sentedbox";
  sent.deliveryTime = UInt64ToFileTime((1704103627000ULL + 11644473600000ULL) * 10000);
  sent.recipients = {{u"Bob", u"+111", 1}, {u"", u"+222", 2}};
  sent.text = u"to both";
  // Two messages of the same millisecond and text to two people, each alone, and a message
  // from a phone's file in a conversation of its own right after.
  MessageRecord toBob = sent, toCy = sent;
  toBob.recipients = {{u"Bob", u"+111", 1}};
  toCy.recipients = {{u"Cy", u"+333", 1}};
  MessageRecord fromPhone = toCy;
  fromPhone.recipients = {{u"Dee", u"+444", 1}};
  fromPhone.phoneColumns = {{"service_center", std::nullopt}, {"date_sent", u"0"}, {"thread_id", u"9"}};
  MessageRecord samePhoneThread = fromPhone;
  samePhoneThread.recipients = {{u"Eve", u"+555", 1}};
  MessageRecord deleted = sent;
  deleted.folderPath = u"Wastebox";
  deleted.text = u"deleted, sent";
  // Times a backup can hold before 1970 and after 9999 are written and read back too.
  MessageRecord early = received;
  early.deliveryTime = UInt64ToFileTime(2147483647);
  MessageRecord late = received;
  late.deliveryTime = UInt64ToFileTime(UINT64_MAX);

  const std::u16string path = dir.File("out.xml");
  std::string error;
  {
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink out(file);
    auto writer = XmlWriter(out, DeletedAs::kByDirection);
    for (const MessageRecord* r : {&received, &sent, &toBob, &toCy, &fromPhone, &samePhoneThread,
                                   &deleted, &early, &late}) {
      ASSERT_TRUE(writer->Write(*r, error));
    }
    writer->Finish();
    EXPECT_EQ(writer->entriesWritten(), 11u);
    out.Close();
  }

  CFile file(path, CFile::modeRead);
  std::string xml(file.GetLength(), '\0');
  file.Read(xml.data(), static_cast<unsigned>(xml.size()));
  EXPECT_NE(xml.find("<smses count=\"11\""), std::string::npos);
  EXPECT_EQ(xml.find("<script>"), std::string::npos);

  std::vector<MessageRecord> back = ReadXml(xml, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(back.size(), 9u);
  // Each message once, with its parties and the columns of its file.
  EXPECT_EQ(back[2].recipients, toBob.recipients);
  EXPECT_EQ(back[3].recipients, toCy.recipients);
  EXPECT_EQ(back[4].recipients, fromPhone.recipients);
  EXPECT_EQ(back[4].phoneColumns, fromPhone.phoneColumns);
  EXPECT_EQ(back[5].recipients, samePhoneThread.recipients);
  back.erase(back.begin() + 2, back.begin() + 6);
  EXPECT_EQ(back[0].folderPath, u"Inbox");  // no subfolders in the XML
  EXPECT_EQ(FileTimeToUInt64(back[0].deliveryTime), (1704103626123ULL + 11644473600000ULL) * 10000);
  EXPECT_EQ(back[0].text, received.text);
  EXPECT_EQ(back[0].senderName, received.senderName);
  EXPECT_EQ(back[0].senderAddress, received.senderAddress);
  EXPECT_EQ(back[1].folderPath, u"Sentedbox");
  ASSERT_EQ(back[1].recipients.size(), 2u);
  EXPECT_EQ(back[1].recipients[1].address, u"+222");
  EXPECT_EQ(back[2].folderPath, u"Sentedbox");  // deleted, with recipients: sent
  EXPECT_EQ(back[2].recipients.size(), 2u);
  EXPECT_EQ(FileTimeToUInt64(back[3].deliveryTime), 2147480000u);  // whole milliseconds
  EXPECT_EQ(FileTimeToUInt64(back[4].deliveryTime), UINT64_MAX / 10000 * 10000);
}

TEST(PhoneXml, ReadsAHundredThousandMessagesOneAtATime) {
  constexpr int kMessages = 100000;
  const std::string head = AppXml("", kMessages);
  const std::string tail = "</smses>\n";
  int produced = 0;
  std::string pending = head.substr(0, head.size() - tail.size());
  size_t at = 0;
  ByteSource source = [&](char* buffer, size_t capacity) -> size_t {
    while (pending.size() - at < capacity && produced <= kMessages) {
      pending.erase(0, at);
      at = 0;
      if (produced == kMessages) {
        pending += tail;
        ++produced;
        break;
      }
      pending += AppSms("+49151" + std::to_string(produced % 997), std::to_string(1704103626000LL + produced),
                        produced % 2 == 0 ? "1" : "2", "Message &#55357;&#56832; number " + std::to_string(produced));
      if (produced % 1000 == 0) pending += AppMms(std::to_string(1704103626000LL + produced));
      ++produced;
    }
    const size_t count = std::min(capacity, pending.size() - at);
    std::memcpy(buffer, pending.data() + at, count);
    at += count;
    return count;
  };
  auto reader = JoinedReader(XmlEntries(source));
  MessageRecord record, last;
  uint64_t count = 0;
  while (reader->Next(record)) {
    ++count;
    last = std::move(record);
  }
  ASSERT_EQ(reader->error(), "");
  EXPECT_EQ(count, static_cast<uint64_t>(kMessages) + 100);  // and one <mms> in a thousand
  EXPECT_EQ(last.text, u"Message \U0001F600 number 99999");
}

TEST(XmlPrefilter, GivesTheSameBytesWhateverTheChunks) {
  const std::string input =
      "<smses><sms body=\"a&#55357;&#56832;b&#xD83D;&#xDE00;&#55357;x&#56832;&#1;&#10;&amp;&#\" />"
      "<mms a=\"'>'\"><part data=\"</mm\" /></mms><mmsx/><mms/><sms body=\"&#55357;\"/></smses>";
  XmlPrefilter whole;
  std::string expected;
  whole.Feed(input, true, expected);
  EXPECT_NE(expected.find("a\xF0\x9F\x98\x80" "b\xF0\x9F\x98\x80\xEF\xBF\xBDx\xEF\xBF\xBD"),
            std::string::npos) << expected;
  // Without a place to divert data values to, the elements pass as they are.
  EXPECT_NE(expected.find("<part data=\"</mm\" /></mms><mmsx/><mms/>"), std::string::npos) << expected;
  for (size_t step = 1; step < 8; ++step) {
    XmlPrefilter pieces;
    std::string out;
    for (size_t at = 0; at < input.size(); at += step) {
      pieces.Feed(std::string_view(input).substr(at, step), false, out);
    }
    pieces.Feed("", true, out);
    EXPECT_EQ(out, expected) << "step " << step;
  }
}

// Markup whose content is no element (comments, processing instructions, CDATA) hides nothing:
// an "<mms" inside it skips no message, split across the reader's chunks or not.
TEST(PhoneXml, MmsInsideCommentsAndInstructionsHidesNoMessage) {
  const std::string xml =
      AppXml("<!-- <mms> -->" + AppSms("+1", "1704103626000", "1", "one") + "<?pi <mms> ?>" +
                 AppSms("+2", "1704103627000", "1", "two") + "<!-- </mms> -->" +
                 "<![CDATA[ <mms> ]]>" + AppSms("+3", "1704103628000", "1", "three") +
                 AppMms("1704103629000"),
             4);
  std::string error;
  const std::vector<MessageRecord> records = ReadXml(xml, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[1].text, u"two");
  EXPECT_EQ(records[2].text, u"three");
  EXPECT_TRUE(records[3].multimedia);
  // The same through the filter a byte at a time.
  XmlPrefilter filter;
  std::string whole, bytewise;
  XmlPrefilter().Feed(xml, true, whole);
  for (size_t i = 0; i < xml.size(); ++i) filter.Feed(xml.substr(i, 1), i + 1 == xml.size(), bytewise);
  EXPECT_EQ(bytewise, whole);
}

// A NUL can only come from "&#0;" and is refused, naming the entry; the filter's own private
// characters, written in the file (raw or as references), come back as themselves and never
// as the controls they stand for inside the reader.
TEST(PhoneXml, NulIsRefusedAndTheFiltersOwnCharactersStayThemselves) {
  std::string error;
  ReadXml(AppXml(AppSms("+1", "1704103626000", "1", "ok") +
                     AppSms("+1", "1704103627000", "1", "cut&#0;here"),
                 2),
          error);
  EXPECT_EQ(error.rfind("sms entry 2 (line ", 0), 0u) << error;
  EXPECT_NE(error.find("its body holds a NUL character"), std::string::npos) << error;

  const std::vector<MessageRecord> records = ReadXml(
      AppXml(AppSms("\xF4\x8F\xBC\x80", "1704103626000", "1",
                    "a&#x10FF1B;b\xF4\x8F\xBC\x80\xF4\x8F\xBC\xA0&#1113888;&#x10FF21;"),
             1),
      error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, u"a\U0010FF1Bb\U0010FF00\U0010FF20\U0010FF20\U0010FF21");
  EXPECT_EQ(records[0].senderAddress, u"\U0010FF00");
}

// Limits hold after expansion: a document type (whose entities could blow a small file up) is
// refused before anything is expanded, and a text longer than a message can be is refused.
TEST(PhoneXml, ExpansionCannotPassTheLimits) {
  std::string error;
  const std::string bomb =
      "<?xml version=\"1.0\"?><!DOCTYPE smses [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><smses count=\"1\">" +
      AppSms("+1", "1704103626000", "1", "&b;&b;&b;") + "</smses>";
  EXPECT_TRUE(ReadXml(bomb, error).empty());
  EXPECT_NE(error.find("declares a document type"), std::string::npos) << error;

  ReadXml(AppXml(AppSms("+1", "1704103626000", "1", std::string(kMaxTextChars + 1, 'x')), 1),
          error);
  EXPECT_EQ(error.rfind("sms entry 1 (line ", 0), 0u) << error;
  EXPECT_NE(error.find("characters long, more than"), std::string::npos) << error;
  ReadXml(AppXml(AppSms("+1", "1704103626000", "1", std::string(kMaxTextChars, 'x')), 1), error);
  EXPECT_EQ(error, "");
}

// A file that declares ISO-8859-1 is read as such; an encoding the reader does not know is
// refused by name instead of being misread.
TEST(PhoneXml, Iso88591FilesAreReadAndUnknownEncodingsNamed) {
  std::string error;
  const std::vector<MessageRecord> records = ReadXml(
      "<?xml version='1.0' encoding='ISO-8859-1'?><smses count=\"1\">" +
          AppSms("+1", "1704103626000", "1", "Gr\xFC\xDF" "e", "Andr\xE9") + "</smses>",
      error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, u"Grüße");
  EXPECT_EQ(records[0].senderName, u"André");
  ReadXml("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><smses count=\"0\"></smses>", error);
  EXPECT_EQ(error, "the file is in the encoding \"SHIFT_JIS\"; only UTF-8 and ISO-8859-1 files are read");
}

}  // namespace
}  // namespace larkpost
