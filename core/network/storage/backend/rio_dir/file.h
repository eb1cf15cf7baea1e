#pragma once
// ZykFile: the file object of an open regular file. It owns the opened file and
// checks every request against the access bits it was opened with: reads need
// access 1 or 2 (else 0x2850007), output needs access 2 or 3 (else 0x4000C).
// After each call into the file its last error is taken out and returned, so a
// failure never leaks into the next request.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/include/file/dir.h"
#include "core/include/file/file.h"
#include "core/network/storage/backend/rio_dir/file_object.h"
#include "zykfs/zykfs.h"

namespace Network::Storage::Backend {

// Open flags kept by a ZykFile: the host's, as the public header states them.
inline constexpr uint32_t kOpenAccessMask = ZYKFS_OPEN_ACCESS_MASK;
inline constexpr uint32_t kOpenRead = ZYKFS_OPEN_READ;
inline constexpr uint32_t kOpenReadWrite = ZYKFS_OPEN_READ_WRITE;
inline constexpr uint32_t kOpenWrite = ZYKFS_OPEN_WRITE;
inline constexpr uint32_t kOpenCreate = ZYKFS_OPEN_CREATE;
inline constexpr uint32_t kOpenTruncate = ZYKFS_OPEN_TRUNCATE;
inline constexpr uint32_t kOpenExclusive = ZYKFS_OPEN_EXCLUSIVE;
inline constexpr uint32_t kOpenAppendMode = ZYKFS_OPEN_APPEND;
inline constexpr uint32_t kOpenNoLock = ZYKFS_OPEN_NO_LOCK;

// Appended data is flushed once more than this much has not been flushed.
inline constexpr uint64_t kAppendFlushThreshold = 0x7FFFFF;

// The "WPAD" control record; the file stores the padding in *output.
struct PadRequest {
  uint64_t code;
  uint64_t alignment;
  uint64_t reserved;
  uint32_t mode;
  uint32_t flags;
  uint64_t* output;
};

// The "ALCI" control record: the file fills unit, entry_size and values (one
// value per entry_size bytes from position) and may update position.
struct AllocationInfoRequest {
  uint64_t code;
  uint64_t position;
  uint64_t unit;
  uint64_t entry_size;
  std::vector<uint64_t> values;
  zykfs_alloc_status_t* output;
};

class ZykFile : public FileObject {
 public:
  // Takes the opened file; `flags` are the open flags. The flushed size starts
  // at the file's size (writable handles; only they append).
  ZykFile(std::unique_ptr<rio_file> file, uint32_t flags, std::weak_ptr<TaskManager> manager);
  ~ZykFile() override;

  uint32_t Flags() const { return flags_; }
  // The file's name is new in `directory`: the first successful Sync (and so the
  // close) also syncs that directory, so the name survives a power loss. Call
  // before the handle is published.
  void SyncDirectoryOnFirstSync(std::unique_ptr<rio_dir> directory) { new_name_directory_ = std::move(directory); }

  // Seek(offset), then Read; a short count without error means end of file.
  Common::Error Read(void* buffer, uint64_t size, uint64_t offset, uint64_t* done) override;
  // Writes at the end (zero bytes when `buffer` is null); reports the count and
  // the flushed size; flushes once more than 8 MiB - 1 is unflushed. A short
  // write fails with 0x40004 and still reports the count.
  Common::Error Append(const void* buffer, uint64_t size, uint8_t flag, zykfs_append_status_t* status) override;
  Common::Error Pad(uint64_t* value) override;
  // Flush (nothing for a read-only handle), then the directory of a new name once.
  Common::Error Sync() override;
  Common::Error Size(uint64_t* size) override;
  Common::Error Write(const void* buffer, uint64_t size, uint64_t offset, uint64_t* done) override;
  Common::Error Truncate(uint64_t size) override;
  // 0 unlock, 1 shared (readable), 2 exclusive (writable); byte 0 only. A lock
  // held elsewhere is waited for without blocking: Lock returns RetryLater and
  // is run again by the queue until the request is granted or fails.
  Common::Error Lock(uint32_t mode) override;
  // Deallocates each (start, end) pair of `values`, keeping the size. Odd counts
  // and empty pairs fail with 0x4001F before anything is deallocated; a
  // read-only handle fails with 0x4000C.
  Common::Error Sparse(const uint64_t* values, uint64_t count) override;
  Common::Error GetAllocInfo(zykfs_alloc_status_t* status) override;

 protected:
  Common::Error WithdrawLock() override;

 private:
  // The readable view (access 1 or 2), else null with 0x2850007 in `error`.
  ri_file* GetRIFile(Common::Error& error);
  // The writable view (access 2 or 3), else null with 0x4000C in `error`.
  ro_file* GetROFile(Common::Error& error);

  // Reads the whole request at `offset` without a seek; false when the file
  // offers no positional read or it came back short or failed, in which case
  // the caller reads through seek and read, which report such cases.
  bool ReadAt(void* buffer, uint64_t size, uint64_t offset, uint64_t* done);
  // As ReadAt, for writes; never for a handle in append mode, where a
  // positional write would land at the end and could not be repeated safely.
  bool WriteAt(const void* buffer, uint64_t size, uint64_t offset, uint64_t* done);

  // The views of the file the access bits allow, kept from the open: a cast
  // through the virtual bases later costs more than the rest of a small request.
  ri_file* const readable_;
  ro_file* const writable_;
  std::unique_ptr<raccess_file> file_;
  const uint32_t flags_;
  // The file's positional read and write, looked up at first use; null when it
  // has none. Used only by the queue's one running task, as is flushed_size_.
  pread_file* positional_ = nullptr;
  bool positional_known_ = false;
  pwrite_file* positional_writer_ = nullptr;
  bool positional_writer_known_ = false;
  uint64_t flushed_size_;
  std::unique_ptr<rio_dir> new_name_directory_;  // null once synced; as flushed_size_
};

}  // namespace Network::Storage::Backend
