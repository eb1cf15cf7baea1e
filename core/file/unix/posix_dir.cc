#include "core/file/unix/posix_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <mutex>

#include "core/common/file_name.h"
#include "core/common/messages.h"
#include "core/file/unix/descriptor_table.h"
#include "core/file/unix/notification_poller.h"
#include "core/file/unix/posix_dir_iterator.h"
#include "core/file/unix/posix_error.h"
#include "core/file/unix/posix_file.h"
#include "core/file/unix/safe_close.h"

using Common::Error;

namespace {

// A facility-0x0004 error with its catalog text and the "path" tag.
Error PathError(uint32_t code, const std::string& path, Common::SourceLocation location) {
  uint32_t id = Common::MessageIdOfCode(code);
  return Error::WithPath(code, id ? Common::GetMessageText(id) : nullptr, path.c_str(), location);
}

// Writing past the file-size limit must fail with EFBIG rather than end the process.
void IgnoreFileSizeSignal() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGXFSZ, SIG_IGN); });
}

const std::string& CurrentDirectory() {
  static std::once_flag once;
  static std::string current;
  std::call_once(once, [] {
    char buffer[4096];
    current = ::getcwd(buffer, sizeof(buffer)) ? buffer : "/";
  });
  return current;
}

}  // namespace

posix_dir::posix_dir(std::string path, std::shared_ptr<const RootDescriptor> root)
    : path_(std::move(path)), root_(std::move(root)) {}

int posix_dir::OpenPath(const std::string& path, int flags, mode_t mode) {
  return root_ ? root_->Open(path, flags | O_CLOEXEC, mode)
               : OpenResolved(AT_FDCWD, path.c_str(), flags | O_CLOEXEC, mode, 0);
}

Error posix_dir::ResolveError(int error, uint32_t code, const std::string& path, Common::SourceLocation where) {
  return PosixError(error, error == EXDEV ? Common::kErrAccessDenied : code, where, path.c_str());
}

posix_dir::~posix_dir() {
  if (watch_ == nullptr) return;
  NotificationState& state = Notifications();
  dir_notification_callback* dropped;
  {
    std::lock_guard lock(state.Mutex());
    dropped = state.Drop(watch_);
    watch_ = nullptr;
  }
  if (dropped) dropped->Release();
}

std::string posix_dir::JoinPath(const std::string& directory, const std::string& name) {
  std::string result;
  result.reserve(directory.size() + name.size() + 1);
  result = !name.empty() && name[0] == '/' ? std::string_view("/") : std::string_view(directory);
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string_view component(name.data() + start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      size_t slash = result.rfind('/');
      if (slash == std::string::npos || slash == 0)
        result.resize(1);
      else
        result.resize(slash);
      continue;
    }
    if (result.size() > 1) result += '/';
    result += component;
  }
  return result;
}

bool posix_dir::BuildPath(const char16_t* name, uint32_t code, std::string& path) {
  ClearError();
  if (name == nullptr) {
    SetError(Error(code, ZYK_HERE));
    return false;
  }
  UString wide(name);
  std::string narrow = Common::NarrowFileName(wide);
  // An empty result for a non-empty name is a failed conversion: it must never
  // stand for the directory itself.
  if (narrow.empty() && !wide.empty()) {
    SetError(Error(code, ZYK_HERE));
    return false;
  }
  path = JoinPath(path_, narrow);
  return true;
}

bool posix_dir::EntryPath(i_dir::iterator* entry, uint32_t code, std::string& path) {
  ClearError();
  auto* stat_entry = dynamic_cast<stat_iterator*>(entry);
  if (stat_entry != nullptr) path = stat_entry->EntryPath();
  if (stat_entry == nullptr || path.empty()) {
    SetError(Error::File(code, ZYK_HERE));
    return false;
  }
  return true;
}

