#pragma once
// BlockRanges: a set of physical block numbers kept as disjoint, non-adjacent
// half-open ranges, so that sets covering billions of blocks stay small.
// Additions are appended and merged in batches (when many have gathered, or
// when the set is next looked at), so adding scattered single blocks costs no
// search. Not thread-safe, not even for lookups: one caller at a time.

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace backupmedia {

class BlockRanges {
 public:
  // Adds [start, end); merges with overlapping and touching ranges.
  void Add(uint64_t start, uint64_t end);
  // The blocks of this set that `other` does not hold.
  BlockRanges Minus(const BlockRanges& other) const;
  // Number of blocks in the set.
  uint64_t Count() const;
  bool Empty() const { return ranges_.empty() && added_.empty(); }
  // Visits every range in increasing order.
  void ForEach(const std::function<void(uint64_t start, uint64_t end)>& visit) const;

 private:
  using Range = std::pair<uint64_t, uint64_t>;  // start, end
  // Merges the additions into ranges_.
  void Settle() const;

  mutable std::vector<Range> ranges_;  // sorted, disjoint and non-adjacent
  mutable std::vector<Range> added_;   // not yet merged, in any order
  size_t settle_at_ = 1024;            // merge when this many additions have gathered
};

}  // namespace backupmedia
