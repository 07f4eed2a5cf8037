#include "formats/ios_messages.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "formats/format_table.h"
#include "formats/formats_test_util.h"
#include "formats/ios_input.h"
#include "formats/ios_test_util.h"
#include "identity/phone_number.h"
#include "platform/file/byte_sink.h"
#include "platform/file/file.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

using testing::ArchivedBody;
using testing::FileBytes;
using testing::IosDatabase;
using testing::IosRow;
using testing::ReadAll;
using testing::TempDir;

// 2024-03-01 12:00:00 UTC: seconds since 2001-01-01, as iOS counted before 11, and nanoseconds.
constexpr int64_t kSeconds = 730987200;
constexpr int64_t kNanoseconds = kSeconds * 1000000000LL;
// The same time in 100 ns ticks since 1601.
constexpr uint64_t kTicks = (kSeconds + 978307200ULL + 11644473600ULL) * 10000000ULL;

constexpr char kAnn[] = "+4915111111111";
constexpr char kBob[] = "bob@example.org";
constexpr char kCem[] = "+4915133333333";
constexpr char kDia[] = "+4915144444444";
constexpr char kOwn[] = "+4915199999999";

std::vector<MessageRecord> ReadInput(const std::u16string& path, ReadCounts* counts = nullptr) {
  std::unique_ptr<MessageReader> reader = OpenIosInput(path);
  std::string error;
  std::vector<MessageRecord> records = ReadAll(*reader, error);
  EXPECT_EQ(error, "");
  if (counts != nullptr) *counts = reader->counts();
  return records;
}

std::vector<std::u16string> AddressesOf(const Multimedia& multimedia, int role) {
  std::vector<std::u16string> addresses;
  for (const MmsAddress& address : multimedia.addresses) {
    if (address.role == role) addresses.push_back(address.address);
  }
  return addresses;
}

// One-to-one texts become SMS in the folder of their direction, with the other party, the time
// in either unit, and the text from `text` or, when that is empty, from the archived body.
TEST(IosMessages, OneToOneTextsBecomeSms) {
  TempDir dir;
  {
    IosDatabase db(dir.PathOf("sms.db"));
    const int64_t ann = db.Handle(kAnn, "SMS");
    const int64_t bob = db.Handle(kBob);
    const int64_t annChat = db.Chat(45, {ann});
    const int64_t bobChat = db.Chat(45, {bob});
    db.Message({.handle = ann, .chat = annChat, .date = kSeconds, .read = false,
                .text = "Hello from an old iPhone", .service = "SMS"});
    const std::string long200(200, 'z');
    db.Message({.handle = ann, .chat = annChat, .date = kNanoseconds + 1234567, .fromMe = true,
                .body = ArchivedBody(long200, 200), .ownAddress = kOwn});
    // iOS 16 and later: an edited message holds its last text; a reply its own.
    db.Message({.handle = bob, .chat = bobChat, .date = kNanoseconds,
                .body = ArchivedBody("second try \xF0\x9F\x98\x80", 13),
                .dateEdited = kNanoseconds + 5});
  }
  const std::vector<MessageRecord> records = ReadInput(dir.File("sms.db"));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].folderPath, u"Inbox");
  EXPECT_EQ(records[0].senderAddress, u"+4915111111111");
  EXPECT_TRUE(records[0].recipients.empty());
  EXPECT_EQ(records[0].text, u"Hello from an old iPhone");
  EXPECT_EQ(FileTimeToUInt64(records[0].deliveryTime), kTicks);
  EXPECT_EQ(records[0].flags, 0u);  // unread
  EXPECT_FALSE(records[0].multimedia);

  EXPECT_EQ(records[1].folderPath, u"Sentedbox");
  ASSERT_EQ(records[1].recipients.size(), 1u);
  EXPECT_EQ(records[1].recipients[0].address, u"+4915111111111");
  EXPECT_EQ(records[1].text, std::u16string(200, u'z'));
  EXPECT_EQ(FileTimeToUInt64(records[1].deliveryTime), kTicks + 12345);

  EXPECT_EQ(records[2].senderAddress, u"bob@example.org");  // an e-mail handle as it is
  EXPECT_EQ(records[2].text, u"second try \U0001F600");
}

