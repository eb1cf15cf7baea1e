// Volumes, headers, block-level input and output, commits and retries of a
// container archive. The stream operations are in container_stream.cc.

#include "core/backup/container_archive.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/common/random.h"

namespace backupmedia {

namespace {

// The bytes an extent of the data map holds below the logical size.
uint64_t MappedBytesBelow(const Extent& extent, uint64_t logical_size, uint64_t block_size) {
  const uint64_t blocks_below = (logical_size + block_size - 1) / block_size;
  if (extent.key >= blocks_below) return 0;
  const uint64_t end = std::min(extent.key + extent.count, blocks_below) * block_size;
  return std::min(end, logical_size) - extent.key * block_size;
}

// More volumes than this are treated as damage (a table entry per volume is kept).
constexpr uint64_t kMaxVolumes = uint64_t{1} << 16;

uint32_t RandomU32() {
  uint32_t value = 0;
  Common::FillRandom(&value, sizeof value);
  return value;
}

uint64_t RandomU64() {
  uint64_t value = 0;
  Common::FillRandom(&value, sizeof value);
  return value;
}

}  // namespace

ContainerArchive::ContainerArchive(std::unique_ptr<rio_dir> directory, const char16_t* file_name,
                                   std::unique_ptr<CallbackHolder> callback, bool no_locks)
    : directory_(std::move(directory)),
      callback_(std::move(callback)),
      file_name_(file_name ? file_name : u""),
      names_(file_name_),
      no_locks_(no_locks) {}

ContainerArchive::~ContainerArchive() {
  // Trees may reach back into the archive while being destroyed; drop them first.
  committed_map_.reset();
  working_map_.reset();
  data_map_.reset();
  CloseVolumes();
}

// ---------------------------------------------------------------------------
// Volume files

const char16_t* ContainerArchive::VolumeName(uint32_t index) {
  // Volume 0 of a single-volume archive is the plain name; otherwise index + 1.
  return names_.GetName(blocks_per_volume_ == 0 && index == 0 ? 0 : index + 1);
}

void ContainerArchive::OpenVolume(uint32_t index, bool full_load) {
  if (read_only_)
    OpenForRead(index, full_load);
  else
    OpenForWrite(index, full_load, nullptr);
}

void ContainerArchive::AttachVolume(uint32_t index, rio_file* file) {
  EnsureVolumeTable(uint64_t{index} + 1);
  volumes_[index].file.reset(file);
  volumes_[index].pread = dynamic_cast<pread_file*>(file);
  volumes_[index].pwrite = dynamic_cast<pwrite_file*>(file);
}

void ContainerArchive::EnsureVolumeTable(uint64_t count) {
  if (count > kMaxVolumes) throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE);
  if (volumes_.size() < count) volumes_.resize(count);
}

void ContainerArchive::CloseVolumes() {
  for (Volume& volume : volumes_) {
    volume.pread = nullptr;
    volume.pwrite = nullptr;
    volume.file.reset();
  }
}

void ContainerArchive::LockVolume(uint32_t index, uint64_t offset, uint64_t length, bool exclusive, bool wait) {
  if (no_locks_) return;
  rio_file* file = volumes_[index].file.get();
  if (exclusive)
    file->LockExclusive(offset, length, wait);
  else
    file->LockShared(offset, length, wait);
  if (file->HasError()) throw RetriableError{file->TakeError(), index};
}

void ContainerArchive::UnlockVolume(uint32_t index, uint64_t offset, uint64_t length) {
  if (no_locks_) return;
  rio_file* file = volumes_[index].file.get();
  file->Unlock(offset, length);
  if (file->HasError()) throw RetriableError{file->TakeError(), index};
}

