#include "core/network/storage/backend/rio_dir/mount_handler.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "core/common/random.h"
#include "core/common/trace.h"
#include "core/common/utf8.h"
#include "core/network/storage/backend/rio_dir/directory.h"
#include "core/network/storage/backend/rio_dir/file.h"
#include "core/network/storage/backend/rio_dir/result_codes.h"

namespace Network::Storage::Backend {

namespace {

// More views than workers would only hold memory.
constexpr size_t kMaxSpareViews = 64;

Common::Error FileError(uint32_t code, const char* function) {
  return Common::Error::File(code, ZYK_HERE_AS(function));
}

// The status record from an iterator standing on the entry.
void FillStat(i_dir::iterator& entry, zykfs_stat_t& stat) {
  // The sizes come first: an archive name whose file is no archive fails
  // here, with the error its open reports, and a later getter would clear it.
  stat.size = entry.GetSize();
  if (entry.HasError()) return;
  stat.allocated = entry.GetAllocatedSize();
  if (entry.HasError()) return;
  stat.device = (static_cast<uint64_t>(entry.GetDeviceMajor()) << 32) + entry.GetDeviceMinor();
  stat.inode = entry.GetInodeNumber();
  stat.block_size = 4096;
  stat.access_time = static_cast<uint64_t>(entry.GetAccessTime());
  stat.modify_time = static_cast<uint64_t>(entry.GetModificationTime());
  stat.change_time = static_cast<uint64_t>(entry.GetChangeTime());
}

class MountHandlerImpl : public MountHandler {
 public:
  MountHandlerImpl(std::unique_ptr<rio_dir> root, std::shared_ptr<TaskManager> manager)
      : root_(std::move(root)), task_manager_(std::move(manager)) {}
  // Members go in reverse order: the task manager first (its last reference
  // stops the workers), the tables, and the root directory last.
  ~MountHandlerImpl() override = default;

  std::shared_ptr<FileObject> GetFileObject(uint64_t handle) override;
  const std::shared_ptr<TaskManager>& GetTaskManager() override { return task_manager_; }
  bool HasOpenObjects() override;

  Common::Error OpenOrCreateFile(const char* path, uint32_t flags, uint64_t* out_handle) override;
  Common::Error CloseFile(uint64_t handle) override;
  Common::Error Rename(const char* from, const char* to) override;
  Common::Error Unlink(const char* path) override;
  Common::Error RemoveDir(const char* path) override;
  Common::Error MakeDir(const char* path) override;
  Common::Error Stat(const char* path, zykfs_stat_t* stat) override;
  Common::Error Stat(uint64_t handle, zykfs_stat_t* stat) override;
  Common::Error GetDirIterator(const char* path, uint64_t* out_handle) override;
  Common::Error CloseDir(uint64_t handle) override;
  Common::Error Clone(const char* from, const char* to) override;
  Common::Error RenameSafe(const char* from, const char* to) override;
  Common::Error Swap(uint64_t first, uint64_t second) override;

 private:
  struct Entry {
    std::string path;
    std::shared_ptr<FileObject> object;
  };

  // Hands a view back to the spare views when it ended healthy, else deletes it.
  struct ViewReturner {
    MountHandlerImpl* owner;
    void operator()(rio_dir* view) const { owner->ReturnView(view); }
  };
  using RootView = std::unique_ptr<rio_dir, ViewReturner>;

