// A page's media folder is committed with the page: it appears, is replaced and goes with it,
// and a failed or killed run leaves neither behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "formats/test_pictures.h"
#include "jobs/message_files.h"
#include "platform/file/output_file.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

using testing::TempDir;

// A received picture message, as the phone files' readers yield it.
MessageRecord Picture(const std::u16string& name, std::string bytes) {
  MessageRecord record;
  record.folderPath = u"Inbox";
  record.deliveryTime = record.lastModified = UnixTimeToFileTime(1704103626);
  record.senderName = u"Ann";
  record.senderAddress = u"+4915112345678";
  record.recipients = {{u"", u"+4915200000001", 1}};
  auto multimedia = std::make_shared<Multimedia>();
  multimedia->addresses = {{u"+4915112345678", kRoleFrom, u"106", {}},
                           {u"+4915200000001", kRoleTo, u"106", {}}};
  MessagePart part;
  part.contentType = u"image/png";
  part.name = name;
  part.data = BytesInMemory(std::move(bytes));
  multimedia->parts.push_back(std::move(part));
  record.multimedia.value = std::move(multimedia);
  return record;
}

MessageRecord Sms() {
  MessageRecord record = Picture(u"", "");
  record.multimedia = {};
  record.text = u"only words";
  return record;
}

// The hidden file naming the page a media folder was made for.
const std::string kMark = ".larkpost-page";

enum class End { kSucceeds, kFails, kThrows };

// Writes the page `name` of `records` as a conversion does; the run ends as `end` says after
// every message has been written.
bool WritePage(const TempDir& dir, const std::vector<MessageRecord>& records, End end,
               const char* name = "archive.html") {
  WrittenCounts counts;
  std::string error;
  return WriteMessageOutput(
      dir.File(name), FileKind::kHtml, DeletedAs::kByDirection,
      [&](MessageWriter& writer, std::string& failure) {
        for (const MessageRecord& record : records) {
          if (!writer.Write(record, failure)) return false;
        }
        if (end == End::kThrows) throw CFileException(CFileException::diskFull, ENOSPC, u"x");
        failure = "interrupted";
        return end == End::kSucceeds;
      },
      counts, error);
}

// The names in a folder, sorted.
std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PageOutput, TheMediaFolderComesAndGoesWithThePageOnly) {
  TempDir dir;
  const std::string first = testing::TinyPng();
  ASSERT_TRUE(WritePage(dir, {Picture(u"first.png", first)}, End::kSucceeds));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"archive.html", "archive_files"}));
  EXPECT_EQ(NamesIn(dir.PathOf("archive_files")), (std::vector<std::string>{kMark, "first.png"}));
  EXPECT_EQ(testing::FileBytes(dir.PathOf("archive_files/first.png")), first);
  struct stat info {};
  ASSERT_EQ(stat(dir.PathOf("archive_files").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(dir.PathOf("archive_files/first.png").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string page = testing::FileBytes(dir.PathOf("archive.html"));
  EXPECT_NE(page.find("src=\"archive_files/first.png\""), std::string::npos);

  // Runs that fail or throw after writing their pictures leave the older page and folder alone
  // and nothing of their own.
  for (const End end : {End::kFails, End::kThrows}) {
    try {
      EXPECT_FALSE(WritePage(dir, {Picture(u"second.png", testing::TinyGif())}, end));
    } catch (const CFileException&) {
      EXPECT_EQ(end, End::kThrows);
    }
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"archive.html", "archive_files"}));
    EXPECT_EQ(NamesIn(dir.PathOf("archive_files")), (std::vector<std::string>{kMark, "first.png"}));
    EXPECT_EQ(testing::FileBytes(dir.PathOf("archive.html")), page);
  }

  // A new page brings its own folder, which replaces the older one whole.
  ASSERT_TRUE(WritePage(dir, {Picture(u"second.png", testing::TinyGif())}, End::kSucceeds));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"archive.html", "archive_files"}));
  EXPECT_EQ(NamesIn(dir.PathOf("archive_files")), (std::vector<std::string>{kMark, "second.png"}));

  // A page without media takes the older page's folder with it.
  ASSERT_TRUE(WritePage(dir, {Sms()}, End::kSucceeds));
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"archive.html"});
}