rio_file* ContainerArchive::OpenVolumeFile(uint32_t index, bool full_load, bool for_write) {
  const char16_t* name = VolumeName(index);
  rio_file* file = for_write ? directory_->OpenIO(name, !no_locks_) : directory_->OpenI(name, !no_locks_);
  if (file != nullptr) return file;
  Common::Error error = directory_->TakeError();
  if (error.Code() == Common::kErrNotFound && index == 0 && full_load && blocks_per_volume_ == 0 &&
      !provisional_split_) {
    // The plain name is missing: perhaps this is a split archive (name1...).
    blocks_per_volume_ = 1;
    provisional_split_ = true;
    return nullptr;
  }
  throw RetriableError{std::move(error), index};
}

void ContainerArchive::OpenForRead(uint32_t index, bool full_load) {
  if (!read_only_) {
    OpenForWrite(index, full_load, nullptr);
    return;
  }
  if (index < volumes_.size() && volumes_[index].file) return;
  for (;;) {
    rio_file* file = OpenVolumeFile(index, full_load, false);
    if (file == nullptr) continue;
    AttachVolume(index, file);
    LockVolume(index, kReaderLockByte, 1, false, false);
    if (!LoadHeader(index, full_load)) {
      // A later volume opened by its own name: the name generator now knows the
      // base name, and V the label's value. Reopen under volume 1's name, again
      // with a full load so that the header is read.
      CloseVolumes();
      continue;
    }
    if (index == 0) {
      std::vector<uint8_t> current;
      uint32_t held_commits = Load32(image_ + header::kCommitCount);
      LoadRoot(full_load, current);
      if (full_load) {
        LoadTrees(current.data(), false);
      } else if (Load32(current.data() + header::kCommitCount) != held_commits) {
        throw Common::Error::File(Common::kErrLockFailed, ZYK_HERE_AS("OpenForRead"));
      }
    }
    return;
  }
}

bool ContainerArchive::OpenForWrite(uint32_t index, bool full_load, const uint8_t* last_header) {
  if (index < volumes_.size() && volumes_[index].file) return false;
  for (;;) {
    rio_file* file = OpenVolumeFile(index, full_load, true);
    if (file == nullptr) continue;
    AttachVolume(index, file);
    LockVolume(index, kWriterLockByte, 1, true, false);
    if (!LoadHeader(index, full_load)) {
      CloseVolumes();
      continue;
    }
    if (index != 0) return false;
    std::vector<uint8_t> current;
    int place = LoadRoot(full_load, current);
    if (full_load) {
      LoadTrees(current.data(), true);
      uint64_t limit = high_water_;
      if (blocks_per_volume_ != 0 && limit > kFirstDataBlock && limit < kExtentLimit / block_size_)
        EnsureVolumeTable((limit - 2) / (blocks_per_volume_ - 1) + 1);
      return false;
    }
    if (last_header != nullptr && std::memcmp(current.data(), last_header, block_size_) == 0) {
      newer_copy_ = place;  // the last header write did reach the disk
      return true;
    }
    size_t compared = std::min<size_t>(root_offset_, kHeaderImageSize);
    if (std::memcmp(current.data(), image_, compared) != 0)
      throw Common::Error::File(Common::kErrLockFailed, ZYK_HERE_AS("OpenForWrite"));
    return false;
  }
}

bool ContainerArchive::LoadHeader(uint32_t index, bool full_load) {
  uint8_t bytes[kLabelSize];
  ReadData(index, bytes, 0, kLabelSize);
  VolumeLabel label;
  if (!DecodeLabel(bytes, sizeof bytes, label))
    throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("LoadHeader"));
  if (full_load && index == 0) {
    if (provisional_split_) {
      if (label.blocks_per_volume == 0 || label.volume_number != 1)
        throw Common::Error::File(Common::kErrNotFound, ZYK_HERE_AS("LoadHeader"));
      provisional_split_ = false;
    } else if (blocks_per_volume_ == 0 && label.blocks_per_volume != 0) {
      // Some volume of a split archive opened by its own name.
      if (!names_.MatchVolume(label.volume_number, directory_.get()))
        throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("LoadHeader"));
      archive_id_ = label.archive_id;
      block_size_ = label.block_size;
      blocks_per_volume_ = label.blocks_per_volume;
      if (label.volume_number != 1) return false;
    } else if (label.blocks_per_volume == 0 && label.volume_number != 1) {
      throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("LoadHeader"));
    }
    archive_id_ = label.archive_id;
    block_size_ = label.block_size;
    blocks_per_volume_ = label.blocks_per_volume;
  } else if (label.volume_number != index + 1 || label.block_size != block_size_ || label.archive_id != archive_id_ ||
             label.blocks_per_volume != blocks_per_volume_) {
    throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("LoadHeader"));
  }
  Volume& volume = volumes_[index];
  if (volume.id == 0)
    volume.id = label.volume_id;
  else if (volume.id != label.volume_id)
    throw Common::Error::File(Common::kErrLockFailed, ZYK_HERE_AS("LoadHeader"));
  return true;
}

