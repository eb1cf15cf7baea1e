#pragma once
// An in-memory BlockStore for allocation tree tests and benchmarks. Blocks
// freed since the last Commit() are not reused (so copy-on-write holds), and
// misuse (freeing or writing a block not in use) is recorded, not thrown.

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/backup/block_store.h"
#include "core/backup/container_tree.h"
#include "core/common/error.h"

namespace zyk_test {

class MemoryBlockStore : public backupmedia::BlockStore {
 public:
  // Blocks below `first_block` hold an archive's label and headers.
  explicit MemoryBlockStore(uint32_t block_size, uint64_t first_block = 3)
      : block_size_(block_size), next_(first_block) {}

  uint32_t BlockSize() const override { return block_size_; }

  void ReadBlock(uint64_t block, void* buffer) override {
    ++reads_;
    auto it = blocks_.find(block);
    if (it == blocks_.end()) throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE);  // never written
    std::memcpy(buffer, it->second.data(), block_size_);
  }

  void WriteBlock(uint64_t block, const void* buffer) override {
    ++writes_;
    if (in_use_.count(block) == 0) violations_.push_back("write to block not in use: " + std::to_string(block));
    auto& stored = blocks_[block];
    stored.assign(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + block_size_);
  }

  uint64_t AllocateBlock() override {
    uint64_t block;
    if (!reusable_.empty()) {
      block = *reusable_.begin();
      reusable_.erase(reusable_.begin());
    } else {
      block = next_++;
    }
    in_use_.insert(block);
    if (tracking_ != nullptr) tracking_->Modify(block, block, 1);
    return block;
  }

  void FreeBlock(uint64_t block) override {
    if (in_use_.erase(block) == 0) {
      violations_.push_back("free of block not in use: " + std::to_string(block));
      return;
    }
    pending_.insert(block);
    if (tracking_ != nullptr) tracking_->Modify(block, 0, 1);
  }

  // The state on disk is now the last saved root: blocks freed before become reusable.
  void Commit() {
    reusable_.insert(pending_.begin(), pending_.end());
    pending_.clear();
  }

  // Makes `tree` record every allocation and release, as an archive's
  // allocation map does (null stops it).
  void TrackIn(backupmedia::AllocationTree* tree) { tracking_ = tree; }

  // Stored bytes of a block (empty when never written).
  std::vector<uint8_t> Stored(uint64_t block) const {
    auto it = blocks_.find(block);
    return it == blocks_.end() ? std::vector<uint8_t>() : it->second;
  }
  // Replaces the stored bytes of a block (for corruption tests).
  void Store(uint64_t block, std::vector<uint8_t> bytes) { blocks_[block] = std::move(bytes); }

  const std::set<uint64_t>& InUse() const { return in_use_; }
  const std::vector<std::string>& Violations() const { return violations_; }
  uint64_t Reads() const { return reads_; }
  uint64_t Writes() const { return writes_; }

 private:
  uint32_t block_size_;
  uint64_t next_;
  std::unordered_map<uint64_t, std::vector<uint8_t>> blocks_;
  std::set<uint64_t> in_use_;
  std::set<uint64_t> pending_;
  std::set<uint64_t> reusable_;
  std::vector<std::string> violations_;
  backupmedia::AllocationTree* tracking_ = nullptr;
  uint64_t reads_ = 0;
  uint64_t writes_ = 0;
};

}  // namespace zyk_test
