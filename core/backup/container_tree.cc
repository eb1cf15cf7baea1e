#include "core/backup/container_tree.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "core/backup/bit_encoder.h"
#include "core/common/error.h"

namespace backupmedia {
namespace {

using Common::Error;

// Width fields: W0, Wk, S, Wv, Wc.
constexpr uint32_t kHeaderBits = 6 + 6 + 1 + 6 + 6;
constexpr uint32_t kMaxWidth = 63;  // largest number a 6-bit width field holds
constexpr uint64_t kNoBound = std::numeric_limits<uint64_t>::max();

bool WithinLimit(const Extent& e) {
  return e.key < kExtentLimit && e.count <= kExtentLimit - e.key && e.value < kExtentLimit &&
         e.count <= kExtentLimit - e.value;
}

uint32_t Bits(uint64_t x) { return x == 0 ? 0 : 64 - static_cast<uint32_t>(std::countl_zero(x)); }

// The field widths of one node, computed from its entries.
struct Widths {
  uint32_t w0 = 0;  // first key and first value
  uint32_t wk = 0;  // key gaps
  uint32_t s = 0;   // 1 if any value delta is negative
  uint32_t wv = 0;  // value deltas (with the sign bit)
  uint32_t wc = 0;  // count - 1
  uint32_t x = 0;   // bits of the largest key or value anywhere in the node
};

// True when the entries are sorted and non-overlapping in key space, have no
// zero value and no zero count, stay below kExtentLimit, and each value range
// is disjoint from the previous one; so every number and every width fits the
// encoding. With `all_values`, value ranges must also be disjoint from all
// others (a sort: done when writing and reading nodes, not for size estimates).
// Fills `widths`.
bool ComputeWidths(const std::vector<Extent>& entries, Widths& widths, bool all_values) {
  widths = Widths{};
  if (entries.empty()) return true;
  uint64_t max_gap = 0, max_delta = 0, max_count = 0, max_number = 0;
  bool values_ascend = true;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Extent& e = entries[i];
    if (e.count == 0 || e.value == 0) return false;
    if (!WithinLimit(e)) return false;
    max_count = std::max(max_count, e.count - 1);
    max_number = std::max({max_number, e.key, e.value});
    if (i == 0) continue;
    const Extent& p = entries[i - 1];
    uint64_t previous_end = p.key + p.count;
    if (e.key < previous_end) return false;
    max_gap = std::max(max_gap, e.key - previous_end);
    if (e.value > p.value) {
      if (e.value < p.value + p.count) return false;
      max_delta = std::max(max_delta, e.value - (p.value + p.count) + 1);
    } else {
      if (e.value + e.count > p.value) return false;
      widths.s = 1;
      values_ascend = false;
      max_delta = std::max(max_delta, p.value - (e.value + e.count));
    }
  }
  if (all_values && !values_ascend) {
    // Consecutive checks cover ascending values only; otherwise compare all.
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    ranges.reserve(entries.size());
    for (const Extent& e : entries) ranges.emplace_back(e.value, e.count);
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i)
      if (ranges[i].first < ranges[i - 1].first + ranges[i - 1].second) return false;
  }
  widths.w0 = Bits(std::max(entries[0].key, entries[0].value));
  widths.wk = Bits(max_gap);
  widths.wv = entries.size() > 1 ? Bits(max_delta) + widths.s : 0;
  widths.wc = Bits(max_count);
  widths.x = Bits(max_number);
  return widths.w0 <= kMaxWidth && widths.wv <= kMaxWidth;
}

// Bits used by `n` entries with these widths.
uint64_t EncodedBits(const Widths& w, uint64_t n) {
  if (n == 0) return 0;
  return kHeaderBits + 2ull * w.w0 + w.wc + (n - 1) * (uint64_t{w.wk} + w.wv + w.wc);
}

size_t LastAtOrBelow(const std::vector<Extent>& entries, uint64_t key) {
  auto it =
      std::upper_bound(entries.begin(), entries.end(), key, [](uint64_t k, const Extent& e) { return k < e.key; });
  return static_cast<size_t>(it - entries.begin());  // one past the entry; 0 = none
}

}  // namespace