int ContainerArchive::LoadRoot(bool full_load, std::vector<uint8_t>& current) {
  std::vector<uint8_t> copies(size_t{2} * block_size_);
  LockVolume(0, block_size_, uint64_t{2} * block_size_, false, true);
  ReadData(0, copies.data(), block_size_, copies.size());
  UnlockVolume(0, block_size_, uint64_t{2} * block_size_);
  int place = CurrentHeaderCopy(copies.data(), block_size_);
  if (place == 0) {
    if (HasOlderLayoutCopy(copies.data(), block_size_))
      throw Common::Error(Common::kErrOldArchiveLayout, ZYK_HERE_AS("LoadRoot"));
    throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("LoadRoot"));
  }
  const uint8_t* chosen = copies.data() + size_t{block_size_} * (place - 1);
  current.assign(chosen, chosen + block_size_);
  if (full_load) {
    std::memcpy(image_, chosen, kHeaderImageSize);
    root_offset_ = Load32(chosen + header::kRootOffset);
    root_size_ = Load32(chosen + header::kRootSize);
    logical_size_ = static_cast<int64_t>(std::min<uint64_t>(Load64(chosen + header::kLogicalSize), INT64_MAX));
    marked_size_ = Load64(chosen + header::kMarkedSize);
    // Archives whose root records start before the high-water field do not carry it.
    high_water_ = root_offset_ >= kRootOffset ? Load64(chosen + header::kHighWater) : kExtentLimit;
    cursor_ = std::max(Load64(chosen + header::kCursor), kFirstDataBlock);
    // A mark too large to be a block count of this block size means: not known.
    if (high_water_ > std::numeric_limits<uint64_t>::max() / block_size_) high_water_ = kExtentLimit / block_size_;
    if (high_water_ < cursor_) throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("LoadRoot"));
    newer_copy_ = place;
  }
  return place;
}

void ContainerArchive::LoadTrees(const uint8_t* header_block, bool all) {
  const uint8_t* roots = header_block + root_offset_;
  data_map_ = std::make_unique<AllocationTree>(*this, root_size_, roots);
  if (!all) return;
  working_map_ = std::make_unique<AllocationTree>(*this, root_size_, roots + root_size_);
  committed_map_ = std::make_unique<AllocationTree>(*this, root_size_, roots + 2 * size_t{root_size_});
}

bool ContainerArchive::CreateVolume(uint32_t index) {
  const char16_t* name = VolumeName(index);
  bool created = false;
  rio_file* file = directory_->OpenIO(name, !no_locks_);
  if (file == nullptr) {
    Common::Error error = directory_->TakeError();
    if (error.Code() != Common::kErrNotFound) throw RetriableError{std::move(error), index};
    file = directory_->CreateIO(name, !no_locks_, nullptr);
    if (file == nullptr) throw RetriableError{directory_->TakeError(), index};
    created = true;
    new_volume_names_ = true;
  }
  try {
    FormatVolume(index, file);
  } catch (...) {
    if (created) DiscardVolume(index);
    throw;
  }
  return created;
}

void ContainerArchive::DiscardVolume(uint32_t index) {
  if (index < volumes_.size()) {
    volumes_[index].pread = nullptr;
    volumes_[index].pwrite = nullptr;
    volumes_[index].file.reset();
  }
  directory_->Remove(VolumeName(index));
  directory_->ClearError();
}

