#include "core/backup/container_check.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#include "core/backup/archive_name_generator.h"
#include "core/backup/container_format.h"
#include "core/backup/container_tree.h"

namespace backupmedia {
namespace {

using Common::Error;

enum Tree { kDataMap = 0, kWorkingMap = 1, kCommittedMap = 2 };
const char* const kTreeNames[3] = {"data map", "working allocation map", "committed allocation map"};
constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();
// More volumes than this are damage, as for the archive itself.
constexpr uint64_t kMaxVolumes = uint64_t{1} << 16;

// Thrown to end a check that cannot go on; the finding is already recorded.
struct Stop {};

class Checker {
 public:
  Checker(rio_dir& dir, const UString& name, size_t max_findings, CheckReport& report)
      : dir_(dir), names_(name), max_findings_(max_findings), report_(report) {}

  // Throws Common::Error when the check cannot run, Stop when it cannot go on.
  void Run() {
    OpenFirstVolume();
    std::vector<uint8_t> header = LoadHeaderCopy();
    const uint8_t* roots = header.data() + root_offset_;
    std::vector<Extent> extents[3];
    WalkTree(kDataMap, roots, extents[kDataMap]);
    WalkTree(kWorkingMap, roots + root_size_, extents[kWorkingMap]);
    // The same root record means the same nodes: the committed map is the working map.
    bool same_maps = std::memcmp(roots + root_size_, roots + 2 * size_t{root_size_}, root_size_) == 0;
    if (same_maps)
      extents[kCommittedMap] = extents[kWorkingMap];
    else
      WalkTree(kCommittedMap, roots + 2 * size_t{root_size_}, extents[kCommittedMap]);
    CheckDataExtents(extents[kDataMap]);
    BlockRanges working = AllocationSet(kWorkingMap, extents[kWorkingMap]);
    BlockRanges committed = AllocationSet(kCommittedMap, extents[kCommittedMap]);
    CompareWithMaps(working, committed);
  }

 private:
  struct Volume {
    bool opened = false;
    bool usable = false;
    std::unique_ptr<rio_file> file;
    uint64_t size = 0;  // bytes
  };
  // Who claims a block range: a tree's node or a data extent.
  struct Claim {
    uint64_t end;
    Tree tree;
    bool node;
  };

  void Finding(CheckFinding::Kind kind, uint64_t block, uint64_t count, const std::string& tree,
               const std::string& what) {
    if (kind == CheckFinding::Kind::kCorruption) ++report_.corruptions;
    if (report_.findings.size() < max_findings_) report_.findings.push_back({kind, block, count, tree, what});
  }
  void Corrupt(uint64_t block, uint64_t count, const std::string& tree, const std::string& what) {
    Finding(CheckFinding::Kind::kCorruption, block, count, tree, what);
  }

  // ---- volumes

  const char16_t* VolumeName(uint64_t index) {
    return names_.GetName(blocks_per_volume_ == 0 && index == 0 ? 0 : static_cast<uint32_t>(index + 1));
  }

  std::unique_ptr<rio_file> OpenByName(const char16_t* name, Error& error) {
    std::unique_ptr<rio_file> file(dir_.OpenI(name, true));
    if (!file) error = dir_.TakeError();
    return file;
  }

  // Reads `length` bytes at `offset` of volume `index`; false on a short read.
  // An I/O error ends the check.
  bool ReadVolume(uint64_t index, void* buffer, uint64_t offset, size_t length) {
    rio_file* file = volumes_[index].file.get();
    size_t done = 0;
    if (auto* pread = dynamic_cast<pread_file*>(file)) {
      Error error = pread->Pread(buffer, offset, length, done);
      if (error) throw error;
    } else {
      file->Seek(static_cast<int64_t>(offset));
      if (!file->HasError()) file->Read(buffer, length, done);
      if (file->HasError()) throw file->TakeError();
    }
    return done == length;
  }

  uint64_t VolumeSize(rio_file& file) {
    uint64_t size = file.GetSize();
    if (file.HasError()) throw file.TakeError();
    return size;
  }

