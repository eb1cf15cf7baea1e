#include "core/backup/container_tree.h"

#include <cstdint>
#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backup/memory_block_store.h"
#include "core/backup/bit_encoder.h"
#include "core/common/error.h"

namespace {

using backupmedia::AllocationTree;
using backupmedia::DecodeNode;
using backupmedia::EncodeNode;
using backupmedia::Extent;
using backupmedia::GetNodeSize;
using backupmedia::kExtentLimit;
using zyk_test::MemoryBlockStore;

uint32_t CodeOf(auto&& action) {
  try {
    action();
  } catch (const Common::Error& error) {
    return error.Code();
  }
  return 0;
}

std::vector<Extent> Extents(AllocationTree& tree) {
  std::vector<Extent> all;
  tree.ForEachExtent([&](const Extent& e) { all.push_back(e); });
  return all;
}

std::string Show(const std::vector<Extent>& entries) {
  std::string text;
  for (const Extent& e : entries)
    text += "(" + std::to_string(e.key) + "," + std::to_string(e.value) + "," + std::to_string(e.count) + ")";
  return text;
}

// ---- node encoding ---------------------------------------------------------

TEST(NodeEncoding, SingleEntryTakesTwentyNineBits) {
  std::vector<uint8_t> record(8);
  EncodeNode({{0, 3, 1}}, record.data(), 8);
  backupmedia::BitReader reader(record.data(), 8);
  EXPECT_EQ(reader.Decode(6), 2u);  // W0
  EXPECT_EQ(reader.Decode(6), 0u);  // Wk
  EXPECT_EQ(reader.Decode(1), 0u);  // S
  EXPECT_EQ(reader.Decode(6), 0u);  // Wv
  EXPECT_EQ(reader.Decode(6), 0u);  // Wc
  EXPECT_EQ(reader.Decode(2), 0u);  // key
  EXPECT_EQ(reader.Decode(2), 3u);  // value
  EXPECT_EQ(reader.Decode(35), 0u);  // nothing after bit 29
  // It fits a record of exactly 29 bits' worth of bytes, and decodes back alone.
  EXPECT_EQ(GetNodeSize({{0, 3, 1}}, 4), 1u);
  EncodeNode({{0, 3, 1}}, record.data(), 4);
  EXPECT_EQ(DecodeNode(record.data(), 4), (std::vector<Extent>{{0, 3, 1}}));
}

TEST(NodeEncoding, EntryListsRoundTrip) {
  const uint64_t top = kExtentLimit;
  const std::vector<std::vector<Extent>> cases = {
      {},
      {{5, 0x1234, 77}},
      {{0, 10, 4}, {8, 20, 1}, {9, 21 + 5, 3}},                      // ascending values
      {{0, 100, 4}, {4, 50, 10}, {20, 60, 1}, {30, 1, 2}},          // descending and mixed
      {{1, 1, 1}, {1000000, 2, 1}, {1000001, 999999999, 5}},        // wide gaps
      {{0, top - 10, 10}, {top - 5, top - 20, 5}},                 // ends exactly at the limit
      {{0, (uint64_t{1} << 61) + 9, 1}, {1, 3, 1}},                 // 62-bit negative delta
      {{7, 7, uint64_t{1} << 40}},                                  // long count
  };
  for (const auto& entries : cases) {
    std::vector<uint8_t> record(256);
    EncodeNode(entries, record.data(), 256);
    EXPECT_EQ(Show(DecodeNode(record.data(), 256)), Show(entries));
  }
}

TEST(NodeEncoding, UnencodableEntriesAreInvalidUsage) {
  const uint64_t top = kExtentLimit;
  const struct {
    const char* what;
    std::vector<Extent> entries;
  } cases[] = {
      {"first key and value zero", {{0, 0, 1}}},
      {"zero value later", {{0, 5, 1}, {3, 0, 1}}},
      {"zero count", {{0, 5, 0}}},
      {"overlapping keys", {{0, 5, 4}, {3, 20, 1}}},
      {"unsorted keys", {{10, 5, 1}, {3, 20, 1}}},
      {"value ranges overlap the previous", {{0, 5, 4}, {10, 7, 1}}},
      {"value ranges overlap a distant entry", {{0, 50, 10}, {20, 5, 5}, {40, 55, 1}}},
      {"key at the limit", {{top, 5, 1}}},
      {"key range past the limit", {{top - 1, 5, 2}}},
      {"value range past the limit", {{0, top - 1, 2}}},
      {"negative delta too wide for its field", {{0, (uint64_t{1} << 62) + 9, 1}, {1, 3, 1}}},
  };
  std::vector<uint8_t> record(256);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CodeOf([&] { EncodeNode(c.entries, record.data(), 256); }), Common::kErrInvalidUsage);
    if (std::string(c.what) != "value ranges overlap a distant entry")  // the estimate checks neighbours only
      EXPECT_EQ(CodeOf([&] { GetNodeSize(c.entries, 256); }), Common::kErrInvalidUsage);
  }
}