  // A view of the root for one request: a spare one, or a fresh one when none
  // is left; null with `error` set.
  RootView MakeRootView(Common::Error& error);
  void ReturnView(rio_dir* view);
  // 0x2850008 tagged with `path` when a handle is open under that spelling.
  Common::Error CheckClosed(const char* path, const char* function);
  Common::Error CheckBothClosed(const char* from, const char* to);
  // Copies the path a handle was opened with; 0x40025 when it is not open.
  Common::Error GetFilePath(uint64_t handle, std::string& path);
  // The directory holding the last component of *path, and *path moved past
  // the directory part: `view` itself for a bare name, else a directory opened
  // into `owned`. Null (error stored in `view`) on failure.
  static rio_dir* OpenParent(rio_dir& view, const char16_t** path, std::unique_ptr<rio_dir>& owned);
  // True when `path` names an existing entry of `view`. Leaves `view` healthy.
  static bool Exists(rio_dir& view, const UString& path);
  // Opens the existing file `name` of `view` with the host's `access`.
  static rio_file* OpenExisting(rio_dir& view, const char16_t* name, uint32_t access, bool no_lock);
  // The Stat steps after the path is known; `stat` is already zeroed.
  Common::Error StatPath(const char* path, zykfs_stat_t* stat);
  // Unlink and RemoveDir: refused while the path is open, else `remove` on a
  // fresh root view.
  Common::Error RemovePath(const char* path, const char* function, void (*remove)(rio_dir&, const char16_t*));
  // Converts both names and renames on a fresh root view; without `replace`
  // an existing target is refused with 0x2850011. With `sync` the directories
  // of both names are synced before it returns.
  Common::Error RenamePaths(const char* from, const char* to, const char* function, bool replace = true,
                            bool sync = true);
  // Syncs the directory holding each of `paths` (names of `view`), each
  // directory once, so that names made or renamed there survive a power loss. A
  // failure is `code` raised in `function`, with the cause inside.
  static Common::Error SyncParentDirs(rio_dir& view, std::initializer_list<const UString*> paths, uint32_t code,
                                      const char* function);
  // Moves a file of a refused Swap back; false when it stays where it is.
  bool PutBack(const std::string& from, const std::string& to);
  // Syncs the directories of both swapped names.
  Common::Error SyncSwapped(const std::string& first, const std::string& second);
  // Adds the object under `path`; requires table_mutex_ not held.
  void Register(const char* path, std::shared_ptr<FileObject> object);
  // Retires `handle` if known (else 0x40025), idle (else 0x2850003) and of the
  // right kind (else 0x4001F), handing its object to `retired`.
  Common::Error PopFileObject(uint64_t handle, bool directory, std::shared_ptr<FileObject>& retired);

