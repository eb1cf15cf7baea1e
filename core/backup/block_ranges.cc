#include "core/backup/block_ranges.h"

#include <algorithm>

namespace backupmedia {

void BlockRanges::Add(uint64_t start, uint64_t end) {
  if (start >= end) return;
  auto it = ranges_.upper_bound(start);
  if (it != ranges_.begin()) {
    auto before = std::prev(it);
    if (before->second >= start) {
      start = before->first;
      end = std::max(end, before->second);
      it = ranges_.erase(before);
    }
  }
  while (it != ranges_.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = ranges_.erase(it);
  }
  ranges_.emplace(start, end);
}

BlockRanges BlockRanges::Minus(const BlockRanges& other) const {
  BlockRanges result;
  auto cut = other.ranges_.begin();
  for (auto [start, end] : ranges_) {
    // Skip ranges of `other` that end before this one starts.
    while (cut != other.ranges_.end() && cut->second <= start) ++cut;
    uint64_t from = start;
    for (auto c = cut; c != other.ranges_.end() && c->first < end; ++c) {
      if (c->first > from) result.ranges_.emplace(from, c->first);
      from = std::max(from, c->second);
    }
    if (from < end) result.ranges_.emplace(from, end);
  }
  return result;
}

uint64_t BlockRanges::Count() const {
  uint64_t count = 0;
  for (auto [start, end] : ranges_) count += end - start;
  return count;
}

void BlockRanges::ForEach(const std::function<void(uint64_t, uint64_t)>& visit) const {
  for (auto [start, end] : ranges_) visit(start, end);
}

}  // namespace backupmedia
