// Multimedia messages through the phones' XML and ZIP, from files built the way the apps write
// them (formats_test_util.h).
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "formats/base64.h"
#include "formats/formats_test_util.h"
#include "formats/part_spool.h"
#include "formats/phone_entry.h"
#include "formats/phone_xml.h"
#include "formats/phone_zip.h"
#include "formats/xml_prefilter.h"
#include "platform/file/file.h"
#include "platform/file/byte_sink.h"

namespace larkpost {
namespace {

using testing::AppMmsOf;
using testing::AppMmsLine;
using testing::AppPart;
using testing::AppSms;
using testing::AppXml;
using testing::Picture;
using testing::PicturePart;
using testing::ReadAll;
using testing::SmilPart;
using testing::TempDir;
using testing::TextPart;
using testing::ZipOf;

// A group chat of four as the phone received it: the sender Ann, the own number, Bob and Cy,
// with a SMIL layout, a JPEG, texts in UTF-8 (one with a character beyond the BMP, written as
// the app writes it, as two surrogate references) and a PNG and a GIF.
std::vector<AppPart> GroupParts() {
  return {SmilPart(),
          PicturePart("image/jpeg", "image000000.jpg", Picture("jpeg", 5000)),
          TextPart("Grüße &#55357;&#56832; &amp; more"),
          TextPart("second line", "null"),
          PicturePart("image/png", "image000001.png", Picture("png", 700)),
          PicturePart("image/gif", "anim.gif", Picture("gif", 90))};
}
const std::vector<std::pair<std::string, int>> kGroupAddrs = {
    {"+4915111111111", 137}, {"+4917099999999", 151}, {"+4915122222222", 151},
    {"+4915133333333", 130}, {"+4915144444444", 129}};

std::string GroupXml() {
  return AppXml(AppSms("+1", "1704103626000", "1", "before") +
                    AppMmsOf("1704103627123", "1", "+4915111111111~+4915122222222~+4915133333333",
                             "Ann, Bob, Cy", GroupParts(), kGroupAddrs) +
                    AppMmsOf("1704103629000", "2", "+4915122222222", "null",
                             {TextPart("sent one")}, {{"insert-address-token", 137}, {"+4915122222222", 151}}),
                3);
}

std::vector<MessageRecord> ReadXml(const std::string& xml, std::string& error,
                                   std::shared_ptr<PartSpool> spool, ReadCounts* counts = nullptr) {
  auto reader = JoinedReader(XmlEntries(BufferByteSource(xml), std::move(spool)));
  std::vector<MessageRecord> records = ReadAll(*reader, error);
  if (counts != nullptr) *counts = reader->counts();
  return records;
}

TEST(PhoneMms, TheAppsXmlReadsWithPartsAddressesRolesAndNames) {
  TempDir dir;
  std::string error;
  ReadCounts counts;
  const std::vector<MessageRecord> records =
      ReadXml(GroupXml(), error, std::make_shared<PartSpool>(dir.File("out.zip")), &counts);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(counts.entries, 3u);

  const MessageRecord& group = records[1];
  ASSERT_TRUE(group.multimedia);
  EXPECT_EQ(group.folderPath, u"Inbox");
  EXPECT_EQ(FileTimeToPhoneDate(group.deliveryTime), 1704103627123);
  EXPECT_EQ(group.flags & 1, 1u);
  EXPECT_EQ(group.senderAddress, u"+4915111111111");
  EXPECT_EQ(group.senderName, u"Ann");
  const std::vector<RecordRecipient> recipients = {{u"", u"+4917099999999", 1},
                                                   {u"Bob", u"+4915122222222", 1},
                                                   {u"Cy", u"+4915133333333", 2},
                                                   {u"", u"+4915144444444", 3}};
  EXPECT_EQ(group.recipients, recipients);
  EXPECT_EQ(group.text, u"Grüße \U0001F600 & more\nsecond line");

  const Multimedia& mms = *group.multimedia;
  ASSERT_EQ(mms.addresses.size(), 5u);
  EXPECT_EQ(mms.addresses[3].role, kRoleCc);
  EXPECT_EQ(mms.addresses[4].charset, Column(u"106"));
  ASSERT_EQ(mms.parts.size(), 6u);
  EXPECT_EQ(mms.parts[0].seq, Column(u"-1"));
  EXPECT_EQ(mms.parts[0].contentId, Column(u"<smil>"));
  EXPECT_NE(mms.parts[0].text->find(u"image000000.jpg"), std::u16string::npos);
  EXPECT_EQ(mms.parts[0].data, nullptr);
  EXPECT_EQ(mms.parts[1].name, Column(u"image000000.jpg"));
  EXPECT_EQ(mms.parts[1].fileName, std::nullopt);  // "null"
  ASSERT_NE(mms.parts[1].data, nullptr);
  EXPECT_EQ(ReadAllBytes(*mms.parts[1].data), Picture("jpeg", 5000));
  EXPECT_EQ(ReadAllBytes(*mms.parts[4].data), Picture("png", 700));
  EXPECT_EQ(ReadAllBytes(*mms.parts[5].data), Picture("gif", 90));
  EXPECT_EQ(mms.parts[3].charset, std::nullopt);
  // The columns without a field of their own, in the file's order; the parts' likewise.
  ASSERT_GE(mms.extras.size(), 3u);
  EXPECT_EQ(mms.extras[0].name, "spam_report");
  EXPECT_EQ(*FindColumn(mms.extras, "m_type"), Column(u"132"));
  EXPECT_EQ(*FindColumn(mms.extras, "sub"), std::nullopt);
  EXPECT_EQ(FindColumn(mms.extras, "date"), nullptr);
  ASSERT_EQ(mms.parts[1].extras.size(), 2u);
  EXPECT_EQ(mms.parts[1].extras[0].name, "ctt_s");

  const MessageRecord& sent = records[2];
  EXPECT_EQ(sent.folderPath, u"Sentedbox");
  EXPECT_EQ(sent.senderAddress, u"insert-address-token");
  ASSERT_EQ(sent.recipients.size(), 1u);
  EXPECT_EQ(sent.recipients[0].address, u"+4915122222222");
  EXPECT_EQ(sent.text, u"sent one");

  // A listing counts the attachments' sizes and keeps no byte.
  const std::vector<MessageRecord> listed = ReadXml(GroupXml(), error, PartSpool::CountOnly());
  ASSERT_EQ(error, "");
  EXPECT_EQ(listed[1].multimedia->parts[1].data->size(), 5000u);
  EXPECT_THROW(listed[1].multimedia->parts[1].data->Open(), std::logic_error);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{});  // the spool files are unnamed
}

std::string ZipBytes(const std::u16string& path) {
  return testing::FileBytes(WideToUtf8(path));
}

std::vector<MessageRecord> WriteAndRead(const std::vector<MessageRecord>& records, TempDir& dir,
                                        const std::string& name, std::string& error) {
  const std::u16string path = dir.File(name);
  {
    CFile file(path, CFile::modeCreate | CFile::modeWrite);
    CFileSink out(file);
    std::unique_ptr<MessageWriter> writer = name.ends_with(".zip")
                                                ? ZipWriter(out, DeletedAs::kByDirection)
                                                : XmlWriter(out, DeletedAs::kByDirection);
    for (const MessageRecord& record : records) {
      if (!writer->Write(record, error)) return {};
    }
    writer->Finish();
    out.Close();
  }
  std::unique_ptr<MessageReader> reader =
      name.ends_with(".zip")
          ? JoinedReader(ZipEntries(path))
          : JoinedReader(XmlEntries(
                FileByteSource(std::make_shared<CFile>(path, CFile::modeRead)),
                std::make_shared<PartSpool>(dir.File("spool"))));
  return ReadAll(*reader, error);
}

void ExpectSameMessages(const std::vector<MessageRecord>& a, const std::vector<MessageRecord>& b,
                        const std::string& step) {
  ASSERT_EQ(a.size(), b.size()) << step;
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(a[i] == b[i]) << step << ": message " << i;
    if (a[i].multimedia && b[i].multimedia) {
      EXPECT_TRUE(SameMultimedia(*a[i].multimedia, *b[i].multimedia)) << step << ": message " << i;
    }
  }
}