void ContainerArchive::FormatVolume(uint32_t index, rio_file* file) {
  AttachVolume(index, file);
  Volume& volume = volumes_[index];
  volume.dirty = true;
  LockVolume(index, kWriterLockByte, 1, true, false);
  LockVolume(index, kReaderLockByte, 1, true, false);
  file->Seek(0);
  if (file->HasError()) throw RetriableError{file->TakeError(), index};
  volume.id = RandomU32();
  if (volume.id == 0) volume.id = 1;

  size_t blocks = index == 0 ? 3 : 1;
  std::vector<uint8_t> buffer(blocks * block_size_, 0);
  VolumeLabel label;
  label.archive_id = archive_id_;
  label.volume_id = volume.id;
  label.volume_number = index + 1;
  label.block_size = block_size_;
  label.blocks_per_volume = blocks_per_volume_;
  EncodeLabel(label, buffer.data());
  if (index == 0) {
    uint8_t* header_block = buffer.data() + block_size_;
    FormatHeader(header_block, false);
    std::memcpy(image_, header_block, kHeaderImageSize);
    std::memcpy(header_block + block_size_, header_block, block_size_);
    newer_copy_ = 1;
  }
  size_t done = 0;
  file->Write(buffer.data(), buffer.size(), done);
  if (file->HasError()) throw RetriableError{file->TakeError(), index};
  if (done < buffer.size()) throw Common::Error::File(Common::kErrDiskFull, ZYK_HERE_AS("Write"));
  UnlockVolume(index, kReaderLockByte, 1);
}

void ContainerArchive::SyncVolumes() {
  for (uint32_t index = 0; index < volumes_.size(); ++index) {
    if (!volumes_[index].dirty) continue;
    OpenForWrite(index, false, nullptr);
    rio_file* file = volumes_[index].file.get();
    file->Flush();
    if (file->HasError()) throw RetriableError{file->TakeError(), index};
    volumes_[index].dirty = false;
  }
  if (new_volume_names_) {
    // A header may name a volume only once its file's name is on disk too.
    directory_->Flush();
    if (directory_->HasError()) throw directory_->TakeError();
    new_volume_names_ = false;
  }
}

void ContainerArchive::ReadData(uint32_t index, void* buffer, uint64_t offset, size_t length) {
  Volume& volume = volumes_[index];
  size_t done = 0;
  if (volume.pread != nullptr) {
    Common::Error error = volume.pread->Pread(buffer, offset, length, done);
    if (error) throw RetriableError{std::move(error), index};
  } else {
    rio_file* file = volume.file.get();
    file->Seek(static_cast<int64_t>(offset));
    if (!file->HasError()) file->Read(buffer, length, done);
    if (file->HasError()) throw RetriableError{file->TakeError(), index};
  }
  if (done < length) throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("ReadData"));
}

// ---------------------------------------------------------------------------
// Blocks

void ContainerArchive::ReliableRead(void* buffer, uint64_t offset, size_t length) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    BlockPlace place = PlaceOfBlock(offset / block_size_, blocks_per_volume_, block_size_);
    uint64_t in_block = offset % block_size_;
    uint64_t room =
        place.blocks_left == std::numeric_limits<uint64_t>::max() ? length : place.blocks_left * block_size_ - in_block;
    size_t piece = static_cast<size_t>(std::min<uint64_t>(length, room));
    size_t done = 0;
    try {
      OpenVolume(0, false);
      EnsureVolumeTable(place.volume + 1);
      OpenVolume(static_cast<uint32_t>(place.volume), false);
      Volume& volume = volumes_[place.volume];
      uint64_t local = place.byte_offset + in_block;
      if (volume.pread != nullptr) {
        Common::Error error = volume.pread->Pread(out, local, piece, done);
        if (done > 0) ++read_count_;
        if (error) throw RetriableError{std::move(error), static_cast<uint32_t>(place.volume)};
      } else {
        rio_file* file = volume.file.get();
        file->Seek(static_cast<int64_t>(local));
        if (!file->HasError()) file->Read(out, piece, done);
        if (done > 0) ++read_count_;
        if (file->HasError()) throw RetriableError{file->TakeError(), static_cast<uint32_t>(place.volume)};
      }
      if (done < piece) throw Common::Error::File(Common::kErrCorrupted, ZYK_HERE_AS("ReliableRead"));
    } catch (RetriableError& failure) {
      Retry(0, std::move(failure.error), failure.volume, read_only_);
      // With an alignment of 1 every byte read counts as done.
      piece = done;
    }
    out += piece;
    offset += piece;
    length -= piece;
  }
}

