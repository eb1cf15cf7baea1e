#include "core/file/unix/descriptor_table.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/file/unix/root_descriptor.h"
#include "core/file/unix/safe_close.h"

namespace {

constexpr int64_t kMaxOffset = std::numeric_limits<int64_t>::max();

enum LockType : int { kUnlock = 0, kShared = 1, kExclusive = 2 };

// File identity, compared bytewise: file-system id, device, inode,
// file-system type and a zero word.
using FileIdentity = std::array<unsigned char, 40>;

FileIdentity MakeIdentity(const struct stat& status, const struct statfs* fs) {
  FileIdentity identity{};
  uint64_t words[5] = {};
  if (fs != nullptr) {
    static_assert(sizeof(fs->f_fsid) == 8);
    std::memcpy(&words[0], &fs->f_fsid, 8);
    words[3] = static_cast<uint64_t>(fs->f_type);
  }
  words[1] = static_cast<uint64_t>(status.st_dev);
  words[2] = static_cast<uint64_t>(status.st_ino);
  std::memcpy(identity.data(), words, sizeof(words));
  return identity;
}

// The pool index of an access mode: 0 read-only, 1 write-only, 2 read-write.
int PoolOf(int flags) {
  if (flags & O_RDWR) return 2;
  if (flags & O_WRONLY) return 1;
  return 0;
}

bool Overlap(int64_t start1, int64_t length1, int64_t start2, int64_t length2) {
  return start1 < start2 + length2 && start2 < start1 + length1;
}

struct LockRecord {
  int64_t start;
  int64_t length;
  int fd;
  int type;        // kShared or kExclusive
  uint32_t holds;  // identical locks of the descriptor still to be unlocked
};

// A waiting lock request; lives on the waiting thread's stack, or in the
// file's table of polled requests.
struct Waiter {
  enum State { kWaiting, kGranted, kFailed };
  int fd;
  int64_t start;
  int64_t length;
  int type;
  std::condition_variable wake;
  State state = kWaiting;  // guarded by the file's mutex
  int error = 0;           // guarded by the file's mutex; when failed
  bool apply = false;      // guarded by the file's mutex; granted: a new record whose system lock the waiter applies
};

// One tracked file per identity in use.
class FileObject {
 public:
  virtual ~FileObject() {
    for (auto& pool : pools)
      for (int fd : pool) SafeClose(fd);
  }

  // The system operations of the class. Apply returns 0 or -1 with errno.
  virtual int Apply(int fd, int64_t start, int64_t length, int type, bool wait) = 0;
  // Called after the record is gone from the table.
  virtual int Release(int fd, int64_t start, int64_t length) = 0;
  // Whether the class can lock this range at all (else EOPNOTSUPP).
  virtual bool AcceptsRange(int64_t, int64_t) const { return true; }

  std::mutex mutex;
  std::vector<LockRecord> locks;  // guarded by mutex; ordered by start
  std::list<Waiter*> waiters;     // guarded by mutex; first in, first out
  // Requests of TrackedLockPoll, one per descriptor: queued in `waiters`
  // (kWaiting), or granted with their system lock still to be applied.
  std::map<int, std::unique_ptr<Waiter>> polled;  // guarded by mutex
  std::vector<int> pools[3];                      // guarded by mutex; parked descriptors per access mode, oldest first
  uint64_t open_count = 0;                        // guarded by mutex, changed with the table mutex held too
  FileIdentity identity{};                        // set once under the table mutex before the file is shared

  struct Conflict {
    bool any = false;
    bool own = false;  // a conflicting record belongs to the requesting descriptor
  };
  Conflict FindConflict(int fd, int64_t start, int64_t length, int type) const {
    Conflict conflict;
    for (const LockRecord& record : locks) {
      if (record.start >= start + length) break;
      if (!Overlap(start, length, record.start, record.length)) continue;
      if (type == kExclusive || record.type == kExclusive) {
        conflict.any = true;
        if (record.fd == fd) conflict.own = true;
      }
    }
    return conflict;
  }

  LockRecord* FindExact(int fd, int64_t start, int64_t length) {
    for (LockRecord& record : locks)
      if (record.fd == fd && record.start == start && record.length == length) return &record;
    return nullptr;
  }

  // May throw std::bad_alloc, leaving the table unchanged.
  void AddRecord(int fd, int64_t start, int64_t length, int type) {
    auto at = locks.begin();
    while (at != locks.end() && at->start <= start) ++at;
    locks.insert(at, LockRecord{start, length, fd, type, 1});
  }