// A group chat's message is a multimedia message with every member; a message with attachments
// is one too, its parts the text without placeholders and the files' bytes as they are.
TEST(IosMessages, GroupsAndAttachmentsBecomeMultimedia) {
  TempDir dir;
  std::string heic;
  std::string vcf;
  {
    IosDatabase db(dir.PathOf("chat.db"));
    const int64_t ann = db.Handle(kAnn);
    const int64_t bob = db.Handle(kBob);
    const int64_t cem = db.Handle(kCem);
    const int64_t dia = db.Handle(kDia);
    const int64_t group = db.Chat(43, {ann, bob, cem, dia}, "Family");
    const int64_t annChat = db.Chat(45, {ann});
    db.Message({.handle = bob, .chat = group, .date = kNanoseconds, .text = "Dinner at 8?",
                .ownAddress = kOwn});
    db.Message({.handle = 0, .chat = group, .date = kNanoseconds + 1, .fromMe = true,
                .text = "Yes", .ownAddress = kOwn});
    const int64_t picture = db.Message(
        {.handle = ann, .chat = annChat, .date = kNanoseconds + 2,
         .body = ArchivedBody("\xEF\xBF\xBCLook \xEF\xBF\xBC", 7), .ownAddress = kOwn});
    const std::string heicName = db.Attachment(picture, "IMG_0001.HEIC", "image/heic", 5000);
    const std::string vcfName = db.Attachment(picture, "Ann Weber.vcf", "", 300);
    heic = testing::WriteAttachmentFile(dir.PathOf(heicName), std::string("\0\0\0\x18" "ftypheic", 12), 5000);
    vcf = testing::WriteAttachmentFile(dir.PathOf(vcfName), "BEGIN:VCARD\r\nVERSION:3.0\r\n", 300);
  }
  const std::vector<MessageRecord> records = ReadInput(dir.File("chat.db"));
  ASSERT_EQ(records.size(), 3u);
  ASSERT_TRUE(records[0].multimedia);
  EXPECT_EQ(records[0].folderPath, u"Inbox");
  EXPECT_EQ(records[0].senderAddress, u"bob@example.org");
  EXPECT_EQ(AddressesOf(*records[0].multimedia, kRoleFrom),
            std::vector<std::u16string>{u"bob@example.org"});
  EXPECT_EQ(AddressesOf(*records[0].multimedia, kRoleTo),
            (std::vector<std::u16string>{u"+4915111111111", u"+4915133333333", u"+4915144444444",
                                         u"+4915199999999"}));
  EXPECT_EQ(records[0].text, u"Dinner at 8?");

  ASSERT_TRUE(records[1].multimedia);
  EXPECT_EQ(records[1].folderPath, u"Sentedbox");
  EXPECT_EQ(AddressesOf(*records[1].multimedia, kRoleFrom),
            std::vector<std::u16string>{u"+4915199999999"});
  EXPECT_EQ(AddressesOf(*records[1].multimedia, kRoleTo).size(), 4u);
  EXPECT_EQ(records[1].recipients.size(), 4u);

  ASSERT_TRUE(records[2].multimedia);
  const std::vector<MessagePart>& parts = records[2].multimedia->parts;
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].contentType, u"text/plain");
  EXPECT_EQ(parts[0].text, u"Look ");
  EXPECT_EQ(records[2].text, u"Look ");
  EXPECT_EQ(parts[1].contentType, u"image/heic");
  EXPECT_EQ(parts[1].name, u"IMG_0001.HEIC");
  EXPECT_EQ(ReadAllBytes(*parts[1].data), heic);
  EXPECT_EQ(parts[2].contentType, u"text/vcard");  // the database named none
  EXPECT_EQ(ReadAllBytes(*parts[2].data), vcf);
}

