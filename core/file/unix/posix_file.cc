#include "core/file/unix/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <vector>

#include "core/file/unix/descriptor_table.h"
#include "core/file/unix/posix_error.h"

using Common::Error;

namespace {
constexpr int64_t kMaxOffset = std::numeric_limits<int64_t>::max();

// The flock record of a lock (shared or exclusive) or unlock request.
struct flock MakeLockRequest(bool lock, bool exclusive, uint64_t offset, uint64_t length) {
  struct flock request {};
  request.l_type = !lock ? F_UNLCK : exclusive ? F_WRLCK : F_RDLCK;
  request.l_whence = SEEK_SET;
  request.l_start = static_cast<off_t>(offset);
  // A range running past the largest offset reaches the end of every file,
  // which length 0 says; lock and unlock of the same arguments agree.
  if (offset <= static_cast<uint64_t>(kMaxOffset) && length > static_cast<uint64_t>(kMaxOffset) - offset) length = 0;
  request.l_len = static_cast<off_t>(length);
  return request;
}

}  // namespace

Error DoLockFileHandle(int fd, bool lock, bool exclusive, bool wait, uint64_t offset, uint64_t length) {
  struct flock request = MakeLockRequest(lock, exclusive, offset, length);
  if (TrackedLock(fd, wait ? F_SETLKW : F_SETLK, &request) != 0)
    return PosixError(errno, Common::kErrLockFailed, ZYK_HERE);
  return {};
}

posix_file::posix_file(int fd, bool no_lock) : fd_(fd), no_lock_(no_lock) {}

posix_file::~posix_file() {
  if (fd_ >= 0) TrackedClose(fd_);
}

void posix_file::Read(void* buffer, size_t length, size_t& done) {
  done = 0;
  if (HasError()) return;
  char* out = static_cast<char*>(buffer);
  while (done < length) {
    ssize_t count = ::read(fd_, out + done, length - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      SetError(PosixError(errno, Common::kErrReadFailed, ZYK_HERE));
      return;
    }
    if (count == 0) return;  // end of file: a short count, not an error
    done += static_cast<size_t>(count);
  }
}

void posix_file::Write(const void* buffer, size_t length, size_t& done) {
  done = 0;
  if (HasError()) return;
  const char* in = static_cast<const char*>(buffer);
  while (done < length) {
    ssize_t count = ::write(fd_, in + done, length - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      // A full disk or the size limit: the count tells the caller how far it got.
      if (errno == EFBIG || errno == ENOSPC) return;
      SetError(PosixError(errno, Common::kErrWriteFailed, ZYK_HERE));
      return;
    }
    if (count == 0) return;
    done += static_cast<size_t>(count);
  }
}

Error posix_file::Pread(void* buffer, uint64_t offset, size_t length, size_t& done) {
  done = 0;
  char* out = static_cast<char*>(buffer);
  while (done < length) {
    ssize_t count = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (count < 0) {
      if (errno == EINTR) continue;
      return PosixError(errno, Common::kErrReadFailed, ZYK_HERE);
    }
    if (count == 0) break;
    done += static_cast<size_t>(count);
  }
  return {};
}

Error posix_file::Pwrite(const void* buffer, uint64_t offset, size_t length, size_t& done) {
  done = 0;
  const char* in = static_cast<const char*>(buffer);
  while (done < length) {
    ssize_t count = ::pwrite(fd_, in + done, length - done, static_cast<off_t>(offset + done));
    if (count < 0) {
      if (errno == EINTR) continue;
      // A full disk or the size limit: the count tells the caller how far it got.
      if (errno == EFBIG || errno == ENOSPC) break;
      return PosixError(errno, Common::kErrWriteFailed, ZYK_HERE);
    }
    if (count == 0) break;
    done += static_cast<size_t>(count);
  }
  return {};
}

void posix_file::Flush() {
  if (HasError()) return;
  if (::fsync(fd_) != 0) SetError(PosixError(errno, Common::kErrWriteFailed, ZYK_HERE));
}

void posix_file::Truncate(uint64_t length) {
  if (HasError()) return;
  if (length > static_cast<uint64_t>(kMaxOffset)) {
    SetError(PosixError(EINVAL, Common::kErrWriteFailed, ZYK_HERE));
    return;
  }
  int result;
  do {
    result = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result != 0) SetError(PosixError(errno, Common::kErrWriteFailed, ZYK_HERE));
}

// The seeks work even while an error is stored; a failure is stored only when
// none is, so the first cause stays visible.
int64_t posix_file::Seek(int64_t offset) {
  off_t position = ::lseek(fd_, offset, SEEK_SET);
  if (position < 0) {
    if (!HasError()) SetError(PosixError(errno, Common::kErrSeekFailed, ZYK_HERE));
    return 0;
  }
  return position;
}

int64_t posix_file::SeekCurrent(int64_t offset) {
  off_t position = ::lseek(fd_, offset, SEEK_CUR);
  if (position < 0) {
    if (!HasError()) SetError(PosixError(errno, Common::kErrSeekFailed, ZYK_HERE));
    return 0;
  }
  return position;
}

