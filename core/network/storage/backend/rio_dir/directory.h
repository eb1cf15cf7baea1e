#pragma once
// ZykDirectory: the file object of a directory opened for listing. It owns the
// directory and an iterator over its entries and hands them to the host in
// batches of directory records. Its queue holds one task: a second ReadDir
// while one is pending is refused with 0x2850006.

#include <memory>
#include <string>

#include "core/include/file/dir.h"
#include "core/network/storage/backend/rio_dir/file_object.h"
#include "zykfs/zykfs.h"

namespace Network::Storage::Backend {

// Smallest ReadDir buffer and the size of the end-of-directory record.
inline constexpr uint64_t kReadDirMinimumBuffer = ZYKFS_READDIR_MIN_BUFFER;
inline constexpr uint64_t kReadDirEndRecord = ZYKFS_READDIR_END_RECORD;

class ZykDirectory : public FileObject {
 public:
  // Takes the directory and its iterator (standing on the first entry, or
  // holding 0x40002 for an empty directory).
  ZykDirectory(std::unique_ptr<rio_dir> directory, std::unique_ptr<i_dir::iterator> iterator,
               std::weak_ptr<TaskManager> manager);
  // Destroys the directory, then the iterator.
  ~ZykDirectory() override;

  bool IsDirectory() const override { return true; }

  // Fills status->buffer with records from the current entry on; status->size is
  // the capacity on entry (at least 65552, else 0x2850009) and the bytes filled
  // on return. After the last entry comes the 10-byte end record (in the next
  // batch when fewer than 10 bytes are left); after it, 0x285000A.
  Common::Error ReadDir(zykfs_readdir_status_t* status) override;

 private:
  std::unique_ptr<rio_dir> directory_;         // null once the listing has ended
  std::unique_ptr<i_dir::iterator> iterator_;  // null once the listing has ended
};

}  // namespace Network::Storage::Backend