  // Volume 0 by its plain name, or volume 1 of a split archive: reads the label
  // and learns the geometry.
  void OpenFirstVolume() {
    Error error;
    std::unique_ptr<rio_file> file = OpenByName(names_.GetName(0), error);
    bool by_split_name = false;
    if (!file && error.Code() == Common::kErrNotFound) {
      Error split_error;
      file = OpenByName(names_.GetName(1), split_error);
      by_split_name = file != nullptr;
    }
    if (!file) throw error;
    VolumeLabel label;
    if (!ReadLabel(*file, label)) return;
    if (by_split_name && (label.blocks_per_volume == 0 || label.volume_number != 1))
      throw Error::File(Common::kErrNotFound, ZYK_HERE_AS("CheckArchive"));
    if (!by_split_name && label.blocks_per_volume != 0) {
      // Some volume of a split archive named by its own name: check from volume 1.
      if (!names_.MatchVolume(label.volume_number, &dir_))
        throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("CheckArchive"));
      if (label.volume_number != 1) {
        blocks_per_volume_ = label.blocks_per_volume;
        file = OpenByName(VolumeName(0), error);
        if (!file) throw error;
        if (!ReadLabel(*file, label)) return;
      }
    }
    if (label.volume_number != 1) {
      Corrupt(0, 1, "volume 1",
              "the first volume's label carries volume number " + std::to_string(label.volume_number));
      throw Stop{};
    }
    archive_id_ = label.archive_id;
    block_size_ = label.block_size;
    blocks_per_volume_ = label.blocks_per_volume;
    report_.block_size = block_size_;
    volumes_.resize(1);
    volumes_[0].opened = volumes_[0].usable = true;
    volumes_[0].size = VolumeSize(*file);
    volumes_[0].file = std::move(file);
  }

  // False (with a finding) for a damaged label; throws for a file that is not an archive.
  bool ReadLabel(rio_file& file, VolumeLabel& label) {
    uint8_t bytes[kLabelSize] = {};
    size_t done = 0;
    file.Seek(0);
    if (!file.HasError()) file.Read(bytes, sizeof bytes, done);
    if (file.HasError()) throw file.TakeError();
    if (done < 4 || Load32(bytes) != kLabelMagic)
      throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("CheckArchive"));  // not an archive
    if (done < sizeof bytes || !DecodeLabel(bytes, sizeof bytes, label)) {
      Corrupt(0, 1, "volume 1", "the volume label is damaged");
      throw Stop{};
    }
    return true;
  }

  // The volume holding a block, opened and its label checked on first use;
  // null (after one finding) when it is missing or not part of this archive.
  Volume* VolumeAt(uint64_t index) {
    if (index >= kMaxVolumes) return nullptr;
    if (volumes_.size() <= index) volumes_.resize(index + 1);
    Volume& volume = volumes_[index];
    if (volume.opened) return volume.usable ? &volume : nullptr;
    volume.opened = true;
    std::string tree = "volume " + std::to_string(index + 1);
    Error error;
    volume.file = OpenByName(VolumeName(index), error);
    if (!volume.file) {
      if (error.Code() != Common::kErrNotFound) throw error;
      Corrupt(0, 0, tree, "the volume file is missing");
      return nullptr;
    }
    uint8_t bytes[kLabelSize] = {};
    VolumeLabel label;
    if (!ReadVolume(index, bytes, 0, sizeof bytes) || !DecodeLabel(bytes, sizeof bytes, label) ||
        label.volume_number != index + 1 || label.archive_id != archive_id_ || label.block_size != block_size_ ||
        label.blocks_per_volume != blocks_per_volume_) {
      Corrupt(0, 0, tree, "the volume label is damaged or belongs to another volume");
      return nullptr;
    }
    volume.size = VolumeSize(*volume.file);
    volume.usable = true;
    return &volume;
  }

