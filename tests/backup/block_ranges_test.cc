// BlockRanges against a std::set of blocks.

#include "core/backup/block_ranges.h"

#include <random>
#include <set>

#include "support/test_support.h"

namespace {

using backupmedia::BlockRanges;

// The set's ranges, checked to be sorted, disjoint and non-adjacent, as blocks.
std::set<uint64_t> Blocks(const BlockRanges& ranges) {
  std::set<uint64_t> blocks;
  uint64_t previous_end = 0;
  bool first = true;
  ranges.ForEach([&](uint64_t start, uint64_t end) {
    EXPECT_TRUE(start < end && (first || start > previous_end)) << start << " " << end;
    first = false;
    previous_end = end;
    for (uint64_t b = start; b < end; ++b) blocks.insert(b);
  });
  return blocks;
}

// Many scattered and overlapping additions (enough to merge in several
// batches), looked at now and then, and the difference of two sets.
TEST(BlockRanges, MatchesASetOfBlocks) {
  std::mt19937_64 random(zyk_test::TestSeed());
  BlockRanges sets[2];
  std::set<uint64_t> models[2];
  for (int i = 0; i < 20000; ++i) {
    int which = static_cast<int>(random() % 2);
    uint64_t start = random() % 30000, end = start + random() % 6;  // empty ranges too
    sets[which].Add(start, end);
    for (uint64_t b = start; b < end; ++b) models[which].insert(b);
    if (random() % 3000 == 0) {
      ASSERT_EQ(Blocks(sets[which]), models[which]) << "after " << i;
    }
  }
  for (int which = 0; which < 2; ++which) {
    EXPECT_EQ(Blocks(sets[which]), models[which]);
    EXPECT_EQ(sets[which].Count(), models[which].size());
    EXPECT_FALSE(sets[which].Empty());
  }
  std::set<uint64_t> difference;
  for (uint64_t b : models[0])
    if (models[1].count(b) == 0) difference.insert(b);
  EXPECT_EQ(Blocks(sets[0].Minus(sets[1])), difference);
  EXPECT_TRUE(BlockRanges().Empty());
}

}  // namespace
