// The allocation tree under a sequence of maps, unmaps, lookups and flushes
// decoded from the input, against a model of every key. Small blocks and root
// records make the tree grow, split and shrink within a few operations. After
// every flush the saved root must reload to the same mapping, no block may be
// written or freed that is not in use, and every block in use must be a node.
// With the tree's allocation map option (first byte, bit 7) the store records
// its own allocations in a second tree, which then re-enters the first.

#include <memory>
#include <set>
#include <vector>

#include "backup/memory_block_store.h"
#include "core/backup/container_tree.h"
#include "fuzz/fuzz_targets.h"

namespace zyk_fuzz {
namespace {

using backupmedia::AllocationTree;

constexpr uint64_t kKeys = 4096;

class TreeSession {
 public:
  TreeSession(uint32_t block_size, uint32_t root_size, bool self_tracking)
      : store_(block_size), root_size_(root_size), model_(kKeys, 0) {
    tree_ = std::make_unique<AllocationTree>(store_, root_size_, nullptr);
    if (self_tracking) {
      map_ = std::make_unique<AllocationTree>(store_, root_size_, nullptr);
      store_.TrackIn(map_.get());
    }
  }
  ~TreeSession() { store_.TrackIn(nullptr); }

  // Values come from a counter, so mapped value ranges never overlap, as
  // physical blocks of one archive never do.
  void Map(uint64_t start, uint64_t count) {
    count = std::min(count, kKeys - start);
    tree_->Modify(start, kValueBase + next_value_, count);
    for (uint64_t i = 0; i < count; ++i) model_[start + i] = kValueBase + next_value_ + i;
    next_value_ += count;
  }
  void Unmap(uint64_t start, uint64_t count) {
    count = std::min(count, kKeys - start);
    tree_->Modify(start, 0, count);
    for (uint64_t i = 0; i < count; ++i) model_[start + i] = 0;
  }
  // Every run Find reports agrees with the model.
  void FindAll(AllocationTree& tree) {
    for (uint64_t key = 0; key < kKeys;) {
      uint64_t length = kKeys - key;
      uint64_t value = tree.Find(key, length);
      for (uint64_t i = 0; i < length; ++i) FUZZ_CHECK(model_[key + i] == (value == 0 ? 0 : value + i));
      key += length;
    }
  }
  void FlushAndReload() {
    tree_->Flush();
    if (map_) map_->Flush();  // records its own new blocks while it flushes
    std::vector<uint8_t> root(root_size_);
    tree_->SaveRoot(root.data());
    store_.Commit();
    FUZZ_CHECK(store_.Violations().empty());
    // Every block in use is a node of one of the trees; the allocation map
    // holds exactly the blocks in use.
    std::set<uint64_t> nodes;
    auto collect = [&](uint32_t, uint64_t block, const std::vector<backupmedia::Extent>&) {
      FUZZ_CHECK(nodes.insert(block).second);
    };
    tree_->ForEachNode(collect);
    if (map_) {
      map_->ForEachNode(collect);
      std::set<uint64_t> recorded;
      map_->ForEachExtent([&](const backupmedia::Extent& e) {
        for (uint64_t i = 0; i < e.count; ++i) {
          FUZZ_CHECK(e.value == e.key);
          recorded.insert(e.key + i);
        }
      });
      FUZZ_CHECK(recorded == store_.InUse());
    }
    FUZZ_CHECK(nodes == store_.InUse());
    AllocationTree reloaded(store_, root_size_, root.data());
    FindAll(reloaded);
  }
  void CheckAll() { FindAll(*tree_); }

 private:
  static constexpr uint64_t kValueBase = uint64_t{1} << 20;  // away from the store's own blocks
  zyk_test::MemoryBlockStore store_;
  uint32_t root_size_;
  std::vector<uint64_t> model_;
  uint64_t next_value_ = 0;
  std::unique_ptr<AllocationTree> tree_;
  std::unique_ptr<AllocationTree> map_;  // records the store's allocations
};

}  // namespace

int TreeOperations(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  size_t at = 0;
  auto byte = [&] { return at < size ? data[at++] : uint8_t{0}; };
  auto key = [&] { return (byte() | uint64_t{byte()} << 8) % kKeys; };
  const uint8_t shape = byte();
  TreeSession session(64u << (shape & 3), AllocationTree::kMinRootRecordSize + (shape >> 2 & 31), (shape & 128) != 0);
  while (at < size) {
    switch (byte() % 4) {
      case 0: {
        uint64_t start = key();
        session.Map(start, 1 + byte() % 32);
        break;
      }
      case 1: {
        uint64_t start = key();
        session.Unmap(start, 1 + byte() % 64);
        break;
      }
      case 2: session.FlushAndReload(); break;
      case 3: session.CheckAll(); break;
    }
  }
  session.FlushAndReload();
  return 0;
}

}  // namespace zyk_fuzz
