// The logical stream of a container archive: reading, writing through the
// write cache, block allocation and copy-on-write remapping, truncation,
// deallocation, the allocation list and flushing. Volume and header handling is
// in container_archive.cc.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "core/backup/container_archive.h"

namespace backupmedia {

namespace {

int64_t SaturatedEnd(int64_t offset, int64_t length) {
  if (length > 0 && offset > std::numeric_limits<int64_t>::max() - length) return std::numeric_limits<int64_t>::max();
  if (length < 0 && offset < std::numeric_limits<int64_t>::min() - length) return std::numeric_limits<int64_t>::min();
  return offset + length;
}

}  // namespace

bool ContainerArchive::Refuse(bool output) {
  if (failure_) {
    // The error may have been taken by the caller; the archive still refuses.
    if (!HasError()) SetError(failure_);
    return true;
  }
  if (HasError()) return true;
  if (output && read_only_) {
    SetError(Common::Error::File(Common::kErrReadOnly, ZYK_HERE));
    return true;
  }
  return false;
}

template <typename Work>
void ContainerArchive::Guard(Effect effect, Work&& work) {
  Common::Error error;
  try {
    work();
    return;
  } catch (Common::Error& thrown) {
    error = std::move(thrown);
  } catch (RetriableError& failure) {
    error = std::move(failure.error);
  } catch (const std::bad_alloc&) {
    error = Common::Error::File(Common::kErrNoMemory, ZYK_HERE);
  }
  // A failed change can leave the cache and the trees partly written, so
  // nothing more is done with this object; the disk keeps the last header
  // written. A failed read or listing changed nothing and stops nothing.
  if (effect == Effect::kChanges && !failure_) failure_ = error;
  SetError(std::move(error));
}

void ContainerArchive::CheckBlocks(uint64_t start, uint64_t count) {
  // Every block the current state references lies below the high-water mark;
  // a reference beyond it is damage, never a reason to open unknown volumes.
  if (start < kFirstDataBlock || start >= high_water_ || count > high_water_ - start)
    throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("ReliableRead"));
}

// ---------------------------------------------------------------------------
// BlockStore for the trees

void ContainerArchive::ReadBlock(uint64_t block, void* buffer) {
  CheckBlocks(block, 1);
  try {
    ReliableRead(buffer, block * block_size_, block_size_);
  } catch (RetriableError& failure) {
    throw failure.error;
  }
}

void ContainerArchive::WriteBlock(uint64_t block, const void* buffer) {
  WriteBlocks(static_cast<const uint8_t*>(buffer), block, 1);
}

uint64_t ContainerArchive::AllocateBlock() {
  uint64_t got = 0;
  return Allocate(1, got);
}

void ContainerArchive::FreeBlock(uint64_t block) { MarkFree(block, 1); }

void ContainerArchive::MarkFree(uint64_t start, uint64_t count) {
  working_map_->Modify(start, 0, count);
  if (return_freed_space_ != FreedSpace::kKeep) freed_since_map_commit_.Add(start, start + count);
}

// ---------------------------------------------------------------------------
// Allocation

uint64_t ContainerArchive::Allocate(uint64_t count, uint64_t& got) {
  // Only blocks free in the committed map are taken, so nothing the last
  // committed state references is overwritten. Between allocation-map commits
  // the cursor only moves forward, so blocks taken since are not handed out twice.
  uint64_t position = cursor_;
  for (;;) {
    if (position >= kExtentLimit - 1) throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("Allocate"));
    uint64_t length = kExtentLimit - 1 - position;
    if (committed_map_->Find(position, length) != 0) {
      position += length;
      continue;
    }
    got = std::min(count, length);
    working_map_->Modify(position, position, got);
    cursor_ = position + got;
    high_water_ = std::max(high_water_, cursor_);
    return position;
  }
}

void ContainerArchive::Remap(uint64_t logical, uint64_t physical, uint64_t count) {
  uint64_t key = logical;
  uint64_t end = logical + count;
  while (key < end) {
    uint64_t length = end - key;
    uint64_t value = data_map_->Find(key, length);
    if (value != 0) MarkFree(value, length);
    key += length;
  }
  data_map_->Modify(logical, physical, count);
}

