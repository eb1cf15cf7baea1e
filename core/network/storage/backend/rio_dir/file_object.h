#pragma once
// FileObject: what an open handle of a mount stands for. The object owns what
// was opened and the task queue that serialises the host's requests on it, and
// carries those requests out when their tasks run. The base answers every
// request with 0x4001F "Invalid usage."; ZykFile and ZykDirectory override what
// they serve. InvalidFileObject stands in for a handle that is not open.

#include <cstdint>
#include <memory>

#include "core/common/error.h"
#include "core/network/storage/backend/rio_dir/zyk_task.h"
#include "zykfs/zykfs.h"

namespace Network::Storage {
class TaskManager;
}

namespace Network::Storage::Backend {

class TaskQueue;

class FileObject {
 public:
  // Creates the object's queue on `manager` holding at most `limit` tasks.
  FileObject(std::weak_ptr<TaskManager> manager, uint64_t limit);
  FileObject(const FileObject&) = delete;
  FileObject& operator=(const FileObject&) = delete;
  virtual ~FileObject();

  // The handle: the object's own address. Unique among live objects.
  uint64_t GetHandle() const { return reinterpret_cast<uintptr_t>(this); }
  virtual bool IsDirectory() const { return false; }
  // Appends `task` to the object's queue; 0x2850006 when the queue is full,
  // 0x4001F when the object has no queue.
  virtual Common::Error PushTask(ZykTask task);
  // Ends a lock request that waits for a lock held elsewhere when it is the
  // only request queued: the request is withdrawn and answered with 0x4000F,
  // and true is returned. False, changing nothing, otherwise. Any thread.
  bool CancelWaitingLock();

  // The requests. They run on the object's queue, one at a time, so they need
  // no lock of their own. Out-parameters are written before they return.
  virtual Common::Error Read(void* buffer, uint64_t size, uint64_t offset, uint64_t* done);
  virtual Common::Error Append(const void* buffer, uint64_t size, uint8_t flag, zykfs_append_status_t* status);
  virtual Common::Error Pad(uint64_t* value);
  virtual Common::Error Sync();
  virtual Common::Error Size(uint64_t* size);
  virtual Common::Error Write(const void* buffer, uint64_t size, uint64_t offset, uint64_t* done);
  virtual Common::Error Truncate(uint64_t size);
  virtual Common::Error Lock(uint32_t mode);
  virtual Common::Error Sparse(const uint64_t* values, uint64_t count);
  virtual Common::Error ReadDir(zykfs_readdir_status_t* status);
  virtual Common::Error GetAllocInfo(zykfs_alloc_status_t* status);

 protected:
  // Withdraws the lock request that Lock left waiting; returns the answer for
  // it. Runs in the waiting request's place on the queue.
  virtual Common::Error WithdrawLock();

  // An object without a queue.
  FileObject();

 private:
  std::shared_ptr<TaskQueue> queue_;
};

// Stands in for a handle that is not in the handle table: every push fails with
// the stored error, so the request never runs.
class InvalidFileObject : public FileObject {
 public:
  explicit InvalidFileObject(Common::Error error);
  ~InvalidFileObject() override;
  Common::Error PushTask(ZykTask task) override;

 private:
  const Common::Error error_;
};

}  // namespace Network::Storage::Backend
