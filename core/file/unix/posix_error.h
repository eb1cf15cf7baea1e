#pragma once
// Turns a failed system call's errno into an error of the file facility, with
// the catalog text of the code, the path tag(s) and the POSIX record as inner error.

#include <cstdint>

#include "core/common/error.h"

// ENOENT 0x40011, EEXIST 0x40013, ENOMEM 0x40006, ENOSPC 0x40004, EROFS 0x4000C,
// EOPNOTSUPP 0x4000E, EBUSY/ENODEV/ENOMEDIUM 0x4000B; EPERM/EACCES/ETXTBSY
// 0x40014 unless the default is the lock failure 0x40017; otherwise the default.
uint32_t MapPosixCode(int error_number, uint32_t default_code);

// The mapped error; tagged "path" when `path` is given.
Common::Error PosixError(int error_number, uint32_t default_code, Common::SourceLocation location,
                         const char* path = nullptr);

// The mapped error tagged "path1" and "path2".
Common::Error PosixError2(int error_number, uint32_t default_code, Common::SourceLocation location, const char* path1,
                          const char* path2);