void EncodeNode(const std::vector<Extent>& entries, uint8_t* record, uint32_t bytes) {
  Widths w;
  if (!ComputeWidths(entries, w, true) || (!entries.empty() && entries[0].key == 0 && entries[0].value == 0) ||
      EncodedBits(w, entries.size()) > uint64_t{bytes} * 8)
    throw Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("Save"));
  BitWriter writer(record, bytes);
  if (entries.empty()) return;
  writer.Encode(w.w0, 6);
  writer.Encode(w.wk, 6);
  writer.Encode(w.s, 1);
  writer.Encode(w.wv, 6);
  writer.Encode(w.wc, 6);
  writer.Encode(entries[0].key, w.w0);
  writer.Encode(entries[0].value, w.w0);
  writer.Encode(entries[0].count - 1, w.wc);
  for (size_t i = 1; i < entries.size(); ++i) {
    const Extent& p = entries[i - 1];
    const Extent& e = entries[i];
    uint64_t delta =
        e.value > p.value ? e.value - (p.value + p.count) + 1 : e.value + e.count - 1 - p.value;  // two's complement
    writer.Encode(e.key - (p.key + p.count), w.wk);
    writer.Encode(delta, w.wv);
    writer.Encode(e.count - 1, w.wc);
  }
}

std::vector<Extent> DecodeNode(const uint8_t* record, uint32_t bytes) {
  BitReader reader(record, bytes);
  std::vector<Extent> entries;
  uint32_t w0 = static_cast<uint32_t>(reader.Decode(6));
  if (w0 == 0) return entries;
  uint32_t wk = static_cast<uint32_t>(reader.Decode(6));
  uint32_t s = static_cast<uint32_t>(reader.Decode(1));
  uint32_t wv = static_cast<uint32_t>(reader.Decode(6));
  uint32_t wc = static_cast<uint32_t>(reader.Decode(6));
  if (s == 1 && wv == 0) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Load"));
  Extent first;
  first.key = reader.Decode(w0);
  first.value = reader.Decode(w0);
  first.count = reader.Decode(wc) + 1;
  if (!WithinLimit(first)) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Load"));
  entries.push_back(first);
  if (wv != 0) {
    uint64_t used = kHeaderBits + 2ull * w0 + wc;
    uint64_t per_entry = uint64_t{wk} + wv + wc;
    uint64_t limit = reader.Capacity() > used ? (reader.Capacity() - used) / per_entry : 0;
    for (uint64_t i = 0; i < limit; ++i) {
      uint64_t gap = reader.Decode(wk);
      uint64_t delta = reader.Decode(wv);
      if (delta == 0) break;
      uint64_t count = reader.Decode(wc) + 1;
      const Extent& p = entries.back();
      Extent e;
      // The previous entry ends at or below kExtentLimit and the fields are at
      // most 63 bits wide, so these sums cannot wrap.
      e.key = p.key + p.count + gap;
      e.count = count;
      bool negative = s == 1 && ((delta >> (wv - 1)) & 1) != 0;
      if (negative) {
        // value + count - 1 = previous value + delta, with delta < 0.
        uint64_t magnitude = (wv == 64 ? 0 : (uint64_t{1} << wv)) - delta;  // -delta
        if (magnitude > p.value || count > p.value - magnitude + 1)
          throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Load"));
        e.value = p.value - magnitude - (count - 1);
      } else {
        e.value = p.value + p.count + delta - 1;
      }
      if (!WithinLimit(e)) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Load"));
      entries.push_back(e);
    }
  }
  Widths widths;
  if (!ComputeWidths(entries, widths, true) || (entries[0].key == 0 && entries[0].value == 0))
    throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Load"));
  return entries;
}

uint64_t GetNodeSize(const std::vector<Extent>& entries, uint32_t bytes) {
  if (entries.empty()) return 1;
  Widths w;
  if (!ComputeWidths(entries, w, false)) throw Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("GetSize"));
  uint64_t capacity = uint64_t{bytes} * 8;
  uint64_t n = entries.size();
  if (EncodedBits(w, n) <= capacity) return 1;
  // Entries per record, assuming the widest first entry any share can have.
  uint64_t fixed = kHeaderBits + 2ull * w.x + w.wc;
  uint64_t per_entry = uint64_t{w.wk} + w.wv + w.wc;
  uint64_t per_record = capacity > fixed ? (capacity - fixed) / per_entry + 1 : 1;
  return (n - 1) / per_record + 1;
}

