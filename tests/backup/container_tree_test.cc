// The allocation tree: node encoding, Find and Modify cases, copy-on-write
// flushes, and property tests against a std::map model. Corrupt nodes are fed
// by the tree_node fuzz target, which the fuzz tests run on damaged inputs too.

#include "core/backup/container_tree.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "backup/memory_block_store.h"
#include "core/backup/bit_encoder.h"
#include "support/test_support.h"
#include "tests/backup/container_test_util.h"

namespace {

using backupmedia::AllocationTree;
using backupmedia::DecodeNode;
using backupmedia::EncodeNode;
using backupmedia::Extent;
using backupmedia::GetNodeSize;
using backupmedia::kExtentLimit;
using container_test::CodeOf;
using zyk_test::MemoryBlockStore;
using Model = std::map<uint64_t, uint64_t>;  // key -> value for every mapped key

constexpr uint32_t kBlockSize = 512;  // small blocks: deep trees from few extents
constexpr uint32_t kRootSize = 32;    // the smallest root record

std::string Show(const std::vector<Extent>& entries) {
  std::string text;
  for (const Extent& e : entries)
    text += "(" + std::to_string(e.key) + "," + std::to_string(e.value) + "," + std::to_string(e.count) + ")";
  return text;
}

std::string Show(AllocationTree& tree) {
  std::vector<Extent> all;
  tree.ForEachExtent([&](const Extent& e) { all.push_back(e); });
  return Show(all);
}

std::vector<uint8_t> SavedRoot(AllocationTree& tree) {
  std::vector<uint8_t> record(tree.RootRecordSize());
  tree.SaveRoot(record.data());
  return record;
}

uint64_t FindOne(AllocationTree& tree, uint64_t key) {
  uint64_t length = 1;
  return tree.Find(key, length);
}

// ---- node encoding ----------------------------------------------------------

TEST(NodeEncoding, EntryListsRoundTrip) {
  const uint64_t top = kExtentLimit;
  const std::vector<std::vector<Extent>> cases = {
      {},
      {{5, 0x1234, 77}},
      {{0, 10, 4}, {8, 20, 1}, {9, 21 + 5, 3}},             // ascending values
      {{0, 100, 4}, {4, 50, 10}, {20, 60, 1}, {30, 1, 2}},  // descending and mixed
      {{1, 1, 1}, {1000000, 2, 1}, {1000001, 999999999, 5}},
      {{0, top - 10, 10}, {top - 5, top - 20, 5}},   // ends exactly at the limit
      {{0, (uint64_t{1} << 61) + 9, 1}, {1, 3, 1}},  // 62-bit negative delta
      {{7, 7, uint64_t{1} << 40}},
  };
  for (const auto& entries : cases) {
    std::vector<uint8_t> record(256);
    EncodeNode(entries, record.data(), 256);
    if (!entries.empty()) record[250] = 0xFF;  // bytes after the terminating zero delta are never read
    EXPECT_EQ(Show(DecodeNode(record.data(), 256)), Show(entries));
  }
}

// Keys, values and gaps of 2^63 or more do not fit the width fields.
TEST(NodeEncoding, UnencodableEntriesAreInvalidUsage) {
  const uint64_t top = kExtentLimit;
  const struct {
    const char* what;
    std::vector<Extent> entries;
    bool estimate_checks = true;  // the size estimate checks neighbours only
  } cases[] = {
      {"first key and value zero", {{0, 0, 1}}},
      {"zero value later", {{0, 5, 1}, {3, 0, 1}}},
      {"zero count", {{0, 5, 0}}},
      {"overlapping keys", {{0, 5, 4}, {3, 20, 1}}},
      {"unsorted keys", {{10, 5, 1}, {3, 20, 1}}},
      {"value ranges overlap the previous", {{0, 5, 4}, {10, 7, 1}}},
      {"value ranges overlap a distant entry", {{0, 50, 10}, {20, 5, 5}, {40, 55, 1}}, false},
      {"key at the limit", {{top, 5, 1}}},
      {"key range past the limit", {{top - 1, 5, 2}}},
      {"value range past the limit", {{0, top - 1, 2}}},
      {"negative delta too wide for its field", {{0, (uint64_t{1} << 62) + 9, 1}, {1, 3, 1}}},
  };
  std::vector<uint8_t> record(256);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CodeOf([&] { EncodeNode(c.entries, record.data(), 256); }), Common::kErrInvalidUsage);
    if (c.estimate_checks) {
      EXPECT_EQ(CodeOf([&] { GetNodeSize(c.entries, 256); }), Common::kErrInvalidUsage);
    }
  }
}