  // True when [start, start + count) are blocks the archive may reference and
  // its volume files hold; otherwise records a finding for `tree`.
  bool Stored(uint64_t start, uint64_t count, const char* tree, const char* what) {
    if (start < kFirstDataBlock) {
      Corrupt(start, count, tree, std::string(what) + " references the label or header blocks");
      return false;
    }
    if (count > high_water_ || start > high_water_ - count) {
      Corrupt(start, count, tree, std::string(what) + " references blocks at or past the high-water mark");
      return false;
    }
    while (count > 0) {
      BlockPlace place = PlaceOfBlock(start, blocks_per_volume_, block_size_);
      uint64_t piece = std::min(count, place.blocks_left);
      Volume* volume = VolumeAt(place.volume);
      if (volume == nullptr) {
        Corrupt(start, piece, tree, std::string(what) + " lies in a missing or foreign volume");
        return false;
      }
      if (place.byte_offset + piece * block_size_ > volume->size) {
        Corrupt(start, piece, tree, std::string(what) + " lies past the end of its volume file");
        return false;
      }
      start += piece;
      count -= piece;
    }
    return true;
  }

  // ---- header

  std::vector<uint8_t> LoadHeaderCopy() {
    std::vector<uint8_t> copies(size_t{2} * block_size_, 0);
    if (!ReadVolume(0, copies.data(), block_size_, copies.size())) {
      Corrupt(1, 2, "header", "the header blocks are missing");
      throw Stop{};
    }
    int place = CurrentHeaderCopy(copies.data(), block_size_);
    if (place == 0) {
      if (HasOlderLayoutCopy(copies.data(), block_size_))
        throw Error(Common::kErrOldArchiveLayout, ZYK_HERE_AS("CheckArchive"));
      Corrupt(1, 2, "header", "no valid header copy");
      throw Stop{};
    }
    const uint8_t* chosen = copies.data() + size_t{block_size_} * (place - 1);
    std::vector<uint8_t> header(chosen, chosen + block_size_);
    root_offset_ = Load32(chosen + header::kRootOffset);
    root_size_ = Load32(chosen + header::kRootSize);
    uint64_t block = static_cast<uint64_t>(place);
    logical_size_ = Load64(chosen + header::kLogicalSize);
    cursor_ = std::max(Load64(chosen + header::kCursor), kFirstDataBlock);
    high_water_ = root_offset_ >= kRootOffset ? Load64(chosen + header::kHighWater) : kExtentLimit;
    // As the archive reads it: a mark too large to be a block count of this
    // block size means "not known", and no block lies past it.
    if (high_water_ > std::numeric_limits<uint64_t>::max() / block_size_) high_water_ = kExtentLimit / block_size_;
    report_.high_water_mark = high_water_;
    report_.total_blocks = logical_size_ / block_size_ + (logical_size_ % block_size_ != 0);
    if (logical_size_ > static_cast<uint64_t>(INT64_MAX)) {
      Corrupt(block, 1, "header", "the logical size is out of range");
      throw Stop{};
    }
    if (high_water_ < cursor_) {
      Corrupt(block, 1, "header", "the allocation cursor lies past the high-water mark");
      throw Stop{};
    }
    if (root_size_ < AllocationTree::kMinRootRecordSize) {
      Corrupt(block, 1, "header", "the root records are too small");
      throw Stop{};
    }
    return header;
  }

  // ---- trees

  // Walks one tree from its root record, collecting its leaf extents in key
  // order and claiming its node blocks.
  void WalkTree(Tree tree, const uint8_t* record, std::vector<Extent>& leaves) {
    std::vector<Extent> entries;
    try {
      entries = DecodeNode(record + 1, root_size_ - 1);
    } catch (const Error&) {
      Corrupt(0, 0, kTreeNames[tree], "the root record does not decode");
      return;
    }
    uint32_t level = record[0];
    if (level > 0 && !ValidInternal(entries, 0, kNoLimit)) {
      Corrupt(0, 0, kTreeNames[tree], "the root is not a valid internal node");
      return;
    }
    WalkEntries(tree, level, entries, kNoLimit, leaves);
  }