// ---------------------------------------------------------------------------

AllocationTree::AllocationTree(BlockStore& store, uint32_t root_record_size, const uint8_t* root_record)
    : store_(store), root_record_size_(root_record_size), block_size_(store.BlockSize()) {
  if (root_record_size < kMinRootRecordSize) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("AllocationTree"));
  auto root = std::make_unique<Node>();
  if (root_record != nullptr) {
    root->level = root_record[0];
    root->entries = DecodeNode(root_record + 1, root_record_size - 1);
    if (root->level > 0) {
      // An internal root covers every key from 0 and points at single blocks.
      bool valid = !root->entries.empty() && root->entries[0].key == 0;
      for (const Extent& e : root->entries) valid = valid && e.count == 1;
      if (!valid) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("AllocationTree"));
    }
  }
  root_ = root.get();
  cache_.emplace(NodeKey{root->level, 0}, std::move(root));
}

AllocationTree::AllocationTree(const AllocationTree& other)
    : store_(other.store_),
      root_record_size_(other.root_record_size_),
      block_size_(other.block_size_),
      dirty_(other.dirty_) {
  auto root = std::make_unique<Node>(*other.root_);
  root_ = root.get();
  cache_.emplace(NodeKey{root->level, 0}, std::move(root));
}

AllocationTree::~AllocationTree() = default;

bool AllocationTree::RootModified() const { return root_->state != State::kClean; }

uint32_t AllocationTree::RootLevel() const { return root_->level; }

void AllocationTree::SaveRoot(uint8_t* record) {
  EncodeNode(root_->entries, record + 1, root_record_size_ - 1);
  record[0] = static_cast<uint8_t>(root_->level);
  root_->state = State::kClean;
}

void AllocationTree::MarkModified(Node* node) {
  if (node->state == State::kClean) node->state = State::kModified;
  dirty_ = true;
}

AllocationTree::Node* AllocationTree::Child(Node* parent, size_t index, uint64_t bound) {
  const Extent& entry = parent->entries[index];
  auto it = cache_.find(NodeKey{parent->level - 1, entry.key});
  if (it != cache_.end()) {
    if (it->second->block != entry.value) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("FindNode"));
    return it->second.get();
  }
  if (index + 1 < parent->entries.size()) bound = parent->entries[index + 1].key;
  return LoadNode(parent->level - 1, entry, bound);
}

AllocationTree::Node* AllocationTree::LoadNode(uint32_t level, const Extent& entry, uint64_t bound) {
  std::vector<uint8_t> buffer(block_size_);
  store_.ReadBlock(entry.value, buffer.data());
  auto node = std::make_unique<Node>();
  node->level = level;
  node->key = entry.key;
  node->block = entry.value;
  node->entries = DecodeNode(buffer.data(), block_size_);
  // The node must lie within its parent entry's key range; an internal node
  // starts exactly at its own key and points at single blocks.
  bool valid = true;
  if (!node->entries.empty()) {
    const Extent& first = node->entries.front();
    const Extent& last = node->entries.back();
    if (level > 0) {
      valid = first.key == entry.key && last.key < bound;
      for (const Extent& e : node->entries) valid = valid && e.count == 1;
    } else {
      valid = first.key >= entry.key && last.key + last.count <= bound;
    }
  }
  if (!valid) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Load"));
  Node* result = node.get();
  cache_.emplace(NodeKey{level, entry.key}, std::move(node));
  return result;
}

AllocationTree::Node* AllocationTree::Rekey(Node* node, uint32_t level, uint64_t key) {
  NodeKey old_key{node->level, node->key};
  NodeKey new_key{level, key};
  if (old_key == new_key) return node;
  if (cache_.count(new_key) != 0) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("RemoveNode"));
  auto handle = cache_.extract(old_key);
  handle.key() = new_key;
  node->level = level;
  node->key = key;
  cache_.insert(std::move(handle));
  return node;
}

