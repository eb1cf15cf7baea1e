#include "core/file/unix/posix_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/common/file_name.h"
#include "core/common/messages.h"
#include "core/file/unix/descriptor_table.h"
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

int64_t Milliseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

uint32_t TypeOfMode(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFCHR: return kEntryCharDevice;
    case S_IFBLK: return kEntryBlockDevice;
    case S_IFIFO: return kEntryFifo;
    case S_IFSOCK: return kEntrySocket;
    case S_IFLNK: return kEntrySymlink;
    case S_IFDIR: return kEntryDirectory;
    default: return kEntryRegular;
  }
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

// The user's home: "HOME", else the password database entry of the real user.
bool HomeDirectory(std::string& home) {
  if (const char* value = ::getenv("HOME")) {
    home = value;
  } else {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
    struct passwd entry;
    struct passwd* found = nullptr;
    int result;
    while ((result = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
      buffer.resize(buffer.size() * 2);
    if (result != 0 || found == nullptr || found->pw_dir == nullptr) return false;
    home = found->pw_dir;
  }
  return !home.empty() && home[0] == '/';
}

}  // namespace

// ---------------------------------------------------------------------------
// the_identifier

struct the_identifier::Block {
  std::atomic<uint64_t> refs;
  std::string path;
};

the_identifier::the_identifier(const std::string& path) : block_(new Block{{1}, path}) {}

the_identifier::the_identifier(Block* block) : block_(block) {
  block_->refs.fetch_add(1, std::memory_order_relaxed);
}

the_identifier::~the_identifier() {
  if (block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete block_;
}

file_identifier* the_identifier::Clone() const { return new the_identifier(block_); }

const char* the_identifier::Path() const { return block_->path.c_str(); }

// ---------------------------------------------------------------------------
// Change notification: one polling thread for every watched directory.

struct NotificationWatch {
  std::string path;
  dir_notification_callback* callback = nullptr;
  int64_t seconds = 0;
  int64_t nanoseconds = -1;  // -1: never seen
  bool queued = false;
  uint64_t refs = 1;
  NotificationWatch* next = nullptr;
  NotificationWatch* previous = nullptr;
};

namespace {

class NotificationState {
 public:
  // Stops and joins the thread; called when the library is unloaded (or the
  // process ends). A child forked after the thread started has no such thread,
  // and its copies of the mutex and condition variable may be in use by that
  // missing thread: the child leaves everything alone.
  void Stop() {
    pid_t owner = owner_.load(std::memory_order_acquire);
    if (owner != 0 && owner != ::getpid()) return;
    std::unique_lock lock(mutex_);
    stop_ = true;
    wake_.notify_all();
    lock.unlock();
    if (thread_.joinable()) thread_.join();
  }

  std::mutex& Mutex() { return mutex_; }

  // Starts the thread on first use. Requires the mutex.
  bool EnsureThread() {
    if (thread_.joinable()) return true;
    try {
      thread_ = std::thread([this] { Run(); });
      owner_.store(::getpid(), std::memory_order_release);
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  // Puts `watch` at the tail of the queue unless it is queued. Requires the mutex.
  void Queue(NotificationWatch* watch) {
    if (watch->queued) return;
    ++queued_count_;
    watch->queued = true;
    if (head_ == nullptr) {
      watch->next = watch->previous = watch;
      head_ = watch;
      wake_.notify_all();
    } else {
      watch->next = head_;
      watch->previous = head_->previous;
      head_->previous->next = watch;
      head_->previous = watch;
    }
  }

  // Requires the mutex.
  void Unqueue(NotificationWatch* watch) {
    if (!watch->queued) return;
    --queued_count_;
    watch->queued = false;
    if (watch->next == watch) {
      head_ = nullptr;
    } else {
      watch->previous->next = watch->next;
      watch->next->previous = watch->previous;
      if (head_ == watch) head_ = watch->next;
    }
    watch->next = watch->previous = nullptr;
  }

  // Drops one reference; at zero unqueues and frees the watch and hands its
  // callback back for the caller to release outside the mutex. Requires the mutex.
  dir_notification_callback* Drop(NotificationWatch* watch) {
    if (--watch->refs != 0) return nullptr;
    Unqueue(watch);
    dir_notification_callback* callback = watch->callback;
    delete watch;
    return callback;
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      if (head_ == nullptr) {
        wake_.wait(lock);
        continue;
      }
      NotificationWatch* watch = head_;
      head_ = watch->next;
      struct stat status;
      int64_t seconds = 0;
      int64_t nanoseconds = -2;
      if (::stat(watch->path.c_str(), &status) == 0) {
        seconds = status.st_mtim.tv_sec;
        nanoseconds = status.st_mtim.tv_nsec;
      }
      if (seconds != watch->seconds || nanoseconds != watch->nanoseconds) {
        bool first_look = watch->seconds == 0 && watch->nanoseconds == -1;
        watch->seconds = seconds;
        watch->nanoseconds = nanoseconds;
        if (!first_look) Report(watch, lock);
      }
      if (stop_) break;
      // Every watch about once a second, and no more often than every 100 ms overall.
      uint64_t count = std::max<uint64_t>(queued_count_, 1);
      auto pause = std::chrono::milliseconds(std::max<uint64_t>(100, 1000 / count));
      wake_.wait_until(lock, std::chrono::steady_clock::now() + pause);
    }
  }

  // Calls the watch's callback without the mutex held; references on the watch
  // and the callback keep both alive while EnableNotification(null) runs elsewhere.
  void Report(NotificationWatch* watch, std::unique_lock<std::mutex>& lock) {
    Unqueue(watch);
    dir_notification_callback* callback = watch->callback;
    if (callback == nullptr) return;
    ++watch->refs;
    callback->AddRef();
    std::string path = watch->path;
    lock.unlock();
    {
      posix_dir temporary(path);
      callback->Changed(&temporary);
    }
    callback->Release();
    lock.lock();
    dir_notification_callback* dropped = Drop(watch);
    if (dropped) {
      lock.unlock();
      dropped->Release();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;            // guarded by mutex_
  std::atomic<pid_t> owner_{0};   // the process that started thread_
  bool stop_ = false;             // guarded by mutex_
  NotificationWatch* head_ = nullptr;  // guarded by mutex_
  uint64_t queued_count_ = 0;     // guarded by mutex_
};

// Never destroyed: directories may drop their watches during static
// destruction, and a forked child must not destroy a condition variable that
// its parent's thread was waiting on.
NotificationState& Notifications() {
  static NotificationState* state = new NotificationState;
  return *state;
}

// Joins the polling thread when the library is unloaded.
struct NotificationStopper {
  ~NotificationStopper() { Notifications().Stop(); }
} notification_stopper;

}  // namespace

// ---------------------------------------------------------------------------
// posix_dir

posix_dir::posix_dir(std::string path, std::shared_ptr<const RootDescriptor> root)
    : path_(std::move(path)), root_(std::move(root)) {}

int posix_dir::OpenPath(const std::string& path, int flags, mode_t mode) {
  return root_ ? root_->Open(path, flags | O_CLOEXEC, mode) : OpenResolved(AT_FDCWD, path.c_str(), flags | O_CLOEXEC, mode, 0);
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
  std::string result = !name.empty() && name[0] == '/' ? std::string("/") : directory;
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
  if (!root_) {
    fd = TrackedOpen(path.c_str(), flags | O_CLOEXEC, mode);
  } else if (root_->Relative(path, relative)) {
    fd = TrackedOpenAt(root_->Descriptor(), relative.c_str(), flags | O_CLOEXEC, mode, BeneathRootFlags(),
                       path.c_str());
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
  struct stat status {};
  int failure = ::fstat(fd, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
  if (failure != 0) {
    SetError(PosixError(failure, Common::kErrOpenFailed, ZYK_HERE, path.c_str()));
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
  if (!BuildPath(name, (flags & O_TRUNC) ? Common::kErrCreateFailed : Common::kErrOpenFailed, path))
    return nullptr;
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
  return EntryPath(identifier, Common::kErrOpenFailed, path) ? OpenWorker(path, O_RDONLY, no_lock, 0644)
                                                             : nullptr;
}

rio_file* posix_dir::OpenO(const file_identifier* identifier, bool no_lock) {
  std::string path;
  return EntryPath(identifier, Common::kErrOpenFailed, path) ? OpenWorker(path, O_WRONLY, no_lock, 0644)
                                                             : nullptr;
}

rio_file* posix_dir::OpenIO(const file_identifier* identifier, bool no_lock) {
  std::string path;
  return EntryPath(identifier, Common::kErrOpenFailed, path) ? OpenWorker(path, O_RDWR, no_lock, 0644)
                                                             : nullptr;
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

rio_dir* posix_dir::OpenSpecialDir(uint32_t kind) {
  ClearError();
  if (root_) {
    SetError(Error::File(Common::kErrNotSupported, ZYK_HERE));
    return nullptr;
  }
  std::string path;
  switch (kind) {
    case 143: path = "/var/lib"; break;
    case 144:
    case 145:
      if (!HomeDirectory(path)) {
        SetError(Error::File(Common::kErrOpenFailed, ZYK_HERE));
        return nullptr;
      }
      path = JoinPath("/", path);
      break;
    case 149: path = "/tmp"; break;
    case 156: path = "/var/log"; break;
    default: SetError(Error::File(Common::kErrNotSupported, ZYK_HERE)); return nullptr;
  }
  return new posix_dir(std::move(path));
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
// Iterators

posix_dir::stat_iterator::stat_iterator(std::string directory_prefix)
    : directory_prefix_(std::move(directory_prefix)) {}

posix_dir::stat_iterator::~stat_iterator() = default;

void posix_dir::stat_iterator::ResetEntry() {
  name_.clear();
  name_made_ = false;
  status_valid_ = false;
  status_path_.clear();
  link_target_.clear();
  link_target_read_ = false;
}

std::string posix_dir::stat_iterator::EntryPath() {
  const char* name = HasError() ? nullptr : GetNarrowName();
  return name ? directory_prefix_ + name : std::string();
}

file_identifier* posix_dir::stat_iterator::GetIdentifier() {
  std::string path = EntryPath();
  return path.empty() ? nullptr : new the_identifier(path);
}

const char16_t* posix_dir::stat_iterator::GetName() {
  if (HasError()) return nullptr;
  if (!name_made_) {
    const char* name = GetNarrowName();
    if (name == nullptr) return nullptr;
    name_ = Common::WidenFileName(name);
    name_made_ = true;
  }
  return name_.c_str();
}

uint64_t posix_dir::stat_iterator::GetSize() { return StatFile() ? static_cast<uint64_t>(status_.st_size) : 0; }

uint64_t posix_dir::stat_iterator::GetAllocatedSize() {
  return StatFile() ? static_cast<uint64_t>(status_.st_blocks) * 512 : 0;
}

uint32_t posix_dir::stat_iterator::GetType() {
  if (HasError()) return 0;
  if (!status_valid_) {
    switch (EntryDType()) {
      case DT_REG: return kEntryRegular;
      case DT_CHR: return kEntryCharDevice;
      case DT_BLK: return kEntryBlockDevice;
      case DT_FIFO: return kEntryFifo;
      case DT_SOCK: return kEntrySocket;
      case DT_LNK: return kEntrySymlink;
      case DT_DIR: return kEntryDirectory;
      default: break;
    }
  }
  return StatFile() ? TypeOfMode(status_.st_mode) : 0;
}

int64_t posix_dir::stat_iterator::GetModificationTime() { return StatFile() ? Milliseconds(status_.st_mtim) : 0; }

int64_t posix_dir::stat_iterator::GetChangeTime() { return StatFile() ? Milliseconds(status_.st_ctim) : 0; }

int64_t posix_dir::stat_iterator::GetAccessTime() { return StatFile() ? Milliseconds(status_.st_atim) : 0; }

uint32_t posix_dir::stat_iterator::GetUnixPermissions() { return StatFile() ? status_.st_mode : 0xFFFFFFFF; }

bool posix_dir::stat_iterator::IsHidden() {
  // Answered from the name alone: no status is needed.
  const char* name = HasError() ? nullptr : GetNarrowName();
  return name == nullptr || name[0] == '.';
}

uint32_t posix_dir::stat_iterator::GetUnixUser() { return StatFile() ? status_.st_uid : 0xFFFFFFFF; }

uint32_t posix_dir::stat_iterator::GetUnixGroup() { return StatFile() ? status_.st_gid : 0xFFFFFFFF; }

uint64_t posix_dir::stat_iterator::GetLinkCount() { return StatFile() ? status_.st_nlink : 1; }

uint32_t posix_dir::stat_iterator::GetDeviceMajor() { return StatFile() ? major(status_.st_rdev) : 0; }

uint32_t posix_dir::stat_iterator::GetDeviceMinor() { return StatFile() ? minor(status_.st_rdev) : 0; }

uint64_t posix_dir::stat_iterator::GetInodeNumber() { return StatFile() ? status_.st_ino : 0; }

const char16_t* posix_dir::stat_iterator::GetLinkTarget() {
  if (!StatFile() || !S_ISLNK(status_.st_mode)) return nullptr;
  if (!link_target_read_) {
    char buffer[4096];
    ssize_t length = ReadLink(buffer, sizeof(buffer) - 1);
    if (length < 0) {
      SetError(PosixError(errno, Common::kErrReadFailed, ZYK_HERE, status_path_.c_str()));
      return nullptr;
    }
    buffer[length] = '\0';
    link_target_ = Common::WidenFileName(buffer);
    link_target_read_ = true;
  }
  return link_target_.c_str();
}

posix_dir::iterator::iterator(std::string directory_prefix, DIR* stream)
    : stat_iterator(std::move(directory_prefix)), stream_(stream) {}

posix_dir::iterator::~iterator() { ::closedir(stream_); }

posix_dir::iterator* posix_dir::iterator::Open(const std::string& directory, int fd, Error& error) {
  DIR* stream = fd < 0 ? nullptr : ::fdopendir(fd);
  if (stream == nullptr) {
    error = PosixError(errno, Common::kErrOpenFailed, ZYK_HERE, directory.c_str());
    if (fd >= 0) SafeClose(fd);
    return nullptr;
  }
  std::string prefix = directory.size() > 1 ? directory + "/" : directory;
  iterator* result = new iterator(std::move(prefix), stream);
  result->Next();
  return result;
}

bool posix_dir::iterator::Next() {
  if (HasError()) return false;
  ResetEntry();
  for (;;) {
    // readdir is safe for concurrent use of different streams, and one thread
    // at a time uses this one.
    errno = 0;
    entry_ = ::readdir(stream_);
    if (entry_ == nullptr) {
      if (errno != 0) {
        SetError(PosixError(errno, Common::kErrNotFound, ZYK_HERE, directory_prefix_.c_str()));
      } else {
        SetError(Error::File(Common::kErrEndOfFile, ZYK_HERE));
      }
      return false;
    }
    const char* name = entry_->d_name;
    if (::strcmp(name, ".") == 0 || ::strcmp(name, "..") == 0) continue;
    return true;
  }
}

const char* posix_dir::iterator::GetNarrowName() { return entry_ ? entry_->d_name : nullptr; }

ssize_t posix_dir::iterator::ReadLink(char* buffer, size_t size) {
  if (entry_ == nullptr) {
    errno = ENOENT;
    return -1;
  }
  return ::readlinkat(::dirfd(stream_), entry_->d_name, buffer, size);
}

unsigned char posix_dir::iterator::EntryDType() { return entry_ ? entry_->d_type : static_cast<unsigned char>(DT_UNKNOWN); }

bool posix_dir::iterator::StatFile() {
  if (HasError()) return false;
  if (entry_ == nullptr) {
    SetError(Error::File(Common::kErrReadFailed, ZYK_HERE));
    return false;
  }
  // Relative to the open stream: the entry is looked up in the listed directory
  // itself, whatever happened to its path meanwhile, and no path is built.
  if (::fstatat(::dirfd(stream_), entry_->d_name, &status_, AT_SYMLINK_NOFOLLOW) != 0) {
    int error_number = errno;
    status_valid_ = false;
    std::string path = directory_prefix_ + entry_->d_name;
    SetError(PosixError(error_number, Common::kErrReadFailed, ZYK_HERE, path.c_str()));
    return false;
  }
  status_valid_ = true;
  if (S_ISLNK(status_.st_mode)) status_path_ = directory_prefix_ + entry_->d_name;
  return true;
}

posix_dir::self_iterator::self_iterator(std::string directory_prefix, std::string name, const struct stat& status)
    : stat_iterator(std::move(directory_prefix)), name_bytes_(std::move(name)) {
  status_ = status;
  status_valid_ = true;
  if (S_ISLNK(status_.st_mode)) status_path_ = directory_prefix_ + name_bytes_;
}

posix_dir::self_iterator* posix_dir::self_iterator::Open(const RootDescriptor* root, const std::string& path,
                                                         Error& error) {
  EntryLocation where;
  struct stat status;
  if (!where.Locate(root, path) || ::fstatat(where.Directory(), where.Name(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    error = ResolveError(errno, Common::kErrReadFailed, path, ZYK_HERE);
    return nullptr;
  }
  std::string target;
  if (S_ISLNK(status.st_mode)) {
    char buffer[4096];
    ssize_t length = ::readlinkat(where.Directory(), where.Name(), buffer, sizeof(buffer) - 1);
    if (length < 0) {
      error = PosixError(errno, Common::kErrReadFailed, ZYK_HERE, path.c_str());
      return nullptr;
    }
    target.assign(buffer, static_cast<size_t>(length));
  }
  // "/a/b" stands on "b" in "/a/"; the root stands on "/" itself.
  size_t slash = path.rfind('/');
  self_iterator* result = path == "/" || slash == std::string::npos
                              ? new self_iterator("", path, status)
                              : new self_iterator(path.substr(0, slash + 1), path.substr(slash + 1), status);
  result->target_ = std::move(target);
  return result;
}

ssize_t posix_dir::self_iterator::ReadLink(char* buffer, size_t size) {
  size_t length = std::min(size, target_.size());
  ::memcpy(buffer, target_.data(), length);
  return static_cast<ssize_t>(length);
}

bool posix_dir::self_iterator::Next() {
  SetError(Error::File(Common::kErrNotSupported, ZYK_HERE));
  return false;
}

bool posix_dir::self_iterator::StatFile() {
  if (HasError()) return false;
  if (!status_valid_) {
    SetError(Error::File(Common::kErrNotSupported, ZYK_HERE));
    return false;
  }
  return true;
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