// ---------------------------------------------------------------------------
// Write cache

void ContainerArchive::FlushCache() {
  while (window_first_ < window_end_) {
    uint64_t got = 0;
    uint64_t physical = Allocate(window_end_ - window_first_, got);
    Remap(window_first_, physical, got);
    uint64_t first_part = std::min(got, ring_blocks_ - SlotIndex(window_first_));
    WriteBlocks(Slot(window_first_), physical, first_part);
    if (got > first_part) WriteBlocks(ring_.get(), physical + first_part, got - first_part);
    window_first_ += got;
    written_blocks_ += got;
  }
}

void ContainerArchive::WriteOldestPart() {
  // From the oldest block to the end of the ring, so the freed slots continue
  // the window without wrapping.
  uint64_t end = window_first_ + (ring_blocks_ - SlotIndex(window_first_));
  while (window_first_ < end) {
    uint64_t got = 0;
    uint64_t physical = Allocate(end - window_first_, got);
    Remap(window_first_, physical, got);
    WriteBlocks(Slot(window_first_), physical, got);
    window_first_ += got;
    written_blocks_ += got;
  }
  AutoCommitIfDue();
}

void ContainerArchive::FetchBlock(uint64_t logical, uint8_t* slot) {
  uint64_t length = 1;
  uint64_t physical = data_map_->Find(logical, length);
  if (physical == 0) {
    std::memset(slot, 0, block_size_);
    return;
  }
  CheckBlocks(physical, 1);
  ReliableRead(slot, physical * block_size_, block_size_);
}

void ContainerArchive::AutoCommitIfDue() {
  if (auto_commit_blocks_ != 0 && written_blocks_ > auto_commit_blocks_) FullFlush();
}

void ContainerArchive::FullFlush() {
  FlushCache();
  data_map_->Flush();
  working_map_->Flush();
  Commit();
  written_blocks_ = 0;
}

// ---------------------------------------------------------------------------
// Stream operations

void ContainerArchive::Read(void* buffer, size_t length, size_t& done) {
  done = 0;
  if (Refuse(false)) return;
  if (length == 0 || position_ < 0 || position_ >= logical_size_) return;
  uint64_t remaining = std::min<uint64_t>(length, static_cast<uint64_t>(logical_size_ - position_));
  uint8_t* out = static_cast<uint8_t*>(buffer);
  const uint64_t block_size = block_size_;
  Guard(Effect::kReadsOnly, [&] {
    while (remaining > 0) {
      uint64_t position = static_cast<uint64_t>(position_);
      uint64_t logical = position / block_size;
      uint64_t offset = position % block_size;
      uint64_t run;
      if (InWindow(logical)) {
        uint64_t blocks = std::min(window_end_ - logical, ring_blocks_ - SlotIndex(logical));
        run = std::min(remaining, blocks * block_size - offset);
        std::memcpy(out, Slot(logical) + offset, run);
      } else {
        uint64_t blocks = (offset + remaining + block_size - 1) / block_size;
        if (window_first_ < window_end_ && logical < window_first_) blocks = std::min(blocks, window_first_ - logical);
        uint64_t physical = data_map_->Find(logical, blocks);
        run = std::min(remaining, blocks * block_size - offset);
        if (physical == 0) {
          std::memset(out, 0, run);
        } else {
          CheckBlocks(physical, (offset + run + block_size - 1) / block_size);
          ReliableRead(out, physical * block_size + offset, run);
        }
      }
      out += run;
      position_ += static_cast<int64_t>(run);
      done += run;
      remaining -= run;
    }
  });
}