bool posix_dir::EntryPath(const file_identifier* identifier, uint32_t code, std::string& path) {
  ClearError();
  auto* known = dynamic_cast<const the_identifier*>(identifier);
  if (known == nullptr) {
    SetError(Error::File(code, ZYK_HERE));
    return false;
  }
  path = known->Path();
  return true;
}

rio_file* posix_dir::OpenWorker(const std::string& path, int flags, bool no_lock, mode_t mode) {
  uint32_t code = Common::kErrOpenFailed;
  bool truncate_later = false;
  if (flags & O_TRUNC) {
    code = Common::kErrCreateFailed;
    if (!no_lock) {
      // Truncating before the lock is held would destroy a file another opener holds.
      flags &= ~O_TRUNC;
      truncate_later = true;
    }
  }
  bool write_access = (flags & O_ACCMODE) != O_RDONLY;
  if (write_access) IgnoreFileSizeSignal();

  // Close-on-exec from the open itself (a reused descriptor gets it from the
  // table): no window for an exec in another thread, no extra calls.
  int fd;
  std::string relative;
  struct stat status {};
  if (!root_) {
    fd = TrackedOpen(path.c_str(), flags | O_CLOEXEC, mode, &status);
  } else if (root_->Relative(path, relative)) {
    fd = TrackedOpenAt(root_->Descriptor(), relative.c_str(), flags | O_CLOEXEC, mode, BeneathRootFlags(), path.c_str(),
                       &status);
  } else {
    errno = EXDEV;
    fd = -1;
  }
  if (fd < 0) {
    // A directory is never a file, whatever the open asked for.
    SetError(ResolveError(errno, errno == EISDIR ? Common::kErrOpenFailed : code, path, ZYK_HERE));
    return nullptr;
  }
  // A read-only open of a directory succeeds at the system level: refused here,
  // before anyone reads from it.
  if (S_ISDIR(status.st_mode)) {
    SetError(PosixError(EISDIR, Common::kErrOpenFailed, ZYK_HERE, path.c_str()));
    TrackedClose(fd);
    return nullptr;
  }
  if (!no_lock) {
    Error lock_error = DoLockFileHandle(fd, true, write_access, false, 0, 0);
    if (lock_error) {
      Error error = PathError(Common::kErrAccessDenied, path, ZYK_HERE);
      Common::AddCause(error, lock_error);
      SetError(std::move(error));
      TrackedClose(fd);
      return nullptr;
    }
  }
  std::unique_ptr<posix_file> file(new posix_file(fd, no_lock));
  if (truncate_later) {
    file->Truncate(0);
    if (file->HasError()) {
      Error error = PathError(code, path, ZYK_HERE);
      Common::AddCause(error, file->TakeError());
      SetError(std::move(error));
      return nullptr;
    }
  }
  return file.release();
}

rio_file* posix_dir::OpenByName(const char16_t* name, int flags, bool no_lock, const access_rights* rights) {
  std::string path;
  if (!BuildPath(name, (flags & O_TRUNC) ? Common::kErrCreateFailed : Common::kErrOpenFailed, path)) return nullptr;
  return OpenWorker(path, flags, no_lock, rights ? rights->unix_mode : 0644);
}

rio_file* posix_dir::OpenI(const char16_t* name, bool no_lock) { return OpenByName(name, O_RDONLY, no_lock, nullptr); }

rio_file* posix_dir::OpenO(const char16_t* name, bool no_lock) { return OpenByName(name, O_WRONLY, no_lock, nullptr); }

rio_file* posix_dir::OpenIO(const char16_t* name, bool no_lock) { return OpenByName(name, O_RDWR, no_lock, nullptr); }

rio_file* posix_dir::CreateIO(const char16_t* name, bool no_lock, const access_rights* rights) {
  return OpenByName(name, O_RDWR | O_CREAT | O_TRUNC, no_lock, rights);
}