void ContainerArchive::WriteBlocks(const uint8_t* source, uint64_t start, uint64_t count) {
  while (count > 0) {
    BlockPlace place = PlaceOfBlock(start, blocks_per_volume_, block_size_);
    uint64_t blocks = std::min(count, place.blocks_left);
    size_t bytes = static_cast<size_t>(blocks * block_size_);
    try {
      OpenForWrite(0, false, nullptr);
      if (place.volume >= volumes_.size()) {
        // Create every missing volume up to this one, in order: tree nodes are
        // written in cache order, not block order, so a later volume can be
        // reached before an earlier one has been written.
        if (place.volume >= kMaxVolumes) throw Common::Error::File(Common::kErrDiskFull, ZYK_HERE_AS("WriteBlocks"));
        for (uint32_t index = static_cast<uint32_t>(volumes_.size()); index <= place.volume; ++index) {
          EnsureVolumeTable(uint64_t{index} + 1);
          try {
            CreateVolume(index);
          } catch (...) {
            volumes_.resize(index);
            throw;
          }
        }
      } else {
        OpenForWrite(static_cast<uint32_t>(place.volume), false, nullptr);
      }
      size_t done = 0;
      Common::Error error = WriteVolume(static_cast<uint32_t>(place.volume), place.byte_offset, source, bytes, done);
      if (done > 0) ++write_count_;
      if (error) throw RetriableError{std::move(error), static_cast<uint32_t>(place.volume)};
      if (done < bytes) {
        Retry(1, Common::Error::File(Common::kErrDiskFull, ZYK_HERE_AS("WriteBlocks")),
              static_cast<uint32_t>(place.volume), true);
        continue;
      }
    } catch (RetriableError& failure) {
      Retry(1, std::move(failure.error), failure.volume, false);
      continue;
    }
    source += bytes;
    start += blocks;
    count -= blocks;
  }
}

Common::Error ContainerArchive::WriteVolume(uint32_t index, uint64_t offset, const uint8_t* source, size_t length,
                                            size_t& done) {
  Volume& volume = volumes_[index];
  volume.dirty = true;
  rio_file* file = volume.file.get();
  // A positional write spares the seek: one system call per piece.
  if (volume.pwrite == nullptr) file->Seek(static_cast<int64_t>(offset));
  done = 0;
  while (done < length && !file->HasError()) {
    // Pieces end at multiples of their size in the file: the page cache only
    // forms folios at offsets aligned to their size.
    const size_t piece = std::min(length - done, kVolumeWritePiece - (offset + done) % kVolumeWritePiece);
    size_t written = 0;
    if (volume.pwrite != nullptr) {
      if (Common::Error error = volume.pwrite->Pwrite(source + done, offset + done, piece, written)) {
        done += written;
        return error;
      }
    } else {
      file->Write(source + done, piece, written);
    }
    done += written;
    if (written < piece) break;
  }
  return file->HasError() ? file->TakeError() : Common::Error();
}

