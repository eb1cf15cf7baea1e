#include "directory_listing.h"

#include <cstring>

namespace zykfs_fuse {

bool DecodeDirectoryRecords(const unsigned char* records, uint64_t size, std::vector<DirectoryEntry>& entries) {
  constexpr uint64_t kHeader = 11;  // u64 inode, u16 name length, u8 type
  for (uint64_t at = 0; at + ZYKFS_READDIR_END_RECORD <= size;) {
    uint16_t name_length;
    std::memcpy(&name_length, records + at + 8, sizeof name_length);
    if (name_length == 0) return true;
    if (at + kHeader + name_length > size) break;
    DirectoryEntry entry;
    std::memcpy(&entry.inode, records + at, sizeof entry.inode);
    entry.type = records[at + 10];
    entry.name.assign(reinterpret_cast<const char*>(records + at + kHeader), name_length - 1u);
    if (entry.name != "." && entry.name != "..") entries.push_back(std::move(entry));
    at += kHeader + name_length;
  }
  return false;
}

int32_t ReadDirectory(const LibraryMount& mount, const std::string& path, std::vector<DirectoryEntry>& entries) {
  const zykfs_ops_t& ops = mount.Ops();
  void* handle = mount.Handle();
  uint64_t directory = 0;
  int32_t code =
      CallAndWait([&](zykfs_callback_t cb, void* ctx) { ops.opendir(handle, path.c_str(), &directory, cb, ctx); });
  if (code != ZYKFS_OK) return code;
  std::vector<unsigned char> buffer(ZYKFS_READDIR_MIN_BUFFER);
  for (bool ended = false; !ended && code == ZYKFS_OK;) {
    zykfs_readdir_status_t status{buffer.data(), buffer.size()};
    code = CallAndWait([&](zykfs_callback_t cb, void* ctx) { ops.readdir(handle, directory, &status, cb, ctx); });
    if (code == ZYKFS_OK) ended = DecodeDirectoryRecords(buffer.data(), status.size, entries) || status.size == 0;
  }
  int32_t closed;
  do {
    closed = CallAndWait([&](zykfs_callback_t cb, void* ctx) { ops.closedir(handle, directory, cb, ctx); });
  } while (closed == ZYKFS_E_BUSY);
  return code;
}

}  // namespace zykfs_fuse
