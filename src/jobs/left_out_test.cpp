// What the runs leave out because their target cannot hold it: multimedia messages going into
// the store or a backup file, and the call entries of a phone's file. Counted, told, never
// silent; the messages the target holds are all there.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "formats/formats_test_util.h"
#include "jobs/merge.h"
#include "jobs/message_files.h"
#include "jobs/message_files_test_util.h"
#include "jobs/message_spool.h"
#include "jobs/runs.h"
#include "message/multimedia_test_util.h"
#include "platform/file/file.h"
#include "platform/framework/framework.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/media_and_calls.h"
#include "store/session.h"
#include "jobs/runs_test_support.h"
#include "platform/file/byte_sink.h"

namespace larkpost {
namespace {

using testing::FileMessages;
using testing::MmsRecord;
using testing::PhoneSms;
using testing::ShownTexts;
using testing::TempDir;

// A phone's file of one SMS, two multimedia messages (one a group chat) and three call entries.
FileMessages PhoneFile() {
  return {{PhoneSms(1704106020000, u"+4915112345678", u"On my way"),
           MmsRecord(1704106026000, u"+4915112345678", u"Look!", testing::JpegBytes("a")),
           MmsRecord(1704106027000, u"+4930123456", u"All of us", testing::JpegBytes("b"),
                     {u"+4917011111111", u"+4917022222222"})},
          3};
}

TEST(LeftOut, ABackupFileWriterRefusesAMultimediaMessage) {
  TempDir dir;
  CFile file(dir.File("out.bak"), CFile::modeCreate | CFile::modeWrite);
  CFileSink sink(file);
  auto writer = OpenMessageWriter(sink, FileKindForPath(u"out.bak"));
  std::string error;
  EXPECT_FALSE(writer->Write(PhoneFile().messages[1], error));
  EXPECT_EQ(error, "a multimedia message cannot be written into a backup file, which holds SMS only");
  EXPECT_EQ(writer->entriesWritten(), 0u);
  EXPECT_TRUE(writer->Write(PhoneFile().messages[0], error)) << error;
}

TEST(WriteMessageOutput, AKindWithoutAMessageWriterIsRefusedAndLeavesNothing) {
  TempDir dir;
  WrittenCounts counts;
  std::string error;
  bool filled = false;
  EXPECT_FALSE(WriteMessageOutput(
      dir.File("out.db"), FileKind::kIphone, DeletedAs::kByDirection,
      [&](MessageWriter&, std::string&) { return filled = true; }, counts, error));
  EXPECT_FALSE(filled);
  EXPECT_EQ(error, "iPhone messages are only read, never written");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{});
}

TEST(LeftOut, AConversionIntoABackupFileCountsWhatItCannotHold) {
  TempDir dir;
  testing::ScopedFileMessages files({{dir.File("phone.xml"), PhoneFile()}});
  ConvertResult result;
  ASSERT_TRUE(ConvertMessageFile(dir.File("phone.xml"), dir.File("out.bak"),
                                 DeletedAs::kByDirection, Selection(), result))
      << WideToUtf8(result.error);
  EXPECT_EQ(result.selected, 6u);  // the calls too: a selection takes them as messages
  EXPECT_EQ(result.written, 1u);
  EXPECT_EQ(result.callsWritten, 0u);
  EXPECT_EQ(result.entriesWritten, 1u);
  EXPECT_EQ(result.leftOut.multimedia, 2u);
  EXPECT_EQ(result.leftOut.calls, 3u);
  EXPECT_EQ(WideToUtf8(LeftOutText(result.leftOut, LeftOutHolder(FileKind::kBackup))),
            "2 multimedia messages and 3 call entries left out: backup files hold SMS only.");

  auto reader = OpenMessageReader(dir.File("out.bak"));
  std::string error;
  const std::vector<MessageRecord> kept = testing::ReadAll(*reader, error);
  ASSERT_EQ(kept.size(), 1u) << error;
  EXPECT_EQ(kept[0].text, u"On my way");

  // The calls alone, and the words follow what the format holds.
  EXPECT_EQ(WideToUtf8(LeftOutText(LeftOut{.calls = 1}, LeftOutHolder(FileKind::kPhoneZip))),
            std::string("1 call entry left out: ZIP files hold ") +
                (FormatOf(FileKind::kPhoneZip).holds.multimedia ? "messages" : "SMS") + " only.");
  EXPECT_EQ(LeftOutText({}, kStoreHolder), u"");
}

TEST(LeftOut, ARestoreOfAPhoneFileKeepsEveryMessageAndCall) {
  TempDir dir;
  mapi::SetDatabasePath(dir.path() + "/store.db");
  ShownTexts ui;
  InstallUserInterface(&ui);
  FileMessages file = PhoneFile();
  for (int64_t i = 0; i < 3; ++i) {
    file.messages.push_back(MmsRecord(1704106030000 + i, u"+4915112345678", u"More", "c"));
  }
  file.calls = 10;
  testing::ScopedFileMessages files({{dir.File("phone.xml"), file}});
  const uint32_t multimedia = static_cast<uint32_t>(file.messages.size()) - 1;

  {
    RestoreJob dryRun(dir.File("phone.xml"), true);
    StartRestore(dryRun);
    EXPECT_EQ(dryRun.outcome.load(), RunOutcome::kSucceeded);
    EXPECT_EQ(dryRun.Counts().restored, 1u + multimedia + 10u);
    EXPECT_EQ(dryRun.Counts().restoredMultimedia, multimedia);
    EXPECT_EQ(dryRun.Counts().restoredCalls, 10u);
    SmsSession session(u"SMS");
    EXPECT_EQ(CountMultimedia(*session.StandardFolder(FolderKind::Inbox)), 0u);
  }
  RestoreJob job(dir.File("phone.xml"));
  StartRestore(job);
  EXPECT_EQ(job.outcome.load(), RunOutcome::kSucceeded);
  EXPECT_EQ(ui.shown, (std::vector<std::string>{"Restore Succeeded."}));
  {
    SmsSession session(u"SMS");
    EXPECT_EQ(CountMessages(*session.StandardFolder(FolderKind::Inbox)), 1u);
    EXPECT_EQ(CountMultimedia(*session.StandardFolder(FolderKind::Inbox)), multimedia);
    EXPECT_EQ(CountCalls(session), 10u);
  }

  // The selection takes multimedia messages and calls by their folder as it takes SMS: the
  // received ones are not sent ones.
  RestoreJob narrowed(dir.File("phone.xml"));
  narrowed.selection.SetFolders({false, false, false, true, false});  // Sent only
  StartRestore(narrowed);
  EXPECT_EQ(narrowed.Counts().restored + narrowed.Counts().present, 0u);
  EXPECT_EQ(narrowed.leftOut, 1u + multimedia + 10u);
  InstallUserInterface(nullptr);
}

TEST(MessageSpool, AMultimediaMessageComesBackWholeWithItsPartsBytes) {
  TempDir dir;
  const std::string picture = testing::JpegBytes(std::string(100000, 'x'));
  const MessageRecord mms = MmsRecord(1704106026000, u"+4915112345678", u"Look!", picture,
                                      {u"+4930123456"});
  const MessageRecord sms = PhoneSms(1704106020000, u"+4915112345678", u"On my way");
  MessageSpool spool(dir.File("out.bak"));
  MessageSpool other(dir.File("out.bak"));
  uint64_t smsHash = 0, mmsHash = 0, otherHash = 0;
  const uint64_t smsAt = spool.Append(sms, smsHash);
  const uint64_t mmsAt = spool.Append(mms, mmsHash);
  other.Append(sms, otherHash);
  other.Append(sms, otherHash);
  other.Append(mms, otherHash);
  // Equal copies from different inputs sort the same, wherever their bytes lie.
  EXPECT_EQ(mmsHash, otherHash);
  EXPECT_NE(mmsHash, smsHash);

  MessageRecord back;
  spool.Read(mmsAt, back);
  EXPECT_EQ(back, mms);
  ASSERT_TRUE(back.multimedia);
  EXPECT_EQ(ReadAllBytes(*back.multimedia->parts[1].data), picture);
  EXPECT_EQ(back.multimedia->extras, mms.multimedia->extras);
  // Read into the same record, an SMS keeps nothing of the message before.
  spool.Read(smsAt, back);
  EXPECT_EQ(back, sms);
  EXPECT_FALSE(back.multimedia);
}

TEST(MergeMessageFiles, MultimediaMessagesAreMergedByTheirPartsAndLeftOutOfABackupFile) {
  TempDir dir;
  const MessageRecord mms = MmsRecord(1704106026000, u"+4915112345678", u"Look!",
                                      testing::JpegBytes("first"));
  // The same time and text, another picture: another message.
  const MessageRecord retouched = MmsRecord(1704106026000, u"+4915112345678", u"Look!",
                                            testing::JpegBytes("other"));
  const MessageRecord sms = PhoneSms(1704106020000, u"+4915112345678", u"On my way");
  testing::ScopedFileMessages files({{dir.File("a.xml"), {{sms, mms}, 0}},
                                     {dir.File("b.zip"), {{mms, retouched}, 2}}});
  MergeResult result;
  ASSERT_TRUE(MergeMessageFiles({dir.File("a.xml"), dir.File("b.zip")}, dir.File("out.bak"),
                                DeletedAs::kByDirection, Selection(), result))
      << WideToUtf8(result.error);
  EXPECT_EQ(result.written, 1u);
  EXPECT_EQ(result.leftOut.multimedia, 2u);
  EXPECT_EQ(result.leftOut.calls, 2u);
  ASSERT_EQ(result.inputs.size(), 2u);
  EXPECT_EQ(result.inputs[1].contributed, 3u);  // the picture and the two calls
  EXPECT_EQ(result.inputs[1].alreadyThere, 1u);
}

}  // namespace
}  // namespace larkpost