TEST(NodeEncoding, SignWithoutDeltaWidthIsCorruption) {
  std::vector<uint8_t> record(16);
  backupmedia::BitWriter writer(record.data(), 16);
  for (auto [value, width] : {std::pair{3, 6}, {1, 6}, {1, 1}, {0, 6}, {0, 6}, {1, 3}, {5, 3}})
    writer.Encode(value, width);  // W0, Wk, S set while Wv is 0, Wc, key, value
  EXPECT_EQ(CodeOf([&] { DecodeNode(record.data(), 16); }), Common::kErrCorrupted);
}

// ---- Find and Modify ----------------------------------------------------------

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
      {"unmapping across entries", {{0, 100, 5}, {10, 200, 5}, {20, 300, 5}, {3, 0, 19}}, {{0, 100, 3}, {22, 302, 3}}},
      {"remapping over several entries",
       {{0, 100, 5}, {10, 200, 5}, {2, 900, 10}},
       {{0, 100, 2}, {2, 900, 10}, {12, 202, 3}}},
      {"unmapping everything", {{0, 100, 5}, {10, 200, 5}, {0, 0, ~uint64_t{0}}}, {}},
      {"remapping the same values changes nothing visible", {{0, 100, 10}, {3, 103, 2}}, {{0, 100, 10}}},
  };
  for (const auto& c : cases) {
    MemoryBlockStore store(kBlockSize);
    AllocationTree tree(store, 64, nullptr);
    for (const Op& op : c.ops) tree.Modify(op.start, op.value, op.count);
    EXPECT_EQ(Show(tree), Show(c.expected)) << c.what;
  }
}

TEST(AllocationTree, FindReportsValueAndRunLength) {
  MemoryBlockStore store(kBlockSize);
  AllocationTree tree(store, 64, nullptr);
  tree.Modify(10, 100, 5);
  tree.Modify(20, 7, 3);
  const struct {
    uint64_t key, length_in, value, length_out;
  } cases[] = {
      {0, 1000, 0, 10},     // gap before the first entry
      {12, 1000, 102, 3},   // inside an entry
      {12, 2, 102, 2},      // never more than asked
      {15, 1000, 0, 5},     // gap between entries: distance to the next
      {22, 1000, 9, 1},     // last key of the last entry
      {23, 1000, 0, 1000},  // beyond everything
  };
  for (const auto& c : cases) {
    uint64_t length = c.length_in;
    EXPECT_EQ(tree.Find(c.key, length), c.value) << "key " << c.key;
    EXPECT_EQ(length, c.length_out) << "key " << c.key;
  }
}

TEST(AllocationTree, MappingRangesThatReachTheLimitIsRefused) {
  MemoryBlockStore store(kBlockSize);
  AllocationTree tree(store, 64, nullptr);
  tree.Modify(1, 1, 1);
  const Op refused[] = {{kExtentLimit, 5, 1},     {kExtentLimit - 1, 5, 2}, {5, kExtentLimit, 1},
                        {5, kExtentLimit - 2, 3}, {~uint64_t{0}, 5, 1},     {5, 6, ~uint64_t{0}}};
  for (const Op& op : refused)
    EXPECT_EQ(CodeOf([&] { tree.Modify(op.start, op.value, op.count); }), Common::kErrInvalidUsage);
  tree.Modify(kExtentLimit - 1, kExtentLimit - 1, 1);  // the last key and value that fit
  tree.Modify(kExtentLimit, 0, ~uint64_t{0});          // unmapping beyond the limit is a no-op
  const std::string expected = Show({{1, 1, 1}, {kExtentLimit - 1, kExtentLimit - 1, 1}});
  EXPECT_EQ(Show(tree), expected);
  tree.Flush();
  AllocationTree reloaded(store, 64, SavedRoot(tree).data());
  EXPECT_EQ(Show(reloaded), expected);
}

// ---- root records, copy-on-write and the node cache ----------------------------

