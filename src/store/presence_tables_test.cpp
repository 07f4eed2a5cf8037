#include "store/presence_tables.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

// Every position added under a key is found once each as the earlier ones are taken, through
// every growth of the table, whatever the key (0 included); other keys find nothing.
TEST(KeyedPositions, FindsEachPositionOfAKeyOnceTheOthersAreTaken) {
  KeyedPositions table;
  const PositionSet none;
  EXPECT_EQ(table.FindNotIn(7, none), 0);
  constexpr int64_t kKeys = 1000;
  for (int64_t position = 1; position <= 3 * kKeys; ++position) {
    table.Add(static_cast<uint64_t>(position % kKeys) << 40, position);
  }
  for (uint64_t key : {uint64_t{0}, uint64_t{1} << 40, uint64_t{999} << 40}) {
    PositionSet taken;
    for (int round = 0; round < 3; ++round) {
      const int64_t found = table.FindNotIn(key, taken);
      ASSERT_NE(found, 0);
      EXPECT_EQ(static_cast<uint64_t>(found % kKeys) << 40, key);
      taken.Insert(found);
    }
    EXPECT_EQ(table.FindNotIn(key, taken), 0);
  }
  EXPECT_EQ(table.FindNotIn(1, none), 0);
  table.Clear();
  EXPECT_EQ(table.FindNotIn(0, none), 0);
}

TEST(PositionSet, HoldsExactlyWhatWasInsertedAcrossPages) {
  PositionSet set;
  const int64_t inserted[] = {1, 63, 64, 32767, 32768, 1000000007};
  for (int64_t position : inserted) set.Insert(position);
  for (int64_t position : inserted) EXPECT_TRUE(set.Contains(position)) << position;
  for (int64_t position : {2, 62, 65, 32766, 32769, 1000000006, 1000000008}) {
    EXPECT_FALSE(set.Contains(position)) << position;
  }
}

}  // namespace
}  // namespace larkpost
