#pragma once
// A writable archive seen as a plain file: every operation goes to the archive;
// a successful Flush (which commits the archive) also refreshes the archive's
// entry in the size cache.

#include <memory>

#include "core/file/file_delegate.h"
#include "core/network/storage/backend/rio_dir/local/size_cache.h"

namespace Network::Storage::Backend {

// The logical size and the allocated bytes of an open archive (0 allocated
// bytes when its allocation list cannot be had; the failure stays stored in
// the archive).
ArchiveSizes MeasureArchive(rio_file& archive);

class UpdateSizeOnFlushFile : public rio_file_delegate {
 public:
  UpdateSizeOnFlushFile(std::unique_ptr<rio_file> archive, uint64_t inode, std::shared_ptr<SizeCache> cache);
  void Flush() override;

 private:
  uint64_t inode_;
  std::shared_ptr<SizeCache> cache_;
};

}  // namespace Network::Storage::Backend
