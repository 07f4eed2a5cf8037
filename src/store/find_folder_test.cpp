#include "store/find_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <unistd.h>

#include "platform/mapi/provider.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"
#include "store/store_test_support.h"

namespace larkpost {
namespace {

// A fresh database per test, with Inbox\Work\Old and Sentedbox\NewFolder in it.
class FindFolderPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = std::make_unique<SmsSession>(u"SMS");
    ASSERT_EQ(session_->initialized, 1);
    for (const char16_t* path : {u"Inbox\\Work\\Old", u"Sentedbox\\"}) {
      bool isStandard;
      std::unique_ptr<SmsFolder> owned;
      ASSERT_NE(ResolveFolderPath(*session_, path, isStandard, owned), nullptr);
    }
  }
  void TearDown() override { session_.reset(); }

  FolderLookup Find(const std::u16string& path) {
    return FindFolderPath(*session_, path, folder_, owned_);
  }

  // The number of subfolders directly under the inbox, read through a new session.
  size_t InboxSubfolders() {
    SmsSession fresh(u"SMS");
    return fresh.StandardFolder(FolderKind::Inbox)->Subfolders()->size();
  }

  testing::TempStore store_;
  std::unique_ptr<SmsSession> session_;
  SmsFolder* folder_ = nullptr;
  std::unique_ptr<SmsFolder> owned_;
};

TEST_F(FindFolderPathTest, StandardFolderInAnyCase) {
  EXPECT_EQ(Find(u"iNbOx"), FolderLookup::kFound);
  EXPECT_EQ(folder_, session_->StandardFolder(FolderKind::Inbox));
  EXPECT_EQ(owned_, nullptr);
  EXPECT_EQ(Find(u"wastebox"), FolderLookup::kFound);
  EXPECT_EQ(folder_, session_->StandardFolder(FolderKind::Deleted));
}

TEST_F(FindFolderPathTest, ExistingSubfoldersAreOpened) {
  EXPECT_EQ(Find(u"Inbox\\ Work\t\\Old"), FolderLookup::kFound);
  ASSERT_NE(owned_, nullptr);
  EXPECT_EQ(folder_, owned_.get());
  EXPECT_EQ(folder_->displayName, u"Old");
  EXPECT_TRUE(folder_->folder);
  EXPECT_EQ(folder_->parent, nullptr);
  EXPECT_EQ(Find(u"Sentedbox\\"), FolderLookup::kFound);
  EXPECT_EQ(folder_->displayName, u"NewFolder");
}

TEST_F(FindFolderPathTest, MissingSubfolderIsNotCreated) {
  EXPECT_EQ(Find(u"Inbox\\Play"), FolderLookup::kMissing);
  EXPECT_EQ(folder_, nullptr);
  EXPECT_EQ(owned_, nullptr);
  EXPECT_EQ(Find(u"Inbox\\Work\\New\\Deeper"), FolderLookup::kMissing);
  EXPECT_EQ(Find(u"Inbox\\work"), FolderLookup::kMissing);  // subfolder names keep their case
  EXPECT_EQ(InboxSubfolders(), 1u);
}

TEST_F(FindFolderPathTest, UnknownNamesAndRefusalsFail) {
  EXPECT_EQ(Find(u"Inbox2"), FolderLookup::kFailed);
  EXPECT_EQ(Find(u""), FolderLookup::kFailed);
  EXPECT_EQ(Find(u"\\Inbox"), FolderLookup::kFailed);
  mapi::AddFault("IMAPITable::FindRow", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(Find(u"Inbox\\Work"), FolderLookup::kFailed);
  mapi::AddFault("IMAPIFolder::OpenEntry", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(Find(u"Inbox\\Work"), FolderLookup::kFailed);
  EXPECT_EQ(folder_, nullptr);
  EXPECT_EQ(owned_, nullptr);
}

}  // namespace
}  // namespace larkpost