void ContainerArchive::FormatHeader(uint8_t* block, bool commit_allocation_map) {
  std::memset(block, 0, block_size_);
  std::memcpy(block, image_, kHeaderImageSize);
  Store32(block + header::kSequence, NextSequence(Load32(image_ + header::kSequence)));
  Store32(block + header::kSalt, RandomU32());
  Store64(block + header::kLogicalSize, static_cast<uint64_t>(logical_size_));
  Store64(block + header::kMarkedSize, marked_size_);
  uint8_t* roots = block + root_offset_;
  data_map_->SaveRoot(roots);
  working_map_->SaveRoot(roots + root_size_);
  if (commit_allocation_map) {
    Store32(block + header::kCommitCount, Load32(image_ + header::kCommitCount) + 1);
    Store64(block + header::kCursor, kFirstDataBlock);
    std::memcpy(roots + 2 * size_t{root_size_}, roots + root_size_, root_size_);
  } else {
    Store64(block + header::kCursor, cursor_);
    committed_map_->SaveRoot(roots + 2 * size_t{root_size_});
  }
  // Every header write carries the high-water mark (older layouts have roots there).
  if (root_offset_ >= kRootOffset) Store64(block + header::kHighWater, high_water_);
  SealHeader(block, block_size_);
}

void ContainerArchive::Commit() {
  std::vector<uint8_t> block(block_size_);
  for (;;) {
    bool reader_lock_taken = false;
    try {
      if (OpenForWrite(0, false, last_header_.empty() ? nullptr : last_header_.data())) {
        // The previous attempt's header reached the disk; make sure of its blocks.
        SyncVolumes();
        block = last_header_;
        break;
      }
      // Everything the new header references must be on disk before it.
      SyncVolumes();
      high_water_ = std::max(high_water_, cursor_);
      FormatHeader(block.data(), false);
      uint8_t* roots = block.data() + root_offset_;
      if (std::memcmp(roots + root_size_, roots + 2 * size_t{root_size_}, root_size_) != 0) {
        bool commit_map = no_locks_;
        if (!no_locks_) {
          // Readers hold byte 511 shared; while any does, freed blocks stay unused.
          rio_file* file = volumes_[0].file.get();
          file->LockExclusive(kReaderLockByte, 1, false);
          if (file->HasError()) {
            file->TakeError();
          } else {
            commit_map = reader_lock_taken = true;
          }
        }
        if (commit_map) FormatHeader(block.data(), true);
      }
      last_header_ = block;
      LockVolume(0, block_size_, uint64_t{2} * block_size_, true, true);
      int target = newer_copy_ == 1 ? 2 : 1;
      rio_file* file = volumes_[0].file.get();
      auto write_copy = [&](int place) {
        volumes_[0].dirty = true;
        file->Seek(static_cast<int64_t>(place) * block_size_);
        size_t done = 0;
        if (!file->HasError()) file->Write(block.data(), block_size_, done);
        if (done > 0) ++write_count_;
        if (file->HasError()) throw RetriableError{file->TakeError(), 0};
        if (done < block_size_) throw Common::Error::File(Common::kErrDiskFull, ZYK_HERE_AS("Commit"));
      };
      write_copy(target);
      newer_copy_ = target;
      if (Load32(block.data() + header::kSequence) == 1) {
        // The counter wrapped: both copies must carry the new state, or the
        // stale copy with the larger number would win.
        SyncVolumes();
        write_copy(target == 1 ? 2 : 1);
      }
      UnlockVolume(0, block_size_, uint64_t{2} * block_size_);
      SyncVolumes();
      if (reader_lock_taken) {
        reader_lock_taken = false;
        UnlockVolume(0, kReaderLockByte, 1);
      }
      break;
    } catch (RetriableError& failure) {
      Retry(1, std::move(failure.error), failure.volume, false);
    } catch (Common::Error&) {
      // The archive refuses all work from now on: drop the volume files so that
      // the header and reader locks it may hold do not keep readers waiting.
      CloseVolumes();
      throw;
    }
  }
  if (Load32(block.data() + header::kCommitCount) != Load32(image_ + header::kCommitCount)) {
    committed_map_ = std::make_unique<AllocationTree>(*this, root_size_, block.data() + root_offset_ + root_size_);
    cursor_ = kFirstDataBlock;
    // The header naming the new allocation map is on disk, and readers that
    // could still use the freed blocks would have kept the map from being
    // committed: their space can go, before anything is allocated again.
    PunchFreedBlocks();
  }
  std::memcpy(image_, block.data(), kHeaderImageSize);
}

