#include "fuse_host.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "directory_listing.h"
#include "errno_map.h"

namespace zykfs_fuse {
namespace {

constexpr char kHiddenPrefix[] = ".zykfs-fuse-unlinked-";
constexpr uint32_t kOpenFlags = ZYKFS_OPEN_NO_LOCK;

OpenFile* FileOf(const fuse_file_info* info) { return reinterpret_cast<OpenFile*>(info->fh); }

void ReplyCode(fuse_req_t request, int32_t code, Request kind = Request::kAny) {
  fuse_reply_err(request, ErrnoOf(code, kind));
}

timespec TimeOf(uint64_t milliseconds) {
  return timespec{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
}

bool EndsWithIgnoringCase(const std::string& text, const char* suffix) {
  size_t length = std::strlen(suffix);
  if (text.size() < length) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[text.size() - length + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool IsHiddenName(const std::string& name) { return name.compare(0, sizeof kHiddenPrefix - 1, kHiddenPrefix) == 0; }
bool IsArchiveName(const std::string& name) { return EndsWithIgnoringCase(name, ".qmv"); }

FuseHost::FuseHost(const LibraryMount& mount, HostOptions options)
    : mount_(mount), ops_(mount.Ops()), library_(mount.Handle()), options_(std::move(options)) {}

void FuseHost::Init(fuse_conn_info* connection) {
  // Many requests in flight let the library's workers overlap them.
  connection->max_background = 64;
  connection->congestion_threshold = 48;
  connection->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;  // truncation arrives as a setattr on the open file
  // The write-back cache turns many small writes into few large ones, sent in
  // the background and at the latest by close and fsync. Every library handle
  // is opened for reading where it can be, as the kernel then reads pages of
  // files opened for writing only; it also places O_APPEND writes itself.
  writeback_ = options_.writeback_cache && (connection->capable & FUSE_CAP_WRITEBACK_CACHE);
  if (writeback_) {
    connection->want |= FUSE_CAP_WRITEBACK_CACHE;
  } else {
    connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
  }
  if (connection->capable & FUSE_CAP_SPLICE_READ) connection->want &= ~FUSE_CAP_SPLICE_READ;
}

struct stat FuseHost::Attributes(const zykfs_stat_t& status, NodeType type) const {
  struct stat attributes {};
  attributes.st_ino = status.inode;
  bool directory = type == NodeType::kDirectory;
  attributes.st_mode = directory ? S_IFDIR | (0777 & ~options_.umask) : S_IFREG | (0666 & ~options_.umask);
  attributes.st_nlink = directory ? 2 : 1;
  attributes.st_uid = options_.uid;
  attributes.st_gid = options_.gid;
  attributes.st_size = static_cast<off_t>(status.size);
  attributes.st_blksize = 4096;
  attributes.st_blocks = static_cast<blkcnt_t>((status.allocated + 511) / 512);
  attributes.st_atim = TimeOf(status.access_time);
  attributes.st_mtim = TimeOf(status.modify_time);
  attributes.st_ctim = TimeOf(status.change_time);
  return attributes;
}

const Version* FuseHost::Checked(const zykfs_stat_t& status, NodeType type, Version& version) const {
  if (!writeback_ || type != NodeType::kFile) return nullptr;
  version = Version{status.size, status.modify_time};
  return &version;
}

fuse_entry_param FuseHost::Entry(uint64_t node, const zykfs_stat_t& status, NodeType type) const {
  fuse_entry_param entry{};
  entry.ino = node;
  entry.attr = Attributes(status, type);
  entry.attr_timeout = options_.attr_timeout;
  entry.entry_timeout = options_.entry_timeout;
  return entry;
}

void FuseHost::RememberType(uint64_t inode, NodeType type) {
  std::lock_guard<std::mutex> lock(types_mutex_);
  types_[inode] = type;
}

void FuseHost::ResolveType(const std::string& path, uint64_t inode, std::function<void(NodeType)> done) {
  {
    std::lock_guard<std::mutex> lock(types_mutex_);
    auto known = types_.find(inode);
    if (known != types_.end()) return done(known->second);
  }
  // The status has no type: a path that opens as a directory is one.
  auto directory = std::make_shared<uint64_t>(0);
  auto kept_path = std::make_shared<const std::string>(path);  // read by the library until the callback
  CallAsync(
      [&](zykfs_callback_t cb, void* ctx) { ops_.opendir(library_, kept_path->c_str(), directory.get(), cb, ctx); },
      [this, directory, kept_path, inode, done = std::move(done)](int32_t code) {
        NodeType type = code == ZYKFS_OK ? NodeType::kDirectory : NodeType::kFile;
        RememberType(inode, type);
        done(type);
        if (code != ZYKFS_OK) return;
        // The opendir call may not have returned yet on its own thread; retry while busy.
        auto close = std::make_shared<std::function<void()>>();
        *close = [this, directory, close] {
          CallAsync([&](zykfs_callback_t cb, void* ctx) { ops_.closedir(library_, *directory, cb, ctx); },
                    [close](int32_t closed) {
                      if (closed == ZYKFS_E_BUSY)
                        (*close)();
                      else
                        *close = nullptr;  // ends the self-reference
                    });
        };
        (*close)();
      });
}

void FuseHost::Lookup(fuse_req_t request, fuse_ino_t parent, const char* name_text) {
  std::string name(name_text);
  std::string path;
  if ((parent == kRootNode && IsHiddenName(name)) || !nodes_.ChildPath(parent, name, path)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  auto status = std::make_shared<zykfs_stat_t>();
  auto kept_path = std::make_shared<const std::string>(path);  // read by the library until the callback
  CallAsync([&](zykfs_callback_t cb, void* ctx) { ops_.stat(library_, kept_path->c_str(), status.get(), cb, ctx); },
            [this, request, parent, name, path, kept_path, status](int32_t code) {
              if (code != ZYKFS_OK) return ReplyCode(request, code);
              ResolveType(path, status->inode, [this, request, parent, name, path, status](NodeType type) {
                Version version;
                uint64_t node = nodes_.Found(parent, name, status->inode, type, Checked(*status, type, version));
                if (node == 0) return (void)fuse_reply_err(request, ENOENT);
                std::shared_ptr<OpenFile> file = nodes_.OpenOf(node);
                if (!file) {
                  fuse_entry_param entry = Entry(node, *status, type);
                  if (fuse_reply_entry(request, &entry) != 0) nodes_.Forget(node, 1);
                  return;
                }
                // An open file's size is the open handle's current size.
                file->Submit([this, request, node, type, file, status](uint64_t handle) {
                  if (handle == 0) {  // closed meanwhile: the status by name stands
                    fuse_entry_param entry = Entry(node, *status, type);
                    if (fuse_reply_entry(request, &entry) != 0) nodes_.Forget(node, 1);
                    return;
                  }
                  CallAsync(
                      [&](zykfs_callback_t cb, void* ctx) { ops_.fstat(library_, handle, status.get(), cb, ctx); },
                      [this, request, node, type, file, status](int32_t code) {
                        file->Finish();
                        if (code != ZYKFS_OK) {
                          nodes_.Forget(node, 1);
                          return ReplyCode(request, code);
                        }
                        fuse_entry_param entry = Entry(node, *status, type);
                        if (fuse_reply_entry(request, &entry) != 0) nodes_.Forget(node, 1);
                      });
                });
              });
            });
}

void FuseHost::ReplyAttributes(fuse_req_t request, const std::string& path, OpenFile* file, NodeType type) {
  auto status = std::make_shared<zykfs_stat_t>();
  auto reply = [this, request, status, type](int32_t code) {
    if (code != ZYKFS_OK) return ReplyCode(request, code);
    struct stat attributes = Attributes(*status, type);
    fuse_reply_attr(request, &attributes, options_.attr_timeout);
  };
  auto kept_path = std::make_shared<const std::string>(path);  // read by the library until the callback
  auto by_name = [this, status, kept_path, reply] {
    if (kept_path->empty()) return reply(ZYKFS_E_NOT_FOUND);
    CallAsync([&](zykfs_callback_t cb, void* ctx) { ops_.stat(library_, kept_path->c_str(), status.get(), cb, ctx); },
              [kept_path, reply](int32_t code) { reply(code); });
  };
  if (file == nullptr) return by_name();
  file->Submit([this, file, status, reply, by_name](uint64_t handle) {
    if (handle == 0) return by_name();  // closed meanwhile
    CallAsync([&](zykfs_callback_t cb, void* ctx) { ops_.fstat(library_, handle, status.get(), cb, ctx); },
              [file, reply](int32_t code) {
                file->Finish();
                reply(code);
              });
  });
}

void FuseHost::GetAttr(fuse_req_t request, fuse_ino_t node) {
  std::string path;
  NodeType type;
  uint64_t inode;
  std::shared_ptr<OpenFile> file = nodes_.OpenOf(node);
  bool named = nodes_.PathOf(node, path);
  if (!nodes_.TypeOf(node, type, inode) || (!file && !named)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  ReplyAttributes(request, path, file.get(), type);
}

// True when every attribute change asked for, other than the size, is what the
// mount already shows (a chmod to the present mode, a chown to the present owner).
bool FuseHost::ShowsAs(const struct stat* attributes, int to_set, NodeType type) const {
  if (to_set & FUSE_SET_ATTR_MODE) {
    mode_t shown = (S_ISDIR(attributes->st_mode) ? 0777 : 0666) & ~options_.umask;
    if ((attributes->st_mode & 07777) != shown) return false;
  }
  if ((to_set & FUSE_SET_ATTR_UID) && attributes->st_uid != options_.uid) return false;
  if ((to_set & FUSE_SET_ATTR_GID) && attributes->st_gid != options_.gid) return false;
  constexpr int kTimes = FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_ATIME_NOW | FUSE_SET_ATTR_MTIME_NOW |
                         FUSE_SET_ATTR_CTIME;
  int times = to_set & kTimes;
  // With the write-back cache the kernel keeps a file's modification and change
  // times while it caches writes, and hands them back with the data (at close,
  // fsync, truncate). The library stamps its own as the data reaches it.
  if (writeback_ && type == NodeType::kFile) times &= ~(FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_CTIME);
  return times == 0;
}

void FuseHost::SetAttr(fuse_req_t request, fuse_ino_t node, const struct stat* attributes, int to_set,
                       fuse_file_info* info) {
  NodeType type;
  uint64_t inode;
  std::string path;
  if (!nodes_.TypeOf(node, type, inode)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  // The table has no entries for modes, owners or times.
  if (!ShowsAs(attributes, to_set, type)) {
    fuse_reply_err(request, EPERM);
    return;
  }
  std::shared_ptr<OpenFile> open = nodes_.OpenOf(node);
  OpenFile* file = info != nullptr ? FileOf(info) : open.get();
  if (!nodes_.PathOf(node, path) && file == nullptr) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  if ((to_set & FUSE_SET_ATTR_SIZE) == 0) return ReplyAttributes(request, path, file, type);
  if (options_.read_only) return (void)fuse_reply_err(request, EROFS);
  if (type == NodeType::kDirectory) return (void)fuse_reply_err(request, EISDIR);
  uint64_t size = static_cast<uint64_t>(attributes->st_size);
  if (file != nullptr && file->Writable()) {
    file->Submit([this, request, file, size, type, path](uint64_t handle) {
      if (handle == 0) return (void)fuse_reply_err(request, EBADF);
      file->NoteChange();
      CallAsync([&](zykfs_callback_t cb, void* ctx) { ops_.truncate(library_, handle, size, cb, ctx); },
                [this, request, file, type, path](int32_t code) {
                  file->Finish();
                  if (code != ZYKFS_OK) return ReplyCode(request, code, Request::kWrite);
                  ReplyAttributes(request, path, file, type);
                });
    });
    return;
  }
  // A truncate by name, or of a file open for reading only: a handle of its own.
  std::lock_guard<std::mutex> lock(namespace_mutex_);
  if (path.empty() && !nodes_.PathOf(node, path)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  OpenFile* opened = nullptr;
  int error = OpenNode(node, path, true, opened);
  if (error != 0) return (void)fuse_reply_err(request, error);
  uint64_t handle = opened->Pause();
  int32_t code = CallAndWait([&](zykfs_callback_t cb, void* ctx) { ops_.truncate(library_, handle, size, cb, ctx); });
  opened->Resume(handle, true);
  zykfs_stat_t status{};
  if (code == ZYKFS_OK) {
    code = CallAndWait([&](zykfs_callback_t cb, void* ctx) { ops_.fstat(library_, handle, &status, cb, ctx); });
  }
  // Drops the opening made here, closing the handle when nobody else holds it.
  if (--opened->opens == 0) {
    std::shared_ptr<OpenFile> keep = nodes_.OpenOf(node);
    int32_t closed = CloseLibraryHandle(opened->Pause());
    opened->Retire();
    nodes_.SetOpen(node, nullptr);
    if (code == ZYKFS_OK) code = closed;
  }
  if (code != ZYKFS_OK) return ReplyCode(request, code, Request::kWrite);
  struct stat result = Attributes(status, type);
  fuse_reply_attr(request, &result, options_.attr_timeout);
}

void FuseHost::MakeDir(fuse_req_t request, fuse_ino_t parent, const char* name_text) {
  std::string name(name_text);
  std::string path;
  if (options_.read_only) return (void)fuse_reply_err(request, EROFS);
  if (!nodes_.ChildPath(parent, name, path)) return (void)fuse_reply_err(request, ENOENT);
  int32_t code = PathCall(ops_.mkdir, path);
  if (code != ZYKFS_OK) return ReplyCode(request, code);
  zykfs_stat_t status{};
  code = StatPath(path, status);
  if (code != ZYKFS_OK) return ReplyCode(request, code);
  RememberType(status.inode, NodeType::kDirectory);
  uint64_t node = nodes_.Found(parent, name, status.inode, NodeType::kDirectory);
  fuse_entry_param entry = Entry(node, status, NodeType::kDirectory);
  if (node == 0 || fuse_reply_entry(request, &entry) != 0) nodes_.Forget(node, 1);
}

int32_t FuseHost::OpenLibraryHandle(const std::string& path, uint32_t flags, uint64_t& handle) const {
  return CallAndWait(
      [&](zykfs_callback_t cb, void* ctx) { ops_.open(library_, path.c_str(), flags, &handle, cb, ctx); });
}

int32_t FuseHost::CloseLibraryHandle(uint64_t handle) const {
  int32_t code;
  do {
    code = CallAndWait([&](zykfs_callback_t cb, void* ctx) { ops_.close(library_, handle, cb, ctx); });
  } while (code == ZYKFS_E_BUSY);
  return code;
}

int32_t FuseHost::StatPath(const std::string& path, zykfs_stat_t& status) const {
  return CallAndWait([&](zykfs_callback_t cb, void* ctx) { ops_.stat(library_, path.c_str(), &status, cb, ctx); });
}

int32_t FuseHost::PathCall(zykfs_unlink_fn operation, const std::string& path) const {
  return CallAndWait([&](zykfs_callback_t cb, void* ctx) { operation(library_, path.c_str(), cb, ctx); });
}

int32_t FuseHost::RenamePaths(const std::string& from, const std::string& to, bool no_replace) const {
  zykfs_rename_fn rename = no_replace ? ops_.rename_safe : ops_.rename;
  return CallAndWait([&](zykfs_callback_t cb, void* ctx) { rename(library_, from.c_str(), to.c_str(), cb, ctx); });
}

int32_t FuseHost::Reopen(OpenFile& file, const std::function<int32_t()>& change,
                         const std::function<std::string(int32_t)>& path_after) {
  uint64_t handle = file.Pause();
  bool writable = file.Writable();
  int32_t closed = CloseLibraryHandle(handle);
  int32_t changed = change();
  uint64_t reopened = 0;
  uint32_t access = writable ? ZYKFS_OPEN_READ_WRITE : ZYKFS_OPEN_READ;
  int32_t code = OpenLibraryHandle(path_after(changed), access | kOpenFlags, reopened);
  // A failed reopen leaves no handle: later requests on the file fail as on a bad descriptor.
  file.Resume(code == ZYKFS_OK ? reopened : 0, writable);
  if (closed != ZYKFS_OK) return closed;
  return changed != ZYKFS_OK ? changed : code;
}

int32_t FuseHost::Hide(OpenFile& file, const std::string& path) {
  std::string hidden;
  int32_t code = Reopen(
      file,
      [&] {
        for (int attempt = 0;; ++attempt) {
          hidden = kHiddenPrefix + std::to_string(::getpid()) + "-" + std::to_string(hidden_counter_++) +
                   (file.Archive() ? ".QMV" : "");
          int32_t renamed = RenamePaths(path, hidden, true);
          if (renamed != ZYKFS_E_EXISTS || attempt == 100) return renamed;
        }
      },
      [&](int32_t renamed) { return renamed == ZYKFS_OK ? hidden : path; });
  if (code == ZYKFS_OK) file.hidden_path = hidden;
  return code;
}

int32_t FuseHost::ReopenBelow(uint64_t directory) {
  int32_t result = ZYKFS_OK;
  for (auto& [node, file] : nodes_.OpenBelow(directory)) {
    std::string path;
    if (!file->hidden_path.empty() || !nodes_.PathOf(node, path)) continue;
    int32_t code = Reopen(
        *file, [] { return ZYKFS_OK; }, [&](int32_t) { return path; });
    if (result == ZYKFS_OK) result = code;
  }
  return result;
}

void FuseHost::Unlink(fuse_req_t request, fuse_ino_t parent, const char* name_text) {
  std::string name(name_text);
  std::string path;
  if (options_.read_only) return (void)fuse_reply_err(request, EROFS);
  std::lock_guard<std::mutex> lock(namespace_mutex_);
  if (!nodes_.ChildPath(parent, name, path)) return (void)fuse_reply_err(request, ENOENT);
  uint64_t node = nodes_.Child(parent, name);
  std::shared_ptr<OpenFile> file = node ? nodes_.OpenOf(node) : nullptr;
  zykfs_stat_t status{};
  StatPath(path, status);
  int32_t code = file ? Hide(*file, path) : PathCall(ops_.unlink, path);
  if (code == ZYKFS_OK) {
    nodes_.Detach(parent, name);
    std::lock_guard<std::mutex> types(types_mutex_);
    types_.erase(status.inode);
  }
  ReplyCode(request, code);
}

void FuseHost::RemoveDir(fuse_req_t request, fuse_ino_t parent, const char* name_text) {
  std::string name(name_text);
  std::string path;
  if (options_.read_only) return (void)fuse_reply_err(request, EROFS);
  std::lock_guard<std::mutex> lock(namespace_mutex_);
  if (!nodes_.ChildPath(parent, name, path)) return (void)fuse_reply_err(request, ENOENT);
  zykfs_stat_t status{};
  StatPath(path, status);
  int32_t code = PathCall(ops_.rmdir, path);
  if (code == ZYKFS_OK) {
    nodes_.Detach(parent, name);
    std::lock_guard<std::mutex> types(types_mutex_);
    types_.erase(status.inode);
  }
  ReplyCode(request, code, Request::kRemoveDir);
}

void FuseHost::Rename(fuse_req_t request, fuse_ino_t parent, const char* name_text, fuse_ino_t new_parent,
                      const char* new_name_text, unsigned int flags) {
  std::string name(name_text), new_name(new_name_text);
  if (flags & ~RENAME_NOREPLACE) return (void)fuse_reply_err(request, EINVAL);  // RENAME_EXCHANGE, RENAME_WHITEOUT
  if (options_.read_only) return (void)fuse_reply_err(request, EROFS);
  if (new_parent == kRootNode && IsHiddenName(new_name)) return (void)fuse_reply_err(request, EPERM);
  bool no_replace = (flags & RENAME_NOREPLACE) != 0;
  std::lock_guard<std::mutex> lock(namespace_mutex_);
  std::string from, to;
  if (!nodes_.ChildPath(parent, name, from) || !nodes_.ChildPath(new_parent, new_name, to)) {
    return (void)fuse_reply_err(request, ENOENT);
  }
  if (from == to) return (void)fuse_reply_err(request, 0);
  uint64_t source = nodes_.Child(parent, name);
  uint64_t target = nodes_.Child(new_parent, new_name);
  std::shared_ptr<OpenFile> source_file = source ? nodes_.OpenOf(source) : nullptr;
  std::shared_ptr<OpenFile> target_file = target ? nodes_.OpenOf(target) : nullptr;
  // The library refuses to replace an open name: an open target leaves the
  // namespace first, as an unlinked open file does.
  if (target_file) {
    if (no_replace) return (void)fuse_reply_err(request, EEXIST);
    if (IsArchiveName(from) != IsArchiveName(to)) return (void)fuse_reply_err(request, EXDEV);
    int32_t hidden = Hide(*target_file, to);
    if (hidden != ZYKFS_OK) return ReplyCode(request, hidden, Request::kRename);
    nodes_.Detach(new_parent, new_name);
  }
  int32_t code;
  if (source_file) {
    code = Reopen(
        *source_file, [&] { return RenamePaths(from, to, no_replace); },
        [&](int32_t renamed) { return renamed == ZYKFS_OK ? to : from; });
  } else {
    code = RenamePaths(from, to, no_replace);
  }
  if (code == ZYKFS_OK) {
    nodes_.Move(parent, name, new_parent, new_name);
    // Open files below a renamed directory: their library handles keep the old path.
    uint64_t moved = nodes_.Child(new_parent, new_name);
    NodeType type;
    uint64_t inode;
    if (moved && nodes_.TypeOf(moved, type, inode) && type == NodeType::kDirectory) ReopenBelow(moved);
  }
  ReplyCode(request, code, Request::kRename);
}

// Opens (or joins) the library handle of `node`; with `want_write` a shared
// handle held for reading only is reopened for writing. Returns an errno.
int FuseHost::OpenNode(uint64_t node, const std::string& path, bool want_write, OpenFile*& opened) {
  std::shared_ptr<OpenFile> file = nodes_.OpenOf(node);
  if (file) {
    if (want_write && !file->Writable()) {
      uint64_t handle = file->Pause();
      int32_t code = CloseLibraryHandle(handle);
      uint64_t reopened = 0;
      int32_t upgraded = OpenLibraryHandle(path, ZYKFS_OPEN_READ_WRITE | kOpenFlags, reopened);
      if (upgraded == ZYKFS_OK) {
        file->Resume(reopened, true);
      } else {
        code = OpenLibraryHandle(path, ZYKFS_OPEN_READ | kOpenFlags, reopened);
        file->Resume(code == ZYKFS_OK ? reopened : 0, false);
        return ErrnoOf(upgraded);
      }
      if (code != ZYKFS_OK) return ErrnoOf(code);
    }
    ++file->opens;
    opened = file.get();
    return 0;
  }
  uint64_t handle = 0;
  bool writable = !options_.read_only;
  int32_t code = writable ? OpenLibraryHandle(path, ZYKFS_OPEN_READ_WRITE | kOpenFlags, handle) : ZYKFS_E_READ_ONLY;
  if (code != ZYKFS_OK && !want_write && code != ZYKFS_E_NOT_FOUND) {
    // A file the system lets us read only.
    writable = false;
    code = OpenLibraryHandle(path, ZYKFS_OPEN_READ | kOpenFlags, handle);
  }
  if (code != ZYKFS_OK) return ErrnoOf(code);
  file = std::make_shared<OpenFile>(handle, writable, IsArchiveName(BaseName(path)));
  file->opens = 1;
  nodes_.SetOpen(node, file);
  opened = file.get();
  return 0;
}

void FuseHost::Open(fuse_req_t request, fuse_ino_t node, fuse_file_info* info) {
  bool want_write = (info->flags & O_ACCMODE) != O_RDONLY;
  if (want_write && options_.read_only) return (void)fuse_reply_err(request, EROFS);
  std::lock_guard<std::mutex> lock(namespace_mutex_);
  std::string path;
  std::shared_ptr<OpenFile> open = nodes_.OpenOf(node);
  if (!nodes_.PathOf(node, path) && !(open && !open->hidden_path.empty())) return (void)fuse_reply_err(request, ENOENT);
  if (open && !open->hidden_path.empty()) path = open->hidden_path;
  OpenFile* file = nullptr;
  int error = OpenNode(node, path, want_write, file);
  if (error != 0) return (void)fuse_reply_err(request, error);
  info->fh = reinterpret_cast<uint64_t>(file);
  if (fuse_reply_open(request, info) != 0) {
    --file->opens;  // the opener was interrupted; the next release of the node closes
  }
}

void FuseHost::Create(fuse_req_t request, fuse_ino_t parent, const char* name_text, fuse_file_info* info) {
  std::string name(name_text);
  std::string path;
  if (options_.read_only) return (void)fuse_reply_err(request, EROFS);
  if (parent == kRootNode && IsHiddenName(name)) return (void)fuse_reply_err(request, EPERM);
  std::lock_guard<std::mutex> lock(namespace_mutex_);
  if (!nodes_.ChildPath(parent, name, path)) return (void)fuse_reply_err(request, ENOENT);
  uint64_t existing = nodes_.Child(parent, name);
  std::shared_ptr<OpenFile> file = existing ? nodes_.OpenOf(existing) : nullptr;
  uint64_t handle = 0;
  int32_t code = ZYKFS_OK;
  if (file) {
    code = (info->flags & O_EXCL) ? ZYKFS_E_EXISTS : ZYKFS_OK;
  } else {
    uint32_t flags = ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | kOpenFlags;
    if (info->flags & O_EXCL) flags |= ZYKFS_OPEN_EXCLUSIVE;
    if (info->flags & O_TRUNC) flags |= ZYKFS_OPEN_TRUNCATE;
    code = OpenLibraryHandle(path, flags, handle);
  }
  zykfs_stat_t status{};
  if (code == ZYKFS_OK && file) {
    uint64_t shared = file->Pause();
    code = CallAndWait([&](zykfs_callback_t cb, void* ctx) { ops_.fstat(library_, shared, &status, cb, ctx); });
    file->Resume(shared, file->Writable());
  } else if (code == ZYKFS_OK) {
    code = StatPath(path, status);
  }
  if (code != ZYKFS_OK) {
    if (handle != 0) CloseLibraryHandle(handle);
    return ReplyCode(request, code);
  }
  RememberType(status.inode, NodeType::kFile);
  Version version;
  uint64_t node = nodes_.Found(parent, name, status.inode, NodeType::kFile, Checked(status, NodeType::kFile, version));
  if (!file) {
    file = std::make_shared<OpenFile>(handle, true, IsArchiveName(name));
    file->NoteChange();  // the first sync makes a created name durable
    nodes_.SetOpen(node, file);
  }
  ++file->opens;
  info->fh = reinterpret_cast<uint64_t>(file.get());
  fuse_entry_param entry = Entry(node, status, NodeType::kFile);
  if (fuse_reply_create(request, &entry, info) != 0) {
    --file->opens;
    nodes_.Forget(node, 1);
  }
}

void FuseHost::Read(fuse_req_t request, size_t size, off_t offset, fuse_file_info* info) {
  OpenFile* file = FileOf(info);
  auto buffer = std::shared_ptr<char[]>(new char[size]);
  auto done = std::make_shared<uint64_t>(0);
  file->Submit([this, request, file, buffer, done, size, offset](uint64_t handle) {
    if (handle == 0) return (void)fuse_reply_err(request, EBADF);
    CallAsync(
        [&](zykfs_callback_t cb, void* ctx) {
          ops_.read(library_, handle, buffer.get(), size, static_cast<uint64_t>(offset), done.get(), cb, ctx);
        },
        [request, file, buffer, done](int32_t code) {
          file->Finish();
          if (code != ZYKFS_OK) return ReplyCode(request, code);
          fuse_reply_buf(request, buffer.get(), *done);
        });
  });
}

void FuseHost::Write(fuse_req_t request, const char* data, size_t size, off_t offset, fuse_file_info* info) {
  OpenFile* file = FileOf(info);
  // The session reuses its request buffer once this handler returns.
  auto buffer = std::shared_ptr<char[]>(new char[size]);
  std::memcpy(buffer.get(), data, size);
  auto done = std::make_shared<uint64_t>(0);
  file->Submit([this, request, file, buffer, done, size, offset](uint64_t handle) {
    if (handle == 0) return (void)fuse_reply_err(request, EBADF);
    file->NoteChange();
    CallAsync(
        [&](zykfs_callback_t cb, void* ctx) {
          ops_.write(library_, handle, buffer.get(), size, static_cast<uint64_t>(offset), done.get(), cb, ctx);
        },
        [request, file, buffer, done](int32_t code) {
          file->Finish();
          if (code != ZYKFS_OK && *done == 0) return ReplyCode(request, code, Request::kWrite);
          fuse_reply_write(request, *done);
        });
  });
}

void FuseHost::Fsync(fuse_req_t request, fuse_file_info* info) { Sync(request, FileOf(info)); }

// Every close(2) of an archive commits what was written, so that another
// program opening it next finds it; plain files reach the system at each write.
void FuseHost::Flush(fuse_req_t request, fuse_file_info* info) {
  OpenFile* file = FileOf(info);
  if (!file->Archive() || !file->Writable()) return (void)fuse_reply_err(request, 0);
  Sync(request, file);
}

// The kernel sends a flush or fsync only once the writes it sent before have
// been answered, so a change noted by then is covered by this sync.
void FuseHost::Sync(fuse_req_t request, OpenFile* file) {
  if (!file->TakeChange()) return (void)fuse_reply_err(request, 0);
  file->Submit([this, request, file](uint64_t handle) {
    if (handle == 0) return (void)fuse_reply_err(request, EBADF);
    CallAsync([&](zykfs_callback_t cb, void* ctx) { ops_.sync(library_, handle, cb, ctx); },
              [request, file](int32_t code) {
                if (code != ZYKFS_OK) file->NoteChange();
                file->Finish();
                ReplyCode(request, code, Request::kWrite);
              });
  });
}

void FuseHost::Release(fuse_req_t request, fuse_ino_t node, fuse_file_info* info) {
  OpenFile* file = FileOf(info);
  std::lock_guard<std::mutex> lock(namespace_mutex_);
  if (--file->opens > 0) return (void)fuse_reply_err(request, 0);
  std::shared_ptr<OpenFile> keep = nodes_.OpenOf(node);
  // What the kernel holds of a file written through it is known only to the
  // kernel; the next lookup shows the file as the library has it, on a new node.
  if (writeback_ && file->Written()) nodes_.Outdate(node);
  int32_t code = CloseLibraryHandle(file->Pause());
  file->Retire();
  if (!file->hidden_path.empty()) PathCall(ops_.unlink, file->hidden_path);
  nodes_.SetOpen(node, nullptr);
  if (code != ZYKFS_OK) {
    std::fprintf(stderr, "zykfs-fuse: closing a file failed: code 0x%08x (%s)\n", static_cast<uint32_t>(code),
                 zykfs_result_text(code));
  }
  fuse_reply_err(request, 0);
}

void FuseHost::Fallocate(fuse_req_t request, int mode, off_t offset, off_t length, fuse_file_info* info) {
  // Only hole punching has a table entry; preallocation is not supported.
  if (mode != (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE)) return (void)fuse_reply_err(request, EOPNOTSUPP);
  if (length <= 0 || offset < 0) return (void)fuse_reply_err(request, EINVAL);
  OpenFile* file = FileOf(info);
  auto punch = std::make_shared<Punch>();
  punch->start = static_cast<uint64_t>(offset);
  punch->end = punch->start + static_cast<uint64_t>(length);
  file->Submit([this, request, file, punch](uint64_t handle) {
    if (handle == 0) return (void)fuse_reply_err(request, EBADF);
    file->NoteChange();
    auto finish = [request, file](int32_t code) {
      file->Finish();
      ReplyCode(request, code, Request::kWrite);
    };
    if (!file->Archive()) return PunchBlocks(handle, punch, punch->start, punch->end, finish);
    PunchArchive(handle, punch, finish);
  });
}

// Deallocates [start, end) with the library's sparse entry.
void FuseHost::PunchBlocks(uint64_t handle, std::shared_ptr<Punch> punch, uint64_t start, uint64_t end,
                           std::function<void(int32_t)> done) {
  if (start >= end) return done(ZYKFS_OK);
  punch->ranges = {start, end};
  CallAsync([&](zykfs_callback_t cb, void* ctx) { ops_.sparse(library_, handle, punch->ranges.data(), 2, cb, ctx); },
            [punch, done](int32_t code) { done(code); });
}

// An archive deallocates whole blocks only: the partial blocks at both ends of
// the range are written with zeros (within the file's size), the whole blocks
// between them are deallocated. The steps follow one another on the handle.
void FuseHost::PunchArchive(uint64_t handle, std::shared_ptr<Punch> punch, std::function<void(int32_t)> done) {
  constexpr uint64_t kBlock = 4096;
  CallAsync([&](zykfs_callback_t cb, void* ctx) { ops_.fstat(library_, handle, &punch->status, cb, ctx); },
            [this, handle, punch, done](int32_t code) {
              if (code != ZYKFS_OK) return done(code);
              uint64_t end = std::min(punch->end, punch->status.size);
              uint64_t first_whole = (punch->start + kBlock - 1) / kBlock * kBlock;
              uint64_t last_whole = end / kBlock * kBlock;
              if (first_whole >= last_whole) {  // no whole block: zeros only
                return WriteZeros(handle, punch, punch->start, end, done);
              }
              WriteZeros(handle, punch, punch->start, first_whole,
                         [this, handle, punch, end, first_whole, last_whole, done](int32_t code) {
                           if (code != ZYKFS_OK) return done(code);
                           WriteZeros(handle, punch, last_whole, end,
                                      [this, handle, punch, first_whole, last_whole, done](int32_t code) {
                                        if (code != ZYKFS_OK) return done(code);
                                        PunchBlocks(handle, punch, first_whole, last_whole, done);
                                      });
                         });
            });
}

void FuseHost::WriteZeros(uint64_t handle, std::shared_ptr<Punch> punch, uint64_t start, uint64_t end,
                          std::function<void(int32_t)> done) {
  if (start >= end) return done(ZYKFS_OK);
  punch->zeros.assign(end - start, 0);
  CallAsync(
      [&](zykfs_callback_t cb, void* ctx) {
        ops_.write(library_, handle, punch->zeros.data(), end - start, start, &punch->written, cb, ctx);
      },
      [punch, done](int32_t code) { done(code); });
}

struct FuseHost::Listing {
  std::vector<DirectoryEntry> entries;
};

void FuseHost::OpenDir(fuse_req_t request, fuse_ino_t node, fuse_file_info* info) {
  std::string path;
  if (!nodes_.PathOf(node, path)) return (void)fuse_reply_err(request, ENOENT);
  auto listing = std::make_unique<Listing>();
  int32_t code = ReadDirectory(mount_, path, listing->entries);
  if (code != ZYKFS_OK) return ReplyCode(request, code);
  std::vector<DirectoryEntry>& entries = listing->entries;
  if (node == kRootNode) {
    std::erase_if(entries, [](const DirectoryEntry& entry) { return IsHiddenName(entry.name); });
  }
  for (const DirectoryEntry& entry : entries) {
    if (entry.type != ZYKFS_DT_OTHER) {
      RememberType(entry.inode, entry.type == ZYKFS_DT_DIR ? NodeType::kDirectory : NodeType::kFile);
    }
  }
  info->fh = reinterpret_cast<uint64_t>(listing.get());
  if (fuse_reply_open(request, info) == 0) listing.release();
}

void FuseHost::ReadDir(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset, fuse_file_info* info,
                       bool plus) {
  const Listing& listing = *reinterpret_cast<Listing*>(info->fh);
  std::string path;
  if (plus && !nodes_.PathOf(node, path)) return (void)fuse_reply_err(request, ENOENT);
  NodeType self_type;
  uint64_t self_inode = 1;
  nodes_.TypeOf(node, self_type, self_inode);
  if (self_inode == 0) self_inode = 1;
  std::vector<char> buffer(size);
  size_t used = 0;
  // Offsets 0 and 1 are "." and ".."; entry i of the listing is offset i + 2.
  for (off_t at = offset; at < static_cast<off_t>(listing.entries.size()) + 2; ++at) {
    std::string name = at == 0 ? "." : at == 1 ? ".." : listing.entries[at - 2].name;
    struct stat attributes {};
    attributes.st_mode = S_IFDIR;
    attributes.st_ino = at == 0 ? self_inode : 1;  // readdir(3) skips entries of inode 0
    size_t added;
    if (at >= 2) {
      const DirectoryEntry& entry = listing.entries[at - 2];
      attributes.st_ino = entry.inode;
      attributes.st_mode = entry.type == ZYKFS_DT_DIR ? S_IFDIR : entry.type == ZYKFS_DT_FILE ? S_IFREG : 0;
    }
    if (!plus || at < 2) {
      if (plus) {
        fuse_entry_param entry{};
        entry.attr = attributes;
        added = fuse_add_direntry_plus(request, buffer.data() + used, size - used, name.c_str(), &entry, at + 1);
      } else {
        added = fuse_add_direntry(request, buffer.data() + used, size - used, name.c_str(), &attributes, at + 1);
      }
      if (added > size - used) break;
      used += added;
      continue;
    }
    // A full entry: the kernel counts a lookup for each one it accepts.
    const DirectoryEntry& listed = listing.entries[at - 2];
    std::string child = node == kRootNode ? listed.name : path + "/" + listed.name;
    zykfs_stat_t status{};
    fuse_entry_param entry{};
    NodeType type = listed.type == ZYKFS_DT_DIR ? NodeType::kDirectory : NodeType::kFile;
    uint64_t id = 0;
    if (StatPath(child, status) == ZYKFS_OK) {
      Version version;
      id = nodes_.Found(node, listed.name, status.inode, type, Checked(status, type, version));
      entry = Entry(id, status, type);
      if (id != 0 && nodes_.OpenOf(id)) {
        // An open file's size is its handle's, not the name's: listed without
        // attributes, so the kernel keeps what it has.
        nodes_.Forget(id, 1);
        entry = fuse_entry_param{};
        entry.attr = attributes;
        id = 0;
      }
    } else {
      entry.attr = attributes;  // gone meanwhile: listed without a node
    }
    added = fuse_add_direntry_plus(request, buffer.data() + used, size - used, listed.name.c_str(), &entry, at + 1);
    if (added > size - used) {
      if (id != 0) nodes_.Forget(id, 1);
      break;
    }
    used += added;
  }
  fuse_reply_buf(request, buffer.data(), used);
}

void FuseHost::ReleaseDir(fuse_req_t request, fuse_file_info* info) {
  delete reinterpret_cast<Listing*>(info->fh);
  fuse_reply_err(request, 0);
}

void FuseHost::StatFs(fuse_req_t request) {
  struct statvfs status {};
  if (::statvfs(options_.root.c_str(), &status) != 0) return (void)fuse_reply_err(request, errno);
  fuse_reply_statfs(request, &status);
}

bool FuseHost::CloseAll() {
  std::lock_guard<std::mutex> lock(namespace_mutex_);
  bool all_closed = true;
  for (const std::shared_ptr<OpenFile>& file : nodes_.AllOpen()) {
    if (CloseLibraryHandle(file->Pause()) != ZYKFS_OK) all_closed = false;
    file->Retire();
    if (!file->hidden_path.empty()) PathCall(ops_.unlink, file->hidden_path);
  }
  return all_closed;
}

}  // namespace zykfs_fuse
