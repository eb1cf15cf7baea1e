#include "node_table.h"

namespace zykfs_fuse {

NodeTable::NodeTable() {
  Node root;
  root.type = NodeType::kDirectory;
  root.lookups = 1;  // the kernel never forgets the root
  nodes_.emplace(kRootNode, std::move(root));
}

uint64_t NodeTable::Found(uint64_t parent, const std::string& name, uint64_t inode, NodeType type,
                          const Version* version) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (nodes_.count(parent) == 0) return 0;
  auto child = children_.find(Key(parent, name));
  if (child != children_.end()) {
    Node& node = nodes_.at(child->second);
    bool stale = version != nullptr && !node.open && (node.outdated || (node.versioned && !(node.version == *version)));
    if (node.inode == inode && node.type == type && !stale) {
      ++node.lookups;
      if (version != nullptr && !node.open) {
        node.version = *version;
        node.versioned = true;
      }
      return child->second;
    }
    DetachLocked(parent, name);
  }
  uint64_t id = next_id_++;
  Node node;
  node.parent = parent;
  node.name = name;
  node.lookups = 1;
  node.inode = inode;
  node.type = type;
  if (version != nullptr) {
    node.version = *version;
    node.versioned = true;
  }
  nodes_.emplace(id, std::move(node));
  children_[Key(parent, name)] = id;
  return id;
}

void NodeTable::Outdate(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = nodes_.find(id);
  if (found != nodes_.end()) found->second.outdated = true;
}

void NodeTable::Forget(uint64_t id, uint64_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = nodes_.find(id);
  if (found == nodes_.end() || id == kRootNode) return;
  found->second.lookups -= std::min(count, found->second.lookups);
  DropIfUnused(id);
}

void NodeTable::DropIfUnused(uint64_t id) {
  auto found = nodes_.find(id);
  if (found == nodes_.end() || found->second.lookups > 0 || found->second.open) return;
  if (found->second.attached) children_.erase(Key(found->second.parent, found->second.name));
  nodes_.erase(found);
}

bool NodeTable::PathLocked(uint64_t id, std::string& path) const {
  std::vector<const std::string*> names;
  while (id != kRootNode) {
    auto found = nodes_.find(id);
    if (found == nodes_.end() || !found->second.attached) return false;
    names.push_back(&found->second.name);
    id = found->second.parent;
  }
  if (names.empty()) {
    path.assign(1, '.');
    return true;
  }
  path.clear();
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (!path.empty()) path += '/';
    path += **name;
  }
  return true;
}

bool NodeTable::PathOf(uint64_t id, std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return PathLocked(id, path);
}

bool NodeTable::ChildPath(uint64_t parent, const std::string& name, std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!PathLocked(parent, path)) return false;
  path = parent == kRootNode ? name : path + "/" + name;
  return true;
}

uint64_t NodeTable::Child(uint64_t parent, const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto child = children_.find(Key(parent, name));
  return child == children_.end() ? 0 : child->second;
}

bool NodeTable::TypeOf(uint64_t id, NodeType& type, uint64_t& inode) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = nodes_.find(id);
  if (found == nodes_.end()) return false;
  type = found->second.type;
  inode = found->second.inode;
  return true;
}

void NodeTable::Move(uint64_t parent, const std::string& name, uint64_t new_parent, const std::string& new_name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto child = children_.find(Key(parent, name));
  DetachLocked(new_parent, new_name);
  if (child == children_.end()) return;
  uint64_t id = child->second;
  children_.erase(child);
  Node& node = nodes_.at(id);
  node.parent = new_parent;
  node.name = new_name;
  children_[Key(new_parent, new_name)] = id;
}

void NodeTable::Detach(uint64_t parent, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  DetachLocked(parent, name);
}

void NodeTable::DetachLocked(uint64_t parent, const std::string& name) {
  auto child = children_.find(Key(parent, name));
  if (child == children_.end()) return;
  uint64_t id = child->second;
  children_.erase(child);
  nodes_.at(id).attached = false;
  DropIfUnused(id);
}

std::shared_ptr<OpenFile> NodeTable::OpenOf(uint64_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = nodes_.find(id);
  return found == nodes_.end() ? nullptr : found->second.open;
}

void NodeTable::SetOpen(uint64_t id, std::shared_ptr<OpenFile> file) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = nodes_.find(id);
  if (found == nodes_.end()) return;
  found->second.open = std::move(file);
  DropIfUnused(id);
}

std::vector<std::pair<uint64_t, std::shared_ptr<OpenFile>>> NodeTable::OpenBelow(uint64_t ancestor) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::pair<uint64_t, std::shared_ptr<OpenFile>>> found;
  for (const auto& [id, node] : nodes_) {
    if (!node.open || !node.attached) continue;
    for (uint64_t up = node.parent; up != 0 && up != kRootNode; up = nodes_.at(up).parent) {
      if (up == ancestor) {
        found.emplace_back(id, node.open);
        break;
      }
      if (nodes_.count(up) == 0 || !nodes_.at(up).attached) break;
    }
  }
  return found;
}

std::vector<std::shared_ptr<OpenFile>> NodeTable::AllOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<OpenFile>> open;
  for (const auto& [id, node] : nodes_) {
    if (node.open) open.push_back(node.open);
  }
  return open;
}

}  // namespace zykfs_fuse