uint64_t AllocationTree::Find(uint64_t key, uint64_t& length) {
  Node* node = root_;
  uint64_t bound = kNoBound;
  while (node->level > 0) {
    size_t end = LastAtOrBelow(node->entries, key);
    if (end == 0) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Find"));
    if (end < node->entries.size()) {
      bound = node->entries[end].key;
      length = std::min(length, bound - key);
    }
    node = Child(node, end - 1, bound);
  }
  const std::vector<Extent>& entries = node->entries;
  size_t end = LastAtOrBelow(entries, key);
  if (end > 0) {
    const Extent& e = entries[end - 1];
    if (key - e.key < e.count) {
      length = std::min(length, e.count - (key - e.key));
      return e.value + (key - e.key);
    }
  }
  if (end < entries.size()) length = std::min(length, entries[end].key - key);
  return 0;
}

void AllocationTree::Modify(uint64_t start, uint64_t value, uint64_t count) {
  if (count == 0) return;
  if (value != 0) {
    if (start >= kExtentLimit || count > kExtentLimit - start || value >= kExtentLimit || count > kExtentLimit - value)
      throw Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("Modify"));
  } else {
    if (start >= kExtentLimit) return;  // nothing can be mapped there
    count = std::min(count, kExtentLimit - start);
  }
  while (count > 0) {
    uint64_t piece = count;
    Node* node = root_;
    uint64_t bound = kNoBound;
    while (node->level > 0) {
      size_t end = LastAtOrBelow(node->entries, start);
      if (end == 0) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Modify"));
      if (end < node->entries.size()) {
        bound = node->entries[end].key;
        piece = std::min(piece, bound - start);
      }
      node = Child(node, end - 1, bound);
    }
    if (UpdateLeaf(node, start, value, piece)) MarkModified(node);
    start += piece;
    if (value != 0) value += piece;
    count -= piece;
  }
}

bool AllocationTree::UpdateLeaf(Node* leaf, uint64_t start, uint64_t value, uint64_t count) {
  std::vector<Extent>& e = leaf->entries;
  const uint64_t end = start + count;
  bool changed = false;
  // First entry with key >= start.
  size_t i = static_cast<size_t>(
      std::lower_bound(e.begin(), e.end(), start, [](const Extent& x, uint64_t k) { return x.key < k; }) - e.begin());
  // An entry reaching into the range keeps its part before start, and its part
  // beyond end becomes an entry of its own.
  if (i > 0) {
    Extent& p = e[i - 1];
    uint64_t previous_end = p.key + p.count;
    if (previous_end > start) {
      if (previous_end > end) {
        Extent tail{end, p.value + (end - p.key), previous_end - end};
        p.count = start - p.key;
        e.insert(e.begin() + static_cast<ptrdiff_t>(i), tail);
      } else {
        p.count = start - p.key;
      }
      changed = true;
    }
  }
  // Entries wholly inside the range go.
  size_t j = i;
  while (j < e.size() && e[j].key + e[j].count <= end) ++j;
  if (j > i) {
    e.erase(e.begin() + static_cast<ptrdiff_t>(i), e.begin() + static_cast<ptrdiff_t>(j));
    changed = true;
  }
  // An entry starting inside the range loses its head.
  if (i < e.size() && e[i].key < end) {
    uint64_t cut = end - e[i].key;
    e[i].key += cut;
    e[i].value += cut;
    e[i].count -= cut;
    changed = true;
  }
  if (value == 0) return changed;
  // Map the range, merging with neighbours that continue it in both spaces.
  if (i > 0 && e[i - 1].key + e[i - 1].count == start && e[i - 1].value + e[i - 1].count == value) {
    e[i - 1].count += count;
    if (i < e.size() && e[i].key == end && e[i].value == value + count) {
      e[i - 1].count += e[i].count;
      e.erase(e.begin() + static_cast<ptrdiff_t>(i));
    }
  } else if (i < e.size() && e[i].key == end && e[i].value == value + count) {
    e[i].key = start;
    e[i].value = value;
    e[i].count += count;
  } else {
    e.insert(e.begin() + static_cast<ptrdiff_t>(i), Extent{start, value, count});
  }
  return true;
}

