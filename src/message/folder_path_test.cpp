#include "message/folder_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text/text.h"

namespace larkpost {
namespace {

TEST(ParseFolderPath, StandardFolderInAnyCaseThenTrimmedSubfolderNames) {
  struct Case {
    std::u16string_view path;
    FolderKind kind;
    std::vector<std::u16string> subfolders;
  };
  const Case cases[] = {
      {u"iNbOx", FolderKind::Inbox, {}},
      {u"wastebox", FolderKind::Deleted, {}},
      {u"Inbox\\ Work\t\\Old", FolderKind::Inbox, {u"Work", u"Old"}},
      // An empty piece, after the last backslash too, names "NewFolder".
      {u"Sentedbox\\", FolderKind::Sent, {u"NewFolder"}},
      {u"Draft\\\\ \\x", FolderKind::Draft, {u"NewFolder", u"NewFolder", u"x"}},
      // Only ASCII letters fold; subfolder names keep their case and their other characters.
      {u"OUTBOX\\Work\\日本 🎉", FolderKind::Outbox, {u"Work", u"日本 🎉"}},
  };
  for (const Case& c : cases) {
    FolderPath parsed;
    parsed.subfolders = {u"left over"};
    ASSERT_EQ(ParseFolderPath(c.path, parsed), FolderPathResult::kOk) << WideToUtf8(c.path);
    EXPECT_EQ(parsed.kind, c.kind) << WideToUtf8(c.path);
    EXPECT_EQ(parsed.subfolders, c.subfolders) << WideToUtf8(c.path);
  }
}

TEST(ParseFolderPath, UnknownFirstPiecesAndTooManyLevelsAreRefused) {
  FolderPath parsed;
  for (std::u16string_view path : {u"Inbox2", u"", u"\\Inbox", u" Inbox", u"Inbox/Work", u"İnbox"}) {
    EXPECT_EQ(ParseFolderPath(path, parsed), FolderPathResult::kUnknownFolder) << WideToUtf8(path);
  }
  std::u16string deepest = u"Inbox";
  for (size_t i = 0; i < kMaxFolderDepth; ++i) deepest += u"\\a";
  EXPECT_EQ(ParseFolderPath(deepest, parsed), FolderPathResult::kOk);
  EXPECT_EQ(parsed.subfolders.size(), kMaxFolderDepth);
  EXPECT_EQ(ParseFolderPath(deepest + u"\\a", parsed), FolderPathResult::kTooDeep);
}

}  // namespace
}  // namespace larkpost