TEST(AllocationTree, RootRecordIsTheLevelByteAndTheEncoding) {
  MemoryBlockStore store(kBlockSize);
  EXPECT_EQ(CodeOf([&] { AllocationTree tree(store, 31, nullptr); }), Common::kErrCorrupted);
  std::vector<uint8_t> record(40);
  EncodeNode({{4, 9, 1}}, record.data() + 1, 39);
  record[0] = 1;  // an internal root must start at key 0
  EXPECT_EQ(CodeOf([&] { AllocationTree tree(store, 40, record.data()); }), Common::kErrCorrupted);
  record[0] = 0;  // as a leaf the same entry is fine
  {
    AllocationTree leaf(store, 40, record.data());
    EXPECT_EQ(FindOne(leaf, 4), 9u);
  }

  AllocationTree tree(store, 40, nullptr);
  tree.Modify(0, 3, 1);
  EXPECT_TRUE(tree.Dirty() && tree.RootModified());
  tree.Flush();
  EXPECT_FALSE(tree.Dirty());
  std::vector<uint8_t> expected(40);
  EncodeNode({{0, 3, 1}}, expected.data() + 1, 39);
  EXPECT_EQ(SavedRoot(tree), expected);
  EXPECT_FALSE(tree.RootModified());
  EXPECT_EQ(store.Writes(), 0u);  // the root lives only in its record
}

// The value of the i-th scattered extent: distinct, far from its neighbours'
// (about 20 bits per entry, so a 512-byte leaf holds under 200 of them).
uint64_t ScatteredValue(uint64_t i) { return 1000 + 2 * ((i * 7919) % 65536); }

// A flushed tree of `n` single-block extents at even keys.
void MapScattered(AllocationTree& tree, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) tree.Modify(i * 2, ScatteredValue(i), 1);
  tree.Flush();
}

TEST(AllocationTree, FlushWritesOnlyModifiedNodesToFreshBlocks) {
  MemoryBlockStore store(kBlockSize);
  AllocationTree tree(store, kRootSize, nullptr);
  MapScattered(tree, 2000);
  const std::vector<uint8_t> record = SavedRoot(tree);
  store.Commit();
  const std::set<uint64_t> before = store.InUse();
  const uint64_t writes = store.Writes();
  tree.Modify(2, 1, 1);  // one leaf changes
  tree.Flush();
  // The leaf and its ancestors below the root move to fresh blocks (a leaf that
  // outgrew its block takes more); every other node stays where it was.
  std::vector<uint64_t> gone, added;
  const std::set<uint64_t>& after = store.InUse();
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(gone));
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
  EXPECT_EQ(gone.size(), tree.RootLevel());
  EXPECT_EQ(added.size(), store.Writes() - writes);
  EXPECT_LE(added.size(), tree.RootLevel() + 2u);
  AllocationTree old_state(store, kRootSize, record.data());  // the old nodes are intact
  EXPECT_EQ(FindOne(old_state, 2), ScatteredValue(1));
  EXPECT_EQ(FindOne(tree, 2), 1u);
}

TEST(AllocationTree, EveryNodeIsReadAtMostOnceAndACopyReadsItsOwn) {
  MemoryBlockStore store(kBlockSize);
  AllocationTree tree(store, kRootSize, nullptr);
  MapScattered(tree, 3000);
  AllocationTree reloaded(store, kRootSize, SavedRoot(tree).data());
  const uint64_t reads = store.Reads();
  for (int round = 0; round < 3; ++round)
    for (uint64_t key = 0; key < 6000; key += 17) FindOne(reloaded, key);
  EXPECT_EQ(store.Reads() - reads, reloaded.CachedNodeCount() - 1);
  AllocationTree copy(tree);
  EXPECT_EQ(copy.CachedNodeCount(), 1u);
  EXPECT_EQ(Show(copy), Show(tree));
}