// What is no message is counted by kind and left out; a message whose attachment is not there
// (kept in iCloud) keeps its text, and the attachment is counted.
TEST(IosMessages, RowsThatAreNoMessagesAreCountedAndLeftOut) {
  TempDir dir;
  {
    IosDatabase db(dir.PathOf("sms.db"));
    const int64_t ann = db.Handle(kAnn);
    const int64_t bob = db.Handle(kBob);
    const int64_t chat = db.Chat(45, {ann});
    const int64_t group = db.Chat(43, {ann, bob});
    db.Message({.handle = ann, .chat = chat, .date = kNanoseconds, .text = "Real message"});
    db.Message({.handle = ann, .chat = chat, .date = kNanoseconds + 1,
                .text = "Loved \xE2\x80\x9CReal message\xE2\x80\x9D", .associatedType = 2000});
    db.Message({.handle = 0, .chat = chat, .date = kNanoseconds + 2, .fromMe = true,
                .text = "Removed a heart", .associatedType = 3000});
    db.Message({.handle = ann, .chat = chat, .date = kNanoseconds + 3, .associatedType = 1000});
    db.Message({.handle = 0, .chat = chat, .date = kNanoseconds + 4, .fromMe = true,
                .dateEdited = kNanoseconds + 9, .dateRetracted = kNanoseconds + 9});
    db.Message({.handle = ann, .chat = group, .date = kNanoseconds + 5, .itemType = 1});
    db.Message({.handle = ann, .chat = group, .date = kNanoseconds + 6, .itemType = 2,
                .groupAction = 0});
    const int64_t sticker = db.Message({.handle = ann, .chat = chat, .date = kNanoseconds + 7});
    db.Attachment(sticker, "sticker.heic", "image/heic", 100, true);
    const int64_t video = db.Message({.handle = ann, .chat = chat, .date = kNanoseconds + 8,
                                      .text = "\xEF\xBF\xBCWatch this"});
    db.Attachment(video, "IMG_0002.MOV", "video/quicktime", 90000);  // not on disk
  }
  ReadCounts counts;
  const std::vector<MessageRecord> records = ReadInput(dir.File("sms.db"), &counts);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, u"Real message");
  EXPECT_EQ(records[1].text, u"Watch this");
  EXPECT_FALSE(records[1].multimedia);
  EXPECT_EQ(counts.entries, 9u);
  EXPECT_EQ(counts.messages, 2u);
  EXPECT_EQ(counts.tapbacksSkipped, 2u);
  EXPECT_EQ(counts.stickersSkipped, 2u);
  EXPECT_EQ(counts.unsentSkipped, 1u);
  EXPECT_EQ(counts.groupEventsSkipped, 2u);
  EXPECT_EQ(counts.attachmentsMissing, 1u);
}

// A bare database finds its attachments beside it or in the folder the user names (the
// Attachments folder itself or the one holding it), never outside it.
TEST(IosMessages, AttachmentsOfABareDatabase) {
  TempDir dir;
  std::string below;
  std::filesystem::create_directories(dir.PathOf("Messages"));
  {
    IosDatabase db(dir.PathOf("Messages/chat.db"));
    const int64_t ann = db.Handle(kAnn);
    const int64_t chat = db.Chat(45, {ann});
    const int64_t message = db.Message({.handle = ann, .chat = chat, .date = kNanoseconds});
    below = db.Attachment(message, "a.jpg", "image/jpeg", 40);
    const int64_t escaping = db.Message({.handle = ann, .chat = chat, .date = kNanoseconds});
    db.Attachment(escaping, "x", "text/plain", 4);
    db.Exec("UPDATE attachment SET filename = '~/Library/SMS/Attachments/../../secret' "
            "WHERE transfer_name = 'x'");
  }
  testing::WriteAttachmentFile(dir.PathOf("secret"), "secret", 6);
  testing::WriteAttachmentFile(dir.PathOf("elsewhere/" + below), testing::Picture("jpeg", 40), 40);
  ReadCounts counts;
  EXPECT_FALSE(ReadInput(dir.File("Messages/chat.db"), &counts)[0].multimedia);
  EXPECT_EQ(counts.attachmentsMissing, 2u);

  for (const std::string& chosen : {dir.PathOf("elsewhere"), dir.PathOf("elsewhere/Attachments")}) {
    SetIosInputOptions({.attachments = Utf8ToWide(chosen)});
    const std::vector<MessageRecord> records = ReadInput(dir.File("Messages/chat.db"), &counts);
    SetIosInputOptions({});
    ASSERT_TRUE(records[0].multimedia) << chosen;
    EXPECT_EQ(ReadAllBytes(*records[0].multimedia->parts.at(0).data), testing::Picture("jpeg", 40));
    EXPECT_FALSE(records[1].multimedia);
    EXPECT_EQ(counts.attachmentsMissing, 1u);
  }
}

