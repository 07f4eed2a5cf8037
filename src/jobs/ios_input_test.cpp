// iPhone messages through the runs that read: told by what they hold whatever their name,
// converted with every member and picture, restored once, merged without copies, and what is no
// message named as left out.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "formats/formats_test_util.h"
#include "formats/ios_backup.h"
#include "formats/ios_input.h"
#include "formats/ios_test_util.h"
#include "jobs/merge.h"
#include "jobs/message_files.h"
#include "jobs/runs.h"
#include "platform/framework/framework.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/session.h"
#include "jobs/runs_test_support.h"

namespace larkpost {
namespace {

using testing::ShownTexts;
using testing::TempDir;

constexpr int64_t kNanoseconds = 730987200LL * 1000000000LL;

// A backup (named by the device's id, as Finder names it) of a one-to-one conversation, a group
// of four with a picture, and a tapback.
std::string MakeBackup(const TempDir& dir, std::string& picture) {
  const std::string db = dir.PathOf("sms.db");
  std::string below;
  {
    testing::IosDatabase messages(db);
    const int64_t ann = messages.Handle("+4915111111111", "SMS");
    const int64_t bob = messages.Handle("+4915122222222");
    const int64_t cem = messages.Handle("+4915133333333");
    const int64_t chat = messages.Chat(45, {ann});
    const int64_t group = messages.Chat(43, {ann, bob, cem}, "Climbing");
    messages.Message({.handle = ann, .chat = chat, .date = kNanoseconds, .text = "See you"});
    messages.Message({.handle = ann, .chat = chat, .date = kNanoseconds + 1000000000, .fromMe = true,
                      .text = "Sure", .ownAddress = "+4915199999999"});
    const int64_t photo = messages.Message({.handle = bob, .chat = group,
                                            .date = kNanoseconds + 2000000000,
                                            .text = "\xEF\xBF\xBC" "Summit!",
                                            .ownAddress = "+4915199999999"});
    below = messages.Attachment(photo, "IMG_0042.JPG", "image/jpeg", 4000);
    messages.Message({.handle = cem, .chat = group, .date = kNanoseconds + 3000000000,
                      .text = "Loved \xE2\x80\x9CSummit!\xE2\x80\x9D", .associatedType = 2000});
  }
  const std::filesystem::path root = std::filesystem::path(dir.path()) / "00008110-001A2B3C";
  testing::IosBackupFolder backup(root);
  backup.Add(kIosHomeDomain, kIosMessagesPath, testing::FileBytes(db));
  picture = testing::Picture("jpeg", 4000);
  backup.Add(kIosMediaDomain, "Library/SMS/" + below, picture);
  std::filesystem::remove(db);
  return root.string();
}

TEST(IphoneInput, ConvertedIntoAZipWithEveryMemberAndPicture) {
  TempDir dir;
  std::string picture;
  const std::u16string backup = Utf8ToWide(MakeBackup(dir, picture));
  EXPECT_EQ(InputKindOf(backup), FileKind::kIphone);
  EXPECT_EQ(InputKindOf(dir.File("")), FileKind::kIphone);  // the folder holding the one backup
  ConvertResult result;
  ASSERT_TRUE(ConvertMessageFile(backup, dir.File("out.zip"), DeletedAs::kByDirection,
                                 Selection(), result))
      << WideToUtf8(result.error);
  EXPECT_EQ(result.written, 3u);
  EXPECT_EQ(result.leftOut.tapbacks, 1u);
  EXPECT_EQ(WideToUtf8(LeftOutText(result.leftOut, LeftOutHolder(FileKind::kPhoneZip))),
            "1 tapback left out: no file keeps them as messages.");

  auto reader = OpenMessageReader(dir.File("out.zip"));
  std::string error;
  const std::vector<MessageRecord> back = testing::ReadAll(*reader, error);
  ASSERT_EQ(back.size(), 3u) << error;
  EXPECT_EQ(back[0].text, u"See you");
  EXPECT_EQ(back[1].recipients.at(0).address, u"+4915111111111");
  ASSERT_TRUE(back[2].multimedia);
  EXPECT_EQ(back[2].senderAddress, u"+4915122222222");
  EXPECT_EQ(back[2].recipients.size(), 3u);  // Ann, Cem and the own number
  EXPECT_EQ(back[2].text, u"Summit!");
  bool pictureKept = false;
  for (const MessagePart& part : back[2].multimedia->parts) {
    if (part.data) pictureKept = ReadAllBytes(*part.data) == picture;
  }
  EXPECT_TRUE(pictureKept);

  // An iPhone's messages are never an output.
  const std::u16string database = dir.File("sms.db");
  {
    testing::IosDatabase messages(dir.PathOf("sms.db"));
  }
  EXPECT_FALSE(ConvertMessageFile(dir.File("out.zip"), database, DeletedAs::kByDirection,
                                  Selection(), result));
  EXPECT_EQ(result.error, database + u" holds iPhone messages, which are only read, never replaced");
  MergeResult refused;
  EXPECT_FALSE(MergeMessageFiles({dir.File("out.zip")}, database, DeletedAs::kByDirection,
                                 Selection(), refused));
  std::filesystem::remove(dir.PathOf("sms.db"));

  // The same conversations from the phone's own export add no copies.
  MergeResult merged;
  ASSERT_TRUE(MergeMessageFiles({dir.File("out.zip"), backup}, dir.File("all.xml"),
                                DeletedAs::kByDirection, Selection(), merged))
      << WideToUtf8(merged.error);
  EXPECT_EQ(merged.written, 3u);
}

TEST(IphoneInput, ARestoreKeepsItsMessagesOnceAndNamesWhatItLeftOut) {
  TempDir dir;
  std::string picture;
  const std::u16string backup = Utf8ToWide(MakeBackup(dir, picture));
  mapi::SetDatabasePath(dir.path() + "/store.db");
  ShownTexts ui;
  InstallUserInterface(&ui);
  for (const uint64_t restored : {3u, 0u}) {
    ui.shown.clear();
    RestoreJob job(backup);
    StartRestore(job);
    EXPECT_EQ(job.outcome.load(), RunOutcome::kLossy);
    EXPECT_EQ(job.Counts().restored, restored);
    EXPECT_EQ(job.Counts().restoredMultimedia, restored / 3);
    EXPECT_EQ(job.Counts().present, 3u - restored);
    EXPECT_EQ(ui.shown, (std::vector<std::string>{
                            "Restore Succeeded.", "1 tapback left out: no file keeps them as messages."}));
  }
  {
    SmsSession session(u"SMS");
    EXPECT_EQ(CountMessages(*session.StandardFolder(FolderKind::Inbox)), 1u);
    EXPECT_EQ(CountMessages(*session.StandardFolder(FolderKind::Sent)), 1u);
  }
  InstallUserInterface(nullptr);
}

// --contacts names the parties a file leaves unnamed, whatever its format; a name the file gives
// stays.
TEST(IphoneInput, AVCardFileNamesThePartiesOfEveryFormat) {
  TempDir dir;
  std::ofstream(dir.PathOf("contacts.vcf"))
      << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Weber\r\nTEL;TYPE=CELL:+49 151 11111111\r\n"
         "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nFN:Bob\r\nTEL:+4915122222222\r\nEND:VCARD\r\n";
  std::ofstream(dir.PathOf("sms.xml")) << testing::AppXml(
      testing::AppSms("+4915111111111", "1704103626000", "1", "hi") +
          testing::AppSms("+4915122222222", "1704103627000", "1", "yo", "Bobby"),
      2);
  SetIosInputOptions({.contacts = dir.File("contacts.vcf")});
  auto reader = OpenMessageReader(dir.File("sms.xml"));
  SetIosInputOptions({});
  std::string error;
  const std::vector<MessageRecord> records = testing::ReadAll(*reader, error);
  ASSERT_EQ(records.size(), 2u) << error;
  EXPECT_EQ(records[0].senderName, u"Ann Weber");
  EXPECT_EQ(records[1].senderName, u"Bobby");
}

}  // namespace
}  // namespace larkpost
