#include "core/backup/block_ranges.h"

#include <algorithm>
#include <iterator>

namespace backupmedia {

void BlockRanges::Add(uint64_t start, uint64_t end) {
  if (start >= end) return;
  added_.emplace_back(start, end);
  if (added_.size() >= settle_at_) {
    Settle();
    // Scattered blocks that stay apart keep the set large: merge again only
    // once as many more have gathered, so each addition costs O(log n).
    settle_at_ = std::max<size_t>(1024, ranges_.size());
  }
}

void BlockRanges::Settle() const {
  if (added_.empty()) return;
  std::sort(added_.begin(), added_.end());
  std::vector<Range> merged;
  merged.reserve(ranges_.size() + added_.size());
  std::merge(ranges_.begin(), ranges_.end(), added_.begin(), added_.end(), std::back_inserter(merged));
  added_.clear();
  ranges_.clear();
  for (const Range& range : merged) {
    if (!ranges_.empty() && range.first <= ranges_.back().second)
      ranges_.back().second = std::max(ranges_.back().second, range.second);
    else
      ranges_.push_back(range);
  }
}

BlockRanges BlockRanges::Minus(const BlockRanges& other) const {
  Settle();
  other.Settle();
  BlockRanges result;
  auto cut = other.ranges_.begin();
  for (auto [start, end] : ranges_) {
    // Skip ranges of `other` that end before this one starts.
    while (cut != other.ranges_.end() && cut->second <= start) ++cut;
    uint64_t from = start;
    for (auto c = cut; c != other.ranges_.end() && c->first < end; ++c) {
      if (c->first > from) result.ranges_.emplace_back(from, c->first);
      from = std::max(from, c->second);
    }
    if (from < end) result.ranges_.emplace_back(from, end);
  }
  return result;
}

uint64_t BlockRanges::Count() const {
  Settle();
  uint64_t count = 0;
  for (auto [start, end] : ranges_) count += end - start;
  return count;
}

void BlockRanges::ForEach(const std::function<void(uint64_t, uint64_t)>& visit) const {
  Settle();
  for (auto [start, end] : ranges_) visit(start, end);
}

}  // namespace backupmedia
