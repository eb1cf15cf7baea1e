#include "core/network/storage/backend/rio_dir/file_object.h"

#include <utility>

#include "core/network/storage/backend/rio_dir/task_queue.h"

namespace Network::Storage::Backend {

namespace {

Common::Error InvalidUsage(const char* function) {
  return Common::Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS(function));
}

}  // namespace

FileObject::FileObject(std::weak_ptr<TaskManager> manager, uint64_t limit)
    : queue_(TaskQueue::Create(std::move(manager), limit)) {}

FileObject::FileObject() = default;

FileObject::~FileObject() = default;

Common::Error FileObject::PushTask(ZykTask task) {
  if (!queue_) return InvalidUsage("PushTask");
  return queue_->Push(std::move(task));
}

bool FileObject::CancelWaitingLock() {
  return queue_ && queue_->CancelWaitingTask([this] { return WithdrawLock(); });
}

Common::Error FileObject::WithdrawLock() { return Common::Error::File(Common::kErrCanceled, ZYK_HERE); }

Common::Error FileObject::Read(void*, uint64_t, uint64_t, uint64_t*) { return InvalidUsage("Read"); }
Common::Error FileObject::Append(const void*, uint64_t, uint8_t, zykfs_append_status_t*) {
  return InvalidUsage("Append");
}
Common::Error FileObject::Pad(uint64_t*) { return InvalidUsage("Pad"); }
Common::Error FileObject::Sync() { return InvalidUsage("Sync"); }
Common::Error FileObject::Size(uint64_t*) { return InvalidUsage("Size"); }
Common::Error FileObject::Write(const void*, uint64_t, uint64_t, uint64_t*) { return InvalidUsage("Write"); }
Common::Error FileObject::Truncate(uint64_t) { return InvalidUsage("Truncate"); }
Common::Error FileObject::Lock(uint32_t) { return InvalidUsage("Lock"); }
Common::Error FileObject::Sparse(const uint64_t*, uint64_t) { return InvalidUsage("Sparse"); }
Common::Error FileObject::ReadDir(zykfs_readdir_status_t*) { return InvalidUsage("ReadDir"); }
Common::Error FileObject::GetAllocInfo(zykfs_alloc_status_t*) { return InvalidUsage("GetAllocInfo"); }

InvalidFileObject::InvalidFileObject(Common::Error error) : error_(std::move(error)) {}

InvalidFileObject::~InvalidFileObject() = default;

Common::Error InvalidFileObject::PushTask(ZykTask) { return error_; }

}  // namespace Network::Storage::Backend
