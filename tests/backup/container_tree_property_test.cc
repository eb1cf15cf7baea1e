// Property tests of the allocation tree: random Modify and Find sequences
// against a std::map model, with flushes, reloads from the root record and
// structural checks of what reached the store; and corrupt input.

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backup/memory_block_store.h"
#include "core/backup/container_tree.h"
#include "core/common/error.h"
#include "support/test_support.h"

namespace {

using backupmedia::AllocationTree;
using backupmedia::DecodeNode;
using backupmedia::EncodeNode;
using backupmedia::Extent;
using zyk_test::MemoryBlockStore;

constexpr uint32_t kBlockSize = 512;  // small blocks: deep trees from few extents
constexpr uint32_t kRootSize = 32;    // the smallest root record

// key -> value for every mapped key.
using Model = std::map<uint64_t, uint64_t>;

// Compares the tree's extents, key by key, with the model; also checks that
// extents are sorted and do not overlap.
void ExpectExtentsMatch(AllocationTree& tree, const Model& model) {
  auto expected = model.begin();
  uint64_t previous_end = 0;
  size_t mismatches = 0;
  tree.ForEachExtent([&](const Extent& e) {
    if (e.key < previous_end) ++mismatches;
    previous_end = e.key + e.count;
    for (uint64_t i = 0; i < e.count; ++i) {
      if (expected == model.end() || expected->first != e.key + i || expected->second != e.value + i) {
        if (++mismatches < 5)
          ADD_FAILURE() << "extent (" << e.key << "," << e.value << "," << e.count << ") at offset " << i
                        << " expected key " << (expected == model.end() ? 0 : expected->first);
      } else {
        ++expected;
      }
    }
  });
  EXPECT_EQ(mismatches, 0u);
  EXPECT_TRUE(expected == model.end()) << "unmapped in tree: key " << expected->first;
}

// After a flush: nothing dirty, every node's block decodes to exactly its
// entries, node blocks are distinct and are exactly the store's blocks in use,
// and the store saw no free or write of a block not in use.
void ExpectFlushedConsistently(AllocationTree& tree, const MemoryBlockStore& store) {
  EXPECT_FALSE(tree.Dirty());
  std::set<uint64_t> blocks;
  size_t bad_nodes = 0, duplicates = 0;
  tree.ForEachNode([&](uint32_t, uint64_t block, const std::vector<Extent>& entries) {
    if (!blocks.insert(block).second) ++duplicates;
    std::vector<uint8_t> stored = store.Stored(block);
    if (stored.size() != kBlockSize || DecodeNode(stored.data(), kBlockSize) != entries || entries.empty())
      ++bad_nodes;
  });
  EXPECT_EQ(bad_nodes, 0u);
  EXPECT_EQ(duplicates, 0u);
  EXPECT_TRUE(blocks == store.InUse()) << blocks.size() << " node blocks, " << store.InUse().size() << " in use";
  for (const std::string& violation : store.Violations()) ADD_FAILURE() << violation;
}

// Checks one Find against the model: the value, and that the reported run has
// the same answer throughout and respects the requested length.
void ExpectFindMatches(AllocationTree& tree, const Model& model, uint64_t key, uint64_t asked) {
  uint64_t length = asked;
  uint64_t value = tree.Find(key, length);
  auto it = model.find(key);
  ASSERT_EQ(value, it == model.end() ? 0 : it->second) << "key " << key;
  ASSERT_GE(length, 1u);
  ASSERT_LE(length, asked);
  auto next = model.lower_bound(key);
  for (uint64_t i = 0; i < length; ++i, ++next) {
    if (value == 0) {
      ASSERT_TRUE(next == model.end() || next->first >= key + length) << "run from " << key << " hides a mapping";
      break;
    }
    ASSERT_TRUE(next != model.end() && next->first == key + i && next->second == value + i)
        << "run from " << key << " breaks at " << i;
  }
}

struct Random {
  explicit Random(uint64_t seed) : engine(seed) {}
  uint64_t Below(uint64_t n) { return engine() % n; }
  bool Percent(uint64_t p) { return Below(100) < p; }
  // Mostly short ranges, sometimes long ones.
  uint64_t Count() { return Percent(20) ? 1 + Below(300) : 1 + Below(8); }
  std::mt19937_64 engine;
};

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
    for (auto it = model.lower_bound(start); it != model.end() && it->first - start < count;) {
      owner.erase(it->second);
      it = model.erase(it);
    }
  };
  auto flush = [&] {
    tree->Flush();
    deepest = std::max(deepest, tree->RootLevel());
    ExpectFlushedConsistently(*tree, store);
  };

  for (uint64_t op = 0; op < operations && !HasFailure(); ++op) {
    uint64_t start = random.Below(kKeys);
    uint64_t count = std::min(random.Count(), kKeys - start);
    // The first half grows the tree, the second half mostly shrinks it.
    const bool growing = op < operations / 2;
    const uint64_t map_share = growing ? 600 : 400;
    uint64_t kind = random.Below(1000);
    if (kind < map_share) {
      // Map: fresh values, a continuation of the previous key's value (so that
      // entries merge), or values far away in identity style.
      uint64_t value = next_value;
      uint64_t style = random.Below(10);
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
      if (!growing && random.Percent(10)) {
        // Empties whole leaves, often the first ones below a parent, whose
        // next sibling then takes over their key range.
        if (random.Percent(40)) start = random.Below(50);
        count = 500 + random.Below(3000);
      }
      if (!growing && random.Below(1000) < 5) count = ~uint64_t{0} - start;  // to the end of the key space
      tree->Modify(start, 0, count);
      unmap(start, count);
    } else if (kind < 960) {
      ExpectFindMatches(*tree, model, random.Below(kKeys + 10), 1 + random.Below(400));
    } else if (kind < 985) {
      flush();
    } else {
      flush();
      std::vector<uint8_t> record(kRootSize);
      tree->SaveRoot(record.data());
      store.Commit();
      tree = std::make_unique<AllocationTree>(store, kRootSize, record.data());
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

  // Shrink back to an empty leaf root.
  tree->Modify(0, 0, ~uint64_t{0});
  flush();
  EXPECT_EQ(tree->RootLevel(), 0u);
  EXPECT_TRUE(store.InUse().empty());
  std::vector<uint8_t> record(kRootSize, 0xEE);
  tree->SaveRoot(record.data());
  EXPECT_EQ(record, std::vector<uint8_t>(kRootSize, 0));
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
      uint64_t key = random.Percent(20) ? 3 + random.Below(64) : start;
      ExpectFindMatches(*tree, expected(), key, 1 + random.Below(100));
    } else if (kind < 99) {
      flush();
      deepest = std::max(deepest, tree->RootLevel());
    } else {
      flush();
      std::vector<uint8_t> record(kRootSize);
      tree->SaveRoot(record.data());
      store.Commit();
      store.TrackIn(nullptr);
      tree = std::make_unique<AllocationTree>(store, kRootSize, record.data());
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

// ---- corrupt input ----------------------------------------------------------

// A store whose blocks hold random bytes, or now and then a valid node with a
// few flipped bits, the same bytes for the same block.
class GarbageStore : public backupmedia::BlockStore {
 public:
  explicit GarbageStore(uint64_t seed) : seed_(seed) {}
  uint32_t BlockSize() const override { return kBlockSize; }
  void ReadBlock(uint64_t block, void* buffer) override {
    std::mt19937_64 engine(seed_ ^ (block * 0x9E3779B97F4A7C15ull));
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < kBlockSize; ++i) bytes[i] = static_cast<uint8_t>(engine());
  }
  void WriteBlock(uint64_t, const void*) override {}
  uint64_t AllocateBlock() override { return ++next_; }
  void FreeBlock(uint64_t) override {}

 private:
  uint64_t seed_;
  uint64_t next_ = 1000;
};

// Random entries that encode, for mutation.
std::vector<Extent> RandomEntries(Random& random) {
  std::vector<Extent> entries;
  uint64_t key = random.Below(1000);
  uint64_t value = 1 + random.Below(1 << 20);
  for (uint64_t n = 1 + random.Below(40); n > 0; --n) {
    uint64_t count = 1 + random.Below(random.Percent(50) ? 4 : 1000);
    entries.push_back({key, value, count});
    key += count + random.Below(random.Percent(50) ? 3 : 100000);
    value += count + random.Below(1 << 20) * 4;
  }
  return entries;
}

void FlipBits(Random& random, std::vector<uint8_t>& record) {
  for (uint64_t flips = 1 + random.Below(3); flips > 0; --flips)
    record[random.Below(record.size())] ^= static_cast<uint8_t>(1u << random.Below(8));
}

uint32_t CorruptOrZero(auto&& action) {
  try {
    action();
  } catch (const Common::Error& error) {
    return error.Code();
  }
  return 0;
}

TEST(AllocationTreeCorruptInput, RandomNodesAreCorruptOrDecodeToEncodableEntries) {
  Random random(zyk_test::TestSeed());
  uint64_t valid = 0, corrupt = 0;
  for (uint64_t round = 0; round < zyk_test::Scaled(200000, 5000); ++round) {
    uint32_t bytes = static_cast<uint32_t>(4 + random.Below(random.Percent(80) ? 64 : 600));
    std::vector<uint8_t> record(bytes);
    if (random.Percent(50)) {
      for (uint8_t& b : record) b = static_cast<uint8_t>(random.engine());
    } else {
      std::vector<Extent> entries = RandomEntries(random);
      if (CorruptOrZero([&] { EncodeNode(entries, record.data(), bytes); }) != 0) continue;  // too big
      FlipBits(random, record);
    }
    std::vector<Extent> decoded;
    uint32_t code = CorruptOrZero([&] { decoded = DecodeNode(record.data(), bytes); });
    if (code != 0) {
      ASSERT_EQ(code, Common::kErrCorrupted);
      ++corrupt;
      continue;
    }
    ++valid;
    // Whatever decodes is a node the encoder accepts, in no more room, and
    // it decodes back to the same entries.
    std::vector<uint8_t> again(bytes);
    ASSERT_EQ(CorruptOrZero([&] { EncodeNode(decoded, again.data(), bytes); }), 0u);
    ASSERT_EQ(DecodeNode(again.data(), bytes), decoded);
  }
  std::printf("[ corrupt  ] %llu valid, %llu corrupt\n", static_cast<unsigned long long>(valid),
              static_cast<unsigned long long>(corrupt));
  EXPECT_GT(valid, 0u);
  EXPECT_GT(corrupt, 0u);
}

TEST(AllocationTreeCorruptInput, RandomRootRecordsAndNodesNeverCrash) {
  Random random(zyk_test::TestSeed());
  for (uint64_t round = 0; round < zyk_test::Scaled(20000, 500); ++round) {
    GarbageStore store(random.engine());
    uint32_t size = static_cast<uint32_t>(32 + random.Below(100));
    std::vector<uint8_t> record(size);
    if (random.Percent(50)) {
      for (uint8_t& b : record) b = static_cast<uint8_t>(random.engine());
    } else {
      std::vector<Extent> entries = RandomEntries(random);
      entries.front().key = 0;
      if (CorruptOrZero([&] { EncodeNode(entries, record.data() + 1, size - 1); }) != 0) continue;
      FlipBits(random, record);
      record[0] = static_cast<uint8_t>(random.Below(4));
    }
    uint32_t code = CorruptOrZero([&] {
      AllocationTree tree(store, size, record.data());
      for (int i = 0; i < 8; ++i) {
        uint64_t length = 1 + random.Below(1000);
        tree.Find(random.Below(1 << 20), length);
      }
      uint64_t visited = 0;
      tree.ForEachExtent([&](const Extent&) { ++visited; });
    });
    ASSERT_TRUE(code == 0 || code == Common::kErrCorrupted) << std::hex << code;
  }
}

}  // namespace