  const std::unique_ptr<rio_dir> root_;  // used only under root_mutex_: its last error is shared
  std::mutex root_mutex_;                // held only while a root view is made or kept
  // Healthy views that finished their request. A view holds no state of the
  // request that used it, and making one costs three wrapper objects per
  // request, which dominates a stat. Cleared before root_ goes.
  std::vector<std::unique_ptr<rio_dir>> spare_views_;  // guarded by root_mutex_
  std::map<uint64_t, Entry> handles_;                  // guarded by table_mutex_
  std::map<std::string, uint32_t> open_paths_;         // guarded by table_mutex_
  std::mutex table_mutex_;
  const std::shared_ptr<TaskManager> task_manager_;
};

MountHandlerImpl::RootView MountHandlerImpl::MakeRootView(Common::Error& error) {
  std::lock_guard<std::mutex> lock(root_mutex_);
  if (!spare_views_.empty()) {
    RootView view(spare_views_.back().release(), ViewReturner{this});
    spare_views_.pop_back();
    return view;
  }
  std::unique_ptr<rio_dir> fresh(root_->OpenDir(u"."));
  error = root_->TakeError();
  if (fresh && error) fresh.reset();
  if (!fresh && !error) error = FileError(Common::kErrOpenFailed, "MakeRootView");
  return RootView(fresh.release(), ViewReturner{this});
}

void MountHandlerImpl::ReturnView(rio_dir* returned) {
  std::unique_ptr<rio_dir> view(returned);
  // A view that holds an error would hand it to the next request.
  if (view->HasError()) return;
  std::lock_guard<std::mutex> lock(root_mutex_);
  if (spare_views_.size() < kMaxSpareViews) spare_views_.push_back(std::move(view));
}

std::shared_ptr<FileObject> MountHandlerImpl::GetFileObject(uint64_t handle) {
  {
    std::lock_guard<std::mutex> lock(table_mutex_);
    auto found = handles_.find(handle);
    if (found != handles_.end()) return found->second.object;
  }
  return std::make_shared<InvalidFileObject>(FileError(Common::kErrInvalidHandle, "GetFileObject"));
}

bool MountHandlerImpl::HasOpenObjects() {
  std::lock_guard<std::mutex> lock(table_mutex_);
  return !handles_.empty();
}

Common::Error MountHandlerImpl::CheckClosed(const char* path, const char* function) {
  std::lock_guard<std::mutex> lock(table_mutex_);
  if (path != nullptr && open_paths_.count(path) != 0) {
    return Common::Error::WithFileName(kErrPathOpen, path, ZYK_HERE_AS(function));
  }
  return {};
}

Common::Error MountHandlerImpl::CheckBothClosed(const char* from, const char* to) {
  std::lock_guard<std::mutex> lock(table_mutex_);
  if (from != nullptr && open_paths_.count(from) != 0) {
    return Common::Error::WithFileName(kErrPathOpen, from, ZYK_HERE_AS("CheckBothClosed"));
  }
  if (to != nullptr && open_paths_.count(to) != 0) {
    return Common::Error::WithFileName(kErrPathOpen, to, ZYK_HERE_AS("CheckBothClosed"));
  }
  return {};
}

Common::Error MountHandlerImpl::GetFilePath(uint64_t handle, std::string& path) {
  std::lock_guard<std::mutex> lock(table_mutex_);
  auto found = handles_.find(handle);
  if (found == handles_.end()) return FileError(Common::kErrInvalidHandle, "GetFilePath");
  path = found->second.path;
  return {};
}

rio_dir* MountHandlerImpl::OpenParent(rio_dir& view, const char16_t** path, std::unique_ptr<rio_dir>& owned) {
  // A name without a directory part lies in the view itself: opening "." again
  // would only copy it.
  if (std::char_traits<char16_t>::find(*path, std::char_traits<char16_t>::length(*path), u'/') == nullptr) {
    return &view;
  }
  owned.reset(view.OpenParentDir(path));
  if (!owned || view.HasError()) return nullptr;
  return owned.get();
}

bool MountHandlerImpl::Exists(rio_dir& view, const UString& path) {
  const char16_t* rest = path.c_str();
  std::unique_ptr<rio_dir> owned_parent;
  rio_dir* parent = OpenParent(view, &rest, owned_parent);
  bool exists = false;
  if (parent) {
    std::unique_ptr<i_dir::iterator> entry(parent->GetIterator(rest));
    exists = entry && !entry->HasError() && !parent->HasError();
  }
  view.ClearError();
  return exists;
}

rio_file* MountHandlerImpl::OpenExisting(rio_dir& view, const char16_t* name, uint32_t access, bool no_lock) {
  if (access == kOpenRead) return view.OpenI(name, no_lock);
  if (access == kOpenReadWrite) return view.OpenIO(name, no_lock);
  return view.OpenO(name, no_lock);
}

Common::Error MountHandlerImpl::SyncParentDirs(rio_dir& view, std::initializer_list<const UString*> paths,
                                               uint32_t code, const char* function) {
  std::set<UString> synced;
  for (const UString* path : paths) {
    const char16_t* rest = path->c_str();
    std::unique_ptr<rio_dir> parent(view.OpenParentDir(&rest));
    Common::Error cause = view.TakeError();
    if (parent && !cause) {
      const char16_t* place = parent->GetFullPath();
      if (place != nullptr && !synced.insert(place).second) continue;
      parent->Flush();
      cause = parent->TakeError();
      if (!cause) continue;
    }
    Common::Error error = FileError(code, function);
    if (cause) Common::AddCause(error, cause);
    return error;
  }
  return {};
}

Common::Error MountHandlerImpl::MakeDir(const char* path) {
  UString name;
  if (!Common::DecodeUtf8(path, name)) return FileError(Common::kErrCreateFailed, "MakeDir");
  Common::Error error;
  RootView view = MakeRootView(error);
  if (!view) return error;
  view->CreateDir(name.c_str(), nullptr);
  if (Common::Error failure = view->TakeError()) return failure;
  return SyncParentDirs(*view, {&name}, Common::kErrCreateFailed, "MakeDir");
}

Common::Error MountHandlerImpl::RemovePath(const char* path, const char* function,
                                           void (*remove)(rio_dir&, const char16_t*)) {
  if (Common::Error error = CheckClosed(path, function)) return error;
  UString name;
  if (!Common::DecodeUtf8(path, name)) return FileError(Common::kErrDeleteFailed, function);
  Common::Error error;
  RootView view = MakeRootView(error);
  if (!view) return error;
  remove(*view, name.c_str());
  return view->TakeError();
}

Common::Error MountHandlerImpl::Unlink(const char* path) {
  return RemovePath(path, "Unlink", [](rio_dir& view, const char16_t* name) { view.Remove(name); });
}

Common::Error MountHandlerImpl::RemoveDir(const char* path) {
  return RemovePath(path, "RemoveDir", [](rio_dir& view, const char16_t* name) { view.RemoveDir(name); });
}

Common::Error MountHandlerImpl::RenamePaths(const char* from, const char* to, const char* function, bool replace,
                                            bool sync) {
  UString old_name;
  UString new_name;
  if (!Common::DecodeUtf8(from, old_name) || !Common::DecodeUtf8(to, new_name)) {
    return FileError(Common::kErrRenameFailed, function);
  }
  Common::Error error;
  RootView view = MakeRootView(error);
  if (!view) return error;
  // Not atomic with respect to other processes: the target may appear between
  // the test and the rename.
  if (!replace && Exists(*view, new_name)) return Common::Error(kErrExists, ZYK_HERE_AS(function));
  view->Rename(old_name.c_str(), new_name.c_str());
  if (Common::Error failure = view->TakeError()) return failure;
  if (!sync) return {};
  return SyncParentDirs(*view, {&old_name, &new_name}, Common::kErrRenameFailed, function);
}

Common::Error MountHandlerImpl::Rename(const char* from, const char* to) {
  if (Common::Error error = CheckBothClosed(from, to)) return error;
  return RenamePaths(from, to, "Rename");
}

Common::Error MountHandlerImpl::RenameSafe(const char* from, const char* to) {
  if (Common::Error error = CheckBothClosed(from, to)) return error;
  return RenamePaths(from, to, "RenameSafe", false);
}

bool MountHandlerImpl::PutBack(const std::string& from, const std::string& to) {
  // Never over an entry that appeared meanwhile; a failure leaves the file
  // under `from` and is traced.
  Common::Error error = RenamePaths(from.c_str(), to.c_str(), "Swap", false);
  if (error) Common::TraceError(1, error);
  return !error;
}

Common::Error MountHandlerImpl::SyncSwapped(const std::string& first, const std::string& second) {
  UString one;
  UString two;
  Common::DecodeUtf8(first.c_str(), one);
  Common::DecodeUtf8(second.c_str(), two);
  Common::Error error;
  RootView view = MakeRootView(error);
  if (!view) return error;
  return SyncParentDirs(*view, {&one, &two}, Common::kErrRenameFailed, "Swap");
}

Common::Error MountHandlerImpl::Clone(const char*, const char*) { return FileError(Common::kErrNotSupported, "Clone"); }

Common::Error MountHandlerImpl::StatPath(const char* path, zykfs_stat_t* stat) {
  UString name;
  if (!Common::DecodeUtf8(path, name)) return FileError(Common::kErrNotFound, "Stat");
  Common::Error error;
  RootView view = MakeRootView(error);
  if (!view) return error;
  const char16_t* rest = name.c_str();
  std::unique_ptr<rio_dir> owned_parent;
  rio_dir* parent = OpenParent(*view, &rest, owned_parent);
  if (!parent) return view->TakeError();
  std::unique_ptr<i_dir::iterator> entry(parent->GetIterator(rest));
  if (!entry) return parent->TakeError();
  FillStat(*entry, *stat);
  if (entry->HasError()) std::memset(stat, 0, sizeof(*stat));
  return entry->TakeError();
}

Common::Error MountHandlerImpl::Stat(const char* path, zykfs_stat_t* stat) {
  if (stat == nullptr) return FileError(Common::kErrInvalidUsage, "Stat");
  std::memset(stat, 0, sizeof(*stat));
  return StatPath(path, stat);
}

Common::Error MountHandlerImpl::Stat(uint64_t handle, zykfs_stat_t* stat) {
  if (stat == nullptr) return FileError(Common::kErrInvalidUsage, "Stat");
  std::string path;
  if (Common::Error error = GetFilePath(handle, path)) return error;
  std::memset(stat, 0, sizeof(*stat));
  return StatPath(path.c_str(), stat);
}

void MountHandlerImpl::Register(const char* path, std::shared_ptr<FileObject> object) {
  uint64_t handle = object->GetHandle();
  std::lock_guard<std::mutex> lock(table_mutex_);
  handles_[handle] = Entry{path, std::move(object)};
  ++open_paths_[path];
}

Common::Error MountHandlerImpl::OpenOrCreateFile(const char* path, uint32_t flags, uint64_t* out_handle) {
  const uint32_t access = flags & kOpenAccessMask;
  // Bits without a meaning are refused rather than ignored, so that a host
  // asking for something this library does not offer learns it at once.
  constexpr uint32_t kKnownFlags =
      kOpenAccessMask | kOpenCreate | kOpenTruncate | kOpenExclusive | kOpenAppendMode | kOpenNoLock;
  if (access == 0 || (flags & ~kKnownFlags) != 0 || ((flags & kOpenExclusive) != 0 && (flags & kOpenCreate) == 0) ||
      out_handle == nullptr) {
    return FileError(Common::kErrInvalidUsage, "OpenOrCreateFile");
  }
  UString name;
  if (!Common::DecodeUtf8(path, name)) return FileError(Common::kErrOpenFailed, "OpenOrCreateFile");
  Common::Error error;
  RootView view = MakeRootView(error);
  if (!view) return error;

  const bool no_lock = (flags & kOpenNoLock) != 0;
  std::unique_ptr<rio_file> file;
  std::unique_ptr<rio_dir> new_name_directory;
  if ((flags & (kOpenCreate | kOpenTruncate)) == 0) {
    // Opening what is there needs no look first: only a failed open asks
    // whether the name exists, to report a missing one as such.
    file.reset(OpenExisting(*view, name.c_str(), access, no_lock));
    if (!file || view->HasError()) {
      error = view->TakeError();
      if (!Exists(*view, name)) return Common::Error(kErrNotFound, ZYK_HERE_AS("OpenOrCreateFile"));
      return error ? error : FileError(Common::kErrOpenFailed, "OpenOrCreateFile");
    }
  } else {
    const bool exists = Exists(*view, name);
    if (access == kOpenRead && exists && (flags & kOpenTruncate) != 0) {
      return FileError(Common::kErrReadOnly, "OpenOrCreateFile");
    }
    if ((flags & kOpenCreate) == 0 && !exists) return Common::Error(kErrNotFound, ZYK_HERE_AS("OpenOrCreateFile"));
    if ((flags & kOpenCreate) != 0 && (flags & kOpenExclusive) != 0 && exists) {
      return Common::Error(kErrExists, ZYK_HERE_AS("OpenOrCreateFile"));
    }
    if (!exists) {
      // The new name reaches the disk with the file's first sync.
      const char16_t* rest = name.c_str();
      new_name_directory.reset(view->OpenParentDir(&rest));
      if (!new_name_directory || view->HasError()) {
        error = view->TakeError();
        return error ? error : FileError(Common::kErrOpenFailed, "OpenOrCreateFile");
      }
    }
    if ((flags & kOpenTruncate) != 0 || !exists) {
      file.reset(view->CreateIO(name.c_str(), no_lock, nullptr));
    } else {
      file.reset(OpenExisting(*view, name.c_str(), access, no_lock));
    }
    if (!file || view->HasError()) {
      error = view->TakeError();
      return error ? error : FileError(Common::kErrOpenFailed, "OpenOrCreateFile");
    }
  }

  if ((flags & kOpenAppendMode) != 0) {
    uint64_t code = kControlAppendMode;
    file->IOCTL(&code);
    Common::Error control = file->TakeError();
    if (control && control.Code() != Common::kErrNotSupported) return control;
  }

  auto object = std::make_shared<ZykFile>(std::move(file), flags, task_manager_);
  if (new_name_directory) object->SyncDirectoryOnFirstSync(std::move(new_name_directory));
  *out_handle = object->GetHandle();
  Register(path, std::move(object));
  return {};
}

Common::Error MountHandlerImpl::GetDirIterator(const char* path, uint64_t* out_handle) {
  if (out_handle == nullptr) return FileError(Common::kErrInvalidUsage, "GetDirIterator");
  UString name;
  if (!Common::DecodeUtf8(path, name)) return FileError(Common::kErrNotFound, "GetDirIterator");
  Common::Error error;
  RootView view = MakeRootView(error);
  if (!view) return error;
  std::unique_ptr<rio_dir> directory(view->OpenDir(name.c_str()));
  if (!directory || view->HasError()) {
    error = view->TakeError();
    return error ? error : FileError(Common::kErrOpenFailed, "GetDirIterator");
  }
  std::unique_ptr<i_dir::iterator> iterator(directory->GetIterator());
  if (directory->HasError()) return directory->TakeError();
  if (!iterator) return FileError(Common::kErrOpenFailed, "GetDirIterator");

  auto object = std::make_shared<ZykDirectory>(std::move(directory), std::move(iterator), task_manager_);
  *out_handle = object->GetHandle();
  Register(path, std::move(object));
  return {};
}

Common::Error MountHandlerImpl::PopFileObject(uint64_t handle, bool directory, std::shared_ptr<FileObject>& retired) {
  std::lock_guard<std::mutex> lock(table_mutex_);
  auto found = handles_.find(handle);
  if (found == handles_.end()) return FileError(Common::kErrInvalidHandle, "PopFileObject");
  if (found->second.object.use_count() != 1) return Common::Error(kErrBusy, ZYK_HERE_AS("PopFileObject"));
  if (found->second.object->IsDirectory() != directory) return FileError(Common::kErrInvalidUsage, "PopFileObject");
  auto count = open_paths_.find(found->second.path);
  if (count != open_paths_.end() && --count->second == 0) open_paths_.erase(count);
  retired = std::move(found->second.object);
  handles_.erase(found);
  return {};
}

Common::Error MountHandlerImpl::CloseFile(uint64_t handle) {
  // The handle is retired first and synced afterwards: once out of the table
  // nobody else can reach the object, so the flush never runs beside a request
  // of the same file on another worker. A busy handle is left alone entirely.
  // A lock request waiting alone on the handle would keep it busy for as long
  // as another process holds the lock: it is ended first.
  GetFileObject(handle)->CancelWaitingLock();
  std::shared_ptr<FileObject> retired;
  if (Common::Error error = PopFileObject(handle, false, retired)) return error;
  Common::Error sync = retired->Sync();
  if (sync) Common::TraceError(1, sync);
  return sync;
}

Common::Error MountHandlerImpl::CloseDir(uint64_t handle) {
  std::shared_ptr<FileObject> retired;
  return PopFileObject(handle, true, retired);
}

Common::Error MountHandlerImpl::Swap(uint64_t first, uint64_t second) {
  std::string first_path;
  std::string second_path;
  {
    std::lock_guard<std::mutex> lock(table_mutex_);
    auto one = handles_.find(first);
    auto two = handles_.find(second);
    if (one == handles_.end() || two == handles_.end()) return FileError(Common::kErrInvalidHandle, "Swap");
    for (auto* entry : {&one->second, &two->second}) {
      if (!entry->object || entry->object->IsDirectory()) return FileError(Common::kErrInvalidUsage, "Swap");
    }
    for (auto* entry : {&one->second, &two->second}) {
      if (entry->object.use_count() != 1) return Common::Error(kErrBusy, ZYK_HERE_AS("Swap"));
    }
    first_path = one->second.path;
    second_path = two->second.path;
  }
  if (first_path == second_path) return FileError(Common::kErrInvalidUsage, "Swap");

  // The three renames sync their directories once, together, at the end.
  const std::string temporary = first_path + "_" + MakeRandomGuid();
  if (Common::Error error = RenamePaths(first_path.c_str(), temporary.c_str(), "Rename", true, false)) return error;
  // A refused later rename (an archive name and a plain one, say) puts back what
  // was moved, so the host finds its files under their own names again.
  if (Common::Error error = RenamePaths(second_path.c_str(), first_path.c_str(), "Rename", true, false)) {
    PutBack(temporary, first_path);
    return error;
  }
  if (Common::Error error = RenamePaths(temporary.c_str(), second_path.c_str(), "Rename", true, false)) {
    if (PutBack(first_path, second_path)) PutBack(temporary, first_path);
    return error;
  }
  if (Common::Error error = SyncSwapped(first_path, second_path)) return error;

  std::lock_guard<std::mutex> lock(table_mutex_);
  auto one = handles_.find(first);
  auto two = handles_.find(second);
  if (one == handles_.end() || two == handles_.end()) {
    Common::TraceError(1, FileError(Common::kErrInvalidUsage, "Swap"));
    return {};
  }
  // Each handle follows its file to the other name; the open-path counts stay.
  std::swap(one->second.path, two->second.path);
  return {};
}

}  // namespace

std::unique_ptr<MountHandler> MakeMountHandler(std::unique_ptr<rio_dir> root, std::shared_ptr<TaskManager> manager) {
  return std::make_unique<MountHandlerImpl>(std::move(root), std::move(manager));
}

std::string MakeRandomGuid() {
  unsigned char bytes[16];
  Common::FillRandom(bytes, sizeof(bytes));
  uint32_t first;
  uint16_t second;
  uint16_t third;
  std::memcpy(&first, bytes, 4);
  std::memcpy(&second, bytes + 4, 2);
  std::memcpy(&third, bytes + 6, 2);
  third = static_cast<uint16_t>((third & 0x0FFF) | 0x4000);         // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[40];
  std::snprintf(text, sizeof(text), "%08X-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X", first, second, third,
                bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

}  // namespace Network::Storage::Backend