TEST(NodeEncoding, SizeEstimateSplitsOnlyWhatDoesNotFit) {
  // 200 single-block extents 3 apart with consecutive values: Wk = 2, Wv = 1,
  // Wc = 0, so 3 bits per further entry.
  std::vector<Extent> entries;
  for (uint64_t i = 0; i < 200; ++i) entries.push_back({i * 3, 1000 + i, 1});
  const uint64_t needed = 25 + 2 * 10 + 199 * 3;
  EXPECT_EQ(GetNodeSize(entries, static_cast<uint32_t>((needed + 7) / 8)), 1u);
  uint64_t records = GetNodeSize(entries, 32);  // 256 bits, widest first entry 11 bits: (256 - 25 - 22) / 3 + 1 = 70 per record
  EXPECT_EQ(records, 3u);
  std::vector<uint8_t> record(32);
  EXPECT_EQ(CodeOf([&] { EncodeNode(entries, record.data(), 32); }), Common::kErrInvalidUsage);
}

TEST(NodeEncoding, DecodingStopsAtTheFirstZeroDelta) {
  std::vector<uint8_t> record(64);
  EncodeNode({{0, 10, 1}, {5, 20, 1}}, record.data(), 64);
  EXPECT_EQ(DecodeNode(record.data(), 64).size(), 2u);
  // Trailing garbage after a zero delta is never read.
  record[40] = 0xFF;
  EXPECT_EQ(DecodeNode(record.data(), 64).size(), 2u);
}

TEST(NodeEncoding, SignWithoutDeltaWidthIsCorruption) {
  std::vector<uint8_t> record(16);
  backupmedia::BitWriter writer(record.data(), 16);
  writer.Encode(3, 6);  // W0
  writer.Encode(1, 6);  // Wk
  writer.Encode(1, 1);  // S
  writer.Encode(0, 6);  // Wv
  writer.Encode(0, 6);  // Wc
  writer.Encode(1, 3);
  writer.Encode(5, 3);
  EXPECT_EQ(CodeOf([&] { DecodeNode(record.data(), 16); }), Common::kErrCorrupted);
}

// ---- Find and Modify on a single leaf ------------------------------------------

struct Op {
  uint64_t start, value, count;
};