  // Drops one hold of the record; removes it at the last.
  bool DropRecord(int fd, int64_t start, int64_t length) {
    for (auto it = locks.begin(); it != locks.end(); ++it) {
      if (it->fd == fd && it->start == start && it->length == length) {
        if (--it->holds == 0) locks.erase(it);
        return true;
      }
    }
    return false;
  }

  // After locks went away: grants, in queue order, every waiting request that no
  // longer conflicts (each grant counts against the later ones), and fails with
  // EDEADLK every request that now conflicts with its own descriptor's locks,
  // which could never go away while it waits.
  void Reconsider() {
    for (auto it = waiters.begin(); it != waiters.end();) {
      Waiter* waiter = *it;
      Conflict conflict = FindConflict(waiter->fd, waiter->start, waiter->length, waiter->type);
      if (conflict.any && !conflict.own) {
        ++it;
        continue;
      }
      if (conflict.own) {
        waiter->state = Waiter::kFailed;
        waiter->error = EDEADLK;
      } else if (LockRecord* record = FindExact(waiter->fd, waiter->start, waiter->length)) {
        ++record->holds;
        waiter->state = Waiter::kGranted;
      } else {
        try {
          AddRecord(waiter->fd, waiter->start, waiter->length, waiter->type);
          waiter->state = Waiter::kGranted;
          waiter->apply = true;
        } catch (const std::bad_alloc&) {
          waiter->state = Waiter::kFailed;
          waiter->error = ENOMEM;
        }
      }
      it = waiters.erase(it);
      waiter->wake.notify_one();
    }
  }

  // Fails every request waiting for `fd`, which is being closed.
  void CancelWaiters(int fd) {
    for (auto it = waiters.begin(); it != waiters.end();) {
      if ((*it)->fd != fd) {
        ++it;
        continue;
      }
      (*it)->state = Waiter::kFailed;
      (*it)->error = EBADF;
      (*it)->wake.notify_one();
      it = waiters.erase(it);
    }
  }

