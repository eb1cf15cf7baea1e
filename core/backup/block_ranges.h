#pragma once
// BlockRanges: a set of physical block numbers kept as disjoint, non-adjacent
// half-open ranges, so that sets covering billions of blocks stay small.

#include <cstdint>
#include <functional>
#include <map>

namespace backupmedia {

class BlockRanges {
 public:
  // Adds [start, end); merges with overlapping and touching ranges.
  void Add(uint64_t start, uint64_t end);
  // The blocks of this set that `other` does not hold.
  BlockRanges Minus(const BlockRanges& other) const;
  // Number of blocks in the set.
  uint64_t Count() const;
  bool Empty() const { return ranges_.empty(); }
  // Visits every range in increasing order.
  void ForEach(const std::function<void(uint64_t start, uint64_t end)>& visit) const;

 private:
  std::map<uint64_t, uint64_t> ranges_;  // start -> end
};

}  // namespace backupmedia
