#pragma once
// posix_file: the file object of the local file system, a rio_file, a
// pread_file and a pwrite_file over one descriptor registered in the descriptor
// table. The file has no position of its own: the position is the descriptor's.
// One thread at a time uses a posix_file, except Pread and Pwrite, which may run
// from several threads. Failures are the mapped errno with the POSIX record as
// the inner error and no path tag. While an error is stored, every operation
// except the seeks (and so Rewind and GetSize), Pread, Pwrite and AbandonLock
// returns at once doing nothing.

#include <cstdint>

#include "core/include/file/file.h"

class posix_file : public rio_file, public pread_file, public pwrite_file {
 public:
  // Takes ownership of `fd`, a descriptor opened through TrackedOpen. With
  // `no_lock` set the file was opened without the whole-file lock and the range
  // lock operations act; otherwise they succeed doing nothing.
  posix_file(int fd, bool no_lock);
  ~posix_file() override;  // closes the descriptor through TrackedClose

  // The owned descriptor, valid while the file lives; do not close it.
  int Descriptor() const { return fd_; }

  // read(2) until `length` bytes or end of file, retrying EINTR; failure 0x40001.
  void Read(void* buffer, size_t length, size_t& done) override;
  // A full disk or the file-size limit ends the loop without an error; `done`
  // tells how much was written. Other failures: 0x40003.
  void Write(const void* buffer, size_t length, size_t& done) override;
  // fsync(2); failure 0x40003.
  void Flush() override;
  // ftruncate(2); the position stays. Failure 0x40003, also for a length
  // beyond the largest offset.
  void Truncate(uint64_t length) override;
  // lseek(2); SeekEnd falls back to fstat when lseek reports EBADF. They work
  // while an error is stored and store a failure (0x40005, returning 0) only
  // when none is, so the first cause stays visible.
  int64_t Seek(int64_t offset) override;
  int64_t SeekCurrent(int64_t offset) override;
  int64_t SeekEnd(int64_t offset) override;
  // Range locks through DoLockFileHandle with `no_lock`; without it the file
  // holds its whole-file lock already and these succeed doing nothing.
  void LockShared(uint64_t offset, uint64_t length, bool wait) override;
  void LockExclusive(uint64_t offset, uint64_t length, bool wait) override;
  void Unlock(uint64_t offset, uint64_t length) override;
  // Through TrackedLockPoll; settled at once without `no_lock`.
  bool PollLock(uint64_t offset, uint64_t length, bool exclusive) override;
  // Through TrackedLockAbandon with `no_lock`; nothing otherwise.
  void AbandonLock() override;
  // "ALCM" (allocation map), "SDAT" (punch a hole, keep the size), "SAMI"
  // (append mode); other codes are not supported (0x4000E). A null record
  // does nothing. "ALCM" keeps the position and fails with 0x4000E where the
  // file system cannot report holes; the others fail with 0x40003.
  void IOCTL(void* record) override;
  // pread(2) and pwrite(2) loops retrying EINTR, as the interfaces describe.
  Common::Error Pread(void* buffer, uint64_t offset, size_t length, size_t& done) override;
  Common::Error Pwrite(const void* buffer, uint64_t offset, size_t length, size_t& done) override;

 private:
  // The data ranges of [offset, offset + length) into a malloc'ed list stored
  // in `request.result` (null on failure).
  void AllocationMap(ControlRequest& request);
  // Punches a hole over the range clipped to the file's size; the size stays.
  void Deallocate(const ControlRequest& request);
  // Adds O_APPEND to the descriptor's status flags.
  void SetAppendMode();

  int fd_;        // registered in the descriptor table
  bool no_lock_;  // opened without the whole-file lock
};

// Locks (shared or exclusive) or unlocks [offset, offset + length) of `fd`
// through the descriptor table, waiting for a conflict to go away when `wait`
// is set; length 0 reaches to the end of every possible file. Failure: code
// 0x40017 (kept for EACCES and EPERM) with the POSIX record as inner error.
Common::Error DoLockFileHandle(int fd, bool lock, bool exclusive, bool wait, uint64_t offset, uint64_t length);
