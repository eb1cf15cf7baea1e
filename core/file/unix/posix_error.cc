#include "core/file/unix/posix_error.h"

#include <errno.h>

#include "core/common/messages.h"

uint32_t MapPosixCode(int error_number, uint32_t default_code) {
  switch (error_number) {
    case ENOENT: return Common::kErrNotFound;
    case EEXIST: return Common::kErrExists;
    case ENOMEM: return Common::kErrNoMemory;
    case ENOSPC: return Common::kErrDiskFull;
    case EROFS: return Common::kErrReadOnly;
    case EOPNOTSUPP: return Common::kErrNotSupported;
    case EBUSY:
    case ENODEV:
    case ENOMEDIUM: return Common::kErrNotReady;
    case EPERM:
    case EACCES:
    case ETXTBSY: return default_code == Common::kErrLockFailed ? default_code : Common::kErrAccessDenied;
    default: return default_code;
  }
}

namespace {

const char16_t* TextOf(uint32_t code) {
  uint32_t id = Common::MessageIdOfCode(code);
  return id ? Common::GetMessageText(id) : nullptr;
}

}  // namespace

Common::Error PosixError(int error_number, uint32_t default_code, Common::SourceLocation location, const char* path) {
  uint32_t code = MapPosixCode(error_number, default_code);
  Common::Error error =
      path ? Common::Error::WithPath(code, TextOf(code), path, location) : Common::Error(code, TextOf(code), location);
  Common::AddPosixError(error, error_number);
  return error;
}

Common::Error PosixError2(int error_number, uint32_t default_code, Common::SourceLocation location, const char* path1,
                          const char* path2) {
  uint32_t code = MapPosixCode(error_number, default_code);
  Common::Error error = Common::Error::WithPaths(code, TextOf(code), path1, path2, location);
  Common::AddPosixError(error, error_number);
  return error;
}
