#pragma once
// CheckArchive: reads a container archive (every volume it needs) without
// changing it and tells damage from waste.
//
// It walks the volume labels, both header copies, the three root records,
// every node of the data map and of both allocation maps, and every data
// extent. What it finds is
//   - a corruption: a node that does not decode or lies outside its parent's
//     key range, a reference to a block in the label or header blocks, at or
//     past the high-water mark or past the end of its volume file, a block
//     claimed twice (two nodes, two data extents, a node and data), a block in
//     use that the working allocation map calls free, or that the committed
//     allocation map calls free at or above the allocation cursor (the next
//     writer would hand it out), a non-identity allocation extent, a data
//     extent past the logical size, a damaged or foreign later volume, no valid
//     header copy;
//   - a leak: a block the working allocation map (the next committed one)
//     holds that nothing references; it never comes back by itself.
// Blocks the committed map still holds for readers of an older state, and a
// single unreadable header copy (a torn header write), are consistent.
//
// Works on any directory implementation; volume files are opened by name
// through `dir` without locks and only read.

#include <cstdint>
#include <string>
#include <vector>

#include "core/backup/block_ranges.h"
#include "core/common/error.h"
#include "core/common/ustring.h"
#include "core/include/file/dir.h"

namespace backupmedia {

struct CheckFinding {
  enum class Kind { kCorruption, kLeak };
  Kind kind = Kind::kCorruption;
  uint64_t block = 0;  // the first block concerned
  uint64_t count = 1;  // blocks concerned from `block` on
  std::string tree;    // "data map", "working allocation map", "committed allocation map", "header", "volume N"
  std::string what;
};

struct CheckReport {
  // Set when the check could not run (file missing, not an archive, I/O
  // error); the counts and findings are then incomplete.
  Common::Error check_error;
  uint64_t corruptions = 0;       // problems of the corruption kind found
  uint64_t leaks = 0;             // leaked blocks
  uint64_t allocated_blocks = 0;  // blocks the data map references
  uint64_t total_blocks = 0;      // blocks the logical stream spans
  uint64_t high_water_mark = 0;
  uint32_t block_size = 0;
  std::vector<CheckFinding> findings;  // in the order found, at most the limit given
  BlockRanges leaked;                  // the leaked blocks themselves

  bool Ran() const { return check_error.Ok(); }
  bool Consistent() const { return Ran() && corruptions == 0 && leaks == 0; }
};

// Checks the archive `name` (its first volume's name) in `dir`. Never throws;
// keeps at most `max_findings` findings but counts all.
CheckReport CheckArchive(rio_dir& dir, const UString& name, size_t max_findings = 100);

}  // namespace backupmedia
