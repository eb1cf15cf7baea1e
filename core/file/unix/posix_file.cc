#include "core/file/unix/posix_file.h"

#include "core/file/unix/descriptor_table.h"

posix_file::posix_file(int fd, bool no_lock) : fd_(fd), no_lock_(no_lock) {}
posix_file::~posix_file() { TrackedClose(fd_); }
void posix_file::Read(void*, size_t, size_t& done) { done = 0; }
void posix_file::Write(const void*, size_t, size_t& done) { done = 0; }
void posix_file::Flush() {}
void posix_file::Truncate(uint64_t) {}
int64_t posix_file::Seek(int64_t) { return 0; }
int64_t posix_file::SeekCurrent(int64_t) { return 0; }
int64_t posix_file::SeekEnd(int64_t) { return 0; }
void posix_file::LockShared(uint64_t, uint64_t, bool) {}
void posix_file::LockExclusive(uint64_t, uint64_t, bool) {}
void posix_file::Unlock(uint64_t, uint64_t) {}
void posix_file::IOCTL(void*) {}
Common::Error posix_file::Pread(void*, uint64_t, size_t, size_t& done) {
  done = 0;
  return {};
}
Common::Error DoLockFileHandle(int, bool, bool, bool, uint64_t, uint64_t) { return {}; }