rio_file* posix_dir::OpenI(i_dir::iterator* entry, bool no_lock) {
  std::string path;
  return EntryPath(entry, Common::kErrOpenFailed, path) ? OpenWorker(path, O_RDONLY, no_lock, 0644) : nullptr;
}

rio_file* posix_dir::OpenO(i_dir::iterator* entry, bool no_lock) {
  std::string path;
  return EntryPath(entry, Common::kErrOpenFailed, path) ? OpenWorker(path, O_WRONLY, no_lock, 0644) : nullptr;
}

rio_file* posix_dir::OpenIO(i_dir::iterator* entry, bool no_lock) {
  std::string path;
  return EntryPath(entry, Common::kErrOpenFailed, path) ? OpenWorker(path, O_RDWR, no_lock, 0644) : nullptr;
}

rio_file* posix_dir::OpenI(const file_identifier* identifier, bool no_lock) {
  std::string path;
  return EntryPath(identifier, Common::kErrOpenFailed, path) ? OpenWorker(path, O_RDONLY, no_lock, 0644) : nullptr;
}

rio_file* posix_dir::OpenO(const file_identifier* identifier, bool no_lock) {
  std::string path;
  return EntryPath(identifier, Common::kErrOpenFailed, path) ? OpenWorker(path, O_WRONLY, no_lock, 0644) : nullptr;
}

rio_file* posix_dir::OpenIO(const file_identifier* identifier, bool no_lock) {
  std::string path;
  return EntryPath(identifier, Common::kErrOpenFailed, path) ? OpenWorker(path, O_RDWR, no_lock, 0644) : nullptr;
}

rio_dir* posix_dir::OpenDir(const char16_t* name) {
  std::string path;
  if (!BuildPath(name, Common::kErrOpenFailed, path)) return nullptr;
  return new posix_dir(std::move(path), root_);
}

rio_dir* posix_dir::OpenDir(i_dir::iterator* entry) {
  std::string path;
  if (!EntryPath(entry, Common::kErrOpenFailed, path)) return nullptr;
  return new posix_dir(JoinPath("/", path), root_);
}

rio_dir* posix_dir::OpenDir(const file_identifier* identifier) {
  std::string path;
  if (!EntryPath(identifier, Common::kErrOpenFailed, path)) return nullptr;
  return new posix_dir(JoinPath("/", path), root_);
}

rio_dir* posix_dir::OpenParentDir(const char16_t** path) {
  if (path == nullptr || *path == nullptr) return OpenDir(u".");
  UString whole(*path);
  size_t slash = whole.rfind(u'/');
  if (slash == UString::npos) return OpenDir(u".");
  UString parent = whole.substr(0, slash + 1);
  rio_dir* directory = OpenDir(parent.c_str());
  if (directory != nullptr) *path += slash + 1;
  return directory;
}

i_dir::iterator* posix_dir::GetIterator() {
  ClearError();
  Error error;
  int fd = OpenPath(path_, O_RDONLY | O_DIRECTORY);
  if (fd < 0) error = ResolveError(errno, Common::kErrOpenFailed, path_, ZYK_HERE);
  iterator* result = error ? nullptr : iterator::Open(path_, fd, error);
  if (result == nullptr) SetError(std::move(error));
  return result;
}

i_dir::iterator* posix_dir::MakeSelfIterator(const std::string& path) {
  Error error;
  self_iterator* result = self_iterator::Open(root_.get(), path, error);
  if (result == nullptr) SetError(std::move(error));
  return result;
}

i_dir::iterator* posix_dir::GetIterator(const char16_t* name) {
  std::string path;
  if (!BuildPath(name, Common::kErrOpenFailed, path)) return nullptr;
  return MakeSelfIterator(path);
}

i_dir::iterator* posix_dir::GetIterator(const file_identifier* identifier) {
  std::string path;
  if (!EntryPath(identifier, Common::kErrOpenFailed, path)) return nullptr;
  return MakeSelfIterator(JoinPath("/", path));
}

