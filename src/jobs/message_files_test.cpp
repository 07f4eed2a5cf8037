#include "jobs/message_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "formats/formats_test_util.h"
#include "jobs/job_records.h"
#include "jobs/runs.h"
#include "platform/file/file.h"
#include "platform/framework/framework.h"
#include "platform/mapi/provider.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/session.h"
#include "platform/text/text.h"
#include "platform/file/byte_sink.h"

namespace larkpost {
namespace {

using testing::TempDir;

MessageRecord Message(const std::u16string& folder, uint64_t ticks, const std::u16string& text) {
  MessageRecord record;
  record.folderPath = folder;
  record.deliveryTime = UInt64ToFileTime(ticks);
  record.lastModified = UInt64ToFileTime(ticks + 12345);
  record.text = text;
  return record;
}

// Messages as a backup of a handheld holds them: subfolders, own number as sender of sent
// messages, several recipients with their types, times finer than a millisecond.
std::vector<MessageRecord> Messages() {
  MessageRecord received = Message(u"Inbox\\Work", 133485772261234567ULL, u"Hi \U0001F600 你好");
  received.flags = 1;
  received.size = 40;
  received.senderName = u"Ann";
  received.senderAddress = u"+4915112345678";
  received.recipients = {{u"Me", u"+4917000000", 1}};
  MessageRecord sent = Message(u"Sentedbox", 133485772270000001ULL, u"to all\nsecond line");
  sent.senderName = u"Me";
  sent.senderAddress = u"+4917000000";
  sent.recipients = {{u"Bob", u"+111", 1}, {u"", u"+222", 2}, {u"Cy", u"+333", 3}};
  MessageRecord draft = Message(u"Draft", 0, u"unsent");
  draft.senderName = u"";
  MessageRecord deleted = Message(u"Wastebox\\Old", 133485772280000000ULL, u"gone");
  deleted.senderAddress = u"+4915112345678";
  return {received, sent, draft, deleted};
}

void WriteBackup(const std::u16string& path, const std::vector<MessageRecord>& records) {
  CFile file(path, CFile::modeCreate | CFile::modeWrite);
  CFileSink sink(file);
  auto writer = OpenMessageWriter(sink, FileKindForPath(path));
  std::string error;
  for (const MessageRecord& record : records) ASSERT_TRUE(writer->Write(record, error)) << error;
  writer->Finish();
  file.Close();
}

std::vector<MessageRecord> ReadBack(const std::u16string& path, std::string& error) {
  auto reader = OpenMessageReader(path, FileKindForPath(path));
  return testing::ReadAll(*reader, error);
}

void Convert(const std::u16string& in, const std::u16string& out) {
  ConvertResult result;
  ASSERT_TRUE(ConvertMessageFile(in, out, DeletedAs::kByDirection, Selection(), result))
      << WideToUtf8(result.error);
}

TEST(ConvertMessageFile, BackupThroughZipAndBackKeepsEveryMessage) {
  TempDir dir;
  WriteBackup(dir.File("a.bak"), Messages());
  Convert(dir.File("a.bak"), dir.File("a.zip"));
  Convert(dir.File("a.zip"), dir.File("b.bak"));
  std::string error;
  const std::vector<MessageRecord> before = ReadBack(dir.File("a.bak"), error);
  ASSERT_EQ(error, "");
  const std::vector<MessageRecord> after = ReadBack(dir.File("b.bak"), error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_TRUE(after[i] == before[i]) << "message " << i;
  }
}

TEST(ConvertMessageFile, BackupThroughXmlAndBackKeepsWhatTheXmlHolds) {
  TempDir dir;
  WriteBackup(dir.File("a.bak"), Messages());
  Convert(dir.File("a.bak"), dir.File("a.xml"));
  Convert(dir.File("a.xml"), dir.File("b.bak"));
  std::string error;
  const std::vector<MessageRecord> before = ReadBack(dir.File("a.bak"), error);
  const std::vector<MessageRecord> after = ReadBack(dir.File("b.bak"), error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(after.size(), before.size());
  const char16_t* roots[] = {u"Inbox", u"Sentedbox", u"Draft", u"Inbox"};
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].folderPath, roots[i]);
    const uint64_t ms = FileTimeToUInt64(before[i].deliveryTime) / 10000 * 10000;
    EXPECT_EQ(FileTimeToUInt64(after[i].deliveryTime), ms);
    EXPECT_EQ(after[i].text, before[i].text);
  }
  EXPECT_EQ(after[0].senderAddress, u"+4915112345678");
  ASSERT_EQ(after[1].recipients.size(), 3u);
  EXPECT_EQ(after[1].recipients[2].address, u"+333");
}

