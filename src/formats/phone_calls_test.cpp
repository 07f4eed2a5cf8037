// The calls of a phone's call log: read from the XML app's files and from the other app's call
// log, written into both with every column they came with, and shown beside the messages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "formats/formats_test_util.h"
#include "formats/html_page.h"
#include "formats/message_stream.h"
#include "formats/phone_calls.h"
#include "formats/phone_entry.h"
#include "formats/phone_xml.h"
#include "platform/file/byte_sink.h"
#include "platform/file/file.h"

namespace larkpost {
namespace {

using testing::AppCall;
using testing::AppCallLog;
using testing::AppCallLogEntry;
using testing::AppCallsXml;
using testing::AppSms;
using testing::AppXml;
using testing::TempDir;
using Attributes = std::map<std::string, std::string>;

// The attributes of each <call> of an XML, in the calls' order (values as written, unescaped
// references left as they are: both sides escape alike).
std::vector<Attributes> CallAttributes(const std::string& xml) {
  std::vector<Attributes> calls;
  for (size_t at = xml.find("<call "); at != std::string::npos; at = xml.find("<call ", at + 1)) {
    Attributes& call = calls.emplace_back();
    size_t i = at + 6;
    while (true) {
      while (xml[i] == ' ') ++i;
      if (xml.compare(i, 2, "/>") == 0) break;
      const size_t equals = xml.find("=\"", i);
      const size_t close = xml.find('"', equals + 2);
      call[xml.substr(i, equals - i)] = xml.substr(equals + 2, close - equals - 2);
      i = close + 1;
    }
  }
  return calls;
}

std::vector<MessageRecord> ReadXml(const std::string& xml, std::string& error,
                                   ReadCounts* counts = nullptr) {
  auto reader = JoinedReader(XmlEntries(BufferByteSource(xml)));
  std::vector<MessageRecord> records = testing::ReadAll(*reader, error);
  if (counts != nullptr) *counts = reader->counts();
  return records;
}

std::vector<MessageRecord> ReadCallLog(const std::string& json, std::string& error,
                                       ReadCounts* counts = nullptr) {
  auto reader = CallLogReader(BufferByteSource(json));
  std::vector<MessageRecord> records = testing::ReadAll(*reader, error);
  if (counts != nullptr) *counts = reader->counts();
  return records;
}

// The bytes a writer made of `records`.
template <class Open>
std::string Written(const std::vector<MessageRecord>& records, Open open) {
  TempDir dir;
  const std::u16string path = dir.File("out");
  {
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink sink(file);
    std::unique_ptr<MessageWriter> writer = open(sink);
    std::string error;
    for (const MessageRecord& record : records) EXPECT_TRUE(writer->Write(record, error)) << error;
    writer->Finish();
  }
  return testing::FileBytes(WideToUtf8(path));
}

std::string XmlOf(const std::vector<MessageRecord>& records) {
  return Written(records, [](ByteSink& sink) { return XmlWriter(sink, DeletedAs::kByDirection); });
}
std::string CallLogOf(const std::vector<MessageRecord>& records) {
  return Written(records, [](ByteSink& sink) { return CallLogWriter(sink); });
}

// An SMS and calls to and from its party, one outgoing, and two from numbers not shown, one
// empty and one null.
const std::string kPhoneXml =
    AppXml(AppSms("+15550001111", "1704103626000", "1", "Call me") +
               AppCall("+15550001111", "1704103700000", "1", "245", "Ann") +
               AppCall("+15550001111", "1704103800000", "2", "3725", "Ann") +
               AppCall("", "1704103900000", "3", "0") +
               AppCall("null", "1704104000000", "3", "0"),
           1);

TEST(PhoneCalls, XmlCallsAreReadBesideTheMessagesAndWrittenBackWithEveryAttribute) {
  std::string error;
  ReadCounts counts;
  const std::vector<MessageRecord> records = ReadXml(kPhoneXml, error, &counts);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].kind, EntryKind::kMessage);
  EXPECT_EQ(counts.messages, 1u);
  EXPECT_EQ(counts.entries, 1u);
  EXPECT_EQ(counts.calls, 4u);