i_dir::iterator* posix_dir::GetSelfIterator() {
  ClearError();
  return MakeSelfIterator(path_);
}

const char16_t* posix_dir::GetFullPath() {
  if (!full_path_made_) {
    full_path_ = Common::WidenFileName(path_.c_str());
    if (path_.size() > 1) full_path_ += u'/';
    full_path_made_ = true;
  }
  return full_path_.c_str();
}

int posix_dir::CompareDir(i_dir* other) {
  auto* peer = dynamic_cast<posix_dir*>(other);
  if (peer == nullptr) return 2;
  const std::string& mine = path_;
  const std::string& theirs = peer->path_;
  if (mine == theirs) return 0;
  if (theirs.size() > mine.size() && theirs.compare(0, mine.size(), mine) == 0 &&
      (mine.back() == '/' || theirs[mine.size()] == '/'))
    return 1;
  return 2;
}

int posix_dir::CompareIdentifiers(const file_identifier* a, const file_identifier* b) {
  auto* first = dynamic_cast<const the_identifier*>(a);
  auto* second = dynamic_cast<const the_identifier*>(b);
  return ::strcmp(first ? first->Path() : "", second ? second->Path() : "");
}

void posix_dir::GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available) {
  ClearError();
  struct statfs info;
  int fd = OpenPath(path_, O_PATH | O_DIRECTORY);
  int failure = fd < 0 ? errno : ::fstatfs(fd, &info) != 0 ? errno : 0;
  if (fd >= 0) SafeClose(fd);
  if (failure != 0) {
    SetError(ResolveError(failure, Common::kErrReadFailed, path_, ZYK_HERE));
    return;
  }
  // The block counts are in fragment units; f_bsize is only the preferred I/O
  // size and differs from the fragment size on some file systems.
  uint64_t block = info.f_frsize ? static_cast<uint64_t>(info.f_frsize) : static_cast<uint64_t>(info.f_bsize);
  if (block == 0) {
    SetError(PathError(Common::kErrReadFailed, path_, ZYK_HERE));
    return;
  }
  total = block * info.f_blocks;
  free = block * info.f_bfree;
  available = block * info.f_bavail;
}

void posix_dir::EnableNotification(dir_notification_callback* callback) {
  ClearError();
  NotificationState& state = Notifications();
  dir_notification_callback* released = nullptr;
  {
    std::lock_guard lock(state.Mutex());
    if (callback == nullptr) {
      if (watch_ != nullptr) {
        released = state.Drop(watch_);
        watch_ = nullptr;
      }
    } else if (!state.EnsureThread()) {
      SetError(Error::File(Common::kErrOpenFailed, ZYK_HERE));
      return;
    } else {
      if (watch_ == nullptr) {
        watch_ = new NotificationWatch;
        watch_->path = path_;
      } else {
        released = watch_->callback;
      }
      callback->AddRef();
      watch_->callback = callback;
      state.Queue(watch_);
    }
  }
  // Outside the mutex: the last release runs the callback's own destruction.
  if (released) released->Release();
}

void posix_dir::RenewNotification() {
  if (watch_ == nullptr) return;
  NotificationState& state = Notifications();
  std::lock_guard lock(state.Mutex());
  state.Queue(watch_);
}

void posix_dir::Remove(const char16_t* name) {
  std::string path;
  if (!BuildPath(name, Common::kErrDeleteFailed, path)) return;
  EntryLocation where;
  if (!where.Locate(root_.get(), path)) {
    SetError(ResolveError(errno, Common::kErrDeleteFailed, path, ZYK_HERE));
  } else if (::unlinkat(where.Directory(), where.Name(), 0) != 0) {
    SetError(PosixError(errno, Common::kErrDeleteFailed, ZYK_HERE, path.c_str()));
  }
}