// The messages as they come through the XML: without the ZIP app's own row ids and looked-up
// names (_id, mid, msg_id, "__" columns), which mean nothing to the other app.
std::vector<MessageRecord> WithoutZipInternals(std::vector<MessageRecord> records) {
  auto strip = [](Columns& columns) {
    std::erase_if(columns, [](const NamedColumn& c) {
      return c.name == "_id" || c.name == "mid" || c.name == "msg_id" || c.name.starts_with("__");
    });
  };
  for (MessageRecord& record : records) {
    strip(record.phoneColumns);
    if (!record.multimedia) continue;
    auto copy = std::make_shared<Multimedia>(*record.multimedia);
    strip(copy->extras);
    for (MessagePart& part : copy->parts) strip(part.extras);
    for (MmsAddress& address : copy->addresses) strip(address.extras);
    record.multimedia = MultimediaRef{copy};
  }
  return records;
}

// XML -> ZIP -> XML and ZIP -> XML -> ZIP: every message, part bytes, address with its role,
// millisecond, name, read flag and group member comes back.
TEST(PhoneMms, XmlAndZipCarryEachOthersMessagesWhole) {
  TempDir dir;
  std::string error;
  const std::vector<MessageRecord> fromXml =
      ReadXml(GroupXml(), error, std::make_shared<PartSpool>(dir.File("x")));
  ASSERT_EQ(error, "");
  const std::vector<MessageRecord> viaZip = WriteAndRead(fromXml, dir, "a.zip", error);
  ASSERT_EQ(error, "");
  ExpectSameMessages(fromXml, viaZip, "XML to ZIP");
  const std::vector<MessageRecord> backToXml = WriteAndRead(viaZip, dir, "b.xml", error);
  ASSERT_EQ(error, "");
  ExpectSameMessages(fromXml, backToXml, "XML to ZIP to XML");

  std::vector<std::pair<std::string, std::string>> files;
  std::vector<AppPart> zipParts = GroupParts();
  zipParts[2] = TextPart("Grüße 😀 & more");
  const std::string ndjson =
      AppMmsLine("1704103627", "1", "Ann", zipParts, kGroupAddrs, files) +
      testing::AppLine(R"("+1")", "1704103628000", "1", R"("text")") +
      AppMmsLine("1704103629", "4", "null", {TextPart("queued")}, {{"+4915122222222", 151}}, files);
  files.emplace_back("messages.ndjson", ndjson);
  const std::string zip = ZipOf(files);
  auto reader = JoinedReader(ZipEntriesInBuffer(zip));
  const std::vector<MessageRecord> fromZip = ReadAll(*reader, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(fromZip.size(), 3u);
  EXPECT_EQ(FileTimeToPhoneDate(fromZip[0].deliveryTime), 1704103627000);  // seconds in the app's
  EXPECT_EQ(fromZip[0].senderName, u"Ann");
  EXPECT_EQ(fromZip[0].text, u"Grüße \U0001F600 & more\nsecond line");
  EXPECT_EQ(ReadAllBytes(*fromZip[0].multimedia->parts[1].data), Picture("jpeg", 5000));
  EXPECT_EQ(*FindColumn(fromZip[0].multimedia->extras, "thread_id"), Column(u"7"));
  EXPECT_EQ(fromZip[2].folderPath, u"Outbox");
  const std::vector<MessageRecord> viaXml = WriteAndRead(fromZip, dir, "c.xml", error);
  ASSERT_EQ(error, "");
  ExpectSameMessages(WithoutZipInternals(fromZip), viaXml, "ZIP to XML");
  const std::vector<MessageRecord> backToZip = WriteAndRead(viaXml, dir, "d.zip", error);
  ASSERT_EQ(error, "");
  ExpectSameMessages(WithoutZipInternals(fromZip), backToZip, "ZIP to XML to ZIP");
  EXPECT_EQ(testing::FileBytes(dir.PathOf("c.xml")).find("msg_id"), std::string::npos);
}

// The app writes data="null" on a text part: no attachment, whichever format it goes to, and
// data="null" again in the XML; the XML written back names a nameless party as the app does.
TEST(PhoneMms, ATextPartsNullDataIsNoAttachment) {
  TempDir dir;
  std::string error;
  std::string xml = AppXml(AppMmsOf("1704103627000", "2", "+4915122222222", "null",
                                    {TextPart("see you")}, {{"+4915122222222", 151}}),
                           1);
  xml.insert(xml.find("text=\"see you\"") + 15, " data=\"null\"");
  const std::vector<MessageRecord> records =
      ReadXml(xml, error, std::make_shared<PartSpool>(dir.File("x")));
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].multimedia->parts[0].data, nullptr);
  EXPECT_EQ(records[0].multimedia->parts[0].text, Column(u"see you"));
  const std::vector<MessageRecord> back = WriteAndRead(records, dir, "a.xml", error);
  ASSERT_EQ(error, "");
  const std::string written = testing::FileBytes(dir.PathOf("a.xml"));
  EXPECT_NE(written.find("contact_name=\"(Unknown)\""), std::string::npos);
  // The absent value is written back as the app wrote it, and stays absent through the ZIP.
  EXPECT_NE(written.find(" data=\"null\""), std::string::npos) << written;
  ExpectSameMessages(records, back, "XML to XML");
  ExpectSameMessages(records, WriteAndRead(records, dir, "b.zip", error), "XML to ZIP");
}