AllocationTree::Node* AllocationTree::FindParent(Node* node, size_t& index) {
  Node* current = root_;
  if (current->level <= node->level) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Flush"));
  for (;;) {
    size_t end = LastAtOrBelow(current->entries, node->key);
    if (end == 0) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Flush"));
    const Extent& entry = current->entries[end - 1];
    if (current->level == node->level + 1) {
      if (entry.key != node->key || entry.value != node->block)
        throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Flush"));
      index = end - 1;
      return current;
    }
    auto it = cache_.find(NodeKey{current->level - 1, entry.key});
    if (it == cache_.end() || it->second->block != entry.value)
      throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Flush"));
    current = it->second.get();
  }
}

void AllocationTree::FlushNode(Node* node) {
  if (node->state == State::kRelocated && GetNodeSize(node->entries, block_size_) == 1) return;
  size_t index = 0;
  Node* parent = FindParent(node, index);
  MarkModified(parent);
  // The store may call back into this tree (an allocation map records its own
  // blocks), changing leaves, loading nodes and setting the dirty flag, but
  // never changing internal entries: `parent` and `index` stay valid, and the
  // node keeps its old block until its parent entry changes with it.
  std::vector<uint64_t> blocks;
  if (node->state == State::kRelocated) {
    blocks.push_back(node->block);
  } else if (node->block != 0) {
    store_.FreeBlock(node->block);  // copy-on-write: the old block stays intact
  }
  for (uint64_t needed = GetNodeSize(node->entries, block_size_); blocks.size() < needed;
       needed = GetNodeSize(node->entries, block_size_)) {
    while (blocks.size() < needed) blocks.push_back(store_.AllocateBlock());
  }
  node->state = State::kRelocated;
  node->block = blocks[0];
  parent->entries[index].value = blocks[0];
  std::vector<uint64_t> unused;
  size_t n = node->entries.size();
  if (blocks.size() >= 2 && n >= 1) {
    size_t per_node = (n + blocks.size() - 1) / blocks.size();
    size_t shares = (n + per_node - 1) / per_node;  // no empty share even if entries shrank meanwhile
    for (size_t i = 1; i < shares; ++i) {
      auto split = std::make_unique<Node>();
      split->level = node->level;
      split->key = node->entries[i * per_node].key;
      split->block = blocks[i];
      split->state = State::kRelocated;
      split->entries.assign(node->entries.begin() + static_cast<ptrdiff_t>(i * per_node),
                            node->entries.begin() + static_cast<ptrdiff_t>(std::min(n, (i + 1) * per_node)));
      if (cache_.count(NodeKey{split->level, split->key}) != 0)
        throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Flush"));
      parent->entries.insert(parent->entries.begin() + static_cast<ptrdiff_t>(index + i),
                             Extent{split->key, split->block, 1});
      cache_.emplace(NodeKey{split->level, split->key}, std::move(split));
    }
    node->entries.resize(per_node);
    unused.assign(blocks.begin() + static_cast<ptrdiff_t>(shares), blocks.end());
  } else if (blocks.size() >= 2) {
    unused.assign(blocks.begin() + 1, blocks.end());
  }
  for (uint64_t block : unused) store_.FreeBlock(block);
}

