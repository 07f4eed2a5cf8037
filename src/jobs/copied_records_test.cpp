#include "jobs/copied_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "backupfile/backup_test_util.h"
#include "testing/temp_dir.h"

namespace larkpost {
namespace {

// Records read by where they begin, in any order, come back whole, those longer than any window
// read ahead included; where no whole record begins, and once the file was written to, it says
// so instead of handing out other bytes.
TEST(CopiedRecords, ReadsEachRecordWholeWhereItBeginsAndNoticesAChangedFile) {
  testing::TempDir dir;
  std::vector<std::string> records;
  std::vector<uint64_t> starts;
  std::string file(20, '\0');  // where a backup file's header stands
  for (int i = 0; i < 300; ++i) {
    testing::GoldenRecord record = testing::Sample();
    record.text = std::string(i % 50 == 7 ? 400000 : 20 + i % 90, static_cast<char>('a' + i % 26));
    starts.push_back(file.size());
    records.push_back(testing::RecordBytes(record));
    file += records.back();
  }
  std::ofstream(dir.PathOf("in.bak"), std::ios::binary) << file;
  CopiedRecords copied(dir.File("in.bak"));
  std::vector<size_t> order(records.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::vector<size_t> shuffled = order;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
  std::string bytes;
  for (const std::vector<size_t>& pass : {order, shuffled}) {
    for (size_t i : pass) {
      copied.Bytes(starts[i], bytes);
      ASSERT_EQ(bytes, records[i]) << "record " << i;
    }
  }
  MessageRecord message;
  copied.Message(starts[7], message);
  EXPECT_EQ(message.text.size(), 400000u);
  EXPECT_THROW(copied.Bytes(file.size() - 3, bytes), CFileException);
  EXPECT_TRUE(copied.Unchanged());
  std::ofstream(dir.PathOf("in.bak"), std::ios::binary | std::ios::app) << "x";
  EXPECT_FALSE(copied.Unchanged());
}

}  // namespace
}  // namespace larkpost