// The file's lists of the other parties come back as the app wrote them, through either format:
// a received group message's address and contact_name leave out the owner (a To address) and a
// Bcc the app does not list, whom the message's recipients hold. A sent message whose only
// address is a From (as some files write it) has that party as its recipient, named by the
// file's contact_name, not the owner.
TEST(PhoneMms, TheFilesListsOfPartiesComeBackWithoutTheOwner) {
  TempDir dir;
  std::string error;
  const std::string xml = AppXml(
      AppMmsOf("1704103627123", "1", "+4915111111111~+4915122222222~+4915133333333", "Ann, Bob, Cy",
               {TextPart("hi all")}, kGroupAddrs) +
          AppMmsOf("1704103628000", "2", "+4915122222222", "Bob", {TextPart("to Bob")},
                   {{"+4915122222222", 137}}),
      2);
  const std::vector<MessageRecord> fromXml =
      ReadXml(xml, error, std::make_shared<PartSpool>(dir.File("x")));
  ASSERT_EQ(error, "");
  ASSERT_EQ(fromXml.size(), 2u);
  EXPECT_EQ(fromXml[0].senderName, u"Ann");
  ASSERT_EQ(fromXml[1].recipients.size(), 1u);
  EXPECT_EQ(fromXml[1].recipients[0].displayName, u"Bob");
  EXPECT_EQ(fromXml[1].senderAddress, u"");

  const std::vector<MessageRecord> viaXml = WriteAndRead(fromXml, dir, "a.xml", error);
  const std::vector<MessageRecord> viaZip = WriteAndRead(fromXml, dir, "b.zip", error);
  ASSERT_EQ(error, "");
  ExpectSameMessages(fromXml, viaXml, "XML to XML");
  ExpectSameMessages(fromXml, viaZip, "XML to ZIP");
  const std::string written = testing::FileBytes(dir.PathOf("a.xml"));
  EXPECT_NE(written.find("address=\"+4915111111111~+4915122222222~+4915133333333\" "
                         "contact_name=\"Ann, Bob, Cy\""), std::string::npos) << written;
  EXPECT_EQ(written.find("4917099999999\" contact"), std::string::npos) << written;
  PhoneEntry line;
  ASSERT_TRUE(ZipEntries(dir.File("b.zip"))->NextEntry(line, error)) << error;
  EXPECT_EQ(line.contactName, u"Ann, Bob, Cy");  // the line's __display_name

  // The other app's lines list no other parties: the owner is the From of its sent messages,
  // even of one that comes later in the file, and is left out of the received one's lists.
  std::vector<std::pair<std::string, std::string>> files;
  std::string ndjson =
      AppMmsLine("1704103627", "1", "null", {TextPart("hi all")},
                 {{"+4915111111111", 137}, {"+4917099999999", 151}, {"+4915122222222", 151}}, files) +
      AppMmsLine("1704103628", "2", "null", {TextPart("mine")},
                 {{"+4917099999999", 137}, {"+4915122222222", 151}}, files);
  files.emplace_back("messages.ndjson", ndjson);
  const std::u16string zip = dir.File("app.zip");
  {
    CFile file(zip, CFile::modeCreate | CFile::modeWrite);
    const std::string bytes = ZipOf(files);
    file.Write(bytes.data(), static_cast<unsigned>(bytes.size()));
  }
  auto reader = JoinedReader(ZipEntries(zip));
  const std::vector<MessageRecord> fromZip = ReadAll(*reader, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(fromZip.size(), 2u);
  EXPECT_EQ(fromZip[0].recipients.size(), 2u);  // the owner still its recipient
  WriteAndRead(fromZip, dir, "c.xml", error);
  ASSERT_EQ(error, "");
  EXPECT_NE(testing::FileBytes(dir.PathOf("c.xml")).find("address=\"+4915111111111~+4915122222222\""),
            std::string::npos);
}

// A list of names that cannot be matched to the members ("Weber, Ann" is one contact) names no
// one and is written back whole, through either format; the addresses' own columns stay too.
TEST(PhoneMms, WhatNoFieldHoldsIsKeptThroughBothFormats) {
  TempDir dir;
  std::string error;
  const std::string xml = AppXml(
      AppMmsOf("1704103627123", "1", "+4915111111111~+4915122222222", "Weber, Ann, Bob",
               {TextPart("hi all")},
               {{"+4915111111111", 137}, {"+4917099999999", 151}, {"+4915122222222", 151}}),
      1);
  const std::vector<MessageRecord> fromXml =
      ReadXml(xml, error, std::make_shared<PartSpool>(dir.File("x")));
  ASSERT_EQ(error, "");
  ASSERT_EQ(fromXml.size(), 1u);
  EXPECT_EQ(fromXml[0].senderName, u"");
  const std::vector<MessageRecord> back =
      WriteAndRead(WriteAndRead(fromXml, dir, "a.zip", error), dir, "b.xml", error);
  ASSERT_EQ(error, "");
  ExpectSameMessages(fromXml, back, "XML to ZIP to XML");
  EXPECT_NE(testing::FileBytes(dir.PathOf("b.xml")).find("contact_name=\"Weber, Ann, Bob\""), std::string::npos);

  std::vector<std::pair<std::string, std::string>> files;
  const std::string line = AppMmsLine("1704103627", "2", "Weber, Ann, Bob", {TextPart("hi")},
                                      {{"+4917099999999", 137}, {"+4915111111111", 151},
                                       {"+4915122222222", 151}},
                                      files);
  files.emplace_back("messages.ndjson", line);
  const std::string zip = ZipOf(files);
  auto reader = JoinedReader(ZipEntriesInBuffer(zip));
  const std::vector<MessageRecord> fromZip = ReadAll(*reader, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(fromZip.size(), 1u);
  const MmsAddress& sender = fromZip[0].multimedia->addresses[0];
  ASSERT_NE(FindColumn(sender.extras, "msg_id"), nullptr);
  EXPECT_EQ(*FindColumn(sender.extras, "msg_id"), Column(u"41"));
  const std::vector<MessageRecord> again =
      WriteAndRead(WriteAndRead(fromZip, dir, "c.xml", error), dir, "d.zip", error);
  ASSERT_EQ(error, "");
  ExpectSameMessages(WithoutZipInternals(fromZip), again, "ZIP to XML to ZIP");
  std::u16string members, names;
  PartyLists(again[0], members, names);
  EXPECT_EQ(names, u"Weber, Ann, Bob");
}

// Attachments whose bytes cannot be had are errors naming the entry; names from the file never
// make a path in the archive written.
TEST(PhoneMms, BrokenAttachmentsAreNamedAndPartNamesNeverMakePaths) {
  TempDir dir;
  std::string error;
  std::string xml = GroupXml();
  const size_t data = xml.find("data=\"") + 6;
  xml.insert(data + 100, "*");
  ReadXml(xml, error, std::make_shared<PartSpool>(dir.File("x")));
  EXPECT_EQ(error.rfind("mms entry 2 (line 6): part number 2: its data is not base64: it holds \"*\"", 0), 0u)
      << error;

  const std::string line = R"({"date":"1704103627","msg_box":"1","m_type":"132","__parts":[{"ct":"image/jpeg","_data":")";
  const struct {
    std::string data;
    std::vector<std::pair<std::string, std::string>> files;
    std::string expected;
  } cases[] = {
      {"/app_parts/PART_1.jpg", {}, "part number 1: its file data/PART_1.jpg is not in the ZIP"},
      {"/app_parts/..", {{"data/x", "x"}}, "part number 1: _data \"/app_parts/..\" names no file"},
      {"/app_parts/", {}, "part number 1: _data \"/app_parts/\" names no file"},
      // An entry named to climb out of data/ is never what a part's file name finds.
      {"../x", {{"data/../x", "evil"}}, "part number 1: its file data/x is not in the ZIP"},
      // Twenty megabytes of zeros in a few kilobytes would be an attachment of any size.
      {"/p/zeros.bin", {{"data/zeros.bin", std::string(size_t{20} << 20, '\0')}},
       "part number 1: its file data/zeros.bin unpacks to more than 200 times its packed size; refused "
       "as a ZIP bomb"},
  };
  for (const auto& test : cases) {
    auto files = test.files;
    files.emplace_back("messages.ndjson",
                       testing::AppLine(R"("+1")", "1704103626000", "1", R"("ok")") + line +
                           test.data + R"("}]})" + "\n");
    const std::string zip = ZipOf(files);  // the reader reads the bytes where they are
    auto reader = JoinedReader(ZipEntriesInBuffer(zip));
    ReadAll(*reader, error);
    EXPECT_EQ(error, "messages.ndjson line 2: " + test.expected) << test.data;
  }

  // One megabyte that does not pack, named by line after line: each line is fine alone, the
  // whole file would unpack to hundreds of times its size.
  std::string noise(size_t{1} << 20, '\0');
  uint64_t state = 1;
  for (char& c : noise) c = static_cast<char>((state = state * 6364136223846793005u + 1) >> 56);
  std::vector<std::pair<std::string, std::string>> files = {{"data/same.bin", noise}};
  std::string lines;
  for (int i = 0; i < 300; ++i) {
    lines += R"({"date":")" + std::to_string(1704103627 + i) +
             R"(","msg_box":"1","m_type":"132","__parts":[{"ct":"image/jpeg","_data":"/p/same.bin"}]})" "\n";
  }
  files.emplace_back("messages.ndjson", lines);
  const std::string many = ZipOf(files);
  const std::vector<MessageRecord> read = ReadAll(*JoinedReader(ZipEntriesInBuffer(many)), error);
  EXPECT_LT(read.size(), 210u);
  EXPECT_NE(error.find(": part number 1: its file data/same.bin brings the attachments named so far "
                       "to more than 200 times the size of the whole ZIP"),
            std::string::npos)
      << error;

  // Part names that are paths: the archive's files stay below data/ with plain names.
  std::vector<MessageRecord> records = ReadXml(GroupXml(), error, std::make_shared<PartSpool>(dir.File("x")));
  ASSERT_EQ(error, "");
  auto evil = std::make_shared<Multimedia>(*records[1].multimedia);
  evil->parts[1].contentLocation = u"../../../etc/passwd";
  evil->parts[4].contentLocation = u"/abs/olute.png";
  evil->parts[5].contentLocation = u"..";
  records[1].multimedia = MultimediaRef{evil};
  const std::vector<MessageRecord> back = WriteAndRead(records, dir, "safe.zip", error);
  ASSERT_EQ(error, "");
  ExpectSameMessages(records, back, "names that are paths");
  const std::string zip = ZipBytes(dir.File("safe.zip"));
  zip_error_t why;
  zip_error_init(&why);
  zip_source_t* source = zip_source_buffer_create(zip.data(), zip.size(), 0, &why);
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &why);
  ASSERT_NE(archive, nullptr);
  int parts = 0;
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    const std::string name = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0);
    if (name == "messages.ndjson") continue;
    ++parts;
    EXPECT_EQ(name.rfind("data/", 0), 0u) << name;
    EXPECT_EQ(name.find('/', 5), std::string::npos) << name;
    EXPECT_EQ(name.find(".."), std::string::npos) << name;
  }
  EXPECT_EQ(parts, 3);
  zip_discard(archive);
  zip_error_fini(&why);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"safe.zip"});  // nothing beside it
}

