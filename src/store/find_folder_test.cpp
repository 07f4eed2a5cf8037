#include "store/find_folder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/mapi/provider.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"
#include "store/store_test_support.h"

namespace larkpost {
namespace {

// A fresh database per test, with Inbox\Work\Old in it.
class OpenExistingSubfolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = std::make_unique<SmsSession>(u"SMS");
    ASSERT_EQ(session_->initialized, 1);
    bool isStandard;
    std::unique_ptr<SmsFolder> owned;
    ASSERT_NE(ResolveFolderPath(*session_, u"Inbox\\Work\\Old", isStandard, owned), nullptr);
  }
  void TearDown() override { session_.reset(); }

  SmsFolder& Inbox() { return *session_->StandardFolder(FolderKind::Inbox); }

  // The number of subfolders directly under the inbox, read through a new session.
  size_t InboxSubfolders() {
    SmsSession fresh(u"SMS");
    return fresh.StandardFolder(FolderKind::Inbox)->Subfolders()->size();
  }

  testing::TempStore store_;
  std::unique_ptr<SmsSession> session_;
};

TEST_F(OpenExistingSubfolderTest, AnExistingSubfolderIsOpenedForWriting) {
  std::unique_ptr<SmsFolder> work, old;
  ASSERT_EQ(OpenExistingSubfolder(Inbox(), u"Work", work), FolderLookup::kFound);
  ASSERT_NE(work, nullptr);
  EXPECT_EQ(work->displayName, u"Work");
  EXPECT_EQ(work->parent, nullptr);
  ASSERT_EQ(OpenExistingSubfolder(*work, u"Old", old), FolderLookup::kFound);
  EXPECT_EQ(old->displayName, u"Old");
  ASSERT_TRUE(old->folder);
  EXPECT_NE(old->CreateMessage(), nullptr);
}

TEST_F(OpenExistingSubfolderTest, AMissingSubfolderIsNotCreated) {
  std::unique_ptr<SmsFolder> child;
  EXPECT_EQ(OpenExistingSubfolder(Inbox(), u"Play", child), FolderLookup::kMissing);
  EXPECT_EQ(child, nullptr);
  EXPECT_EQ(OpenExistingSubfolder(Inbox(), u"work", child), FolderLookup::kMissing);  // case kept
  EXPECT_EQ(OpenExistingSubfolder(Inbox(), u"Old", child), FolderLookup::kMissing);  // not a child
  EXPECT_EQ(InboxSubfolders(), 1u);
}

TEST_F(OpenExistingSubfolderTest, RefusalsOfTheStoreFail) {
  std::unique_ptr<SmsFolder> child;
  mapi::AddFault("IMAPITable::FindRow", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(OpenExistingSubfolder(Inbox(), u"Work", child), FolderLookup::kFailed);
  mapi::AddFault("IMAPIFolder::OpenEntry", 1, MAPI_E_CALL_FAILED);
  EXPECT_EQ(OpenExistingSubfolder(Inbox(), u"Work", child), FolderLookup::kFailed);
  EXPECT_EQ(child, nullptr);
  SmsFolder closed(session_.get(), u"Closed", nullptr);
  EXPECT_EQ(OpenExistingSubfolder(closed, u"Work", child), FolderLookup::kFailed);
}

}  // namespace
}  // namespace larkpost