int64_t posix_file::SeekEnd(int64_t offset) {
  off_t position = ::lseek(fd_, offset, SEEK_END);
  if (position >= 0) return position;
  int error_number = errno;
  if (error_number == EBADF) {
    struct stat status;
    if (::fstat(fd_, &status) == 0) return Seek(status.st_size + offset);
    error_number = errno;
  }
  if (!HasError()) SetError(PosixError(error_number, Common::kErrSeekFailed, ZYK_HERE));
  return 0;
}

void posix_file::LockShared(uint64_t offset, uint64_t length, bool wait) {
  // A file opened normally holds the whole-file lock already.
  if (!no_lock_ || HasError()) return;
  if (Error error = DoLockFileHandle(fd_, true, false, wait, offset, length)) SetError(std::move(error));
}

void posix_file::LockExclusive(uint64_t offset, uint64_t length, bool wait) {
  if (!no_lock_ || HasError()) return;
  if (Error error = DoLockFileHandle(fd_, true, true, wait, offset, length)) SetError(std::move(error));
}

bool posix_file::PollLock(uint64_t offset, uint64_t length, bool exclusive) {
  if (!no_lock_ || HasError()) return true;
  struct flock request = MakeLockRequest(true, exclusive, offset, length);
  if (TrackedLockPoll(fd_, &request) == 0) return true;
  if (errno == EINPROGRESS) return false;
  SetError(PosixError(errno, Common::kErrLockFailed, ZYK_HERE));
  return true;
}

void posix_file::AbandonLock() {
  if (no_lock_) TrackedLockAbandon(fd_);
}

void posix_file::Unlock(uint64_t offset, uint64_t length) {
  if (!no_lock_ || HasError()) return;
  if (Error error = DoLockFileHandle(fd_, false, false, false, offset, length)) SetError(std::move(error));
}

void posix_file::IOCTL(void* record) {
  if (HasError() || record == nullptr) return;
  auto* request = static_cast<ControlRequest*>(record);
  if (request->code == kControlAllocationMap) {
    AllocationMap(*request);
  } else if (request->code == kControlDeallocate) {
    Deallocate(*request);
  } else if (request->code == kControlAppendMode) {
    SetAppendMode();
  } else {
    file_object::IOCTL(record);
  }
}

void posix_file::AllocationMap(ControlRequest& request) {
  request.result = nullptr;
  std::vector<uint64_t> bounds;  // start, end, start, end ...
  if (request.length >= 1) {
    const int64_t remembered = SeekCurrent(0);  // the hole queries move the position
    if (HasError()) return;
    int64_t position = request.offset < 0 ? 0 : request.offset;
    const int64_t end = position > kMaxOffset - request.length ? kMaxOffset : position + request.length;
    while (position < end) {
      off_t data = ::lseek(fd_, position, SEEK_DATA);
      if (data < 0) {
        if (errno == ENXIO) break;
        if (errno == EINVAL && bounds.empty())
          SetError(Error::File(Common::kErrNotSupported, ZYK_HERE));
        else
          SetError(PosixError(errno, Common::kErrSeekFailed, ZYK_HERE));
        break;
      }
      if (data >= end) break;
      off_t hole = ::lseek(fd_, data, SEEK_HOLE);
      if (hole < 0) {
        SetError(PosixError(errno, Common::kErrSeekFailed, ZYK_HERE));
        break;
      }
      bounds.push_back(static_cast<uint64_t>(data));
      if (hole >= end) {
        bounds.push_back(static_cast<uint64_t>(end));
        break;
      }
      bounds.push_back(static_cast<uint64_t>(hole));
      position = hole;
    }
    Seek(remembered);
    if (HasError()) return;
  }
  const size_t pairs = bounds.size() / 2;
  auto* list = static_cast<uint64_t*>(std::malloc((1 + 2 * pairs) * sizeof(uint64_t)));
  if (list == nullptr) {
    SetError(Error::File(Common::kErrNoMemory, ZYK_HERE));
    return;
  }
  list[0] = pairs;
  for (size_t i = 0; i < pairs; ++i) {
    list[1 + 2 * i] = bounds[2 * i];
    list[2 + 2 * i] = bounds[2 * i + 1] - bounds[2 * i];
  }
  request.result = list;
}

// Punching keeps the size, so nothing past the end of the file can change: the
// range is clipped to the file. This also lets "to the end" be asked with a
// huge length, which file systems refuse as an offset beyond their limit.
void posix_file::Deallocate(const ControlRequest& request) {
  struct stat status;
  if (::fstat(fd_, &status) != 0) {
    SetError(PosixError(errno, Common::kErrWriteFailed, ZYK_HERE));
    return;
  }
  int64_t start = request.offset < 0 ? 0 : request.offset;
  int64_t end = request.length > INT64_MAX - start ? INT64_MAX : start + request.length;
  if (end > status.st_size) end = status.st_size;
  if (end <= start) return;
  int result;
  do {
    result = ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, start, end - start);
  } while (result != 0 && errno == EINTR);
  if (result != 0) SetError(PosixError(errno, Common::kErrWriteFailed, ZYK_HERE));
}

void posix_file::SetAppendMode() {
  int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_APPEND) != 0)
    SetError(PosixError(errno, Common::kErrWriteFailed, ZYK_HERE));
}