// A file cut off inside an <mms> names the entry and the line where it ends, also when the cut
// falls inside an attachment's base64, which the parser never sees.
TEST(PhoneMms, ACutOffFileNamesTheEntryAndItsLastLine) {
  std::string sms;
  for (int i = 0; i < 50; ++i) sms += AppSms("+1", std::to_string(1704103626000 + i), "1", "x");
  const std::string whole = AppXml(sms + AppMmsOf("1704103627123", "1", "+1", "Ann", GroupParts(), kGroupAddrs), 51);
  auto lineOf = [&](size_t at) { return std::count(whole.begin(), whole.begin() + at, '\n') + 1; };
  const size_t mmsAt = whole.find("<mms ");
  const size_t dataAt = whole.find("data=\"", whole.find("image/png")) + 20;
  const size_t textAt = whole.find("second line");
  std::string error;
  for (const size_t cut : {dataAt, textAt, whole.find("<addr ") + 3}) {
    ReadXml(whole.substr(0, cut), error, PartSpool::CountOnly());
    std::string expected = "the file is cut off at line " + std::to_string(lineOf(cut)) +
                           ", inside mms entry 51 (from line " + std::to_string(lineOf(mmsAt)) + ")";
    if (cut == dataAt) expected += ", in the data of its part number 5";
    EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
  }
}