void ContainerArchive::Write(const void* buffer, size_t length, size_t& done) {
  done = 0;
  if (Refuse(true)) return;
  if (length == 0 || position_ < 0) return;
  const uint64_t block_size = block_size_;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  uint64_t remaining =
      std::min<uint64_t>(length, static_cast<uint64_t>(std::numeric_limits<int64_t>::max() - position_));
  if (remaining == 0) {
    // At the largest position nothing more fits: say so rather than report success.
    SetError(Common::Error::File(Common::kErrDiskFull, ZYK_HERE));
    return;
  }
  Guard(Effect::kChanges, [&] {
    if (position_ > logical_size_) DoTruncate(position_);
    uint64_t logical = static_cast<uint64_t>(position_) / block_size;
    if (logical < window_first_ || logical > window_end_) {
      FlushCache();
      AutoCommitIfDue();
      RestartWindow(logical);
    }
    while (remaining > 0) {
      uint64_t position = static_cast<uint64_t>(position_);
      logical = position / block_size;
      uint64_t offset = position % block_size;
      uint64_t run;
      if (InWindow(logical)) {
        uint64_t blocks = std::min(window_end_ - logical, ring_blocks_ - SlotIndex(logical));
        run = std::min(remaining, blocks * block_size - offset);
      } else {
        // logical == window_end_: extend the window.
        if (window_end_ - window_first_ == ring_blocks_) WriteOldestPart();
        if (offset != 0) {
          FetchBlock(logical, Slot(logical));
          window_end_ = logical + 1;
          run = std::min(remaining, block_size - offset);
        } else if (remaining < block_size) {
          // A partial block that reaches the end of the stream needs no old contents.
          if (position + remaining >= static_cast<uint64_t>(logical_size_))
            std::memset(Slot(logical), 0, block_size);
          else
            FetchBlock(logical, Slot(logical));
          window_end_ = logical + 1;
          run = remaining;
        } else {
          uint64_t blocks = std::min({remaining / block_size, ring_blocks_ - SlotIndex(logical),
                                      ring_blocks_ - (window_end_ - window_first_)});
          window_end_ += blocks;
          run = blocks * block_size;
        }
      }
      std::memcpy(Slot(logical) + offset, in, run);
      in += run;
      position_ += static_cast<int64_t>(run);
      done += run;
      remaining -= run;
      logical_size_ = std::max(logical_size_, position_);
    }
  });
}

void ContainerArchive::DoTruncate(int64_t length) {
  if (length < 0) length = 0;
  FlushCache();
  const uint64_t block_size = block_size_;
  uint64_t old_size = static_cast<uint64_t>(logical_size_);
  uint64_t new_size = static_cast<uint64_t>(length);
  if (new_size > old_size && old_size % block_size != 0) {
    // The old last block may hold stale bytes past the old end: zero them.
    uint64_t logical = old_size / block_size;
    uint64_t one = 1;
    if (data_map_->Find(logical, one) != 0) {
      RestartWindow(logical);
      FetchBlock(logical, Slot(logical));
      std::memset(Slot(logical) + old_size % block_size, 0, block_size - old_size % block_size);
      window_end_ = logical + 1;
    }
  }
  uint64_t old_blocks = (old_size + block_size - 1) / block_size;
  uint64_t new_blocks = (new_size + block_size - 1) / block_size;
  if (new_blocks < old_blocks)
    Remap(new_blocks, 0, old_blocks - new_blocks);
  else if (new_blocks > old_blocks)
    Remap(old_blocks, 0, new_blocks - old_blocks);
  logical_size_ = length;
}

void ContainerArchive::Truncate(uint64_t length) {
  if (Refuse(true)) return;
  if (length > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    // No stream is that long: refused as a plain file refuses it, before
    // anything changes, so the archive stays usable.
    SetError(Common::Error::File(Common::kErrWriteFailed, ZYK_HERE));
    return;
  }
  Guard(Effect::kChanges, [&] { DoTruncate(static_cast<int64_t>(length)); });
}

void ContainerArchive::ReleaseBlocks(uint64_t start, uint64_t count) {
  if (Refuse(true)) return;
  Guard(Effect::kChanges, [&] { MarkFree(start, count); });
}

void ContainerArchive::Flush() {
  if (Refuse(true)) return;
  Guard(Effect::kChanges, [&] { FullFlush(); });
}

void ContainerArchive::Deallocate(int64_t offset, int64_t length) {
  FlushCache();
  int64_t end = SaturatedEnd(offset, length);
  if (end < 0) return;
  const uint64_t block_size = block_size_;
  uint64_t first = (static_cast<uint64_t>(std::max<int64_t>(offset, 0)) + block_size - 1) / block_size;
  uint64_t last = static_cast<uint64_t>(end) / block_size;
  if (last > first) Remap(first, 0, last - first);
  const uint64_t start = static_cast<uint64_t>(std::max<int64_t>(offset, 0));
  ZeroPartialBlock(start, std::min(first * block_size, static_cast<uint64_t>(end)));
  if (last >= first) ZeroPartialBlock(last * block_size, static_cast<uint64_t>(end));
}

