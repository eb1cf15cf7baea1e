#pragma once
// The front end's result codes (facility 0x0285) and the translation of an
// error into the 32-bit code the host's callback receives. The public header
// states the same values; the static_asserts below keep the two in step, and
// those of the codes that reach the host unchanged.

#include <cstdint>

#include "core/common/error.h"
#include "zykfs/zykfs.h"

namespace Network::Storage::Backend {

inline constexpr uint32_t kErrNotFound = 0x02850002;        // a path names nothing
inline constexpr uint32_t kErrBusy = 0x02850003;            // a request on the handle is queued or running
inline constexpr uint32_t kErrMountBusy = 0x02850004;       // unmount while a handle is open
inline constexpr uint32_t kErrQueueFull = 0x02850006;       // the object's task queue is full
inline constexpr uint32_t kErrNotReadable = 0x02850007;     // read on a handle opened for writing only
inline constexpr uint32_t kErrPathOpen = 0x02850008;        // a handle is open under the path
inline constexpr uint32_t kErrBufferTooSmall = 0x02850009;  // ReadDir buffer below the minimum
inline constexpr uint32_t kErrListingEnded = 0x0285000A;    // ReadDir after the end record
inline constexpr uint32_t kErrExists = 0x02850011;          // the target exists
inline constexpr uint32_t kErrNotSupported = 0x02850012;    // not supported here
// Never reaches the host: a task that must wait runs again later.
inline constexpr uint32_t kErrRetryLater = 0x02850020;

static_assert(kErrNotFound == ZYKFS_E_NOT_FOUND);
static_assert(kErrBusy == ZYKFS_E_BUSY);
static_assert(kErrMountBusy == ZYKFS_E_MOUNT_BUSY);
static_assert(kErrQueueFull == ZYKFS_E_QUEUE_FULL);
static_assert(kErrNotReadable == ZYKFS_E_NOT_READABLE);
static_assert(kErrPathOpen == ZYKFS_E_PATH_OPEN);
static_assert(kErrBufferTooSmall == ZYKFS_E_BUFFER_TOO_SMALL);
static_assert(kErrListingEnded == ZYKFS_E_END_OF_DIR);
static_assert(kErrExists == ZYKFS_E_EXISTS);
static_assert(kErrNotSupported == ZYKFS_E_NOT_SUPPORTED);

static_assert(Common::kErrReadFailed == ZYKFS_E_READ_FAILED);
static_assert(Common::kErrEndOfFile == ZYKFS_E_END_OF_FILE);
static_assert(Common::kErrWriteFailed == ZYKFS_E_WRITE_FAILED);
static_assert(Common::kErrDiskFull == ZYKFS_E_DISK_FULL);
static_assert(Common::kErrSeekFailed == ZYKFS_E_SEEK_FAILED);
static_assert(Common::kErrNoMemory == ZYKFS_E_NO_MEMORY);
static_assert(Common::kErrOpenFailed == ZYKFS_E_OPEN_FAILED);
static_assert(Common::kErrDeleteFailed == ZYKFS_E_DELETE_FAILED);
static_assert(Common::kErrRenameFailed == ZYKFS_E_RENAME_FAILED);
static_assert(Common::kErrCreateFailed == ZYKFS_E_CREATE_FAILED);
static_assert(Common::kErrNotReady == ZYKFS_E_NOT_READY);
static_assert(Common::kErrReadOnly == ZYKFS_E_READ_ONLY);
static_assert(Common::kErrCorrupted == ZYKFS_E_CORRUPTED);
static_assert(Common::kErrCanceled == ZYKFS_E_CANCELED);
static_assert(Common::kErrAccessDenied == ZYKFS_E_ACCESS_DENIED);
static_assert(Common::kErrLockFailed == ZYKFS_E_LOCK_FAILED);
static_assert(Common::kErrRecoverFailed == ZYKFS_E_RECOVER_FAILED);
static_assert(Common::kErrInvalidUsage == ZYKFS_E_INVALID_USAGE);
static_assert(Common::kErrSecurity == ZYKFS_E_SECURITY);
static_assert(Common::kErrInvalidHandle == ZYKFS_E_INVALID_HANDLE);
static_assert(Common::kErrUnresolvedName == ZYKFS_E_UNRESOLVED_NAME);
static_assert(Common::kErrOldArchiveLayout == ZYKFS_E_OLD_ARCHIVE_LAYOUT);
static_assert(Common::kErrOutOfMemory == ZYKFS_E_OUT_OF_MEMORY);

// The host code of an error: 0 for success; the file layer's "not found",
// "exists" and "not supported" (0x40011, 0x40013, 0x4000E) become the front
// end's (0x2850002, 0x2850011, 0x2850012); any other code passes unchanged.
int32_t ToHostCode(const Common::Error& error);

}  // namespace Network::Storage::Backend