// Bytes of a part made on the fly: 50 MB without a 50 MB string anywhere.
class PatternBytes : public PartBytes {
 public:
  explicit PatternBytes(uint64_t size) : size_(size) {}
  uint64_t size() const override { return size_; }
  ByteSource Open() const override {
    return [at = uint64_t{0}, size = size_](char* buffer, size_t capacity) mutable -> size_t {
      size_t count = 0;
      for (; count < capacity && at < size; ++count, ++at) {
        buffer[count] = static_cast<char>((at * 2654435761u) >> 13);
      }
      return count;
    };
  }

 private:
  uint64_t size_;
};

// A 50 MB video passes through the XML (its base64 streamed from a source), the 8 MiB limit of
// an entry, the ZIP and back with every byte; the limit still holds for what is not attachment.
TEST(PhoneMms, AFiftyMegabyteVideoStreamsThroughBothFormats) {
  constexpr uint64_t kVideo = 50'000'000;
  const PatternBytes video(kVideo);
  const std::string xml = AppXml(AppMmsOf("1704103627123", "1", "+1", "Ann",
                                          {PicturePart("video/mp4", "video.mp4", "")},
                                          {{"+1", 137}}),
                                 1);
  const size_t valueAt = xml.find("data=\"") + 6;
  const std::string head = xml.substr(0, valueAt), tail = xml.substr(valueAt);
  // The head, the video's base64 as the app writes it, the tail.
  std::string pending = head;
  ByteSource bytes = video.Open();
  bool videoDone = false;
  size_t at = 0;
  ByteSource source = [&](char* buffer, size_t capacity) -> size_t {
    if (at == pending.size() && !videoDone) {
      std::string chunk(48 * 1024, '\0');
      size_t got = 0;
      while (got < chunk.size()) {
        const size_t more = bytes(chunk.data() + got, chunk.size() - got);
        if (more == 0) break;
        got += more;
      }
      chunk.resize(got);
      pending = testing::AppBase64(chunk);
      at = 0;
      if (got < 48 * 1024) {
        pending += tail;
        videoDone = true;
      }
    }
    const size_t count = std::min(capacity, pending.size() - at);
    std::memcpy(buffer, pending.data() + at, count);
    at += count;
    return count;
  };
  TempDir dir;
  auto reader = JoinedReader(XmlEntries(source, std::make_shared<PartSpool>(dir.File("x"))));
  std::string error;
  const std::vector<MessageRecord> records = ReadAll(*reader, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), 1u);
  const auto& data = records[0].multimedia->parts[0].data;
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->size(), kVideo);
  EXPECT_TRUE(SameMultimedia(*records[0].multimedia, *records[0].multimedia));
  MessagePart expected = records[0].multimedia->parts[0];
  expected.data = std::make_shared<PatternBytes>(kVideo);
  Multimedia same = *records[0].multimedia;
  same.parts[0] = expected;
  EXPECT_TRUE(SameMultimedia(*records[0].multimedia, same));

  const std::vector<MessageRecord> viaZip = WriteAndRead(records, dir, "video.zip", error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(viaZip.size(), 1u);
  EXPECT_TRUE(SameMultimedia(*viaZip[0].multimedia, same));

  // Text of the entry itself still counts: 9 MiB of text parts are no message.
  std::vector<AppPart> texts(9, TextPart(std::string(1 << 20, 'x')));
  ReadXml(AppXml(AppMmsOf("1704103627123", "1", "+1", "Ann", texts, {{"+1", 137}}), 1), error,
          PartSpool::CountOnly());
  EXPECT_NE(error.find("larger than 8 MiB"), std::string::npos) << error;
}

