#pragma once
// The process-wide descriptor table. POSIX record locks belong to the process:
// closing any descriptor of a file drops all of the process's locks on it, and
// two descriptors of one process never conflict. Every descriptor the POSIX
// layer opens, locks or closes goes through these calls, which give each
// descriptor its own byte-range locks (with conflicts and first-in first-out
// waiting between descriptors of this process), apply the combined result to
// the system, and park a closed descriptor (open at the system level) while
// other descriptors still hold locks on its file.
//
// All three calls are safe from any thread; each returns -1 with errno on
// failure (ENOMEM when memory runs out; the table is then unchanged).

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

// Opens `path` like open(2). When the flags hold neither O_CREAT nor O_EXCL and a
// descriptor of the same file with the same access mode is parked, that one is
// handed back instead: positioned at 0 and with exactly the new status flags.
// Returns the descriptor, or -1 with errno. `status`, when given, receives the
// opened file's status, which the table reads anyway.
int TrackedOpen(const char* path, int flags, mode_t mode, struct stat* status = nullptr);

// As TrackedOpen, with `path` resolved from `dir_fd` under the openat2 flags
// `resolve` (see OpenResolved); `full_path` is the absolute path the file is
// known by, which chooses its class. The check for a parked descriptor resolves
// the path the same way.
int TrackedOpenAt(int dir_fd, const char* path, int flags, mode_t mode, uint64_t resolve, const char* full_path,
                  struct stat* status = nullptr);

// Locks or unlocks a byte range for `fd` alone. `command` is F_SETLK (fail with
// EAGAIN on conflict) or F_SETLKW (wait, first come first served); only
// SEEK_SET is accepted. Length 0 means to the end of every possible file.
// Identical repeated locks of one descriptor are counted and need as many
// unlocks; an unlock must name exactly a locked start and length (else EINVAL).
// A waiting request whose only conflicts are locks of its own descriptor fails
// with EDEADLK instead of waiting forever. Returns 0 or -1 with errno.
int TrackedLock(int fd, int command, struct flock* lock);

// A waiting lock request that never blocks the calling thread. The first call
// for `fd` places the request as F_SETLKW would (same rules and errors), later
// calls with the same request report on it. Returns 0 once granted, -1 with
// EINPROGRESS while it still waits (in line behind earlier requests of this
// process, or for a lock another process holds, which each call tries again),
// or -1 with another errno once it failed. One request per descriptor at a
// time: a different request while one waits fails with EBUSY.
int TrackedLockPoll(int fd, struct flock* lock);

// Withdraws the request TrackedLockPoll left waiting for `fd`; a grant that was
// not yet reported is undone. Nothing happens when none waits. Closing the
// descriptor withdraws it too.
void TrackedLockAbandon(int fd);

// Releases the descriptor's locks and closes it; while other descriptors hold
// locks on the same file it is parked instead (still open, so their system
// locks survive) and reused by a later TrackedOpen. Unknown descriptor: EBADF.
int TrackedClose(int fd);

// The class of tracked file, chosen per file identity when it is first opened.
enum class TrackedFileClass {
  kPosix,            // fcntl range locks; unlocks spare ranges other descriptors hold
  kWindows,          // CIFS share below "/tmp/.mnt_net_XXXXXX": fcntl range locks
  kWindowsNoRanges,  // other CIFS files: flock on the whole file only
};

inline constexpr int64_t kCifsMagic = 0xFF534D42;

// The class for a file on a file system of type `fs_type`, opened by `path`.
TrackedFileClass ChooseTrackedFileClass(int64_t fs_type, const char* path);