void posix_dir::RemoveDir(const char16_t* name) {
  std::string path;
  if (!BuildPath(name, Common::kErrDeleteFailed, path)) return;
  EntryLocation where;
  if (!where.Locate(root_.get(), path)) {
    SetError(ResolveError(errno, Common::kErrDeleteFailed, path, ZYK_HERE));
  } else if (::unlinkat(where.Directory(), where.Name(), AT_REMOVEDIR) != 0) {
    SetError(PosixError(errno, Common::kErrDeleteFailed, ZYK_HERE, path.c_str()));
  }
}

void posix_dir::Flush() {
  ClearError();
  int fd = OpenPath(path_, O_RDONLY | O_DIRECTORY);
  int failure = fd < 0 ? errno : ::fsync(fd) != 0 ? errno : 0;
  if (fd >= 0) SafeClose(fd);
  if (failure != 0) SetError(ResolveError(failure, Common::kErrWriteFailed, path_, ZYK_HERE));
}

void posix_dir::CreateDir(const char16_t* name, const access_rights* rights) {
  std::string path;
  if (!BuildPath(name, Common::kErrCreateFailed, path)) return;
  EntryLocation where;
  if (!where.Locate(root_.get(), path)) {
    SetError(ResolveError(errno, Common::kErrCreateFailed, path, ZYK_HERE));
  } else if (::mkdirat(where.Directory(), where.Name(), rights ? rights->unix_mode : 0755) != 0) {
    SetError(PosixError(errno, Common::kErrCreateFailed, ZYK_HERE, path.c_str()));
  }
}

void posix_dir::Rename(const char16_t* old_name, const char16_t* new_name) {
  std::string from;
  std::string to;
  if (!BuildPath(old_name, Common::kErrRenameFailed, from) || !BuildPath(new_name, Common::kErrRenameFailed, to))
    return;
  EntryLocation source;
  EntryLocation target;
  if (!source.Locate(root_.get(), from) || !target.Locate(root_.get(), to)) {
    int failure = errno;
    SetError(PosixError2(failure, failure == EXDEV ? Common::kErrAccessDenied : Common::kErrRenameFailed, ZYK_HERE,
                         from.c_str(), to.c_str()));
  } else if (::renameat(source.Directory(), source.Name(), target.Directory(), target.Name()) != 0) {
    SetError(PosixError2(errno, Common::kErrRenameFailed, ZYK_HERE, from.c_str(), to.c_str()));
  }
}

void posix_dir::CreateHardLink(const char16_t* existing, const char16_t* new_name) {
  std::string from;
  std::string to;
  if (!BuildPath(existing, Common::kErrCreateFailed, from) || !BuildPath(new_name, Common::kErrCreateFailed, to))
    return;
  EntryLocation source;
  EntryLocation target;
  if (!source.Locate(root_.get(), from) || !target.Locate(root_.get(), to)) {
    SetError(ResolveError(errno, Common::kErrCreateFailed, to, ZYK_HERE));
  } else if (::linkat(source.Directory(), source.Name(), target.Directory(), target.Name(), 0) != 0) {
    SetError(PosixError(errno, Common::kErrCreateFailed, ZYK_HERE, to.c_str()));
  }
}

void posix_dir::CreateSymLink(const char16_t* link, const char16_t* target) {
  std::string path;
  if (!BuildPath(link, Common::kErrCreateFailed, path)) return;
  // The target is stored as given: it is resolved when the link is followed.
  std::string narrow_target = target ? Common::NarrowFileName(UString(target)) : std::string();
  if (narrow_target.empty()) {
    SetError(Error(Common::kErrCreateFailed, ZYK_HERE));
    return;
  }
  EntryLocation where;
  if (!where.Locate(root_.get(), path)) {
    SetError(ResolveError(errno, Common::kErrCreateFailed, path, ZYK_HERE));
  } else if (::symlinkat(narrow_target.c_str(), where.Directory(), where.Name()) != 0) {
    SetError(PosixError(errno, Common::kErrCreateFailed, ZYK_HERE, path.c_str()));
  }
}

