#include "core/network/storage/backend/rio_dir/local/update_size_on_flush_file.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace Network::Storage::Backend {

ArchiveSizes MeasureArchive(rio_file& archive) {
  ArchiveSizes sizes;
  sizes.logical = archive.GetSize();
  if (archive.HasError()) return sizes;
  ControlRequest request{kControlAllocationMap, 0, INT64_MAX, nullptr};
  archive.IOCTL(&request);
  // A failed list reports 0 allocated bytes; the error stays on the archive.
  if (archive.HasError()) return sizes;
  auto* list = static_cast<uint64_t*>(request.result);
  if (list != nullptr) {
    for (uint64_t i = 0; i < list[0]; ++i) sizes.allocated += list[2 + 2 * i];
    std::free(list);
  }
  return sizes;
}

UpdateSizeOnFlushFile::UpdateSizeOnFlushFile(std::unique_ptr<rio_file> archive, uint64_t inode,
                                             std::shared_ptr<SizeCache> cache)
    : rio_file_delegate(std::move(archive)), inode_(inode), cache_(std::move(cache)) {}

void UpdateSizeOnFlushFile::Flush() {
  inner_->Flush();
  MoveError();
  if (HasError()) return;
  ArchiveSizes sizes = MeasureArchive(*inner_);
  MoveError();
  if (!HasError()) cache_->Set(inode_, sizes);
}

}  // namespace Network::Storage::Backend
