// Allocation tree throughput on a tree of 1,000,000 extents (4096-byte blocks,
// the root record size of a 4096-byte archive), and the space the node
// encoding takes per extent for regular and for scattered runs.

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/backup/container_tree.h"
#include "tests/backup/memory_block_store.h"

namespace {

using backupmedia::AllocationTree;
using backupmedia::Extent;

constexpr uint32_t kBlockSize = 4096;
constexpr uint32_t kRootSize = (kBlockSize - 56) / 3;
constexpr uint64_t kExtents = 1000000;

// A fragmented data map: extents of 1 to 8 blocks with holes of 0 to 3 blocks
// between them, each stored at a scattered physical place.
struct FragmentedTree {
  FragmentedTree() : store(kBlockSize), tree(store, kRootSize, nullptr) {
    std::mt19937_64 random(42);
    uint64_t key = 0;
    for (uint64_t i = 0; i < kExtents; ++i) {
      uint64_t count = 1 + random() % 8;
      // Physical places: slot i of 16 blocks each, in a shuffled order.
      uint64_t slot = (i * 2654435761u) % (uint64_t{1} << 32);
      tree.Modify(key, (uint64_t{1} << 33) + slot * 16, count);
      keys.push_back(key);
      key += count + random() % 4;
      if (i % 100000 == 99999) tree.Flush();
    }
    end = key;
    tree.Flush();
  }
  zyk_test::MemoryBlockStore store;
  AllocationTree tree;
  std::vector<uint64_t> keys;
  uint64_t end = 0;
};

FragmentedTree& Shared() {
  static FragmentedTree* tree = new FragmentedTree();  // built once, kept for all runs
  return *tree;
}

void BM_Find(benchmark::State& state) {
  FragmentedTree& shared = Shared();
  std::mt19937_64 random(7);
  uint64_t found = 0;
  for (auto _ : state) {
    uint64_t length = 64;
    found += shared.tree.Find(random() % shared.end, length) != 0;
  }
  benchmark::DoNotOptimize(found);
  state.SetItemsProcessed(state.iterations());
  state.counters["depth"] = shared.tree.RootLevel() + 1;
}
BENCHMARK(BM_Find);

// Node space per extent: the blocks of all nodes (and the root record) over
// the number of extents.
void ReportBitsPerEntry(benchmark::State& state, AllocationTree& tree) {
  uint64_t nodes = 0, extents = 0;
  tree.ForEachNode([&](uint32_t, uint64_t, const std::vector<Extent>&) { ++nodes; });
  tree.ForEachExtent([&](const Extent&) { ++extents; });
  state.counters["bits_per_entry"] = static_cast<double>((nodes * kBlockSize + kRootSize) * 8) / extents;
  state.counters["extents"] = static_cast<double>(extents);
  state.counters["nodes"] = static_cast<double>(nodes);
}

// Regular runs: 16-block extents with 16-block holes, physically contiguous
// apart from one skipped block each (a file written in steps with gaps).
void BM_BitsPerEntryRegular(benchmark::State& state) {
  for (auto _ : state) {
    zyk_test::MemoryBlockStore store(kBlockSize);
    AllocationTree tree(store, kRootSize, nullptr);
    for (uint64_t i = 0; i < 200000; ++i) tree.Modify(i * 32, 1000 + i * 17, 16);
    tree.Flush();
    state.PauseTiming();
    ReportBitsPerEntry(state, tree);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_BitsPerEntryRegular)->Unit(benchmark::kMillisecond)->Iterations(1);

// The fragmented million-extent tree above.
void BM_BitsPerEntryFragmented(benchmark::State& state) {
  FragmentedTree& shared = Shared();
  for (auto _ : state) ReportBitsPerEntry(state, shared.tree);
}
BENCHMARK(BM_BitsPerEntryFragmented)->Unit(benchmark::kMillisecond)->Iterations(1);

// Remaps one block inside a random extent (splitting it), flushing every 1000
// changes as an archive's commits would; the flush cost is included.
void BM_Modify(benchmark::State& state) {
  FragmentedTree& shared = Shared();
  std::mt19937_64 random(11);
  uint64_t next_value = uint64_t{1} << 40;
  uint64_t changes = 0;
  for (auto _ : state) {
    uint64_t key = shared.keys[random() % shared.keys.size()];
    shared.tree.Modify(key, next_value, 1);
    next_value += 2;
    if (++changes % 1000 == 0) shared.tree.Flush();
  }
  shared.tree.Flush();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Modify);

}  // namespace
