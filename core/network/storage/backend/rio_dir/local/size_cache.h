#pragma once
// Logical size and allocated bytes of archive files, keyed by inode number, so
// that directory listings need not open every archive. Shared by every
// directory, iterator and file wrapper made from one container root. Entries
// are added or overwritten, never removed.

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace Network::Storage::Backend {

struct ArchiveSizes {
  uint64_t logical = 0;
  uint64_t allocated = 0;
};

class SizeCache {
 public:
  void Set(uint64_t inode, ArchiveSizes sizes) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[inode] = sizes;
  }
  std::optional<ArchiveSizes> Get(uint64_t inode) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = entries_.find(inode);
    if (found == entries_.end()) return std::nullopt;
    return found->second;
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<uint64_t, ArchiveSizes> entries_;  // guarded by mutex_
};

}  // namespace Network::Storage::Backend