  static bool ValidInternal(const std::vector<Extent>& entries, uint64_t key, uint64_t bound) {
    if (entries.empty() || entries.front().key != key || entries.back().key >= bound) return false;
    for (const Extent& e : entries)
      if (e.count != 1) return false;
    return true;
  }

  void WalkEntries(Tree tree, uint32_t level, const std::vector<Extent>& entries, uint64_t bound,
                   std::vector<Extent>& leaves) {
    if (level == 0) {
      leaves.insert(leaves.end(), entries.begin(), entries.end());
      return;
    }
    std::vector<uint8_t> buffer(block_size_);
    for (size_t i = 0; i < entries.size(); ++i) {
      const Extent& entry = entries[i];
      uint64_t child_bound = i + 1 < entries.size() ? entries[i + 1].key : bound;
      uint64_t block = entry.value;
      if (!Stored(block, 1, kTreeNames[tree], "a node entry")) continue;
      if (!ClaimBlocks(block, 1, tree, true)) continue;  // never walk a block twice
      if (!ReadVolumeBlock(block, buffer.data())) {
        Corrupt(block, 1, kTreeNames[tree], "the node block cannot be read in full");
        continue;
      }
      std::vector<Extent> child;
      try {
        child = DecodeNode(buffer.data(), block_size_);
      } catch (const Error&) {
        Corrupt(block, 1, kTreeNames[tree], "the node does not decode");
        continue;
      }
      bool valid = level - 1 > 0 ? ValidInternal(child, entry.key, child_bound)
                                 : !child.empty() && child.front().key >= entry.key &&
                                       child.back().key + child.back().count <= child_bound;
      if (!valid) {
        Corrupt(block, 1, kTreeNames[tree], "the node's extents lie outside its parent's key range or are empty");
        continue;
      }
      WalkEntries(tree, level - 1, child, child_bound, leaves);
    }
  }

  bool ReadVolumeBlock(uint64_t block, uint8_t* buffer) {
    BlockPlace place = PlaceOfBlock(block, blocks_per_volume_, block_size_);
    return ReadVolume(place.volume, buffer, place.byte_offset, block_size_);
  }

  // Records who uses [start, start + count); false (with a finding) when some
  // of it is already claimed. Nodes of the committed allocation map may be
  // shared with the working map's nodes (unchanged since the last commit).
  bool ClaimBlocks(uint64_t start, uint64_t count, Tree tree, bool node) {
    uint64_t end = start + count;
    auto& claims = tree == kCommittedMap ? committed_claims_ : claims_;
    bool clean = true;
    auto report_overlaps = [&](std::map<uint64_t, Claim>& map, bool allow_working_nodes) {
      auto it = map.upper_bound(start);
      if (it != map.begin()) --it;
      for (; it != map.end() && it->first < end; ++it) {
        if (it->second.end <= start) continue;
        if (allow_working_nodes && it->second.tree == kWorkingMap && it->second.node) continue;
        uint64_t from = std::max(start, it->first);
        uint64_t to = std::min(end, it->second.end);
        std::string other = std::string(it->second.node ? "a node" : "data") + " of the " + kTreeNames[it->second.tree];
        Corrupt(from, to - from, kTreeNames[tree],
                std::string(node ? "a node block" : "a data extent") + " is also claimed by " + other);
        clean = false;
      }
    };
    report_overlaps(claims, false);
    if (tree == kCommittedMap) report_overlaps(claims_, true);
    if (clean) claims.emplace(start, Claim{end, tree, node});
    return clean;
  }

  // ---- extents

  void CheckDataExtents(const std::vector<Extent>& extents) {
    const uint64_t logical_blocks = report_.total_blocks;
    for (const Extent& e : extents) {
      if (e.key + e.count > logical_blocks)
        Corrupt(
            e.value, e.count, kTreeNames[kDataMap],
            "logical block " + std::to_string(std::max(e.key, logical_blocks)) + " is mapped past the logical size");
      if (!Stored(e.value, e.count, kTreeNames[kDataMap], "a data extent")) continue;
      if (ClaimBlocks(e.value, e.count, kDataMap, false)) report_.allocated_blocks += e.count;
    }
  }

