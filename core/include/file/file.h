#pragma once
// The file interfaces, split by capability: input (i_), output (o_), sized (s),
// random access (r) and both directions (rio_). Every failure is stored as the
// object's last error (file_object); on a file the last error is sticky: while
// it is set, the stateful operations return at once doing nothing. The codes
// named below are the defaults; the POSIX file maps errno onto them.
// Threads: one thread at a time uses a file, except Pread and Pwrite.

#include <cstddef>
#include <cstdint>

#include "core/common/file_object.h"

class file_identifier {
 public:
  virtual ~file_identifier() = default;
  // A new identifier of the same entry; the caller owns it. Cannot fail.
  // Identifiers are compared only through their directory (CompareIdentifiers).
  virtual file_identifier* Clone() const = 0;
};

class i_file : public virtual file_object {
 public:
  // Reads up to `length` bytes from the current position, looping over short
  // reads; `done` receives the count (0 first). Stops early only at end of file,
  // which is no error. Failure: 0x40001, `done` counting the bytes read before it.
  virtual void Read(void* buffer, size_t length, size_t& done) = 0;
  ~i_file() override = default;
};

class o_file : public virtual file_object {
 public:
  // Writes from the current position, looping over short writes; `done`
  // receives the count (0 first). Failure: 0x40003, `done` counting the bytes
  // written before it.
  virtual void Write(const void* buffer, size_t length, size_t& done) = 0;
  // Makes written data durable: it survives a power loss once this returns
  // without error (failure: 0x40003). Default: nothing to do.
  virtual void Flush() {}
  ~o_file() override = default;
};

class sized_file : public virtual file_object {
 public:
  // Back to the start.
  virtual void Rewind() = 0;
  // The size in bytes; 0 on failure.
  virtual uint64_t GetSize() = 0;
  ~sized_file() override = default;
};

class raccess_file : public virtual sized_file {
 public:
  ~raccess_file() override = default;
  // Move the position to `offset` from the start, from the position, or from
  // the end; each returns the new position (0 on failure, 0x40005).
  virtual int64_t Seek(int64_t offset) = 0;
  virtual int64_t SeekCurrent(int64_t offset) = 0;
  virtual int64_t SeekEnd(int64_t offset) = 0;
  // Releases [offset, offset + length) locked by this file (length 0: to the
  // end of every possible file). Default: not supported (0x4000E).
  virtual void Unlock(uint64_t offset, uint64_t length);
  // A waiting range lock (exclusive or shared) that never blocks: the first
  // call places the request, each later call with the same arguments reports on
  // it. True once it is settled (granted, or failed with the last error set);
  // false while it still waits, keeping its place among the waiting requests.
  // Default: settled at once, not supported.
  virtual bool PollLock(uint64_t offset, uint64_t length, bool exclusive);
  // Withdraws the request PollLock left waiting; a grant that PollLock has not
  // yet reported is undone. Default: nothing to withdraw.
  virtual void AbandonLock() {}
  // Seek(0).
  void Rewind() override;
  // The size by seeking to the end and back; the position is kept.
  uint64_t GetSize() override;
};

class si_file : public i_file, public virtual sized_file {};

class ri_file : public si_file, public virtual raccess_file {
 public:
  // Locks [offset, offset + length) shared (length 0: to the end of every
  // possible file). With `wait` it blocks until granted; without, a conflict
  // fails at once (0x40017). Default: not supported (0x4000E).
  virtual void LockShared(uint64_t offset, uint64_t length, bool wait);
};

class ro_file : public o_file, public virtual raccess_file {
 public:
  // Sets the size to `length`, cutting or extending with zeros; the position
  // stays. Failure: 0x40003.
  virtual void Truncate(uint64_t length) = 0;
  // As LockShared, exclusive. Default: not supported (0x4000E).
  virtual void LockExclusive(uint64_t offset, uint64_t length, bool wait);
};

class rio_file : public ri_file, public ro_file {};

class pread_file {
 public:
  virtual ~pread_file() = default;
  // Reads at `offset` without using or moving the position; stops early only at
  // end of file. Leaves the last error alone and returns its own (0x40001).
  // Thread-safe: calls may run at once, beside the file's other operations.
  virtual Common::Error Pread(void* buffer, uint64_t offset, size_t length, size_t& done) = 0;
};

class pwrite_file {
 public:
  virtual ~pwrite_file() = default;
  // Writes at `offset` without using or moving the position, looping over short
  // writes; a full disk or the file-size limit ends it early without an error
  // (`done` tells how far it got). Leaves the last error alone and returns its own
  // (0x40003). Thread-safe as Pread.
  virtual Common::Error Pwrite(const void* buffer, uint64_t offset, size_t length, size_t& done) = 0;
};