// Removing the first leaf below a parent re-keys the next leaf to the removed
// leaf's key. The next leaf's own first extent must keep its key, or the data
// it maps would move.
TEST(AllocationTree, RemovingAFirstLeafKeepsTheNextLeafsExtentKeys) {
  MemoryBlockStore store(kBlockSize);
  AllocationTree tree(store, kRootSize, nullptr);
  MapScattered(tree, 600);
  std::vector<std::vector<Extent>> leaves;
  tree.ForEachNode([&](uint32_t level, uint64_t, const std::vector<Extent>& entries) {
    if (level == 0) leaves.push_back(entries);
  });
  ASSERT_GE(leaves.size(), 3u);
  // Empty the first leaf and drop the first extent of the second one.
  const Extent second_first = leaves[1].front();
  tree.Modify(0, 0, second_first.key + 1);
  std::vector<Extent> kept;
  tree.ForEachExtent([&](const Extent& e) { kept.push_back(e); });
  ASSERT_GT(kept.front().key, second_first.key);
  tree.Flush();
  EXPECT_EQ(Show(tree), Show(kept));
  AllocationTree reloaded(store, kRootSize, SavedRoot(tree).data());
  EXPECT_EQ(Show(reloaded), Show(kept));
  EXPECT_EQ(FindOne(reloaded, second_first.key), 0u);
  EXPECT_EQ(FindOne(reloaded, kept.front().key), kept.front().value);
  tree.Modify(0, 77777, 1);  // keys now covered by the re-keyed leaf can be mapped again
  tree.Flush();
  EXPECT_EQ(FindOne(tree, 0), 77777u);
  EXPECT_TRUE(store.Violations().empty());
}

// Each removal re-keys a sibling that is itself empty and is removed next.
TEST(AllocationTree, EmptySiblingLeavesAreRemovedInOneFlush) {
  MemoryBlockStore store(kBlockSize);
  AllocationTree tree(store, 64, nullptr);
  MapScattered(tree, 400);
  ASSERT_EQ(tree.RootLevel(), 1u);
  tree.Modify(0, 0, 600);
  tree.Flush();
  std::vector<Extent> expected;
  for (uint64_t i = 300; i < 400; ++i) expected.push_back({i * 2, ScatteredValue(i), 1});
  EXPECT_EQ(Show(tree), Show(expected));
  AllocationTree reloaded(store, 64, SavedRoot(tree).data());
  EXPECT_EQ(Show(reloaded), Show(expected));
}

// A leaf reaching beyond its parent's range, a leaf that does not decode, and
// an internal node pointing at a run of blocks rather than at one node.
TEST(AllocationTree, CorruptChildNodeIsReported) {
  MemoryBlockStore store(kBlockSize);
  AllocationTree tree(store, kRootSize, nullptr);
  MapScattered(tree, 20000);
  ASSERT_GE(tree.RootLevel(), 2u);
  const std::vector<uint8_t> record = SavedRoot(tree);
  std::map<uint32_t, uint64_t> first;  // level -> block of the node holding key 0
  tree.ForEachNode([&](uint32_t level, uint64_t block, const std::vector<Extent>& entries) {
    if (entries.front().key == 0) first.emplace(level, block);
  });
  std::vector<uint8_t> beyond_parent(kBlockSize), garbage(kBlockSize, 0xFF), run(kBlockSize);
  EncodeNode({{1, 5, 1}, {kExtentLimit - 2, 9, 1}}, beyond_parent.data(), kBlockSize);
  EncodeNode({{0, first[0], 2}}, run.data(), kBlockSize);
  for (auto [block, bytes] : {std::pair{first[0], beyond_parent}, {first[0], garbage}, {first[1], run}}) {
    const std::vector<uint8_t> kept = store.Stored(block);
    store.Store(block, bytes);
    AllocationTree reloaded(store, kRootSize, record.data());
    EXPECT_EQ(CodeOf([&] { FindOne(reloaded, 0); }), Common::kErrCorrupted) << "block " << block;
    store.Store(block, kept);
  }
}

// ---- property tests against a model -------------------------------------------

// Compares the tree's extents key by key with the model; extents must be sorted
// and must not overlap.
void ExpectExtentsMatch(AllocationTree& tree, const Model& model) {
  auto expected = model.begin();
  uint64_t previous_end = 0;
  size_t mismatches = 0;
  tree.ForEachExtent([&](const Extent& e) {
    if (e.key < previous_end) ++mismatches;
    previous_end = e.key + e.count;
    for (uint64_t i = 0; i < e.count; ++i, ++expected) {
      if (expected == model.end() || expected->first != e.key + i || expected->second != e.value + i) {
        if (++mismatches < 5) ADD_FAILURE() << "extent (" << e.key << "," << e.value << "," << e.count << ") at " << i;
        break;
      }
    }
  });
  EXPECT_EQ(mismatches, 0u);
  EXPECT_TRUE(expected == model.end()) << "unmapped in tree: key " << expected->first;
}