 protected:
  // fcntl on the range; a range reaching the largest offset is sent as length 0
  // (to the end of every file), so that it covers the last offset too.
  static int RangeLock(int fd, int64_t start, int64_t length, int type, bool wait) {
    struct flock request {};
    request.l_type = type == kExclusive ? F_WRLCK : type == kShared ? F_RDLCK : F_UNLCK;
    request.l_whence = SEEK_SET;
    request.l_start = start;
    request.l_len = length == kMaxOffset - start ? 0 : length;
    int result;
    do {
      result = ::fcntl(fd, wait ? F_SETLKW : F_SETLK, &request);
    } while (result != 0 && errno == EINTR);
    return result;
  }
};

// fcntl range locks. An unlock spares what other records still cover, since the
// system holds one combined set of locks for the whole process.
class PosixFileObject : public FileObject {
 public:
  int Apply(int fd, int64_t start, int64_t length, int type, bool wait) override {
    return RangeLock(fd, start, length, type, wait);
  }
  int Release(int fd, int64_t start, int64_t length) override {
    // The records are ordered by start; walk the uncovered gaps of the range.
    int64_t position = start;
    const int64_t end = start + length;
    int result = 0;
    for (const LockRecord& record : locks) {
      if (position >= end) break;
      if (record.start >= end) break;
      const int64_t record_end = record.start + record.length;
      if (record_end <= position) continue;
      if (record.start > position && RangeLock(fd, position, record.start - position, kUnlock, false) != 0) result = -1;
      if (record_end > position) position = record_end;
    }
    if (position < end && RangeLock(fd, position, end - position, kUnlock, false) != 0) result = -1;
    return result;
  }
};

// A CIFS share below "/tmp/.mnt_net_XXXXXX": range locks, unlocked as asked.
class WindowsFileObject : public PosixFileObject {
 public:
  int Release(int fd, int64_t start, int64_t length) override { return RangeLock(fd, start, length, kUnlock, false); }
};

// Other CIFS files: whole-file flock only.
class WindowsFileObjectNoRanges : public FileObject {
 public:
  bool AcceptsRange(int64_t start, int64_t length) const override { return start == 0 && length == kMaxOffset; }
  int Apply(int fd, int64_t start, int64_t length, int type, bool wait) override {
    if (!AcceptsRange(start, length)) {
      errno = EOPNOTSUPP;
      return -1;
    }
    int operation = type == kExclusive ? LOCK_EX : type == kShared ? LOCK_SH : LOCK_UN;
    if (!wait && type != kUnlock) operation |= LOCK_NB;
    int result;
    do {
      result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK) errno = EAGAIN;
    return result;
  }
  int Release(int fd, int64_t start, int64_t length) override { return Apply(fd, start, length, kUnlock, false); }
};

std::unique_ptr<FileObject> MakeFileObject(TrackedFileClass kind) {
  switch (kind) {
    case TrackedFileClass::kWindows: return std::make_unique<WindowsFileObject>();
    case TrackedFileClass::kWindowsNoRanges: return std::make_unique<WindowsFileObjectNoRanges>();
    case TrackedFileClass::kPosix: break;
  }
  return std::make_unique<PosixFileObject>();
}

struct DescriptorEntry {
  std::shared_ptr<FileObject> file;
  int flags;
};

// Lock order: table mutex, then a file's mutex.
struct Table {
  std::mutex mutex;
  std::unordered_map<int, DescriptorEntry> descriptors;            // guarded by mutex
  std::map<FileIdentity, std::shared_ptr<FileObject>> identities;  // guarded by mutex
  size_t parked = 0;  // guarded by mutex; descriptors in the pools of all files
};

Table& GetTable() {
  // Never destroyed: descriptors may be closed while the process exits.
  static Table* table = new Table;
  return *table;
}

// Status flags a reused descriptor can be given; open flags outside this set
// and the access mode make an open that a parked descriptor cannot stand for.
constexpr int kSettableStatusFlags = O_APPEND | O_NONBLOCK | O_ASYNC | O_DIRECT | O_NOATIME;
constexpr int kReusableFlags = O_ACCMODE | kSettableStatusFlags | O_CLOEXEC | O_LARGEFILE | O_NOCTTY;

bool IsReusableOpen(int flags) { return (flags & ~kReusableFlags) == 0 && (flags & O_ACCMODE) != O_ACCMODE; }

int AccessModeBits(int flags) {
  switch (flags & O_ACCMODE) {
    case O_WRONLY: return W_OK;
    case O_RDWR: return R_OK | W_OK;
    default: return R_OK;
  }
}

// Makes the parked descriptor stand for a new open with `flags`: exactly the new
// status flags, close-on-exec as asked, positioned at 0. False when it cannot.
bool PrepareParked(int fd, int flags) {
  if (::fcntl(fd, F_SETFL, flags & kSettableStatusFlags) != 0) return false;
  int now = ::fcntl(fd, F_GETFL);
  if (now < 0 || (now & (kSettableStatusFlags | O_ACCMODE)) != (flags & (kSettableStatusFlags | O_ACCMODE)))
    return false;
  if (::fcntl(fd, F_SETFD, (flags & O_CLOEXEC) ? FD_CLOEXEC : 0) != 0) return false;
  return ::lseek(fd, 0, SEEK_SET) == 0;
}

// Hands out a parked descriptor of the file `probe` (an O_PATH descriptor of
// it), or -1 when none fits.
int TakeParked(int probe, const FileIdentity& identity, int flags) {
  Table& table = GetTable();
  std::lock_guard table_guard(table.mutex);
  auto known = table.identities.find(identity);
  if (known == table.identities.end()) return -1;
  FileObject& file = *known->second;
  std::lock_guard file_guard(file.mutex);
  std::vector<int>& pool = file.pools[PoolOf(flags)];
  if (pool.empty()) return -1;
  // A fresh open would check the permissions as they are now.
  if (::faccessat(probe, "", AccessModeBits(flags), AT_EACCESS | AT_EMPTY_PATH) != 0) return -1;
  int fd = pool.front();
  if (!PrepareParked(fd, flags)) return -1;
  table.descriptors.emplace(fd, DescriptorEntry{known->second, flags});  // may throw: still parked
  pool.erase(pool.begin());
  --table.parked;
  ++file.open_count;
  return fd;
}

int Fail(int error_number) {
  errno = error_number;
  return -1;
}

bool AnyParked() {
  Table& table = GetTable();
  std::lock_guard table_guard(table.mutex);
  return table.parked != 0;
}

// A parked descriptor of the file `path` names, or -1: with errno when the path
// cannot be resolved, else with errno 0.
int ReuseParked(int dir_fd, const char* path, int flags, uint64_t resolve, struct stat& status) {
  // Identifying the file costs four system calls; without a parked descriptor
  // anywhere there is nothing to find. One parked meanwhile is as if the open
  // came first.
  if (!AnyParked()) {
    errno = 0;
    return -1;
  }
  int probe = OpenResolved(dir_fd, path, O_PATH | O_CLOEXEC, 0, resolve);
  if (probe < 0) return -1;
  int fd = -1;
  if (::fstat(probe, &status) == 0) {
    struct statfs fs;
    bool have_fs = ::fstatfs(probe, &fs) == 0;
    fd = TakeParked(probe, MakeIdentity(status, have_fs ? &fs : nullptr), flags);
  }
  SafeClose(probe);
  errno = 0;
  return fd;
}

int OpenImpl(int dir_fd, const char* path, int flags, mode_t mode, uint64_t resolve, const char* full_path,
             struct stat& status) {
  if ((flags & (O_CREAT | O_EXCL)) == 0 && IsReusableOpen(flags)) {
    int fd = ReuseParked(dir_fd, path, flags, resolve, status);
    if (fd >= 0 || errno != 0) return fd;
  }