void ContainerArchive::Retry(uint32_t reason, Common::Error error, uint32_t volume, bool allowed) {
  CloseVolumes();
  // There is no media service, so only the cases that allow it are retried.
  if (!callback_ || !allowed) throw error;
  RetryRequest& request = callback_->request;
  request = RetryRequest{};
  request.reason = reason;
  request.error = error;
  request.volume_number = volume + 1;
  request.read_count = read_count_;
  request.write_count = write_count_;
  request.volume_id = volume < volumes_.size() ? volumes_[volume].id : 0;
  request.archive_id = archive_id_;
  request.file_name = VolumeName(volume);
  callback_->Request();
  if (request.result == 1) {
    if (request.error) throw request.error;
    throw Common::Error::File(Common::kErrCanceled, ZYK_HERE_AS("Retry"));
  }
}

void ContainerArchive::PunchFreedBlocks() noexcept {
  BlockRanges freed = std::move(freed_since_map_commit_);
  freed_since_map_commit_ = BlockRanges();
  const uint64_t min_run =
      return_freed_space_ == FreedSpace::kAll ? 1 : std::max<uint64_t>(1, kPunchRunBytes / block_size_);
  try {
    freed.ForEach([&](uint64_t start, uint64_t end) {
      if (end - start < min_run) return;
      for (uint64_t block = start; block < end;) {
        uint64_t length = end - block;
        bool in_use = working_map_->Find(block, length) != 0;  // taken again: never punched
        BlockPlace place = PlaceOfBlock(block, blocks_per_volume_, block_size_);
        length = std::min(length, place.blocks_left);
        if (!in_use && place.volume < volumes_.size()) {
          OpenForWrite(static_cast<uint32_t>(place.volume), false, nullptr);
          rio_file* file = volumes_[place.volume].file.get();
          ControlRequest punch{kControlDeallocate, static_cast<int64_t>(place.byte_offset),
                               static_cast<int64_t>(length * block_size_), nullptr};
          file->IOCTL(&punch);
          file->TakeError();
        }
        block += length;
      }
    });
  } catch (...) {
    // Space not returned is only space; the commit stands. Volumes reopen
    // from scratch when next needed.
    CloseVolumes();
  }
}

// ---------------------------------------------------------------------------
// Initialisation

void ContainerArchive::SetupBuffers() {
  ring_blocks_ = 8388608 / block_size_;
  ring_.reset(new uint8_t[8388608]);
}

void ContainerArchive::InitForCreate(const ArchiveParameters& parameters) {
  block_size_ = IsValidBlockSize(parameters.block_size) ? parameters.block_size : kDefaultBlockSize;
  int64_t max_volume = parameters.max_volume_size;
  blocks_per_volume_ = 0;
  if (max_volume >= 3 * int64_t{block_size_} && static_cast<uint64_t>(max_volume) < (uint64_t{block_size_} << 32))
    blocks_per_volume_ = static_cast<uint32_t>(max_volume / block_size_);
  SetupBuffers();
  archive_id_ = RandomU64();
  std::memset(image_, 0, sizeof image_);
  Store32(image_ + header::kSequence, RandomU32());
  Store32(image_ + header::kCommitCount, RandomU32());
  root_offset_ = kRootOffset;
  root_size_ = RootRecordSizeFor(block_size_);
  Store32(image_ + header::kRootOffset, root_offset_);
  Store32(image_ + header::kRootSize, root_size_);
  cursor_ = kFirstDataBlock;
  high_water_ = kFirstDataBlock;
  logical_size_ = 0;
  marked_size_ = 0;
  auto_commit_blocks_ = parameters.auto_commit_bytes > 0 ? parameters.auto_commit_bytes / block_size_ : 0;
  data_map_ = std::make_unique<AllocationTree>(*this, root_size_, nullptr);
  working_map_ = std::make_unique<AllocationTree>(*this, root_size_, nullptr);
  committed_map_ = std::make_unique<AllocationTree>(*this, root_size_, nullptr);
  bool created = false;
  try {
    EnsureVolumeTable(1);
    created = CreateVolume(0);
    SyncVolumes();
  } catch (RetriableError& failure) {
    if (created) DiscardVolume(0);
    CloseVolumes();
    throw failure.error;
  } catch (...) {
    if (created) DiscardVolume(0);
    CloseVolumes();
    throw;
  }
}