// After a flush: nothing dirty, every node's block decodes to exactly its
// entries, node blocks are distinct and are exactly the store's blocks in use,
// and no block was freed or written while not in use.
void ExpectFlushedConsistently(AllocationTree& tree, const MemoryBlockStore& store) {
  EXPECT_FALSE(tree.Dirty());
  std::set<uint64_t> blocks;
  size_t bad_nodes = 0;
  tree.ForEachNode([&](uint32_t, uint64_t block, const std::vector<Extent>& entries) {
    std::vector<uint8_t> stored = store.Stored(block);
    if (!blocks.insert(block).second || stored.size() != kBlockSize || entries.empty() ||
        DecodeNode(stored.data(), kBlockSize) != entries)
      ++bad_nodes;
  });
  EXPECT_EQ(bad_nodes, 0u);
  EXPECT_TRUE(blocks == store.InUse()) << blocks.size() << " node blocks, " << store.InUse().size() << " in use";
  for (const std::string& violation : store.Violations()) ADD_FAILURE() << violation;
}

// One Find against the model: the value, and a run with the same answer
// throughout that respects the requested length.
void ExpectFindMatches(AllocationTree& tree, const Model& model, uint64_t key, uint64_t asked) {
  uint64_t length = asked;
  uint64_t value = tree.Find(key, length);
  auto it = model.find(key);
  ASSERT_EQ(value, it == model.end() ? 0 : it->second) << "key " << key;
  ASSERT_TRUE(length >= 1 && length <= asked) << length;
  auto next = model.lower_bound(key);
  if (value == 0) {
    ASSERT_TRUE(next == model.end() || next->first >= key + length) << "run from " << key << " hides a mapping";
    return;
  }
  for (uint64_t i = 0; i < length; ++i, ++next)
    ASSERT_TRUE(next != model.end() && next->first == key + i && next->second == value + i)
        << "run from " << key << " breaks at " << i;
}

struct Random {
  explicit Random(uint64_t seed) : engine(seed) {}
  uint64_t Below(uint64_t n) { return engine() % n; }
  bool Percent(uint64_t p) { return Below(100) < p; }
  uint64_t Count() { return Percent(20) ? 1 + Below(300) : 1 + Below(8); }  // mostly short
  std::mt19937_64 engine;
};

// Flushes, saves the root, commits the store and reloads the tree from the record.
void Reload(std::unique_ptr<AllocationTree>& tree, MemoryBlockStore& store) {
  std::vector<uint8_t> record = SavedRoot(*tree);
  store.Commit();
  tree = std::make_unique<AllocationTree>(store, kRootSize, record.data());
}

