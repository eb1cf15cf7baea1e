#pragma once
// Error codes (upper 16 bits facility, lower 16 bits number) and the catalog
// message identifiers of the file-operation texts.

#include <cstdint>

namespace Common {

// Facility 0x0004: file operations in every layer; each has a catalog text.
inline constexpr uint32_t kErrReadFailed = 0x00040001;
inline constexpr uint32_t kErrEndOfFile = 0x00040002;
inline constexpr uint32_t kErrWriteFailed = 0x00040003;
inline constexpr uint32_t kErrDiskFull = 0x00040004;
inline constexpr uint32_t kErrSeekFailed = 0x00040005;
inline constexpr uint32_t kErrNoMemory = 0x00040006;
inline constexpr uint32_t kErrOpenFailed = 0x00040007;
inline constexpr uint32_t kErrDeleteFailed = 0x00040008;
inline constexpr uint32_t kErrRenameFailed = 0x00040009;
inline constexpr uint32_t kErrCreateFailed = 0x0004000A;
inline constexpr uint32_t kErrNotReady = 0x0004000B;
inline constexpr uint32_t kErrReadOnly = 0x0004000C;
inline constexpr uint32_t kErrCorrupted = 0x0004000D;
inline constexpr uint32_t kErrNotSupported = 0x0004000E;
inline constexpr uint32_t kErrCanceled = 0x0004000F;
inline constexpr uint32_t kErrNotFound = 0x00040011;
inline constexpr uint32_t kErrExists = 0x00040013;
inline constexpr uint32_t kErrAccessDenied = 0x00040014;
inline constexpr uint32_t kErrLockFailed = 0x00040017;
inline constexpr uint32_t kErrRecoverFailed = 0x0004001A;
inline constexpr uint32_t kErrInvalidUsage = 0x0004001F;
inline constexpr uint32_t kErrSecurity = 0x00040023;
inline constexpr uint32_t kErrInvalidHandle = 0x00040025;
inline constexpr uint32_t kErrUnresolvedName = 0x00040029;

// Facility 0x0287: container archives.
inline constexpr uint32_t kErrOldArchiveLayout = 0x02870001;

// Facility 0xFFF1 / 0xFFF2: POSIX detail and the static out-of-memory record.
inline constexpr uint32_t kErrPosix = 0x0000FFF1;
inline constexpr uint32_t kErrOutOfMemory = 0x0000FFF2;

// Catalog message identifiers (byte offsets of the catalog's offset-table entries).
inline constexpr uint32_t kMsgAccessDenied = 212;
inline constexpr uint32_t kMsgExists = 216;
inline constexpr uint32_t kMsgBackupFailed = 224;
inline constexpr uint32_t kMsgCanceled = 236;
inline constexpr uint32_t kMsgCorrupted = 248;
inline constexpr uint32_t kMsgCreateFailed = 252;
inline constexpr uint32_t kMsgDiskFull = 264;
inline constexpr uint32_t kMsgEndOfFile = 276;
inline constexpr uint32_t kMsgInvalidHandle = 292;
inline constexpr uint32_t kMsgInvalidUsage = 300;
inline constexpr uint32_t kMsgLockFailed = 304;
inline constexpr uint32_t kMsgUnresolvedName = 308;
inline constexpr uint32_t kMsgNotFound = 320;
inline constexpr uint32_t kMsgNotReady = 328;
inline constexpr uint32_t kMsgOpenFailed = 336;
inline constexpr uint32_t kMsgNoMemory = 340;
inline constexpr uint32_t kMsgReadOnly = 348;
inline constexpr uint32_t kMsgReadFailed = 352;
inline constexpr uint32_t kMsgDeleteFailed = 356;
inline constexpr uint32_t kMsgRenameFailed = 360;
inline constexpr uint32_t kMsgRecoverFailed = 364;
inline constexpr uint32_t kMsgSecurity = 368;
inline constexpr uint32_t kMsgSeekFailed = 372;
inline constexpr uint32_t kMsgNotSupported = 384;
inline constexpr uint32_t kMsgWriteFailed = 404;

// The catalog message of a facility-0x0004 code, or 0 when the code has none.
uint32_t MessageIdOfCode(uint32_t code);

}  // namespace Common
