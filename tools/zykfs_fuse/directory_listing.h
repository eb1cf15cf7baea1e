#pragma once
// A whole directory listing read through the library at opendir time, so that
// the kernel's readdir calls are answered from memory and no library directory
// handle stays open (an open handle would block renames of the directory).

#include <cstdint>
#include <string>
#include <vector>

#include "library_mount.h"

namespace zykfs_fuse {

struct DirectoryEntry {
  std::string name;
  uint64_t inode = 0;
  uint8_t type = ZYKFS_DT_OTHER;  // ZYKFS_DT_*
};

// Decodes the records of one readdir batch into `entries`; returns true when
// the end record was among them.
bool DecodeDirectoryRecords(const unsigned char* records, uint64_t size, std::vector<DirectoryEntry>& entries);

// Lists `path` through `mount`, blocking the calling thread; returns the
// library result code. `entries` holds every entry except "." and "..".
int32_t ReadDirectory(const LibraryMount& mount, const std::string& path, std::vector<DirectoryEntry>& entries);

}  // namespace zykfs_fuse