// The filter's output and the values it diverts do not depend on how the input is cut into
// chunks; a "data" attribute outside a <part> tag, or inside a comment, is left alone, and each
// value's line feeds stay for the parser's line count.
class Recorder : public DivertedValues {
 public:
  void NewEntry() override { values.push_back("|"); }
  std::string Begin() override {
    values.emplace_back();
    return "#" + std::to_string(values.size());
  }
  void Append(std::string_view raw) override { values.back().append(raw); }
  void End() override { values.back() += "$"; }
  std::vector<std::string> values;
};

TEST(XmlPrefilter, DivertsPartDataWhateverTheChunks) {
  const std::string input =
      "<smses><sms data=\"keep\" body=\"a&#55357;&#56832;b\" /><!-- <part data=\"no\"/> -->"
      "<mms a=\"'>'\"><parts><part ct='x' data = 'QU\nJD' text=\"&#55357;&#56832;\"/>"
      "<partx data=\"stay\"/><part\ndata=\"RA==\"/></parts></mms><mms/></smses>";
  Recorder whole;
  std::string expected;
  XmlPrefilter(&whole).Feed(input, true, expected);
  EXPECT_EQ(whole.values, (std::vector<std::string>{"|", "QU\nJD$", "RA==$", "|"}));
  EXPECT_NE(expected.find("<part ct='x' data = '#2\n' text=\"\xF0\x9F\x98\x80\"/>"), std::string::npos)
      << expected;
  EXPECT_NE(expected.find("<sms data=\"keep\""), std::string::npos);
  EXPECT_NE(expected.find("<!-- <part data=\"no\"/> -->"), std::string::npos);
  EXPECT_NE(expected.find("<partx data=\"stay\"/>"), std::string::npos);
  for (size_t step = 1; step < 8; ++step) {
    Recorder recorder;
    XmlPrefilter pieces(&recorder);
    std::string out;
    for (size_t at = 0; at < input.size(); at += step) {
      pieces.Feed(std::string_view(input).substr(at, step), false, out);
    }
    pieces.Feed("", true, out);
    EXPECT_EQ(out, expected) << "step " << step;
    std::vector<std::string> joined;
    for (const std::string& value : recorder.values) joined.push_back(value);
    EXPECT_EQ(joined, whole.values) << "step " << step;
  }
}