  const MessageRecord& incoming = records[1];
  EXPECT_EQ(incoming.kind, EntryKind::kCall);
  EXPECT_EQ(incoming.folderPath, u"Inbox");
  EXPECT_EQ(incoming.senderAddress, u"+15550001111");
  EXPECT_EQ(incoming.senderName, u"Ann");
  EXPECT_EQ(incoming.deliveryTime, PhoneDateToFileTime(1704103700000));
  EXPECT_EQ(incoming.text, u"");
  const Columns expected = {{"duration", u"245"},          {"type", u"1"},
                            {"presentation", u"1"},        {"subscription_id", u"-1"},
                            {"post_dial_digits", u""},     {"subscription_component_name", {}}};
  EXPECT_EQ(incoming.phoneColumns, expected);
  // An outgoing call's party is its recipient, as a sent message's is.
  EXPECT_EQ(records[2].folderPath, u"Sentedbox");
  ASSERT_EQ(records[2].recipients.size(), 1u);
  EXPECT_EQ(records[2].recipients[0].address, u"+15550001111");
  EXPECT_EQ(records[2].recipients[0].displayName, u"Ann");
  EXPECT_EQ(CallSummary(records[2]), "Outgoing call, 1:02:05");
  EXPECT_EQ(records[3].senderAddress, u"");
  EXPECT_EQ(CallSummary(records[3]), "Missed call");

  // XML to XML: every attribute of every call, with its value (the readable date is made anew
  // from the date, in this machine's time zone).
  const std::string written = XmlOf(records);
  std::vector<Attributes> before = CallAttributes(kPhoneXml), after = CallAttributes(written);
  ASSERT_EQ(after.size(), before.size()) << written;
  for (size_t i = 0; i < before.size(); ++i) {
    before[i].erase("readable_date");
    EXPECT_EQ(after[i].erase("readable_date"), 1u);
    EXPECT_EQ(after[i], before[i]) << "call " << i + 1;
  }
  EXPECT_EQ(ReadXml(written, error), records);
  EXPECT_EQ(error, "");

  // The XML app's own call log, calls-<date>.xml, holds calls alone under <calls>.
  const std::vector<MessageRecord> log =
      ReadXml(AppCallsXml(AppCall("+15550001111", "1704103700000", "1", "245", "Ann"), 1), error,
              &counts);
  ASSERT_EQ(error, "");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], incoming);
  EXPECT_EQ(counts.messages, 0u);
}

// A published file of the XML app, when the samples are at hand: every attribute of every call
// comes back.
TEST(PhoneCalls, APublishedXmlKeepsEveryAttributeOfEveryCall) {
  const char* source = std::getenv("LARKPOST_SOURCE_DIR");
  const std::string path = std::string(source != nullptr ? source : ".") +
                           "/../shared/samples/phone/sbv_sample_backup.xml";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "no sample at " << path;
  const std::string xml = testing::FileBytes(path);
  std::string error;
  std::vector<MessageRecord> calls = ReadXml(xml, error);  // pictures counted, not kept
  ASSERT_EQ(error, "");
  std::erase_if(calls, [](const MessageRecord& r) { return r.kind != EntryKind::kCall; });
  std::vector<Attributes> before = CallAttributes(xml);
  std::vector<Attributes> after = CallAttributes(XmlOf(calls));
  ASSERT_FALSE(before.empty());
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    before[i].erase("readable_date");
    after[i].erase("readable_date");
    EXPECT_EQ(after[i], before[i]) << "call " << i + 1;
  }
}

TEST(PhoneCalls, TheOtherAppsCallLogIsReadWrittenAndTakesTheXmlsCalls) {
  const std::string json = AppCallLog(
      {AppCallLogEntry("7", "+15550001111", "1704103700000", "1", "245", "Ann \\u00e9"),
       AppCallLogEntry("8", "+15550002222", "1704103800000", "2", "17", "")});
  std::string error;
  ReadCounts counts;
  const std::vector<MessageRecord> calls = ReadCallLog(json, error, &counts);
  ASSERT_EQ(error, "");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(counts.calls, 2u);
  EXPECT_EQ(calls[0].kind, EntryKind::kCall);
  EXPECT_EQ(calls[0].senderName, u"Ann \u00e9");
  EXPECT_EQ(calls[0].deliveryTime, PhoneDateToFileTime(1704103700000));
  ASSERT_FALSE(calls[0].phoneColumns.empty());
  EXPECT_EQ(calls[0].phoneColumns.front(), (NamedColumn{"_id", u"7"}));
  EXPECT_EQ(*FindColumn(calls[0].phoneColumns, "countryiso"), u"US");
  EXPECT_EQ(calls[1].folderPath, u"Sentedbox");
  EXPECT_EQ(calls[1].recipients.at(0).address, u"+15550002222");

  // Written and read again: the same calls, every column kept.
  const std::string written = CallLogOf(calls);
  EXPECT_EQ(ReadCallLog(written, error), calls);
  EXPECT_EQ(error, "");
  const nlohmann::json parsed = nlohmann::json::parse(written);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0]["name"], "Ann \u00e9");
  EXPECT_EQ(parsed[0]["_id"], "7");
  EXPECT_EQ(parsed[0]["last_modified"], "1704103700000");
  EXPECT_FALSE(parsed[1].contains("name"));

  // The XML's calls in the call log: the name under the log's column, the columns without a
  // value and the readable date left out.
  const std::vector<MessageRecord> fromXml = ReadXml(kPhoneXml, error);
  ASSERT_EQ(error, "");
  const nlohmann::json log =
      nlohmann::json::parse(CallLogOf({fromXml.begin() + 1, fromXml.end()}));
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], nlohmann::json::parse(R"({"number":"+15550001111","date":"1704103700000",)"
                                          R"("duration":"245","type":"1","presentation":"1",)"
                                          R"("subscription_id":"-1","post_dial_digits":"",)"
                                          R"("name":"Ann"})"));
  // And the log's calls in the XML: the other app's row id stays out, its name is contact_name.
  const std::vector<Attributes> xml = CallAttributes(XmlOf(calls));
  ASSERT_EQ(xml.size(), 2u);
  EXPECT_EQ(xml[0].count("_id"), 0u);
  EXPECT_EQ(xml[0].at("contact_name"), "Ann \u00e9");
  EXPECT_EQ(xml[0].at("countryiso"), "US");
  EXPECT_EQ(xml[1].at("contact_name"), "(Unknown)");
}

