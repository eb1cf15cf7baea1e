#include "errno_map.h"

#include <cerrno>

#include "zykfs/zykfs.h"

namespace zykfs_fuse {
namespace {

// Library codes that have no constant in the public header.
constexpr int32_t kReadFailed = 0x40001;
constexpr int32_t kWriteFailed = 0x40003;
constexpr int32_t kNotReady = 0x4000B;
constexpr int32_t kCorrupted = 0x4000D;
constexpr int32_t kLockFailed = 0x40017;
constexpr int32_t kSecurity = 0x40023;
constexpr int32_t kUnresolvedName = 0x40029;

struct Row {
  int32_t code;
  int error;
};

// One row per code; the per-request exceptions follow in ErrnoOf.
constexpr Row kTable[] = {
    {ZYKFS_E_NOT_FOUND, ENOENT},
    {ZYKFS_E_BUSY, EBUSY},
    {ZYKFS_E_MOUNT_BUSY, EBUSY},
    {ZYKFS_E_QUEUE_FULL, EAGAIN},
    {ZYKFS_E_NOT_READABLE, EBADF},
    {ZYKFS_E_PATH_OPEN, EBUSY},
    {ZYKFS_E_BUFFER_TOO_SMALL, EINVAL},
    {ZYKFS_E_END_OF_DIR, EINVAL},
    {ZYKFS_E_EXISTS, EEXIST},
    {ZYKFS_E_NOT_SUPPORTED, EOPNOTSUPP},
    {ZYKFS_E_DISK_FULL, ENOSPC},
    {ZYKFS_E_SEEK_FAILED, EINVAL},
    {ZYKFS_E_NO_MEMORY, ENOMEM},
    {ZYKFS_E_OPEN_FAILED, EIO},
    {ZYKFS_E_DELETE_FAILED, EIO},
    {ZYKFS_E_RENAME_FAILED, EIO},
    {ZYKFS_E_CREATE_FAILED, EIO},
    {ZYKFS_E_READ_ONLY, EROFS},
    {ZYKFS_E_ACCESS_DENIED, EACCES},
    {ZYKFS_E_INVALID_USAGE, EINVAL},
    {ZYKFS_E_INVALID_HANDLE, EBADF},
    {kReadFailed, EIO},
    {kWriteFailed, EIO},
    {kNotReady, EBUSY},
    {kCorrupted, EIO},
    {kLockFailed, EAGAIN},
    {kSecurity, EACCES},
    {kUnresolvedName, ENOENT},
};

}  // namespace

int ErrnoOf(int32_t code, Request request) {
  if (code == ZYKFS_OK) return 0;
  // A refused rename between an archive and a plain name: programs copy instead.
  if (request == Request::kRename && code == ZYKFS_E_NOT_SUPPORTED) return EXDEV;
  // The library reports a missing directory as not found, so a refused removal
  // of an existing one is almost always a directory that still has entries.
  if (request == Request::kRemoveDir && code == ZYKFS_E_DELETE_FAILED) return ENOTEMPTY;
  // A write past the largest file the system allows.
  if (request == Request::kWrite && code == ZYKFS_E_SEEK_FAILED) return EFBIG;
  // A handle that the library holds read only.
  if (request == Request::kWrite && code == ZYKFS_E_READ_ONLY) return EBADF;
  for (const Row& row : kTable) {
    if (row.code == code) return row.error;
  }
  return EIO;
}

}  // namespace zykfs_fuse