TEST(Base64Decoder, DecodesWhatEncodersWriteAndNamesWhatIsNot) {
  auto decode = [](const std::vector<std::string>& pieces, std::string& problem) {
    Base64Decoder decoder;
    std::string out;
    const DecodedBytes sink = [&out](std::string_view bytes) { out.append(bytes); };
    for (const std::string& piece : pieces) decoder.Feed(piece, sink);
    problem.clear();
    if (!decoder.Finish(sink, problem)) return std::string("!");
    return out;
  };
  std::string problem;
  const std::string bytes = Picture("jpeg", 1000);
  const std::string text = testing::AppBase64(bytes);
  // Split anywhere, wrapped as MIME encoders wrap (line feeds, also as references).
  EXPECT_EQ(decode({text.substr(0, 5), text.substr(5, 77), text.substr(82)}, problem), bytes);
  EXPECT_EQ(decode({"TWFu\nTW", "E=&#1", "0;"}, problem), "ManMa");
  EXPECT_EQ(decode({"TQ==\r\n"}, problem), "M");
  EXPECT_EQ(decode({""}, problem), "");
  EXPECT_EQ(decode({"TWF"}, problem), "!");
  EXPECT_EQ(problem, "it ends inside a group of four characters");
  EXPECT_EQ(decode({"TQ==TQ=="}, problem), "!");
  EXPECT_EQ(decode({"T==="}, problem), "!");
  EXPECT_EQ(decode({"TW-u"}, problem), "!");
  EXPECT_EQ(problem, "it holds \"-\" at character 3");
  EXPECT_EQ(decode({"TWFu&amp;"}, problem), "!");
  // Past a block of output, in pieces that cut groups, and a fault counted to its character.
  const std::string large = Picture("jpeg", 200000);
  const std::string largeText = testing::AppBase64(large);
  std::vector<std::string> pieces;
  for (size_t at = 0; at < largeText.size(); at += 4093) pieces.push_back(largeText.substr(at, 4093));
  EXPECT_EQ(decode(pieces, problem), large);
  std::string broken = largeText;
  const size_t fault = broken.find_first_not_of("\r\n", 150001);
  broken[fault] = '-';
  EXPECT_EQ(decode({broken}, problem), "!");
  EXPECT_EQ(problem, "it holds \"-\" at character " + std::to_string(fault + 1));

  std::string encoded;
  for (const size_t size : {0, 1, 2, 3, 100000}) {
    const std::string some = Picture("png", size).substr(0, size);
    encoded.clear();
    EncodeBase64(BufferByteSource(some), [&](std::string_view piece) { encoded.append(piece); });
    EXPECT_EQ(encoded, testing::AppBase64(some)) << size;
  }
}

}  // namespace
}  // namespace larkpost
