#include "tools/zykfs_fuse/errno_map.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "zykfs/zykfs.h"

namespace zykfs_fuse {
namespace {

TEST(ErrnoMap, EachResultCodeGivesTheErrnoProgramsExpect) {
  struct Case {
    int32_t code;
    Request request;
    int error;
  } cases[] = {
      {ZYKFS_OK, Request::kAny, 0},
      {ZYKFS_E_NOT_FOUND, Request::kAny, ENOENT},
      {ZYKFS_E_EXISTS, Request::kAny, EEXIST},
      {ZYKFS_E_DISK_FULL, Request::kWrite, ENOSPC},
      {ZYKFS_E_READ_ONLY, Request::kAny, EROFS},
      {ZYKFS_E_READ_ONLY, Request::kWrite, EBADF},
      {ZYKFS_E_BUSY, Request::kAny, EBUSY},
      {ZYKFS_E_PATH_OPEN, Request::kAny, EBUSY},
      {ZYKFS_E_ACCESS_DENIED, Request::kAny, EACCES},
      {0x40017, Request::kAny, EAGAIN},  // lock conflict
      {ZYKFS_E_NO_MEMORY, Request::kAny, ENOMEM},
      {ZYKFS_E_NOT_SUPPORTED, Request::kAny, EOPNOTSUPP},
      {ZYKFS_E_NOT_SUPPORTED, Request::kRename, EXDEV},
      {ZYKFS_E_DELETE_FAILED, Request::kRemoveDir, ENOTEMPTY},
      {ZYKFS_E_SEEK_FAILED, Request::kWrite, EFBIG},
      {ZYKFS_E_INVALID_HANDLE, Request::kAny, EBADF},
      {0x12345678, Request::kAny, EIO},  // unknown codes are still failures
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrnoOf(c.code, c.request), c.error) << std::hex << c.code;
  }
}

}  // namespace
}  // namespace zykfs_fuse