// Random maps (overlapping, adjacent, merging, splitting), unmaps and finds
// against the model; the first half grows the tree, the second mostly shrinks it.
TEST(AllocationTreeProperty, RandomModifyAndFindMatchModelAcrossFlushesAndReloads) {
  Random random(zyk_test::TestSeed());
  const uint64_t operations = zyk_test::Scaled(100000, 2000);
  constexpr uint64_t kKeys = 1 << 14;
  MemoryBlockStore store(kBlockSize);
  auto tree = std::make_unique<AllocationTree>(store, kRootSize, nullptr);
  Model model;
  std::map<uint64_t, uint64_t> owner;  // value -> key, so that value ranges never overlap
  uint64_t next_value = 1;
  uint32_t deepest = 0;
  auto unmap = [&](uint64_t start, uint64_t count) {
    for (auto it = model.lower_bound(start); it != model.end() && it->first - start < count; it = model.erase(it))
      owner.erase(it->second);
  };
  auto flush = [&] {
    tree->Flush();
    deepest = std::max(deepest, tree->RootLevel());
    ExpectFlushedConsistently(*tree, store);
  };
  for (uint64_t op = 0; op < operations && !HasFailure(); ++op) {
    uint64_t start = random.Below(kKeys);
    uint64_t count = std::min(random.Count(), kKeys - start);
    const bool growing = op < operations / 2;
    uint64_t kind = random.Below(1000);
    if (kind < (growing ? 600u : 400u)) {
      // Fresh values, a continuation of the previous key's value (entries
      // merge), or far away values in identity style.
      uint64_t value = next_value, style = random.Below(10);
      auto previous = model.find(start - 1);
      if (style < 3 && start > 0 && previous != model.end()) {
        value = previous->second + 1;
        for (uint64_t i = 0; i < count; ++i) {
          auto used = owner.find(value + i);
          if (used != owner.end() && used->second - start >= count) {
            value = next_value;  // would overlap another key's values
            break;
          }
        }
      } else if (style < 4) {
        value = (uint64_t{1} << 40) + start;
      }
      if (value < (uint64_t{1} << 40)) next_value = std::max(next_value, value + count + random.Below(3));
      tree->Modify(start, value, count);
      unmap(start, count);
      for (uint64_t i = 0; i < count; ++i) {
        model[start + i] = value + i;
        owner[value + i] = start + i;
      }
    } else if (kind < 750) {
      if (!growing && random.Percent(10)) {  // empty whole leaves, often the first below a parent
        if (random.Percent(40)) start = random.Below(50);
        count = 500 + random.Below(3000);
      }
      if (!growing && random.Below(1000) < 5) count = ~uint64_t{0} - start;  // to the end of the key space
      tree->Modify(start, 0, count);
      unmap(start, count);
    } else if (kind < 960) {
      ExpectFindMatches(*tree, model, random.Below(kKeys + 10), 1 + random.Below(400));
    } else {
      flush();
      if (kind < 985) continue;
      Reload(tree, store);
      ExpectExtentsMatch(*tree, model);
      if (random.Percent(30)) {
        AllocationTree copy(*tree);
        ExpectExtentsMatch(copy, model);
      }
    }
  }
  flush();
  ExpectExtentsMatch(*tree, model);
  EXPECT_GE(deepest, 2u) << "the tree never reached three levels";
  tree->Modify(0, 0, ~uint64_t{0});  // shrink back to an empty leaf root
  flush();
  EXPECT_EQ(tree->RootLevel(), 0u);
  EXPECT_EQ(tree->CachedNodeCount(), 1u);
  EXPECT_TRUE(store.InUse().empty());
  EXPECT_EQ(SavedRoot(*tree), std::vector<uint8_t>(kRootSize, 0));
}

// The tree as an allocation map: the store records every block it hands out or
// takes back in the same tree, from inside Flush. After every flush the tree
// maps exactly the user's ranges plus the blocks holding its own nodes.
TEST(AllocationTreeProperty, AllocationMapRecordingItsOwnBlocksStaysConsistent) {
  Random random(zyk_test::TestSeed());
  const uint64_t operations = zyk_test::Scaled(30000, 1000);
  constexpr uint64_t kUserBase = uint64_t{1} << 24;  // user blocks lie far above the tree's own
  constexpr uint64_t kKeys = 1 << 14;
  MemoryBlockStore store(kBlockSize);
  auto tree = std::make_unique<AllocationTree>(store, kRootSize, nullptr);
  store.TrackIn(tree.get());
  Model user;
  auto expected = [&] {
    Model all = user;
    for (uint64_t block : store.InUse()) all[block] = block;
    return all;
  };
  auto flush = [&] {
    tree->Flush();
    ExpectFlushedConsistently(*tree, store);
    ExpectExtentsMatch(*tree, expected());
  };
  uint32_t deepest = 0;
  for (uint64_t op = 0; op < operations && !HasFailure(); ++op) {
    uint64_t start = kUserBase + random.Below(kKeys);
    uint64_t count = std::min(random.Count(), kUserBase + kKeys - start);
    uint64_t kind = random.Below(100);
    if (kind < 55) {
      tree->Modify(start, start, count);
      for (uint64_t i = 0; i < count; ++i) user[start + i] = start + i;
    } else if (kind < 80) {
      tree->Modify(start, 0, count);
      user.erase(user.lower_bound(start), user.lower_bound(start + count));
    } else if (kind < 95) {
      ExpectFindMatches(*tree, expected(), random.Percent(20) ? 3 + random.Below(64) : start, 1 + random.Below(100));
    } else {
      flush();
      deepest = std::max(deepest, tree->RootLevel());
      if (kind < 99) continue;
      store.TrackIn(nullptr);
      Reload(tree, store);
      store.TrackIn(tree.get());
      ExpectExtentsMatch(*tree, expected());
    }
  }
  flush();
  EXPECT_GE(deepest, 1u);
  tree->Modify(kUserBase, 0, kKeys);
  user.clear();
  flush();
  store.TrackIn(nullptr);
}

}  // namespace
