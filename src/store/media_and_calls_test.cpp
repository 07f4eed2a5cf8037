#include "store/media_and_calls.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "message/multimedia_test_util.h"
#include "store/cursor.h"
#include "store/dedupe.h"
#include "store/restore.h"
#include "store/session.h"
#include "store/store_presence.h"
#include "store/store_source.h"
#include "store/store_test_support.h"
#include "storejson/store_json.h"

namespace larkpost {
namespace {

using testing::IncomingCall;
using testing::JpegBytes;
using testing::MmsRecord;
using testing::TempStore;

void Restore(const std::vector<MessageRecord>& records) {
  SmsSession session(u"SMS");
  ASSERT_TRUE(session.initialized);
  RecordRestorer restorer(session);
  std::u16string error;
  for (const MessageRecord& record : records) {
    ASSERT_TRUE(restorer.RestoreAbsent(record, error)) << WideToUtf8(error);
  }
  ASSERT_TRUE(restorer.Commit(error));
}

// Everything a walk for a target that keeps it all hands out.
std::vector<MessageRecord> Walked(SmsSession& session, NotHeld* notHeld = nullptr,
                                  TargetHolds holds = {true, true, true}) {
  std::vector<MessageRecord> records;
  Selection all;
  EXPECT_TRUE(WalkStore(session, all, [] {}, [&](MessageRecord& record) {
    records.push_back(record);
    return true;
  }, holds, notHeld));
  return records;
}

int64_t Query(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* stmt = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
    value = sqlite3_column_int64(stmt, 0);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return value;
}

TEST(MediaAndCalls, GroupMessageAndCallComeBackWholeWhereTheSmsWalkNeverSeesThem) {
  TempStore store;
  MessageRecord group = MmsRecord(1700000000000, u"+4915111111111", u"Look!", JpegBytes("beach"),
                                  {u"+4915122222222", u"+4915133333333", u"+4915144444444"});
  group.folderPath = u"Inbox\\Family";
  group.phoneColumns = {{"thread_id", u"7"}};
  const MessageRecord call = IncomingCall(3);
  Restore({group, call, testing::PhoneSms(1700000001000, u"+4915111111111", u"sms")});

  SmsSession session(u"SMS");
  const std::vector<MessageRecord> all = Walked(session);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].text, u"sms");
  EXPECT_EQ(all[1], group);  // every column, address and part byte
  EXPECT_EQ(ReadAllBytes(*all[1].multimedia->parts[1].data), JpegBytes("beach"));
  EXPECT_EQ(all[2], call);

  // A backup file's walk sees the SMS alone and counts the rest.
  NotHeld notHeld;
  EXPECT_EQ(Walked(session, &notHeld, {}).size(), 1u);
  EXPECT_EQ(notHeld.multimedia, 1u);
  EXPECT_EQ(notHeld.calls, 1u);
  EXPECT_EQ(CountMessages(*session.StandardFolder(FolderKind::Inbox)), 1u);
  EXPECT_EQ(CountMultimedia(*session.StandardFolder(FolderKind::Inbox)), 1u);
  EXPECT_EQ(CountCalls(session), 1u);

  // The one identity finds both present again.
  StorePresence presence;
  ASSERT_TRUE(presence.Read(session, kPhoneFields));
  bool byNumberFormat = false;
  EXPECT_TRUE(presence.Take(group, byNumberFormat));
  EXPECT_TRUE(presence.Take(call, byNumberFormat));
  EXPECT_FALSE(presence.Take(call, byNumberFormat));
}

TEST(MediaAndCalls, ThePicturesBytesAreStoredOnceWhateverTheNumberOfMessages) {
  TempStore store;
  const std::string picture = JpegBytes(std::string(1 << 20, 'p'));
  std::vector<MessageRecord> forwarded;
  for (int i = 0; i < 50; ++i) {
    forwarded.push_back(MmsRecord(1700000000000 + i * 1000, u"+4915111111111",
                                  u"again " + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)),
                                  picture));
  }
  Restore(forwarded);
  EXPECT_EQ(Query(store.path(), "SELECT count(*) FROM attachments WHERE content_id IS NOT NULL"), 50);
  EXPECT_EQ(Query(store.path(), "SELECT count(*) FROM contents"), 1);
  // The file holds the picture about once: the copy a duplicate wrote before it was known as
  // one is dropped, and its pages taken by the next.
  Query(store.path(), "PRAGMA wal_checkpoint(TRUNCATE)");
  struct stat info {};
  ASSERT_EQ(stat(store.path().c_str(), &info), 0);
  EXPECT_LT(info.st_size, 5 * static_cast<off_t>(picture.size()) / 2);

  SmsSession session(u"SMS");
  const std::vector<MessageRecord> all = Walked(session);
  ASSERT_EQ(all.size(), 50u);
  EXPECT_EQ(ReadAllBytes(*all[49].multimedia->parts[1].data), picture);
}