TEST(PageOutput, AKilledRunsFolderGoesAndWhatNoPageMadeIsNotReplaced) {
  TempDir dir;
  // What a killed run leaves: its folder under the partial name, pictures in it, no lock held.
  const std::string stale = dir.PathOf(".archive_files.Xa81Qz.part");
  ASSERT_EQ(mkdir(stale.c_str(), 0700), 0);
  std::ofstream(stale + "/half.png") << "half";
  ASSERT_TRUE(WritePage(dir, {Picture(u"a.png", testing::TinyPng())}, End::kSucceeds));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"archive.html", "archive_files"}));

  // A link named like the folder, or a folder holding folders, is not a page's: refused, and
  // nothing written.
  TempDir other;
  std::ofstream(other.PathOf("keep.png")) << "mine";
  TempDir linked;
  ASSERT_EQ(symlink(other.path().c_str(), linked.PathOf("archive_files").c_str()), 0);
  EXPECT_THROW(WritePage(linked, {Picture(u"a.png", testing::TinyPng())}, End::kSucceeds),
               OutputRefused);
  EXPECT_EQ(linked.Names(), std::vector<std::string>{"archive_files"});
  EXPECT_EQ(NamesIn(other.path()), std::vector<std::string>{"keep.png"});

  TempDir nested;
  ASSERT_EQ(mkdir(nested.PathOf("archive_files").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(nested.PathOf("archive_files/holiday").c_str(), 0700), 0);
  EXPECT_THROW(WritePage(nested, {Sms()}, End::kSucceeds), OutputRefused);
  EXPECT_EQ(nested.Names(), std::vector<std::string>{"archive_files"});
  EXPECT_EQ(NamesIn(nested.PathOf("archive_files")), std::vector<std::string>{"holiday"});
}

TEST(PageOutput, OnlyAFolderMadeForThatPageIsReplaced) {
  // A browser's "save page, complete" leaves a folder of plain files under the same name.
  TempDir saved;
  ASSERT_EQ(mkdir(saved.PathOf("archive_files").c_str(), 0700), 0);
  std::ofstream(saved.PathOf("archive_files/style.css")) << "body{}";
  std::u16string folderName;
  EXPECT_EQ(CompanionFolderState(saved.File("archive.html"), folderName), CompanionState::kOther);
  EXPECT_EQ(folderName, u"archive_files");
  for (const MessageRecord& record : {Sms(), Picture(u"a.png", testing::TinyPng())}) {
    EXPECT_THROW(WritePage(saved, {record}, End::kSucceeds), OutputRefused);
    EXPECT_EQ(saved.Names(), std::vector<std::string>{"archive_files"});
    EXPECT_EQ(NamesIn(saved.PathOf("archive_files")), std::vector<std::string>{"style.css"});
  }

  // "archive.htm" shares the folder's name with "archive.html", not the folder.
  TempDir dir;
  EXPECT_EQ(CompanionFolderState(dir.File("archive.html"), folderName), CompanionState::kAbsent);
  ASSERT_TRUE(WritePage(dir, {Picture(u"a.png", testing::TinyPng())}, End::kSucceeds));
  EXPECT_EQ(CompanionFolderState(dir.File("archive.html"), folderName),
            CompanionState::kMadeForTarget);
  EXPECT_EQ(CompanionFolderState(dir.File("archive.htm"), folderName), CompanionState::kOther);
  EXPECT_THROW(WritePage(dir, {Sms()}, End::kSucceeds, "archive.htm"), OutputRefused);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"archive.html", "archive_files"}));
  EXPECT_EQ(NamesIn(dir.PathOf("archive_files")), (std::vector<std::string>{kMark, "a.png"}));
  EXPECT_EQ(CompanionFolderState(dir.File("archive.xml"), folderName), CompanionState::kAbsent);
}

}  // namespace
}  // namespace larkpost
