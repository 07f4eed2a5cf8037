#include "store/presence_tables.h"

#include <gtest/gtest.h>

#include <string>

namespace larkpost {
namespace {

// Every position added under a key is found once each as the earlier ones are taken, through
// every growth of the table, whatever the hash (0 included); other keys find nothing, and keys
// that share a hash are told apart by the key itself.
TEST(KeyedPositions, FindsEachPositionOfAKeyOnceTheOthersAreTaken) {
  KeyedPositions table;
  const PositionSet none;
  EXPECT_EQ(table.FindNotIn(7, "a", none), 0);
  constexpr int64_t kKeys = 1000;
  const auto keyOf = [](int64_t n) { return "key " + std::to_string(n % kKeys); };
  // Every tenth key shares its hash with the key before it.
  const auto hashOf = [](int64_t n) { return static_cast<uint64_t>(n % kKeys / 2) << 40; };
  for (int64_t position = 1; position <= 3 * kKeys; ++position) {
    table.Add(hashOf(position), keyOf(position), position);
  }
  for (int64_t n : {int64_t{0}, int64_t{1}, int64_t{998}, int64_t{999}}) {
    PositionSet taken;
    for (int round = 0; round < 3; ++round) {
      const int64_t found = table.FindNotIn(hashOf(n), keyOf(n), taken);
      ASSERT_NE(found, 0);
      EXPECT_EQ(found % kKeys, n);
      taken.Insert(found);
    }
    EXPECT_EQ(table.FindNotIn(hashOf(n), keyOf(n), taken), 0);
  }
  EXPECT_EQ(table.FindNotIn(hashOf(3), "another key", none), 0);
  EXPECT_EQ(table.FindNotIn(1, keyOf(1), none), 0);
  table.Clear();
  EXPECT_EQ(table.FindNotIn(0, keyOf(0), none), 0);
}

// Many equal messages: each lookup passes over the taken ones only once, so taking all of them
// one by one costs about as much as adding them (a quadratic table would take minutes here).
TEST(KeyedPositions, ManyEqualKeysAreTakenOneByOneInLinearTime) {
  KeyedPositions table;
  constexpr int64_t kEqual = 2000000;
  for (int64_t position = 1; position <= kEqual; ++position) table.Add(5, "OK", position);
  PositionSet taken;
  for (int64_t expected = 1; expected <= kEqual; ++expected) {
    const int64_t found = table.FindNotIn(5, "OK", taken);
    ASSERT_EQ(found, expected);
    taken.Insert(found);
  }
  EXPECT_EQ(table.FindNotIn(5, "OK", taken), 0);
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