TEST(MediaAndCalls, DedupeKeepsEachMultimediaMessageAndCallOnceWithItsPicture) {
  TempStore store;
  const MessageRecord beach = MmsRecord(1700000000000, u"+4915111111111", u"Beach", JpegBytes("b"));
  const MessageRecord hills = MmsRecord(1700000000000, u"+4915111111111", u"Hills", JpegBytes("h"));
  Restore({beach, hills, IncomingCall(1), beach, IncomingCall(1), hills});
  EXPECT_EQ(Query(store.path(), "SELECT count(*) FROM contents"), 2);
  SmsSession session(u"SMS");
  DedupeCounts counts;
  std::u16string error;
  ASSERT_TRUE(DedupeStore(session, false, {}, counts, error)) << WideToUtf8(error);
  EXPECT_EQ(counts.removed, 3u);
  const std::vector<MessageRecord> left = Walked(session);
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(left[0], beach);
  EXPECT_EQ(left[1], hills);
  EXPECT_EQ(left[2], IncomingCall(1));
  // The pictures the removed copies shared stay for the copies kept.
  EXPECT_EQ(Query(store.path(), "SELECT count(*) FROM contents"), 2);
  EXPECT_EQ(Query(store.path(), "SELECT count(*) FROM attachments"), 6);
}

TEST(MediaAndCalls, APartOfThirtyMegabytesGoesInAndComesOutInChunks) {
  TempStore store;
  std::string large(30u << 20, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 131 >> 7);
  Restore({MmsRecord(1700000000000, u"+4915111111111", u"video", large)});
  SmsSession session(u"SMS");
  const std::vector<MessageRecord> all = Walked(session);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].multimedia->parts[1].data->size(), large.size() + 0);
  EXPECT_TRUE(ReadAllBytes(*all[0].multimedia->parts[1].data) == large);
}

TEST(MediaAndCalls, AStoreOfTheFirstLayoutIsUpgradedInPlaceAndKeepsEverything) {
  TempStore store;
  Restore({testing::PhoneSms(1700000001000, u"+4915111111111", u"kept")});
  // Back to the first layout: no attachment tables, no call log.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(store.path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "DROP TABLE attachments; DROP TABLE contents; DROP TABLE content_chunks;"
                         "DELETE FROM folders WHERE kind = 6; PRAGMA user_version = 1",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  std::string before;
  {
    // Read as it is when opened for reading only: the SMS, and no call log.
    mapi::SetReadOnlyAccess(true);
    SmsSession session(u"SMS");
    EXPECT_EQ(session.CallLog(), nullptr);
    EXPECT_EQ(Walked(session).size(), 1u);
    // A dry run counts a call the store would take once upgraded.
    RecordRestorer dryRun(session, true);
    std::u16string failure;
    EXPECT_TRUE(dryRun.RestoreAbsent(IncomingCall(2), failure)) << WideToUtf8(failure);
    EXPECT_EQ(dryRun.counts().restoredCalls, 1u);
    mapi::SetReadOnlyAccess(false);
    std::ostringstream dump;
    std::string error;
    ASSERT_TRUE(DumpStore(session, dump, error));
    before = dump.str();
  }
  EXPECT_EQ(Query(store.path(), "PRAGMA user_version"), 1);
  {
    // Opened to write, it is upgraded, and holds what it held.
    SmsSession session(u"SMS");
    EXPECT_EQ(Query(store.path(), "PRAGMA user_version"), 2);
    std::ostringstream after;
    std::string error;
    ASSERT_TRUE(DumpStore(session, after, error));
    EXPECT_EQ(after.str(), before);
  }
  Restore({MmsRecord(1700000000000, u"+4915111111111", u"new", JpegBytes()), IncomingCall(1)});
  SmsSession session(u"SMS");
  EXPECT_EQ(Walked(session).size(), 3u);
}

}  // namespace
}  // namespace larkpost