void ContainerArchive::InitForAppend(const ArchiveParameters& parameters) {
  try {
    OpenForWrite(0, true, nullptr);
  } catch (RetriableError& failure) {
    CloseVolumes();
    throw failure.error;
  }
  SetupBuffers();
  Commit();
  auto_commit_blocks_ = parameters.auto_commit_bytes > 0 ? parameters.auto_commit_bytes / block_size_ : 0;
}

void ContainerArchive::InitForRead() {
  read_only_ = true;
  try {
    OpenForRead(0, true);
  } catch (RetriableError& failure) {
    CloseVolumes();
    throw failure.error;
  }
}

// ---------------------------------------------------------------------------
// Diagnostics

ArchiveInfo ContainerArchive::GetInfo() {
  ArchiveInfo info;
  try {
    OpenVolume(0, false);
    std::vector<uint8_t> copies(size_t{2} * block_size_);
    ReadData(0, copies.data(), block_size_, copies.size());
    for (int i = 0; i < 2; ++i) {
      const uint8_t* copy = copies.data() + size_t{block_size_} * i;
      ArchiveInfo::HeaderCopy& out = info.copies[i];
      out.sequence = ValidateHeader(copy, block_size_);
      out.valid = out.sequence != 0;
      out.commit_count = Load32(copy + header::kCommitCount);
      out.logical_size = Load64(copy + header::kLogicalSize);
    }
    info.current_copy = info.copies[1].sequence > info.copies[0].sequence ? 2 : 1;
  } catch (RetriableError& failure) {
    throw failure.error;
  }
  info.archive_id = archive_id_;
  info.block_size = block_size_;
  info.blocks_per_volume = blocks_per_volume_;
  info.volume_count = blocks_per_volume_ == 0
                          ? 1
                          : static_cast<uint32_t>(
                                high_water_ <= kFirstDataBlock ? 1 : (high_water_ - 2) / (blocks_per_volume_ - 1) + 1);
  info.sequence = Load32(image_ + header::kSequence);
  info.commit_count = Load32(image_ + header::kCommitCount);
  info.logical_size = static_cast<uint64_t>(logical_size_);
  info.marked_size = marked_size_;
  info.allocation_cursor = cursor_;
  info.high_water = high_water_;
  AllocationTree* trees[3] = {data_map_.get(), working_map_.get(), committed_map_.get()};
  // A read-only archive keeps no allocation maps; read them from the current copy.
  std::unique_ptr<AllocationTree> loaded[2];
  std::vector<uint8_t> current(block_size_);
  if (working_map_ == nullptr) {
    try {
      ReadData(0, current.data(), uint64_t{block_size_} * info.current_copy, block_size_);
    } catch (RetriableError& failure) {
      throw failure.error;
    }
    const uint8_t* roots = current.data() + root_offset_;
    loaded[0] = std::make_unique<AllocationTree>(*this, root_size_, roots + root_size_);
    loaded[1] = std::make_unique<AllocationTree>(*this, root_size_, roots + 2 * size_t{root_size_});
    trees[1] = loaded[0].get();
    trees[2] = loaded[1].get();
  }
  for (int i = 0; i < 3; ++i) {
    if (trees[i] == nullptr) continue;
    info.tree_depth[i] = trees[i]->RootLevel() + 1;
    uint64_t extents = 0, blocks = 0;
    trees[i]->ForEachExtent([&](const Extent& extent) {
      ++extents;
      blocks += extent.count;
      if (i == 0) info.allocated_bytes += MappedBytesBelow(extent, info.logical_size, block_size_);
    });
    info.extent_count[i] = extents;
    if (i == 0) info.allocated_blocks = blocks;
  }
  return info;
}

}  // namespace backupmedia
