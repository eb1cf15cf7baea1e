#pragma once
// The kernel's file system requests (libfuse low-level API) carried out through
// the library's operation table. Reads, writes, syncs and attribute requests are
// answered from the library's completion callbacks; requests that change names
// or open and close library handles (open, create, release, rename, unlink,
// rmdir, opendir) run on the session thread that received them, one at a time.

#define FUSE_USE_VERSION 312  // the 3.12 session loop API: fuse_loop_cfg_* and fuse_session_loop_mt
#include <fuse_lowlevel.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "host_options.h"
#include "library_mount.h"
#include "node_table.h"

namespace zykfs_fuse {

class FuseHost {
 public:
  FuseHost(const LibraryMount& mount, HostOptions options);

  // The operation table to hand to fuse_session_new, with this host as user data.
  static const fuse_lowlevel_ops& Operations();

  // Closes every library handle still open (each close syncs, so archives
  // commit); for the end of the session. Returns false when a close failed.
  bool CloseAll();

  // Request handlers; public only for the operation table.
  void Init(fuse_conn_info* connection);
  void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name);
  void Forget(fuse_ino_t node, uint64_t count) { nodes_.Forget(node, count); }
  void GetAttr(fuse_req_t request, fuse_ino_t node);
  void SetAttr(fuse_req_t request, fuse_ino_t node, const struct stat* attributes, int to_set, fuse_file_info* info);
  void MakeDir(fuse_req_t request, fuse_ino_t parent, const char* name);
  void Unlink(fuse_req_t request, fuse_ino_t parent, const char* name);
  void RemoveDir(fuse_req_t request, fuse_ino_t parent, const char* name);
  void Rename(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t new_parent, const char* new_name,
              unsigned int flags);
  void Open(fuse_req_t request, fuse_ino_t node, fuse_file_info* info);
  void Create(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_file_info* info);
  void Read(fuse_req_t request, size_t size, off_t offset, fuse_file_info* info);
  void Write(fuse_req_t request, const char* data, size_t size, off_t offset, fuse_file_info* info);
  void Flush(fuse_req_t request, fuse_file_info* info);
  void Fsync(fuse_req_t request, fuse_file_info* info);
  void Release(fuse_req_t request, fuse_ino_t node, fuse_file_info* info);
  void Fallocate(fuse_req_t request, int mode, off_t offset, off_t length, fuse_file_info* info);
  void OpenDir(fuse_req_t request, fuse_ino_t node, fuse_file_info* info);
  void ReadDir(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset, fuse_file_info* info, bool plus);
  void ReleaseDir(fuse_req_t request, fuse_file_info* info);
  void StatFs(fuse_req_t request);

 private:
  struct Listing;
  // The state of one hole punch, kept until its last step has completed.
  struct Punch {
    uint64_t start = 0;
    uint64_t end = 0;
    std::array<uint64_t, 2> ranges{};
    std::vector<char> zeros;
    uint64_t written = 0;
    zykfs_stat_t status{};
  };
  void PunchBlocks(uint64_t handle, std::shared_ptr<Punch> punch, uint64_t start, uint64_t end,
                   std::function<void(int32_t)> done);
  void PunchArchive(uint64_t handle, std::shared_ptr<Punch> punch, std::function<void(int32_t)> done);
  void WriteZeros(uint64_t handle, std::shared_ptr<Punch> punch, uint64_t start, uint64_t end,
                  std::function<void(int32_t)> done);

  // The kernel attributes of a library status.
  struct stat Attributes(const zykfs_stat_t& status, NodeType type) const;
  fuse_entry_param Entry(uint64_t node, const zykfs_stat_t& status, NodeType type) const;
  // The version a lookup checks a known node against (stored in `version`), or
  // null where the kernel takes sizes and times from each answer.
  const Version* Checked(const zykfs_stat_t& status, NodeType type, Version& version) const;
  // Makes the file's changes durable (commits an archive); answers at once when
  // nothing changed since its last sync.
  void Sync(fuse_req_t request, OpenFile* file);
  bool ShowsAs(const struct stat* attributes, int to_set, NodeType type) const;

  // Answers `request` with the attributes of `path`, or of the open file when
  // `file` is set (its size is then the open file's current size).
  void ReplyAttributes(fuse_req_t request, const std::string& path, OpenFile* file, NodeType type);
  // Finds the type of `path` (library inode `inode`) and then runs `done`.
  void ResolveType(const std::string& path, uint64_t inode, std::function<void(NodeType)> done);
  void RememberType(uint64_t inode, NodeType type);

  // Blocking helpers for the name-changing requests, called under namespace_mutex_.
  int32_t OpenLibraryHandle(const std::string& path, uint32_t flags, uint64_t& handle) const;
  int32_t CloseLibraryHandle(uint64_t handle) const;
  int32_t StatPath(const std::string& path, zykfs_stat_t& status) const;
  int32_t PathCall(zykfs_unlink_fn operation, const std::string& path) const;
  int32_t RenamePaths(const std::string& from, const std::string& to, bool no_replace) const;
  // Closes the file's library handle, runs `change` (which may rename it), and
  // reopens the handle at `path_after(code of change)`; held requests then go on.
  int32_t Reopen(OpenFile& file, const std::function<int32_t()>& change,
                 const std::function<std::string(int32_t)>& path_after);
  // Moves an open file out of the namespace to a hidden name in the root; it is
  // removed at its last release.
  int32_t Hide(OpenFile& file, const std::string& path);
  int32_t ReopenBelow(uint64_t directory_node);
  int OpenNode(uint64_t node, const std::string& path, bool want_write, OpenFile*& opened);

  const LibraryMount& mount_;
  const zykfs_ops_t& ops_;
  void* const library_;
  const HostOptions options_;
  bool writeback_ = false;  // the kernel caches writes; set by Init before any request
  NodeTable nodes_;

  // Serialises the requests that open, close, rename or remove names; guards
  // each OpenFile's `opens` and `hidden_path` and the open file of each node.
  std::mutex namespace_mutex_;
  std::atomic<uint64_t> hidden_counter_{0};

  std::mutex types_mutex_;
  std::unordered_map<uint64_t, NodeType> types_;  // library inode to type; guarded by types_mutex_
};

// Names of unlinked files that are still open; never shown through the mount.
bool IsHiddenName(const std::string& name);
// Names the library stores as container archives.
bool IsArchiveName(const std::string& name);

}  // namespace zykfs_fuse