TEST(AllocationTree, ModifyKeepsEntriesMergedSplitAndTrimmed) {
  const struct {
    const char* what;
    std::vector<Op> ops;
    std::vector<Extent> expected;
  } cases[] = {
      {"continuing ranges merge", {{0, 10, 4}, {4, 14, 4}}, {{0, 10, 8}}},
      {"a range filling a hole merges both sides", {{0, 10, 2}, {4, 14, 2}, {2, 12, 2}}, {{0, 10, 6}}},
      {"a range in front merges into the next", {{4, 14, 2}, {2, 12, 2}}, {{2, 12, 4}}},
      {"no merge across a value jump", {{0, 10, 4}, {4, 15, 4}}, {{0, 10, 4}, {4, 15, 4}}},
      {"mapping the middle splits into three", {{0, 100, 10}, {3, 500, 2}}, {{0, 100, 3}, {3, 500, 2}, {5, 105, 5}}},
      {"unmapping the middle keeps shifted rest", {{0, 100, 10}, {3, 0, 4}}, {{0, 100, 3}, {7, 107, 3}}},
      {"unmapping a head shifts the value", {{10, 100, 10}, {0, 0, 13}}, {{13, 103, 7}}},
      {"unmapping a tail", {{10, 100, 10}, {15, 0, 100}}, {{10, 100, 5}}},
      {"unmapping across entries", {{0, 100, 5}, {10, 200, 5}, {20, 300, 5}, {3, 0, 19}},
       {{0, 100, 3}, {22, 302, 3}}},
      {"remapping over several entries", {{0, 100, 5}, {10, 200, 5}, {2, 900, 10}},
       {{0, 100, 2}, {2, 900, 10}, {12, 202, 3}}},
      {"unmapping everything", {{0, 100, 5}, {10, 200, 5}, {0, 0, ~uint64_t{0}}}, {}},
      {"remapping the same values changes nothing visible", {{0, 100, 10}, {3, 103, 2}}, {{0, 100, 10}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MemoryBlockStore store(512);
    AllocationTree tree(store, 64, nullptr);
    for (const Op& op : c.ops) tree.Modify(op.start, op.value, op.count);
    EXPECT_EQ(Show(Extents(tree)), Show(c.expected));
  }
}

TEST(AllocationTree, FindReportsValueAndRunLength) {
  MemoryBlockStore store(512);
  AllocationTree tree(store, 64, nullptr);
  tree.Modify(10, 100, 5);
  tree.Modify(20, 7, 3);
  const struct {
    uint64_t key, length_in, value, length_out;
  } cases[] = {
      {0, 1000, 0, 10},    // gap before the first entry
      {10, 1000, 100, 5},  // start of an entry
      {12, 1000, 102, 3},  // inside an entry
      {12, 2, 102, 2},     // never more than asked
      {15, 1000, 0, 5},    // gap between entries: distance to the next
      {22, 1000, 9, 1},    // last key of the last entry
      {23, 1000, 0, 1000}, // beyond everything
  };
  for (const auto& c : cases) {
    uint64_t length = c.length_in;
    EXPECT_EQ(tree.Find(c.key, length), c.value) << "key " << c.key;
    EXPECT_EQ(length, c.length_out) << "key " << c.key;
  }
}

TEST(AllocationTree, MappingRangesThatReachTheLimitIsRefused) {
  MemoryBlockStore store(512);
  AllocationTree tree(store, 64, nullptr);
  tree.Modify(1, 1, 1);
  const Op refused[] = {
      {kExtentLimit, 5, 1}, {kExtentLimit - 1, 5, 2}, {5, kExtentLimit, 1}, {5, kExtentLimit - 2, 3},
      {~uint64_t{0}, 5, 1}, {5, 6, ~uint64_t{0}},
  };
  for (const Op& op : refused)
    EXPECT_EQ(CodeOf([&] { tree.Modify(op.start, op.value, op.count); }), Common::kErrInvalidUsage);
  tree.Modify(kExtentLimit - 1, kExtentLimit - 1, 1);  // the last key and value that fit
  tree.Modify(kExtentLimit, 0, ~uint64_t{0});          // unmapping beyond the limit is a no-op
  EXPECT_EQ(Show(Extents(tree)), Show({{1, 1, 1}, {kExtentLimit - 1, kExtentLimit - 1, 1}}));
  tree.Flush();
  std::vector<uint8_t> record(64);
  tree.SaveRoot(record.data());
  AllocationTree reloaded(store, 64, record.data());
  EXPECT_EQ(Show(Extents(reloaded)), Show({{1, 1, 1}, {kExtentLimit - 1, kExtentLimit - 1, 1}}));
}

// ---- root records and construction ------------------------------------------------

TEST(AllocationTree, RootRecordBelowThirtyTwoBytesIsCorruption) {
  MemoryBlockStore store(512);
  EXPECT_EQ(CodeOf([&] { AllocationTree tree(store, 31, nullptr); }), Common::kErrCorrupted);
  AllocationTree tree(store, 32, nullptr);
  EXPECT_EQ(tree.RootLevel(), 0u);
}

TEST(AllocationTree, InternalRootMustStartAtKeyZero) {
  MemoryBlockStore store(512);
  std::vector<uint8_t> record(32);
  EncodeNode({{4, 9, 1}}, record.data() + 1, 31);
  record[0] = 1;
  EXPECT_EQ(CodeOf([&] { AllocationTree tree(store, 32, record.data()); }), Common::kErrCorrupted);
  record[0] = 0;  // as a leaf the same entry is fine
  AllocationTree tree(store, 32, record.data());
  uint64_t length = 1;
  EXPECT_EQ(tree.Find(4, length), 9u);
}

TEST(AllocationTree, SavedRootIsLevelByteAndEncoding) {
  MemoryBlockStore store(512);
  AllocationTree tree(store, 40, nullptr);
  tree.Modify(0, 3, 1);
  EXPECT_TRUE(tree.Dirty());
  EXPECT_TRUE(tree.RootModified());
  tree.Flush();
  EXPECT_FALSE(tree.Dirty());
  std::vector<uint8_t> record(40, 0xEE), expected(40);
  tree.SaveRoot(record.data());
  EncodeNode({{0, 3, 1}}, expected.data() + 1, 39);
  expected[0] = 0;
  EXPECT_EQ(record, expected);
  EXPECT_FALSE(tree.RootModified());
  EXPECT_EQ(store.Writes(), 0u);  // the root lives only in its record
}

// ---- growth, shrinking and copy-on-write --------------------------------------------

// The value of the i-th scattered extent: distinct, far from its neighbours'
// (about 20 bits per entry, so a 512-byte leaf holds under 200 of them).
uint64_t ScatteredValue(uint64_t i) { return 1000 + 2 * ((i * 7919) % 65536); }

// Maps `n` single-block extents at even keys to scattered values.
void MapScattered(AllocationTree& tree, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) tree.Modify(i * 2, ScatteredValue(i), 1);
}

TEST(AllocationTree, FullRootGrowsALevelAndEmptyTreeShrinksToALeaf) {
  MemoryBlockStore store(512);
  AllocationTree tree(store, 32, nullptr);
  MapScattered(tree, 5000);
  tree.Flush();
  EXPECT_GE(tree.RootLevel(), 2u);
  std::set<uint64_t> node_blocks;
  tree.ForEachNode([&](uint32_t, uint64_t block, const std::vector<Extent>&) { node_blocks.insert(block); });
  EXPECT_EQ(node_blocks, store.InUse());

  tree.Modify(0, 0, ~uint64_t{0});
  tree.Flush();
  EXPECT_EQ(tree.RootLevel(), 0u);
  EXPECT_EQ(tree.CachedNodeCount(), 1u);
  EXPECT_TRUE(store.InUse().empty());
  EXPECT_TRUE(store.Violations().empty()) << store.Violations().front();
  std::vector<uint8_t> record(32, 0xEE);
  tree.SaveRoot(record.data());
  EXPECT_EQ(record, std::vector<uint8_t>(32, 0));
}

TEST(AllocationTree, FlushWritesOnlyModifiedNodesToFreshBlocks) {
  MemoryBlockStore store(512);
  AllocationTree tree(store, 32, nullptr);
  MapScattered(tree, 2000);
  tree.Flush();
  std::vector<uint8_t> record(32);
  tree.SaveRoot(record.data());
  store.Commit();
  const std::set<uint64_t> before = store.InUse();
  const uint64_t writes = store.Writes();

  const uint32_t level = tree.RootLevel();
  tree.Modify(2, 1, 1);  // one leaf changes
  tree.Flush();
  // The leaf and its ancestors below the root move to fresh blocks (a leaf that
  // outgrew its block takes more); every other node stays where it was.
  std::vector<uint64_t> gone, added;
  std::set_difference(before.begin(), before.end(), store.InUse().begin(), store.InUse().end(),
                      std::back_inserter(gone));
  std::set_difference(store.InUse().begin(), store.InUse().end(), before.begin(), before.end(),
                      std::back_inserter(added));
  EXPECT_EQ(gone.size(), level);
  EXPECT_EQ(added.size(), store.Writes() - writes);
  EXPECT_LE(added.size(), level + 2u);
  // The old nodes are intact: the previous root record still reads the old state.
  AllocationTree old_state(store, 32, record.data());
  uint64_t length = 1;
  EXPECT_EQ(old_state.Find(2, length), ScatteredValue(1));
  length = 1;
  EXPECT_EQ(tree.Find(2, length), 1u);
}

TEST(AllocationTree, EveryNodeIsReadAtMostOnce) {
  MemoryBlockStore store(512);
  AllocationTree tree(store, 32, nullptr);
  MapScattered(tree, 3000);
  tree.Flush();
  std::vector<uint8_t> record(32);
  tree.SaveRoot(record.data());
  AllocationTree reloaded(store, 32, record.data());
  const uint64_t reads = store.Reads();
  for (int round = 0; round < 3; ++round)
    for (uint64_t key = 0; key < 6000; key += 17) {
      uint64_t length = 1;
      reloaded.Find(key, length);
    }
  EXPECT_EQ(store.Reads() - reads, reloaded.CachedNodeCount() - 1);
}

TEST(AllocationTree, CopyReadsItsNodesAgainAndSeesTheSameExtents) {
  MemoryBlockStore store(512);
  AllocationTree tree(store, 32, nullptr);
  MapScattered(tree, 1500);
  tree.Flush();
  std::vector<uint8_t> record(32);
  tree.SaveRoot(record.data());
  AllocationTree copy(tree);
  EXPECT_EQ(copy.CachedNodeCount(), 1u);
  EXPECT_EQ(copy.RootLevel(), tree.RootLevel());
  EXPECT_EQ(Show(Extents(copy)), Show(Extents(tree)));
}

// Removing the first leaf below a parent re-keys the next leaf to the removed
// leaf's key. The next leaf's own first extent must keep its key, or the data
// it maps would move.
TEST(AllocationTree, RemovingAFirstLeafKeepsTheNextLeafsExtentKeys) {
  MemoryBlockStore store(512);
  AllocationTree tree(store, 32, nullptr);
  MapScattered(tree, 600);
  tree.Flush();
  std::vector<std::vector<Extent>> leaves;
  tree.ForEachNode([&](uint32_t level, uint64_t, const std::vector<Extent>& entries) {
    if (level == 0) leaves.push_back(entries);
  });
  ASSERT_GE(leaves.size(), 3u);
  // Empty the first leaf, and drop the first extent of the second one so that
  // its first remaining extent starts above its node key.
  const Extent second_first = leaves[1].front();
  tree.Modify(0, 0, second_first.key + 1);
  const std::vector<Extent> expected = Extents(tree);
  ASSERT_GT(expected.front().key, second_first.key);
  tree.Flush();
  EXPECT_EQ(Show(Extents(tree)), Show(expected));
  std::vector<uint8_t> record(32);
  tree.SaveRoot(record.data());
  AllocationTree reloaded(store, 32, record.data());
  EXPECT_EQ(Show(Extents(reloaded)), Show(expected));
  uint64_t length = 1;
  EXPECT_EQ(reloaded.Find(second_first.key, length), 0u);
  length = 1;
  EXPECT_EQ(reloaded.Find(expected.front().key, length), expected.front().value);
  // Keys below the surviving extents, now covered by the re-keyed leaf, can be mapped again.
  tree.Modify(0, 77777, 1);
  tree.Flush();
  length = 1;
  EXPECT_EQ(tree.Find(0, length), 77777u);
  EXPECT_TRUE(store.Violations().empty());
}

// Unmapping everything empties several sibling leaves in one flush: each
// removal re-keys a sibling that is itself empty and is removed next.
TEST(AllocationTree, EmptySiblingLeavesAreRemovedInOneFlush) {
  MemoryBlockStore store(512);
  AllocationTree tree(store, 64, nullptr);
  MapScattered(tree, 400);
  tree.Flush();
  ASSERT_EQ(tree.RootLevel(), 1u);
  tree.Modify(0, 0, 600);  // the first few leaves become empty, the rest survive
  tree.Flush();
  std::vector<Extent> expected;
  for (uint64_t i = 300; i < 400; ++i) expected.push_back({i * 2, ScatteredValue(i), 1});
  EXPECT_EQ(Show(Extents(tree)), Show(expected));
  std::vector<uint8_t> record(64);
  tree.SaveRoot(record.data());
  AllocationTree reloaded(store, 64, record.data());
  EXPECT_EQ(Show(Extents(reloaded)), Show(expected));
}

TEST(AllocationTree, CorruptChildNodeIsReported) {
  MemoryBlockStore store(512);
  AllocationTree tree(store, 32, nullptr);
  MapScattered(tree, 600);
  tree.Flush();
  std::vector<uint8_t> record(32);
  tree.SaveRoot(record.data());
  ASSERT_GE(tree.RootLevel(), 1u);
  const struct {
    const char* what;
    std::vector<Extent> entries;
  } cases[] = {
      {"leaf extent beyond its parent's range", {{1, 5, 1}, {kExtentLimit - 2, 9, 1}}},
  };
  uint64_t first_leaf = 0;
  tree.ForEachNode([&](uint32_t level, uint64_t block, const std::vector<Extent>&) {
    if (level == 0 && first_leaf == 0) first_leaf = block;
  });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> block(512);
    EncodeNode(c.entries, block.data(), 512);
    store.Store(first_leaf, block);
    AllocationTree reloaded(store, 32, record.data());
    uint64_t length = 1;
    EXPECT_EQ(CodeOf([&] { reloaded.Find(0, length); }), Common::kErrCorrupted);
  }
  std::vector<uint8_t> garbage(512, 0xFF);
  store.Store(first_leaf, garbage);
  AllocationTree reloaded(store, 32, record.data());
  uint64_t length = 1;
  EXPECT_EQ(CodeOf([&] { reloaded.Find(0, length); }), Common::kErrCorrupted);
}

}  // namespace