void WriteFile(const std::u16string& path, FileKind kind, const std::vector<MessageRecord>& records) {
  CFile file(path, CFile::modeCreate | CFile::modeWrite);
  CFileSink sink(file);
  std::unique_ptr<MessageWriter> writer = OpenMessageWriter(sink, kind);
  std::string error;
  for (const MessageRecord& record : records) EXPECT_TRUE(writer->Write(record, error)) << error;
  writer->Finish();
  file.Close();
}

// The service a message went by travels as a column of the phones' files, through them and back,
// and the page shows it; a backup file, which has no place for it, is written as without it.
TEST(IosMessages, TheServiceIsAPhoneColumnThePageShows) {
  TempDir dir;
  {
    IosDatabase db(dir.PathOf("sms.db"));
    const int64_t ann = db.Handle(kAnn, "SMS");
    const int64_t bob = db.Handle(kBob);
    const int64_t cem = db.Handle(kCem, "RCS");
    const int64_t annChat = db.Chat(45, {ann});
    const int64_t bobChat = db.Chat(45, {bob});
    const int64_t group = db.Chat(43, {ann, cem});
    db.Message({.handle = ann, .chat = annChat, .date = kNanoseconds, .text = "by SMS",
                .service = "SMS"});
    db.Message({.handle = bob, .chat = bobChat, .date = kNanoseconds + 1, .text = "by iMessage"});
    db.Message({.handle = cem, .chat = group, .date = kNanoseconds + 2, .text = "by <RCS>",
                .service = "<RCS>"});
    db.Message({.handle = bob, .chat = bobChat, .date = kNanoseconds + 3, .text = "by nothing said",
                .service = ""});
  }
  const std::vector<MessageRecord> records = ReadInput(dir.File("sms.db"));
  ASSERT_EQ(records.size(), 4u);
  EXPECT_TRUE(records[3].phoneColumns.empty());  // written as any message from no phone's file
  const Column* sms = FindColumn(records[0].phoneColumns, kServiceColumn);
  ASSERT_NE(sms, nullptr);
  EXPECT_EQ(*sms, u"SMS");
  ASSERT_TRUE(records[2].multimedia);
  const Column* rcs = FindColumn(records[2].multimedia->extras, kServiceColumn);
  ASSERT_NE(rcs, nullptr);
  EXPECT_EQ(*rcs, u"<RCS>");

  // The XML keeps it beside the columns the app writes for every message.
  WriteFile(dir.File("out.xml"), FileKind::kPhoneXml, records);
  const std::string xml = FileBytes(dir.PathOf("out.xml"));
  EXPECT_NE(xml.find("locked=\"0\" date_sent=\"0\" sub_id=\"-1\" seen=\"1\" service=\"SMS\""),
            std::string::npos) << xml;
  EXPECT_NE(xml.find("service=\"&lt;RCS&gt;\""), std::string::npos) << xml;
  std::unique_ptr<MessageReader> reader = OpenMessageReader(dir.File("out.xml"));
  std::string error;
  const std::vector<MessageRecord> back = ReadAll(*reader, error);
  ASSERT_EQ(error, "");
  WriteFile(dir.File("page.html"), FileKind::kHtml, back);
  const std::string page = FileBytes(dir.PathOf("page.html"));
  for (const char* shown : {"SMS", "iMessage", "&lt;RCS&gt;"}) {
    EXPECT_NE(page.find(std::string("<span class=\"svc\">") + shown + "</span>"), std::string::npos)
        << shown;
  }

  std::vector<MessageRecord> texts(records.begin(), records.begin() + 2);
  WriteFile(dir.File("with.bak"), FileKind::kBackup, texts);
  for (MessageRecord& text : texts) std::erase_if(text.phoneColumns, [](const NamedColumn& c) {
    return c.name == kServiceColumn;
  });
  WriteFile(dir.File("without.bak"), FileKind::kBackup, texts);
  EXPECT_EQ(FileBytes(dir.PathOf("with.bak")), FileBytes(dir.PathOf("without.bak")));
}

}  // namespace
}  // namespace larkpost
