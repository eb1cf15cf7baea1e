#pragma once
// posix_file: the file object of the local file system, a rio_file, a
// pread_file and a pwrite_file over one descriptor registered in the descriptor
// table. The file has no position of its own: the position is the descriptor's.
// One thread at a time uses a posix_file, except Pread and Pwrite, which may run
// from several threads.

#include <cstdint>

#include "core/include/file/file.h"

class posix_file : public rio_file, public pread_file, public pwrite_file {
 public:
  // Takes ownership of `fd`, a descriptor opened through TrackedOpen. With
  // `no_lock` set the file was opened without the whole-file lock and the range
  // lock operations act; otherwise they succeed doing nothing.
  posix_file(int fd, bool no_lock);
  ~posix_file() override;  // closes the descriptor through TrackedClose

  int Descriptor() const { return fd_; }

  void Read(void* buffer, size_t length, size_t& done) override;
  // A full disk or the file-size limit ends the loop without an error; `done`
  // tells how much was written.
  void Write(const void* buffer, size_t length, size_t& done) override;
  void Flush() override;
  void Truncate(uint64_t length) override;
  int64_t Seek(int64_t offset) override;
  int64_t SeekCurrent(int64_t offset) override;
  int64_t SeekEnd(int64_t offset) override;
  void LockShared(uint64_t offset, uint64_t length, bool wait) override;
  void LockExclusive(uint64_t offset, uint64_t length, bool wait) override;
  void Unlock(uint64_t offset, uint64_t length) override;
  // Through TrackedLockPoll; settled at once without `no_lock`.
  bool PollLock(uint64_t offset, uint64_t length, bool exclusive) override;
  void AbandonLock() override;
  // "ALCM" (allocation map), "SDAT" (punch a hole, keep the size), "SAMI"
  // (append mode); other codes are not supported.
  void IOCTL(void* record) override;
  Common::Error Pread(void* buffer, uint64_t offset, size_t length, size_t& done) override;
  Common::Error Pwrite(const void* buffer, uint64_t offset, size_t length, size_t& done) override;

 private:
  void AllocationMap(ControlRequest& request);
  void Deallocate(const ControlRequest& request);
  void SetAppendMode();

  int fd_;
  bool no_lock_;
};

// Locks (shared or exclusive) or unlocks [offset, offset + length) of `fd`
// through the descriptor table, waiting for a conflict to go away when `wait`
// is set; length 0 reaches to the end of every possible file. Failure: code
// 0x40017 (kept for EACCES and EPERM) with the POSIX record as inner error.
Common::Error DoLockFileHandle(int fd, bool lock, bool exclusive, bool wait, uint64_t offset,
                               uint64_t length);