void AllocationTree::RemoveNode(Node* node) {
  // The path from the root down to the node: each parent and its entry index.
  std::vector<std::pair<Node*, size_t>> path;
  Node* current = root_;
  uint64_t bound = kNoBound;
  while (current->level > node->level) {
    size_t end = LastAtOrBelow(current->entries, node->key);
    if (end == 0) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("RemoveNode"));
    if (end < current->entries.size()) bound = current->entries[end].key;
    path.emplace_back(current, end - 1);
    current = Child(current, end - 1, bound);
  }
  if (current != node) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("RemoveNode"));

  std::vector<uint64_t> freed;
  Node* removed = node;
  while (!path.empty()) {
    auto [parent, index] = path.back();
    path.pop_back();
    uint64_t removed_key = removed->key;
    if (removed->block != 0) freed.push_back(removed->block);
    cache_.erase(NodeKey{removed->level, removed->key});
    parent->entries.erase(parent->entries.begin() + static_cast<ptrdiff_t>(index));
    MarkModified(parent);
    if (!parent->entries.empty()) {
      if (index == 0) {
        // The new first entry takes over the removed node's key, and so do the
        // nodes down its leftmost chain and the first entries of internal
        // nodes on the way. Leaf extents keep their keys: their data does not move.
        Node* chain = parent;
        while (chain->level > 0) {
          if (chain->entries.empty()) throw Error::File(Common::kErrCorrupted, ZYK_HERE_AS("RemoveNode"));
          bound = chain->entries.size() > 1 ? chain->entries[1].key : kNoBound;
          Node* child = Child(chain, 0, bound);
          chain->entries[0].key = removed_key;
          MarkModified(chain);
          chain = Rekey(child, child->level, removed_key);
        }
      }
      break;
    }
    if (parent == root_) {
      Rekey(root_, 0, 0);  // an empty tree has an empty leaf root
      break;
    }
    removed = parent;
  }
  for (uint64_t block : freed) store_.FreeBlock(block);
}

void AllocationTree::Flush() {
  while (dirty_) {
    dirty_ = false;
    // Visit the non-clean nodes in (level, key) order: leaves first, root last.
    // Each step looks the position up again, because the store may add nodes and
    // removals re-key nodes (anything skipped is dirty and caught by the next pass).
    bool started = false;
    NodeKey position{};
    for (;;) {
      auto it = started ? cache_.upper_bound(position) : cache_.begin();
      if (it == cache_.end()) break;
      started = true;
      position = it->first;
      Node* node = it->second.get();
      if (node->state == State::kClean) continue;
      if (node == root_) {
        if (GetNodeSize(node->entries, root_record_size_ - 1) == 1) continue;
        if (node->level >= kMaxLevel) throw Error::File(Common::kErrDiskFull, ZYK_HERE_AS("Flush"));
        // The root no longer fits its record: a new root one level up points at
        // it, and it is relocated (and split) as an ordinary node.
        auto grown = std::make_unique<Node>();
        grown->level = node->level + 1;
        grown->state = State::kModified;
        grown->entries.push_back(Extent{node->key, node->block, node->count});
        root_ = grown.get();
        cache_.emplace(NodeKey{grown->level, 0}, std::move(grown));
        dirty_ = true;
        FlushNode(node);
        continue;
      }
      if (node->entries.empty()) {
        RemoveNode(node);
        dirty_ = true;
        continue;
      }
      FlushNode(node);
    }
  }
  std::vector<uint8_t> buffer(block_size_);
  for (auto& [key, node] : cache_) {
    if (node.get() == root_ || node->state != State::kRelocated) continue;
    EncodeNode(node->entries, buffer.data(), block_size_);
    store_.WriteBlock(node->block, buffer.data());
    node->state = State::kClean;
  }
}

void AllocationTree::Walk(Node* node, uint64_t bound, const std::function<void(const Extent&)>* extents,
                          const std::function<void(uint32_t, uint64_t, const std::vector<Extent>&)>* nodes) {
  if (nodes != nullptr && node != root_) (*nodes)(node->level, node->block, node->entries);
  if (node->level == 0) {
    if (extents != nullptr)
      for (const Extent& e : node->entries) (*extents)(e);
    return;
  }
  for (size_t i = 0; i < node->entries.size(); ++i) {
    uint64_t child_bound = i + 1 < node->entries.size() ? node->entries[i + 1].key : bound;
    Walk(Child(node, i, bound), child_bound, extents, nodes);
  }
}

void AllocationTree::ForEachExtent(const std::function<void(const Extent&)>& visit) {
  Walk(root_, kNoBound, &visit, nullptr);
}

void AllocationTree::ForEachNode(
    const std::function<void(uint32_t level, uint64_t block, const std::vector<Extent>& entries)>& visit) {
  Walk(root_, kNoBound, nullptr, &visit);
}

}  // namespace backupmedia