void posix_dir::SetUnixOwner(const char16_t* name, uint32_t user, uint32_t group) {
  std::string path;
  if (!BuildPath(name, Common::kErrOpenFailed, path)) return;
  EntryLocation where;
  if (!where.Locate(root_.get(), path)) {
    SetError(ResolveError(errno, Common::kErrOpenFailed, path, ZYK_HERE));
  } else if (::fchownat(where.Directory(), where.Name(), user, group, AT_SYMLINK_NOFOLLOW) != 0) {
    SetError(PosixError(errno, Common::kErrOpenFailed, ZYK_HERE, path.c_str()));
  }
}

void posix_dir::SetAccessRights(const char16_t* name, const access_rights& rights) {
  SetUnixPermissions(name, rights.unix_mode);
}

void posix_dir::SetUnixPermissions(const char16_t* name, uint32_t mode) {
  std::string path;
  if (!BuildPath(name, Common::kErrOpenFailed, path)) return;
  // The entry itself is held (O_PATH, never following a link) from the status
  // check to the change, so a link swapped in meanwhile is never followed.
  EntryLocation where;
  int fd = where.Locate(root_.get(), path)
               ? OpenResolved(where.Directory(), where.Name(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0, 0)
               : -1;
  struct stat status;
  if (fd < 0 || ::fstat(fd, &status) != 0) {
    SetError(ResolveError(errno, Common::kErrReadFailed, path, ZYK_HERE));
    if (fd >= 0) SafeClose(fd);
    return;
  }
  // chmod follows links: a link could point anywhere, so it is refused.
  if (S_ISLNK(status.st_mode)) {
    SetError(PathError(Common::kErrNotSupported, path, ZYK_HERE));
  } else if (::chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), mode) != 0) {
    SetError(PosixError(errno, Common::kErrAccessDenied, ZYK_HERE, path.c_str()));
  }
  SafeClose(fd);
}

void posix_dir::CreateDeviceNode(const char16_t* name, uint32_t type, uint32_t permissions, uint32_t major,
                                 uint32_t minor) {
  std::string path;
  if (!BuildPath(name, Common::kErrCreateFailed, path)) return;
  mode_t kind;
  switch (type) {
    case kEntryRegular: kind = S_IFREG; break;
    case kEntryCharDevice: kind = S_IFCHR; break;
    case kEntryBlockDevice: kind = S_IFBLK; break;
    case kEntryFifo: kind = S_IFIFO; break;
    case kEntrySocket: kind = S_IFSOCK; break;
    default: SetError(PathError(Common::kErrCreateFailed, path, ZYK_HERE)); return;
  }
  EntryLocation where;
  if (!where.Locate(root_.get(), path)) {
    SetError(ResolveError(errno, Common::kErrCreateFailed, path, ZYK_HERE));
  } else if (::mknodat(where.Directory(), where.Name(), kind | (permissions & 07777), makedev(major, minor)) != 0) {
    SetError(PosixError(errno, Common::kErrCreateFailed, ZYK_HERE, path.c_str()));
  }
}

// ---------------------------------------------------------------------------
// Factories

std::unique_ptr<posix_dir> MakeCurrentPosixDir() { return std::make_unique<posix_dir>(CurrentDirectory()); }

std::unique_ptr<posix_dir> MakePosixDir(const std::string& path) {
  return std::make_unique<posix_dir>(posix_dir::JoinPath(CurrentDirectory(), path));
}

std::unique_ptr<posix_dir> MakeConfinedPosixDir(const std::string& path, Error& error) {
  std::string joined = posix_dir::JoinPath(CurrentDirectory(), path);
  std::shared_ptr<const RootDescriptor> root = RootDescriptor::Open(joined);
  if (!root) {
    error = PosixError(errno, Common::kErrOpenFailed, ZYK_HERE, joined.c_str());
    return nullptr;
  }
  return std::make_unique<posix_dir>(std::move(joined), std::move(root));
}