TEST(PhoneCalls, ABrokenCallLogIsRefusedNamingTheCall) {
  const std::string first = AppCallLogEntry("1", "+1555", "1704103700000", "1", "5", "");
  const struct {
    std::string json;
    std::string error;
  } cases[] = {
      {"", "not a call log: the file is empty"},
      {"{\"number\":\"1\"}", "not a call log: it does not begin with a JSON array"},
      {"[" + first + ",\n" + first.substr(0, 30),
       "the call log is cut off at line 2, inside call 2; it holds no complete last call"},
      {"[" + first + " " + first + "]",
       "malformed call log at line 1: \"{\" where a call or the end of the array belongs"},
      {"[{\"number\":\"1\",\"type\":\"1\"}]", "call 1: it has no date"},
      {"[" + first + ",{\"date\":\"soon\"}]",
       "call 2: date \"soon\" is not a time in milliseconds a backup can hold"},
      {"[{\"date\":\"1\",\"number\":{\"n\":\"1\"}}]", "call 1: its column \"number\" is not a value"},
      {"[{\"date\":\"1\",\"number\":\n" + std::string(100000, '[') + "]",
       "call 1 (line 2): its columns hold nested JSON, not values"},
  };
  for (const auto& [json, expected] : cases) {
    std::string error;
    ReadCallLog(json, error);
    EXPECT_EQ(error, expected) << json;
  }
  std::string error;
  EXPECT_TRUE(ReadCallLog("\xEF\xBB\xBF[ ]\n", error).empty());
  EXPECT_EQ(error, "");
  ReadXml(AppXml("<call number=\"+1\" duration=\"5\" type=\"1\" />", 0), error);
  EXPECT_EQ(error, "call entry 1 (line 5): it has no date");
}

TEST(PhoneCalls, TheCallLogBesideAZipIsNamedAsTheAppNamesIt) {
  EXPECT_EQ(CallLogNameBeside("messages-2024-05-01.zip"), "calls-2024-05-01.json");
  EXPECT_EQ(CallLogNameBeside("archive.ZIP"), "calls-archive.json");
  EXPECT_EQ(CallLogNameBeside("archive.zip.age"), "calls-archive.json.age");
  EXPECT_EQ(CallLogNameBeside("messages.zip"), "calls-messages.json");
}

TEST(PhoneCalls, ThePageShowsACallInItsPartysConversation) {
  std::string error;
  const std::vector<MessageRecord> records = ReadXml(kPhoneXml, error);
  ASSERT_EQ(error, "");
  const std::string page =
      Written(records, [](ByteSink& sink) { return HtmlWriter(sink); });
  EXPECT_NE(page.find("1 message and 4 calls in 2 conversations"), std::string::npos);
  const size_t sms = page.find("Call me");
  const size_t incoming = page.find("Incoming call, 4:05");
  const size_t outgoing = page.find("Outgoing call, 1:02:05");
  ASSERT_NE(sms, std::string::npos);
  ASSERT_NE(incoming, std::string::npos);
  ASSERT_NE(outgoing, std::string::npos);
  // One conversation with Ann, in time order, before the next heading.
  EXPECT_LT(sms, incoming);
  EXPECT_LT(incoming, outgoing);
  EXPECT_EQ(page.find("<h2", sms), page.find("<h2", outgoing));
  EXPECT_NE(page.find("class=\"m out call\""), std::string::npos);
}

}  // namespace
}  // namespace larkpost
