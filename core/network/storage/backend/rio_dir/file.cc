#include "core/network/storage/backend/rio_dir/file.h"

#include <algorithm>
#include <utility>

#include "core/network/storage/backend/rio_dir/result_codes.h"
#include "core/network/storage/backend/rio_dir/task_queue.h"

namespace Network::Storage::Backend {

namespace {

inline constexpr uint64_t kLargestOffset = 0x7FFFFFFFFFFFFFFF;

Common::Error InvalidUsage(const char* function) {
  return Common::Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS(function));
}

ri_file* ReadableView(rio_file* file, uint32_t flags) {
  uint32_t access = flags & kOpenAccessMask;
  return access == kOpenRead || access == kOpenReadWrite ? file : nullptr;
}

ro_file* WritableView(rio_file* file, uint32_t flags) {
  uint32_t access = flags & kOpenAccessMask;
  return access == kOpenReadWrite || access == kOpenWrite ? file : nullptr;
}

}  // namespace

ZykFile::ZykFile(std::unique_ptr<rio_file> file, uint32_t flags, std::weak_ptr<TaskManager> manager)
    : FileObject(std::move(manager), UINT64_MAX),
      readable_(ReadableView(file.get(), flags)),
      writable_(WritableView(file.get(), flags)),
      file_(file.release()),
      flags_(flags) {
  // Only Append reports the flushed size, and only a writable handle appends:
  // a read-only open skips the two seeks that measure the file.
  flushed_size_ = writable_ != nullptr ? file_->GetSize() : 0;
  file_->ClearError();
}

ZykFile::~ZykFile() = default;

ri_file* ZykFile::GetRIFile(Common::Error& error) {
  if (readable_ == nullptr) error = Common::Error(kErrNotReadable, ZYK_HERE_AS("GetRIFile"));
  return readable_;
}

ro_file* ZykFile::GetROFile(Common::Error& error) {
  if (writable_ == nullptr) error = Common::Error::File(Common::kErrReadOnly, ZYK_HERE_AS("GetROFile"));
  return writable_;
}

bool ZykFile::ReadAt(void* buffer, uint64_t size, uint64_t offset, uint64_t* done) {
  if (!positional_known_) {
    positional_ = dynamic_cast<pread_file*>(file_.get());
    positional_known_ = true;
  }
  if (positional_ == nullptr || offset > kLargestOffset || readable_->HasError()) return false;
  size_t count = 0;
  if (positional_->Pread(buffer, offset, size, count) || count != size) return false;
  *done = count;
  return true;
}

bool ZykFile::WriteAt(const void* buffer, uint64_t size, uint64_t offset, uint64_t* done) {
  if (!positional_writer_known_) {
    positional_writer_ = (flags_ & kOpenAppendMode) == 0 ? dynamic_cast<pwrite_file*>(file_.get()) : nullptr;
    positional_writer_known_ = true;
  }
  if (positional_writer_ == nullptr || offset > kLargestOffset || writable_->HasError()) return false;
  size_t count = 0;
  if (positional_writer_->Pwrite(buffer, offset, size, count) || count != size) return false;
  *done = count;
  return true;
}

Common::Error ZykFile::Read(void* buffer, uint64_t size, uint64_t offset, uint64_t* done) {
  Common::Error error;
  ri_file* file = GetRIFile(error);
  if (file == nullptr) return error;
  if (done == nullptr || (buffer == nullptr && size != 0)) return InvalidUsage("Read");
  *done = 0;
  if (ReadAt(buffer, size, offset, done)) return {};
  // A wrapper hands on only the last call's error: a failed seek must end the
  // request here, or the read would happen at the previous position.
  file->Seek(static_cast<int64_t>(offset));
  if (file->HasError()) return file->TakeError();
  size_t count = 0;
  file->Read(buffer, size, count);
  *done = count;
  return file->TakeError();
}

Common::Error ZykFile::Write(const void* buffer, uint64_t size, uint64_t offset, uint64_t* done) {
  Common::Error error;
  ro_file* file = GetROFile(error);
  if (file == nullptr) return error;
  if (done == nullptr || (buffer == nullptr && size != 0)) return InvalidUsage("Write");
  *done = 0;
  // A short or failed positional write is written again the usual way, which
  // reports it: the same bytes at the same place.
  if (WriteAt(buffer, size, offset, done)) return {};
  file->Seek(static_cast<int64_t>(offset));  // a failed seek ends the request, as for Read
  if (file->HasError()) return file->TakeError();
  size_t count = 0;
  file->Write(buffer, size, count);
  *done = count;
  if (file->HasError()) return file->TakeError();
  // A file writes less than asked only when no more fits (a full disk, the
  // file size limit): report that along with the count, as Append does.
  if (count != size) return Common::Error::File(Common::kErrDiskFull, ZYK_HERE_AS("Write"));
  return {};
}