  int fd = OpenResolved(dir_fd, path, flags, mode, resolve);
  if (fd < 0) return -1;
  if (::fstat(fd, &status) != 0) {
    int saved = errno;
    SafeClose(fd);
    return Fail(saved);
  }
  struct statfs fs;
  bool have_fs = ::fstatfs(fd, &fs) == 0;
  FileIdentity identity = MakeIdentity(status, have_fs ? &fs : nullptr);

  try {
    Table& table = GetTable();
    std::lock_guard table_guard(table.mutex);
    std::shared_ptr<FileObject>& slot = table.identities[identity];
    if (!slot) {
      try {
        slot = MakeFileObject(ChooseTrackedFileClass(have_fs ? static_cast<int64_t>(fs.f_type) : 0, full_path));
        slot->identity = identity;
        table.descriptors.emplace(fd, DescriptorEntry{slot, flags});
      } catch (...) {
        table.identities.erase(identity);
        throw;
      }
    } else {
      table.descriptors.emplace(fd, DescriptorEntry{slot, flags});
    }
    std::lock_guard file_guard(slot->mutex);
    ++slot->open_count;
    return fd;
  } catch (const std::bad_alloc&) {
    SafeClose(fd);
    return Fail(ENOMEM);
  }
}

// A lock request in the table's terms: a range within [0, kMaxOffset] and a type.
struct RangeRequest {
  int64_t start;
  int64_t length;
  int type;
};

// Checks and converts a flock record; 0, or the errno that refuses it.
int ParseRequest(const struct flock* lock, RangeRequest& out) {
  if (lock == nullptr) return EFAULT;
  if (lock->l_whence != SEEK_SET) return EOPNOTSUPP;
  const int64_t start = lock->l_start;
  int64_t length = lock->l_len;
  if (start < 0 || length < 0) return EINVAL;
  if (length == 0) {
    if (start == kMaxOffset) return EINVAL;
    length = kMaxOffset - start;
  } else if (length > kMaxOffset - start) {
    return EINVAL;
  }
  switch (lock->l_type) {
    case F_RDLCK: out = {start, length, kShared}; return 0;
    case F_WRLCK: out = {start, length, kExclusive}; return 0;
    case F_UNLCK: out = {start, length, kUnlock}; return 0;
    default: return EINVAL;
  }
}

// The tracked file of `fd`, or null (EBADF). Takes and releases the table mutex.
std::shared_ptr<FileObject> FileOf(int fd) {
  Table& table = GetTable();
  std::lock_guard table_guard(table.mutex);
  auto entry = table.descriptors.find(fd);
  if (entry == table.descriptors.end()) return nullptr;
  return entry->second.file;
}

int LockImpl(int fd, int command, struct flock* lock) {
  if (lock == nullptr) return Fail(EFAULT);
  if (command != F_SETLK && command != F_SETLKW) return Fail(EOPNOTSUPP);
  RangeRequest request{};
  if (int error = ParseRequest(lock, request)) return Fail(error);
  const int64_t start = request.start;
  const int64_t length = request.length;
  const int type = request.type;
  const bool wait = command == F_SETLKW;

  Table& table = GetTable();
  std::unique_lock table_guard(table.mutex);
  auto entry = table.descriptors.find(fd);
  if (entry == table.descriptors.end()) return Fail(EBADF);
  std::shared_ptr<FileObject> holder = entry->second.file;  // keeps the file alive while waiting
  FileObject& file = *holder;
  std::unique_lock file_guard(file.mutex);
  table_guard.unlock();

  if (type == kUnlock) {
    LockRecord* record = file.FindExact(fd, start, length);
    if (record == nullptr) return Fail(EINVAL);
    if (record->holds >= 2) {
      --record->holds;
      return 0;
    }
    file.DropRecord(fd, start, length);
    int result = file.Release(fd, start, length);
    int saved = errno;
    file.Reconsider();
    return result == 0 ? 0 : Fail(saved);
  }

  if (!file.AcceptsRange(start, length)) return Fail(EOPNOTSUPP);
  bool apply = true;
  FileObject::Conflict conflict = file.FindConflict(fd, start, length, type);
  if (conflict.any) {
    if (!wait) return Fail(EAGAIN);
    // Locks of the requesting descriptor never go away while it waits.
    if (conflict.own) return Fail(EDEADLK);
    Waiter waiter{fd, start, length, type, {}, Waiter::kWaiting, 0, false};
    file.waiters.push_back(&waiter);
    waiter.wake.wait(file_guard, [&] { return waiter.state != Waiter::kWaiting; });
    if (waiter.state == Waiter::kFailed) return Fail(waiter.error);
    apply = waiter.apply;  // the record was added (or its hold raised) when granted
  } else if (LockRecord* record = file.FindExact(fd, start, length)) {
    ++record->holds;  // the system lock is already in place
    return 0;
  } else {
    file.AddRecord(fd, start, length, type);
  }
  if (!apply) return 0;

  if (wait) file_guard.unlock();
  int result = file.Apply(fd, start, length, type, wait);
  int saved = errno;
  if (wait) file_guard.lock();
  if (result != 0) {
    file.DropRecord(fd, start, length);
    file.Reconsider();
    return Fail(saved);
  }
  return 0;
}

// Tries the system lock of a polled request whose record is in place. A
// conflict with another process leaves it waiting; any other failure ends it.
// Requires the file mutex held.
int ApplyPolled(FileObject& file, int fd) {
  Waiter& waiter = *file.polled.at(fd);
  if (file.Apply(fd, waiter.start, waiter.length, waiter.type, false) == 0) {
    file.polled.erase(fd);
    return 0;
  }
  const int saved = errno;
  if (saved == EAGAIN || saved == EACCES) return Fail(EINPROGRESS);
  file.DropRecord(fd, waiter.start, waiter.length);
  file.polled.erase(fd);
  file.Reconsider();
  return Fail(saved);
}

// Reports on the request already polled for `fd`. Requires the file mutex held.
int ContinuePolled(FileObject& file, int fd, const RangeRequest& request) {
  Waiter& waiter = *file.polled.at(fd);
  if (waiter.start != request.start || waiter.length != request.length || waiter.type != request.type)
    return Fail(EBUSY);
  switch (waiter.state) {
    case Waiter::kWaiting: return Fail(EINPROGRESS);
    case Waiter::kFailed: {
      const int error = waiter.error;
      file.polled.erase(fd);
      return Fail(error);
    }
    case Waiter::kGranted: break;
  }
  if (waiter.apply) return ApplyPolled(file, fd);
  file.polled.erase(fd);  // a hold of an existing record: its system lock is in place
  return 0;
}

int PollImpl(int fd, struct flock* lock) {
  RangeRequest request{};
  if (int error = ParseRequest(lock, request)) return Fail(error);
  if (request.type == kUnlock) return Fail(EINVAL);
  std::shared_ptr<FileObject> holder = FileOf(fd);
  if (!holder) return Fail(EBADF);
  FileObject& file = *holder;
  std::lock_guard file_guard(file.mutex);
  if (file.polled.count(fd) != 0) return ContinuePolled(file, fd, request);

  if (!file.AcceptsRange(request.start, request.length)) return Fail(EOPNOTSUPP);
  FileObject::Conflict conflict = file.FindConflict(fd, request.start, request.length, request.type);
  if (conflict.own) return Fail(EDEADLK);  // its own locks never go away while it waits
  if (!conflict.any) {
    if (LockRecord* record = file.FindExact(fd, request.start, request.length)) {
      ++record->holds;
      return 0;
    }
  }
  auto waiter = std::make_unique<Waiter>();
  waiter->fd = fd;
  waiter->start = request.start;
  waiter->length = request.length;
  waiter->type = request.type;
  Waiter* raw = waiter.get();
  file.polled.emplace(fd, std::move(waiter));  // may throw: nothing changed yet
  if (conflict.any) {
    try {
      file.waiters.push_back(raw);
    } catch (...) {
      file.polled.erase(fd);
      throw;
    }
    return Fail(EINPROGRESS);
  }
  try {
    file.AddRecord(fd, request.start, request.length, request.type);
  } catch (...) {
    file.polled.erase(fd);
    throw;
  }
  raw->state = Waiter::kGranted;
  raw->apply = true;
  return ApplyPolled(file, fd);
}

void AbandonImpl(int fd) {
  std::shared_ptr<FileObject> holder = FileOf(fd);
  if (!holder) return;
  FileObject& file = *holder;
  std::lock_guard file_guard(file.mutex);
  auto found = file.polled.find(fd);
  if (found == file.polled.end()) return;
  Waiter& waiter = *found->second;
  if (waiter.state == Waiter::kWaiting) {
    file.waiters.remove(&waiter);
  } else if (waiter.state == Waiter::kGranted) {
    // The record (or the hold) was taken for this request; its system lock
    // was never applied, so only the record goes.
    file.DropRecord(fd, waiter.start, waiter.length);
  }
  file.polled.erase(found);
  file.Reconsider();
}

int CloseImpl(int fd) {
  Table& table = GetTable();
  std::lock_guard table_guard(table.mutex);
  auto entry = table.descriptors.find(fd);
  if (entry == table.descriptors.end()) return Fail(EBADF);
  std::shared_ptr<FileObject> holder = entry->second.file;  // outlives the file mutex below
  const int flags = entry->second.flags;
  int result = 0;
  {
    FileObject& file = *holder;
    std::lock_guard file_guard(file.mutex);
    // Reserve room to park first, so that running out of memory changes nothing.
    std::vector<int>& pool = file.pools[PoolOf(flags)];
    pool.reserve(pool.size() + 1);

    for (size_t i = file.locks.size(); i-- > 0;) {
      if (file.locks[i].fd != fd) continue;
      LockRecord record = file.locks[i];
      file.locks.erase(file.locks.begin() + static_cast<std::ptrdiff_t>(i));
      file.Release(fd, record.start, record.length);
    }
    file.CancelWaiters(fd);
    file.polled.erase(fd);
    file.Reconsider();

    if (file.locks.empty()) {
      // Nothing of the process stays locked: the parked descriptors can go.
      for (auto& parked_pool : file.pools) {
        for (int parked : parked_pool) SafeClose(parked);
        table.parked -= parked_pool.size();
        parked_pool.clear();
      }
      result = SafeClose(fd);
    } else {
      // Closing would drop the system locks that other descriptors hold.
      pool.push_back(fd);
      ++table.parked;
    }
    if (--file.open_count == 0) table.identities.erase(file.identity);
  }
  int saved = errno;
  table.descriptors.erase(entry);
  errno = saved;
  return result;
}

}  // namespace

