#pragma once
// The file interfaces, split by capability: input (i_), output (o_), sized (s),
// random access (r) and both directions (rio_). Every failure is stored as the
// object's last error (file_object); on a file the last error is sticky: while
// it is set, the stateful operations return at once doing nothing.

#include <cstddef>
#include <cstdint>

#include "core/common/file_object.h"

class file_identifier {
 public:
  virtual ~file_identifier() = default;
  // A new identifier of the same entry; the caller owns it.
  virtual file_identifier* Clone() const = 0;
};

class i_file : public virtual file_object {
 public:
  // Reads up to `length` bytes from the current position, looping over short
  // reads; `done` receives the count (0 first). Stops early only at end of file.
  virtual void Read(void* buffer, size_t length, size_t& done) = 0;
  ~i_file() override = default;
};

class o_file : public virtual file_object {
 public:
  // Writes from the current position, looping over short writes.
  virtual void Write(const void* buffer, size_t length, size_t& done) = 0;
  // Makes written data durable. Default: nothing to do.
  virtual void Flush() {}
  ~o_file() override = default;
};

class sized_file : public virtual file_object {
 public:
  virtual void Rewind() = 0;
  virtual uint64_t GetSize() = 0;
  ~sized_file() override = default;
};

class raccess_file : public virtual sized_file {
 public:
  ~raccess_file() override = default;
  // Each returns the new position (0 on failure).
  virtual int64_t Seek(int64_t offset) = 0;
  virtual int64_t SeekCurrent(int64_t offset) = 0;
  virtual int64_t SeekEnd(int64_t offset) = 0;
  // Releases a range lock. Default: not supported.
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
  // Shared range lock (wait: block until granted). Default: not supported.
  virtual void LockShared(uint64_t offset, uint64_t length, bool wait);
};

class ro_file : public o_file, public virtual raccess_file {
 public:
  virtual void Truncate(uint64_t length) = 0;
  // Exclusive range lock. Default: not supported.
  virtual void LockExclusive(uint64_t offset, uint64_t length, bool wait);
};

class rio_file : public ri_file, public ro_file {};

class pread_file {
 public:
  virtual ~pread_file() = default;
  // Reads at `offset` without using or moving the position; stops early only at
  // end of file. Leaves the last error alone and returns its own.
  virtual Common::Error Pread(void* buffer, uint64_t offset, size_t length, size_t& done) = 0;
};

class pwrite_file {
 public:
  virtual ~pwrite_file() = default;
  // Writes at `offset` without using or moving the position, looping over short
  // writes; a full disk or the file-size limit ends it early without an error
  // (`done` tells how far it got). Leaves the last error alone and returns its own.
  virtual Common::Error Pwrite(const void* buffer, uint64_t offset, size_t length, size_t& done) = 0;
};
