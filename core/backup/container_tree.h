#pragma once
// AllocationTree: an extent map from 64-bit keys to 64-bit values whose nodes
// live in archive blocks in a compact variable-width bit encoding. The root is
// kept in a root record of the archive header; other nodes are read lazily,
// cached for the life of the tree, and written copy-on-write to fresh blocks by
// Flush(). Every operation throws Common::Error on failure.
//
// Not thread-safe: one caller at a time. The tree may be re-entered from inside
// Flush() through its BlockStore (an allocation map records its own block
// allocations with Modify()).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "core/backup/block_store.h"

namespace backupmedia {

// One extent: keys [key, key + count) map to values [value, value + count). In an
// internal node the value is the block of a child node and the count is 1.
struct Extent {
  uint64_t key = 0;
  uint64_t value = 0;
  uint64_t count = 0;
  friend bool operator==(const Extent&, const Extent&) = default;
};

// Keys and values (and the ends of their ranges) must stay below this bound:
// larger numbers do not fit the 6-bit width fields of the node encoding.
inline constexpr uint64_t kExtentLimit = uint64_t{1} << 63;

// Node encoding, shared by ordinary nodes (a whole block) and the root (the root
// record after its level byte).
//
// Zero-fills `record` (`bytes` bytes) and encodes `entries` into it. Throws
// 0x0004001F when the entries are not encodable (first entry with key and value
// 0, overlapping or unsorted ranges, numbers too wide) or do not fit.
void EncodeNode(const std::vector<Extent>& entries, uint8_t* record, uint32_t bytes);
// Decodes a record. Throws 0x0004000D on anything the encoder cannot have
// written; otherwise the result is sorted, non-overlapping and encodable.
std::vector<Extent> DecodeNode(const uint8_t* record, uint32_t bytes);
// How many records of `bytes` bytes the entries need (1 when they fit in one).
// Throws 0x0004001F when they are not encodable (value ranges are checked
// against their neighbours only; EncodeNode checks them all).
uint64_t GetNodeSize(const std::vector<Extent>& entries, uint32_t bytes);

class AllocationTree {
 public:
  static constexpr uint32_t kMinRootRecordSize = 32;
  static constexpr uint32_t kMaxLevel = 255;

  // Builds the tree from a root record of `root_record_size` bytes (byte 0 the
  // root's level, then the root's encoding), or an empty tree when
  // `root_record` is null. Throws 0x0004000D for a record size below 32 or a
  // malformed record. Ordinary nodes take one block of `store` each.
  AllocationTree(BlockStore& store, uint32_t root_record_size, const uint8_t* root_record);
  // Copies the store, record sizes, dirty flag and the root only; other nodes
  // are read again on demand. `other` must have no unwritten nodes.
  AllocationTree(const AllocationTree& other);
  AllocationTree& operator=(const AllocationTree&) = delete;
  ~AllocationTree();

  // Writes the root record (RootRecordSize() bytes): the level byte and the
  // root's encoding. The root becomes clean. Call after Flush().
  void SaveRoot(uint8_t* record);

  // The value mapped to `key` (0 when unmapped). `length` is clipped to the run
  // from `key` that has the same answer (consecutive values, or all unmapped).
  uint64_t Find(uint64_t key, uint64_t& length);

  // Maps [start, start + count) to [value, value + count), or unmaps the range
  // when value is 0. Only cached nodes change; Flush() writes them. Mapping
  // ranges that reach kExtentLimit throws 0x0004001F and changes nothing.
  void Modify(uint64_t start, uint64_t value, uint64_t count);

  // Relocates every modified node to fresh blocks (freeing old ones), splits
  // nodes that outgrew a block, grows or shrinks the tree and writes the nodes.
  // The root stays in memory for SaveRoot(). On failure the cache is left partly
  // relocated and the tree must not be used further.
  void Flush();

  // True after a change not yet flushed.
  bool Dirty() const { return dirty_; }
  // True when the root changed since the last SaveRoot() (or construction).
  bool RootModified() const;
  uint32_t RootLevel() const;
  uint32_t RootRecordSize() const { return root_record_size_; }
  size_t CachedNodeCount() const { return cache_.size(); }

  // Visits every leaf extent in key order, loading nodes as needed.
  void ForEachExtent(const std::function<void(const Extent&)>& visit);
  // Visits every node below the root, parents before children: its level, its
  // block and its entries as cached (loading as needed).
  void ForEachNode(
      const std::function<void(uint32_t level, uint64_t block, const std::vector<Extent>& entries)>& visit);

 private:
  enum class State : uint8_t { kClean = 0, kModified = 1, kRelocated = 2 };
  struct Node {
    uint32_t level = 0;
    uint64_t key = 0;
    uint64_t block = 0;
    uint64_t count = 1;
    std::vector<Extent> entries;
    State state = State::kClean;
  };
  // Cache order: level first, then key; the root sorts last.
  using NodeKey = std::pair<uint32_t, uint64_t>;
  using Cache = std::map<NodeKey, std::unique_ptr<Node>>;

  Node* Root() const { return root_; }
  // The child of `parent` for its entry `index`, from the cache or its block.
  // `bound` is the end of the parent's key range (used when the parent entry
  // is its last).
  Node* Child(Node* parent, size_t index, uint64_t bound);
  Node* LoadNode(uint32_t level, const Extent& entry, uint64_t bound);
  Node* Rekey(Node* node, uint32_t level, uint64_t key);
  void MarkModified(Node* node);
  // Applies one Modify piece to a leaf; true if the leaf changed.
  bool UpdateLeaf(Node* leaf, uint64_t start, uint64_t value, uint64_t count);
  void FlushNode(Node* node);
  // The parent of a cached ordinary node, through cached nodes only, and the
  // index of the entry that points at it.
  Node* FindParent(Node* node, size_t& index);
  void RemoveNode(Node* node);
  void Walk(Node* node, uint64_t bound, const std::function<void(const Extent&)>* extents,
            const std::function<void(uint32_t, uint64_t, const std::vector<Extent>&)>* nodes);

  BlockStore& store_;
  uint32_t root_record_size_;
  uint32_t block_size_;
  Cache cache_;
  Node* root_ = nullptr;  // owned by cache_, always its last element
  bool dirty_ = false;
};

}  // namespace backupmedia