TrackedFileClass ChooseTrackedFileClass(int64_t fs_type, const char* path) {
  if (fs_type != kCifsMagic) return TrackedFileClass::kPosix;
  static constexpr char kPrefix[] = "/tmp/.mnt_net_";
  if (path != nullptr && std::strlen(path) >= 20 && std::strncmp(path, kPrefix, 14) == 0 &&
      (path[20] == '\0' || path[20] == '/'))
    return TrackedFileClass::kWindows;
  return TrackedFileClass::kWindowsNoRanges;
}

int TrackedOpen(const char* path, int flags, mode_t mode, struct stat* status) {
  return TrackedOpenAt(AT_FDCWD, path, flags, mode, 0, path, status);
}

int TrackedOpenAt(int dir_fd, const char* path, int flags, mode_t mode, uint64_t resolve, const char* full_path,
                  struct stat* status) {
  struct stat own;
  try {
    return OpenImpl(dir_fd, path, flags, mode, resolve, full_path, status != nullptr ? *status : own);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}

int TrackedLock(int fd, int command, struct flock* lock) {
  try {
    return LockImpl(fd, command, lock);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}

int TrackedLockPoll(int fd, struct flock* lock) {
  try {
    return PollImpl(fd, lock);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}

void TrackedLockAbandon(int fd) { AbandonImpl(fd); }

int TrackedClose(int fd) {
  try {
    return CloseImpl(fd);
  } catch (const std::bad_alloc&) {
    return Fail(ENOMEM);
  }
}