void ContainerArchive::ZeroPartialBlock(uint64_t start, uint64_t end) {
  end = std::min(end, static_cast<uint64_t>(logical_size_));
  if (start >= end) return;
  uint64_t logical = start / block_size_;
  uint64_t blocks = 1;
  if (!InWindow(logical) && data_map_->Find(logical, blocks) == 0) return;
  // Through the write path, so the block is copied on write like any other.
  const std::vector<uint8_t> zeros(end - start, 0);
  const int64_t position = position_;
  position_ = static_cast<int64_t>(start);
  size_t done = 0;
  Write(zeros.data(), zeros.size(), done);
  position_ = position;
  if (HasError()) throw TakeError();
}

void ContainerArchive::AllocationList(ControlRequest& request) {
  request.result = nullptr;
  const uint64_t block_size = block_size_;
  int64_t start = std::max<int64_t>(request.offset, 0);
  int64_t end = std::min(SaturatedEnd(request.offset, request.length), logical_size_);
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // start, end
  uint64_t position = static_cast<uint64_t>(start);
  while (start < end && position < static_cast<uint64_t>(end)) {
    uint64_t logical = position / block_size;
    uint64_t blocks;
    bool allocated;
    if (InWindow(logical)) {
      blocks = window_end_ - logical;
      allocated = true;
    } else {
      blocks = (static_cast<uint64_t>(end) - 1) / block_size - logical + 1;
      if (window_first_ < window_end_ && logical < window_first_) blocks = std::min(blocks, window_first_ - logical);
      allocated = data_map_->Find(logical, blocks) != 0;
    }
    uint64_t run_end = std::min<uint64_t>(static_cast<uint64_t>(end), (logical + blocks) * block_size);
    if (allocated) {
      if (!ranges.empty() && ranges.back().second == position)
        ranges.back().second = run_end;
      else
        ranges.emplace_back(position, run_end);
    }
    position = run_end;
  }
  auto* list = static_cast<uint64_t*>(std::malloc((1 + 2 * ranges.size()) * sizeof(uint64_t)));
  if (list == nullptr) throw Common::Error::File(Common::kErrNoMemory, ZYK_HERE_AS("AllocationList"));
  list[0] = ranges.size();
  for (size_t i = 0; i < ranges.size(); ++i) {
    list[1 + 2 * i] = ranges[i].first;
    list[2 + 2 * i] = ranges[i].second - ranges[i].first;
  }
  request.result = list;
}

void ContainerArchive::IOCTL(void* record) {
  uint64_t code = *static_cast<const uint64_t*>(record);
  if (code != kControlDeallocate && code != kControlAllocationMap) {
    file_object::IOCTL(record);
    return;
  }
  if (Refuse(code == kControlDeallocate)) return;
  auto& request = *static_cast<ControlRequest*>(record);
  if (code == kControlDeallocate)
    Guard(Effect::kChanges, [&] { Deallocate(request.offset, request.length); });
  else
    Guard(Effect::kReadsOnly, [&] { AllocationList(request); });
}

int64_t ContainerArchive::MoveTo(int64_t position) {
  if (HasError()) return 0;
  if (position < 0) {
    // As with a plain file, a position before the start is refused.
    SetError(Common::Error::File(Common::kErrSeekFailed, ZYK_HERE));
    return 0;
  }
  position_ = position;
  return position_;
}

int64_t ContainerArchive::Seek(int64_t offset) { return MoveTo(offset); }

int64_t ContainerArchive::SeekCurrent(int64_t offset) { return MoveTo(SaturatedEnd(position_, offset)); }

int64_t ContainerArchive::SeekEnd(int64_t offset) { return MoveTo(SaturatedEnd(logical_size_, offset)); }

uint64_t ContainerArchive::GetSize() { return static_cast<uint64_t>(logical_size_); }

}  // namespace backupmedia
