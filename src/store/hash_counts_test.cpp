#include "store/hash_counts.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

// Counts survive every growth of the table, neighbouring hashes stay apart, and a hash never
// counted reads as zero without being added.
TEST(HashCounts, KeepsEveryCountThroughGrowth) {
  HashCounts counts;
  EXPECT_EQ(counts.Count(42), 0u);
  constexpr uint64_t kHashes = 5000;
  for (uint64_t round = 1; round <= 3; ++round) {
    for (uint64_t hash = 1; hash <= kHashes; ++hash) ++counts[hash << (hash % 3 * 20)];
  }
  for (uint64_t hash = 1; hash <= kHashes; ++hash) {
    ASSERT_EQ(counts.Count(hash << (hash % 3 * 20)), 3u) << hash;
  }
  EXPECT_EQ(counts.Count(kHashes + 1), 0u);
  ++counts[0];  // the mark of an empty slot, yet counted like any other hash
  ++counts[0];
  EXPECT_EQ(counts.Count(0), 2u);
  counts.Clear();
  EXPECT_EQ(counts.Count(0), 0u);
}

}  // namespace
}  // namespace larkpost