// The phones' formats between each other carry multimedia messages with every attachment's
// bytes; the attachments decoded on the way wait in unnamed files beside the output, gone after.
TEST(ConvertMessageFile, PhoneXmlThroughZipAndBackKeepsMultimediaWhole) {
  TempDir dir;
  const std::string picture = testing::Picture("jpeg", 200000);
  std::ofstream(WideToUtf8(dir.File("a.xml")))
      << testing::AppXml(testing::AppSms("+1", "1704103626000", "1", "text") +
                             testing::AppMmsOf("1704103627123", "2", "+2~+3", "Bob, Cy",
                                               {testing::SmilPart(),
                                                testing::PicturePart("image/jpeg", "a.jpg", picture),
                                                testing::TextPart("hi all")},
                                               {{"+1", 137}, {"+2", 151}, {"+3", 130}}),
                         2);
  Convert(dir.File("a.xml"), dir.File("b.zip"));
  Convert(dir.File("b.zip"), dir.File("c.xml"));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.xml", "b.zip", "c.xml"}));
  std::string error;
  const std::vector<MessageRecord> before = ReadBack(dir.File("a.xml"), error);
  ASSERT_EQ(error, "");
  auto reader = OpenMessageReader(dir.File("c.xml"), FileKind::kPhoneXml,
                                  std::make_shared<PartSpool>(dir.File("spool")));
  const std::vector<MessageRecord> after = testing::ReadAll(*reader, error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(after.size(), 2u);
  EXPECT_TRUE(after[0] == before[0]);
  ASSERT_TRUE(after[1].multimedia);
  EXPECT_EQ(ReadAllBytes(*after[1].multimedia->parts[1].data), picture);
  EXPECT_EQ(after[1].recipients[1].displayName, u"Cy");
  EXPECT_EQ(after[1].recipients[1].type, 2);
  EXPECT_EQ(FileTimeToPhoneDate(after[1].deliveryTime), 1704103627123);
  // A listing reads the attachments' sizes only.
  EXPECT_EQ(before[1].multimedia->parts[1].data->size(), picture.size());
}

TEST(ConvertMessageFile, AFailureNamesTheEntryAndWritesNothing) {
  TempDir dir;
  const std::string xml = testing::AppXml(testing::AppSms("+1", "1000", "1", "ok") +
                                              testing::AppSms("+2", "2000", "1", "ok") +
                                              testing::AppSms("+3", "3000", "8", "bad"),
                                          3);
  std::ofstream(dir.path() + "/in.xml") << xml;
  std::ofstream(dir.path() + "/old.bak") << "older file";
  ConvertResult result;
  EXPECT_FALSE(ConvertMessageFile(dir.File("in.xml"), dir.File("old.bak"), DeletedAs::kByDirection,
                                  Selection(), result));
  EXPECT_EQ(WideToUtf8(result.error),
            "sms entry 3 (line 7): type \"8\" is not a message type (1 to 6)");
  EXPECT_EQ(testing::FileBytes(dir.path() + "/old.bak"), "older file");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"in.xml", "old.bak"}));

  EXPECT_FALSE(ConvertMessageFile(dir.File("old.bak"), dir.File("x.xml"), DeletedAs::kByDirection,
                                  Selection(), result));
  EXPECT_EQ(WideToUtf8(result.error), "File Validation Failed.");
}

// Keeps the messages a run shows and waits for its worker.
class ShownMessages : public UserInterface {
 public:
  int MessageBox(const std::u16string& text, unsigned) override {
    std::lock_guard<std::mutex> lock(mutex_);
    shown.push_back(WideToUtf8(text));
    return IDOK;
  }
  void WaitForWorker(const std::atomic<double>&, const std::atomic<int32_t>& done) override {
    while (done.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::vector<std::string> shown;

 private:
  std::mutex mutex_;
};

RestoreCounts Restore(const std::u16string& path) {
  RestoreJob job(path);
  EXPECT_TRUE(job.session.initialized);
  StartRestore(job);
  return job.Counts();
}

TEST(RestorePhoneFile, TheSameFileTwiceAddsNothingAndABrokenOneChangesNothing) {
  TempDir dir;
  mapi::SetDatabasePath(dir.path() + "/store.db");
  ShownMessages ui;
  InstallUserInterface(&ui);
  const std::string entries = testing::AppSms("+1", "1704103626000", "1", "hi", "Ann") +
                              testing::InThread(testing::AppSms("+2", "1704103627000", "2", "to both"), "5") +
                              testing::InThread(testing::AppSms("+3", "1704103627000", "2", "to both"), "5");
  std::ofstream(dir.path() + "/sms.xml") << testing::AppXml(entries, 3);
  std::ofstream(dir.path() + "/bad.xml")
      << testing::AppXml(testing::AppSms("+4", "1704103628000", "1", "new") + entries +
                             testing::AppSms("+5", "1704103629000", "4", "out") +
                             testing::AppSms("+6", "1704103630000", "1", "broken &#;"),
                         6);

  RestoreCounts counts = Restore(dir.File("sms.xml"));
  EXPECT_EQ(counts.restored, 2u);
  EXPECT_EQ(ui.shown, std::vector<std::string>{"Restore Succeeded."});
  counts = Restore(dir.File("sms.xml"));
  EXPECT_EQ(counts.restored, 0u);
  EXPECT_EQ(counts.present, 2u);

  ui.shown.clear();
  counts = Restore(dir.File("bad.xml"));
  EXPECT_EQ(counts.restored + counts.present, 0u);
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(ui.shown[0].rfind("malformed XML at line 10, column 93", 0), 0u) << ui.shown[0];
  EXPECT_NE(ui.shown[0].find("(at entry 6)"), std::string::npos) << ui.shown[0];
  EXPECT_NE(ui.shown[0].find("The store was not changed."), std::string::npos);
  {
    SmsSession session(u"SMS");
    EXPECT_EQ(CountMessages(*session.StandardFolder(FolderKind::Inbox)), 1u);
    EXPECT_EQ(CountMessages(*session.StandardFolder(FolderKind::Outbox)), 0u);
  }
  InstallUserInterface(nullptr);
}

}  // namespace
}  // namespace larkpost