  BlockRanges AllocationSet(Tree tree, const std::vector<Extent>& extents) {
    BlockRanges set;
    for (const Extent& e : extents) {
      if (e.key != e.value) {
        Corrupt(e.key, e.count, kTreeNames[tree], "an allocation extent is not an identity mapping");
        continue;
      }
      if (e.count > high_water_ || e.key > high_water_ - e.count) {
        Corrupt(e.key, e.count, kTreeNames[tree], "allocated blocks at or past the high-water mark");
        continue;
      }
      set.Add(e.key, e.key + e.count);
    }
    return set;
  }

  void CompareWithMaps(const BlockRanges& working, const BlockRanges& committed) {
    BlockRanges in_use, committed_nodes;
    for (const auto& [start, claim] : claims_) in_use.Add(start, claim.end);
    for (const auto& [start, claim] : committed_claims_) committed_nodes.Add(start, claim.end);

    in_use.Minus(working).ForEach([&](uint64_t start, uint64_t end) {
      Corrupt(start, end - start, kTreeNames[kWorkingMap], "blocks in use are free in the working allocation map");
    });
    // Blocks taken since the last allocation-map commit lie below the cursor.
    BlockRanges protect = committed;
    protect.Add(0, cursor_);
    in_use.Minus(protect).ForEach([&](uint64_t start, uint64_t end) {
      Corrupt(start, end - start, kTreeNames[kCommittedMap],
              "blocks in use are free in the committed allocation map at or above the allocation cursor");
    });
    committed_nodes.Minus(committed).ForEach([&](uint64_t start, uint64_t end) {
      Corrupt(start, end - start, kTreeNames[kCommittedMap], "its own node blocks are free in it");
    });
    BlockRanges referenced = in_use;
    committed_nodes.ForEach([&](uint64_t start, uint64_t end) { referenced.Add(start, end); });
    report_.leaked = working.Minus(referenced);
    report_.leaked.ForEach([&](uint64_t start, uint64_t end) {
      report_.leaks += end - start;
      Finding(CheckFinding::Kind::kLeak, start, end - start, kTreeNames[kWorkingMap],
              "allocated blocks that nothing references");
    });
  }

  rio_dir& dir_;
  ArchiveNameGenerator names_;
  size_t max_findings_;
  CheckReport& report_;
  std::vector<Volume> volumes_;
  uint64_t archive_id_ = 0;
  uint32_t block_size_ = 0;
  uint32_t blocks_per_volume_ = 0;
  uint32_t root_offset_ = 0;
  uint32_t root_size_ = 0;
  uint64_t logical_size_ = 0;
  uint64_t cursor_ = 0;
  uint64_t high_water_ = 0;
  std::map<uint64_t, Claim> claims_;            // nodes and data of the current state
  std::map<uint64_t, Claim> committed_claims_;  // nodes of a committed map that differs from the working one
};

}  // namespace

CheckReport CheckArchive(rio_dir& dir, const UString& name, size_t max_findings) {
  CheckReport report;
  const char16_t* path = name.c_str();
  std::unique_ptr<rio_dir> parent(dir.OpenParentDir(&path));
  if (!parent) {
    report.check_error = dir.TakeError();
    if (report.check_error.Ok()) report.check_error = Error::File(Common::kErrOpenFailed, ZYK_HERE_AS("CheckArchive"));
    return report;
  }
  try {
    Checker checker(*parent, path, max_findings, report);
    checker.Run();
  } catch (const Stop&) {
  } catch (const Error& error) {
    report.check_error = error;
  } catch (const std::bad_alloc&) {
    report.check_error = Error(Common::kErrOutOfMemory, ZYK_HERE_AS("CheckArchive"));
  }
  return report;
}

}  // namespace backupmedia
