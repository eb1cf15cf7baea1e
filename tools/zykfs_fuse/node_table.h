#pragma once
// The names the kernel knows: each node id the mount hands out stands for one
// entry (parent node and name) and lives until the kernel forgets it. The
// path of a node is rebuilt from its parents, so a rename moves whole subtrees.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "open_file.h"

namespace zykfs_fuse {

constexpr uint64_t kRootNode = 1;

enum class NodeType : uint8_t { kFile, kDirectory };

// The size and modification time of a file's contents as the kernel was last
// told them. With the kernel's write-back cache the kernel keeps its own size
// and times for every file node it knows, so a file changed by another path is
// shown fresh only through a new node.
struct Version {
  uint64_t size = 0;
  uint64_t modify_time = 0;
  bool operator==(const Version&) const = default;
};

class NodeTable {
 public:
  NodeTable();

  // The node of `name` in `parent` for a lookup that found library inode
  // `inode`: the known node when it still stands for that inode, else a new one
  // (the old one is detached). Adds one kernel lookup. Returns 0 when the parent is unknown.
  // With `version`, a known node that is not open and was last shown at
  // another version is replaced by a new node as well, which then records it.
  uint64_t Found(uint64_t parent, const std::string& name, uint64_t inode, NodeType type,
                 const Version* version = nullptr);
  // Makes the next Found with a version replace `node` (whose version is unknown).
  void Outdate(uint64_t node);
  // Drops `count` kernel lookups; the node goes when none remain and it is not open.
  void Forget(uint64_t node, uint64_t count);

  // The path below the served root ("." for the root); false for an unknown or detached node.
  bool PathOf(uint64_t node, std::string& path) const;
  // The path of `name` in `parent`; false when the parent is unknown.
  bool ChildPath(uint64_t parent, const std::string& name, std::string& path) const;
  // The node id currently standing for `name` in `parent`, or 0.
  uint64_t Child(uint64_t parent, const std::string& name) const;

  // The type and library inode last seen for a node; false for an unknown node.
  bool TypeOf(uint64_t node, NodeType& type, uint64_t& inode) const;

  // Moves the entry `name` of `parent` to `new_name` in `new_parent`; a node
  // there before is detached.
  void Move(uint64_t parent, const std::string& name, uint64_t new_parent, const std::string& new_name);
  // Detaches the entry from its name (after an unlink or rmdir): the node stays
  // valid for the kernel, but PathOf fails and lookups no longer find it.
  void Detach(uint64_t parent, const std::string& name);

  // The shared library handle of an open node (null when not open); set and
  // cleared under the caller's namespace lock.
  std::shared_ptr<OpenFile> OpenOf(uint64_t node) const;
  void SetOpen(uint64_t node, std::shared_ptr<OpenFile> file);
  // Every open node below `ancestor` (for reopening after a directory rename).
  std::vector<std::pair<uint64_t, std::shared_ptr<OpenFile>>> OpenBelow(uint64_t ancestor) const;
  // Every open node (for closing at unmount).
  std::vector<std::shared_ptr<OpenFile>> AllOpen() const;

 private:
  struct Node {
    uint64_t parent = 0;
    std::string name;
    bool attached = true;
    uint64_t lookups = 0;
    uint64_t inode = 0;
    NodeType type = NodeType::kFile;
    bool versioned = false;  // whether `version` was recorded
    bool outdated = false;   // replaced at the next Found with a version
    Version version;
    std::shared_ptr<OpenFile> open;
  };
  using Key = std::pair<uint64_t, std::string>;

  void DetachLocked(uint64_t parent, const std::string& name);
  void DropIfUnused(uint64_t id);
  bool PathLocked(uint64_t node, std::string& path) const;

  mutable std::mutex mutex_;
  std::unordered_map<uint64_t, Node> nodes_;  // guarded by mutex_
  std::map<Key, uint64_t> children_;          // guarded by mutex_
  uint64_t next_id_ = kRootNode + 1;          // guarded by mutex_
};

}  // namespace zykfs_fuse