Common::Error ZykFile::Append(const void* buffer, uint64_t size, uint8_t, zykfs_append_status_t* status) {
  Common::Error error;
  ro_file* file = GetROFile(error);
  if (file == nullptr) return error;
  if (status == nullptr) return InvalidUsage("Append");
  uint64_t position = static_cast<uint64_t>(file->SeekEnd(0));
  uint64_t written = 0;
  if (buffer != nullptr) {
    size_t count = 0;
    file->Write(buffer, size, count);
    written = count;
  } else if (size <= kLargestOffset - position) {
    file->Truncate(position + size);
    written = file->HasError() ? 0 : size;
  }
  // Growth whose end would pass the largest offset (or wrap around and cut the
  // file short) is not tried: nothing fits, so it reports a full file below.
  status->appended = written;
  status->flushed_size = flushed_size_;
  if (file->HasError()) return file->TakeError();
  if (written != size) return Common::Error::File(Common::kErrDiskFull, ZYK_HERE_AS("Append"));
  if (file->GetSize() - flushed_size_ > kAppendFlushThreshold) {
    file->Flush();
    flushed_size_ = file->GetSize();
    status->flushed_size = flushed_size_;
  }
  return file->TakeError();
}

Common::Error ZykFile::Pad(uint64_t* value) {
  if (value == nullptr) return InvalidUsage("Pad");
  *value = 0;
  PadRequest request{kControlPad, 8, 0, 1, 0, value};
  file_->IOCTL(&request);
  return file_->TakeError();
}

Common::Error ZykFile::Sync() {
  if ((flags_ & kOpenAccessMask) != kOpenRead) {
    Common::Error error;
    ro_file* file = GetROFile(error);
    if (file == nullptr) return error;
    file->Flush();
    if (Common::Error flushed = file->TakeError()) return flushed;
  }
  if (new_name_directory_) {
    new_name_directory_->Flush();
    if (Common::Error synced = new_name_directory_->TakeError()) return synced;
    new_name_directory_.reset();
  }
  return {};
}

Common::Error ZykFile::Size(uint64_t* size) {
  if (size == nullptr) return InvalidUsage("Size");
  *size = file_->GetSize();
  return file_->TakeError();
}

Common::Error ZykFile::Truncate(uint64_t size) {
  Common::Error error;
  ro_file* file = GetROFile(error);
  if (file == nullptr) return error;
  file->Truncate(size);
  return file->TakeError();
}

Common::Error ZykFile::Lock(uint32_t mode) {
  Common::Error error;
  switch (mode) {
    case ZYKFS_LOCK_NONE: file_->Unlock(0, 1); return file_->TakeError();
    case ZYKFS_LOCK_SHARED: {
      ri_file* file = GetRIFile(error);
      if (file == nullptr) return error;
      if (!file->PollLock(0, 1, false)) return RetryLater();
      return file->TakeError();
    }
    case ZYKFS_LOCK_EXCLUSIVE: {
      ro_file* file = GetROFile(error);
      if (file == nullptr) return error;
      if (!file->PollLock(0, 1, true)) return RetryLater();
      return file->TakeError();
    }
    default: return InvalidUsage("Lock");
  }
}

Common::Error ZykFile::WithdrawLock() {
  file_->AbandonLock();
  file_->ClearError();
  return FileObject::WithdrawLock();
}

Common::Error ZykFile::Sparse(const uint64_t* values, uint64_t count) {
  if (count % 2 != 0 || (values == nullptr && count != 0)) return InvalidUsage("Sparse");
  for (uint64_t i = 0; i < count; i += 2) {
    if (std::min(values[i + 1], kLargestOffset) <= values[i]) return InvalidUsage("Sparse");
  }
  if (count == 0) return {};
  // Deallocating is output: a handle opened for reading must not change the
  // file (a container archive opened for reading has no way to write at all).
  Common::Error error;
  ro_file* file = GetROFile(error);
  if (file == nullptr) return error;
  for (uint64_t i = 0; i < count; i += 2) {
    ControlRequest request{kControlDeallocate, static_cast<int64_t>(values[i]),
                           static_cast<int64_t>(std::min(values[i + 1], kLargestOffset) - values[i]), nullptr};
    file->IOCTL(&request);
    if (file->HasError()) return file->TakeError();
  }
  return {};
}

Common::Error ZykFile::GetAllocInfo(zykfs_alloc_status_t* status) {
  if (status == nullptr) return InvalidUsage("GetAllocInfo");
  AllocationInfoRequest request{kControlAllocationInfo, status->position, 0, 0, {}, status};
  file_->IOCTL(&request);
  if (file_->HasError()) return file_->TakeError();
  if (status->entries == nullptr && status->count != 0) return InvalidUsage("GetAllocInfo");
  uint64_t unit = request.unit;
  uint64_t entry_size = request.entry_size;
  std::vector<uint64_t> values = std::move(request.values);
  // Entries finer than 16 allocation units are merged into coarser ones.
  if (entry_size != 0 && 16 * unit > entry_size) {
    uint64_t coarse = (16 * unit + entry_size - 1) / entry_size * entry_size;
    uint64_t group = coarse / entry_size;
    std::vector<uint64_t> merged;
    merged.reserve((values.size() + group - 1) / group);
    for (size_t i = 0; i < values.size(); i += group) {
      uint64_t sum = 0;
      for (size_t j = i; j < values.size() && j < i + group; ++j) sum += values[j];
      merged.push_back(sum);
    }
    values = std::move(merged);
    entry_size = coarse;
  }
  status->unit = unit;
  status->entry_bytes = entry_size;
  status->position = request.position;
  status->count = std::min<uint64_t>(status->count, values.size());
  std::copy_n(values.begin(), status->count, status->entries);
  return {};
}

}  // namespace Network::Storage::Backend
