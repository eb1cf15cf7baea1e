/*
 * zykfs.h: the host interface of libzyk_backend_local.
 *
 * A host loads the library (dlopen), looks up `zykfs_mount` and `zykfs_umount`
 * (the only two exported symbols) and serves one local directory tree through
 * the operation table that a successful mount hands back.
 *
 * RULES FOR HOSTS
 *
 * Asynchronous calls. Every call (zykfs_mount, zykfs_umount and the 23 table
 * entries) returns at once and reports its outcome later through the completion
 * callback passed as its last-but-one argument, together with the context
 * pointer passed as its last argument.
 *
 * Exactly one callback per call. Each call invokes its callback exactly once,
 * with the context and one 32-bit result code (0 = success, see ZYKFS_E_*).
 * This holds for failures too: an unknown handle, a full queue or an internal
 * failure of the work are all reported through the callback, never by a return
 * value and never by silence.
 *
 * Threads. Calls may be made from any host thread, concurrently. The callback
 * runs on a thread of the library, never on the calling thread, possibly
 * concurrently with other callbacks of the same mount. A callback may make
 * further calls. It should return promptly: it occupies a worker of the mount.
 *
 * Never block inside a callback. Each mount runs its requests on a pool of 32
 * workers, and every callback runs on one of them. A callback that waits for
 * another request of the same mount (for its callback, or for anything that
 * request's callback does) holds its worker while it waits; once 32 callbacks
 * wait like that, no worker is left to run the requests they wait for and the
 * mount stops answering for good. The first request a callback makes, and
 * every request it makes on the handle whose request it answers, start only
 * after that callback has returned (on the same worker, which saves a
 * hand-over): waiting for one inside the callback never ends. Issue the next
 * call and return instead.
 * A lock request (entry 9) that waits for a lock held elsewhere holds no
 * worker while it waits.
 *
 * Ordering. Requests on one open handle (entries 2 to 10, 17, 19, and entry 6
 * for a file) run one at a time, in the order the host made the calls; their
 * callbacks may still arrive out of order, because the next request starts
 * before the previous callback is delivered. Everything else (path operations,
 * open, close, swap, requests on different handles) runs in parallel.
 *
 * Pointer lifetimes. Arguments passed by value are captured when the call is
 * made. Every pointer argument (paths, data buffers, out-parameters and status
 * records) is used later by the library: the host must keep it valid and must
 * not touch out-parameters until the callback of that call has run.
 * Out-parameters are filled before the callback runs.
 *
 * Paths. NUL-terminated UTF-8, relative to the served root; "/" separates
 * components and is the only separator: a backslash is an ordinary character
 * of a name. A path can never reach outside the root: ".." stops at the root
 * and a leading "/" means the root. Symbolic links in the tree are followed
 * only while they stay inside it: a path whose resolution would leave the root
 * (through a link in any component, a chain of links, a link whose target
 * climbs out with "..", or any link with an absolute target, which names the
 * host's file system rather than the tree) is refused with
 * ZYKFS_E_ACCESS_DENIED (or ZYKFS_E_NOT_FOUND where only an existence test met
 * it), also for .QMV archives. The check and the use are one step, so links
 * changed meanwhile cannot slip past it. Malformed UTF-8 (overlong forms, values
 * above U+10FFFF, stray bytes) fails the operation without touching the disk.
 * Open paths are compared byte for byte as spelled: "a/b" and "a//b" differ.
 *
 * Handles. A 64-bit value naming an open file (entry 0) or directory (entry 16)
 * of one mount, retired by entry 1 (files) or 18 (directories). A handle value
 * may be reused for a new open after its close has completed.
 *
 * Durability. A successful sync or close of a file makes its data durable; when
 * the open created the file's name, that first sync also makes the name durable
 * (its directory is synced). rename, rename_safe, swap and mkdir make the names
 * they changed durable before they answer; a failed directory sync fails the
 * call (the change itself stays made). The directory of a new file is synced by
 * its path: if that path leads out of the root by then (a link was put in its
 * place), the sync or close fails with ZYKFS_E_ACCESS_DENIED. A swap is three
 * renames: one cut short by a power loss can leave the first file under its
 * temporary name (its path, "_" and a GUID). unlink and rmdir
 * do not wait: a removed name may come back after a power loss, with its old
 * contents.
 *
 * Close and unmount. A close reports ZYKFS_E_BUSY while a request on the handle
 * is still queued or running, or its call has not yet returned; the handle then
 * stays fully usable and the host retries once those calls have returned and
 * their callbacks have arrived (a request no longer holds its handle when its
 * callback runs). A close made from inside a callback can therefore still find
 * the handle busy when the call that started that request has not yet returned
 * on its own thread; retry it. zykfs_umount reports ZYKFS_E_MOUNT_BUSY while any
 * handle is open; call it only after every callback of the mount has arrived.
 * After a successful unmount the mount record must not be used again.
 */
#ifndef ZYKFS_ZYKFS_H_
#define ZYKFS_ZYKFS_H_

#include <stddef.h>
#include <stdint.h>

/* Version of the library this header belongs to (the package version). */
#define ZYKFS_VERSION_MAJOR 1
#define ZYKFS_VERSION_MINOR 0
#define ZYKFS_VERSION_PATCH 0

#ifdef __cplusplus
#define ZYKFS_EXTERN_C extern "C"
#else
#define ZYKFS_EXTERN_C
#endif

#define ZYKFS_EXPORT ZYKFS_EXTERN_C __attribute__((visibility("default")))

#ifdef __cplusplus
#define ZYKFS_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define ZYKFS_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Result codes (the int32_t passed to every callback)                       */
/* ------------------------------------------------------------------------ */

#define ZYKFS_OK 0
/* The named file or directory does not exist. */
#define ZYKFS_E_NOT_FOUND 0x2850002
/* The handle has a request queued or running; close it again later. */
#define ZYKFS_E_BUSY 0x2850003
/* Unmount refused: a file or directory handle is still open. */
#define ZYKFS_E_MOUNT_BUSY 0x2850004
/* A directory handle already has a ReadDir queued or running. */
#define ZYKFS_E_QUEUE_FULL 0x2850006
/* The handle was not opened for reading (access ZYKFS_OPEN_WRITE). */
#define ZYKFS_E_NOT_READABLE 0x2850007
/* The path (or one of the two paths) has an open handle under that spelling. */
#define ZYKFS_E_PATH_OPEN 0x2850008
/* ReadDir buffer below ZYKFS_READDIR_MIN_BUFFER. */
#define ZYKFS_E_BUFFER_TOO_SMALL 0x2850009
/* ReadDir after the listing has ended (end record already delivered). */
#define ZYKFS_E_END_OF_DIR 0x285000A
/* The target already exists. */
#define ZYKFS_E_EXISTS 0x2850011
/* The operation is not supported here. */
#define ZYKFS_E_NOT_SUPPORTED 0x2850012

/* Codes of the file layer that reach the host unchanged (any other nonzero code
   is a failure too). */
#define ZYKFS_E_READ_FAILED 0x40001
#define ZYKFS_E_END_OF_FILE 0x40002
#define ZYKFS_E_WRITE_FAILED 0x40003
#define ZYKFS_E_DISK_FULL 0x40004
#define ZYKFS_E_SEEK_FAILED 0x40005
#define ZYKFS_E_NO_MEMORY 0x40006
#define ZYKFS_E_OPEN_FAILED 0x40007
#define ZYKFS_E_DELETE_FAILED 0x40008
#define ZYKFS_E_RENAME_FAILED 0x40009
#define ZYKFS_E_CREATE_FAILED 0x4000A
#define ZYKFS_E_NOT_READY 0x4000B
#define ZYKFS_E_READ_ONLY 0x4000C
#define ZYKFS_E_CORRUPTED 0x4000D
#define ZYKFS_E_CANCELED 0x4000F
#define ZYKFS_E_ACCESS_DENIED 0x40014
#define ZYKFS_E_LOCK_FAILED 0x40017
#define ZYKFS_E_RECOVER_FAILED 0x4001A
#define ZYKFS_E_INVALID_USAGE 0x4001F
#define ZYKFS_E_SECURITY 0x40023
#define ZYKFS_E_INVALID_HANDLE 0x40025
#define ZYKFS_E_UNRESOLVED_NAME 0x40029

/* A .QMV archive written in an older layout that this library does not read. */
#define ZYKFS_E_OLD_ARCHIVE_LAYOUT 0x2870001
/* Memory ran out while the failure itself was being recorded. */
#define ZYKFS_E_OUT_OF_MEMORY 0xFFF2

/* One sentence naming `code` (English, static storage, never null). Texts of the
   file-layer codes are those of the library's message catalog. */
static inline const char* zykfs_result_text(int32_t code) {
  switch (code) {
    case ZYKFS_OK: return "The operation completed successfully.";
    case ZYKFS_E_NOT_FOUND: return "The named file or directory does not exist.";
    case ZYKFS_E_BUSY: return "The handle has a request queued or running.";
    case ZYKFS_E_MOUNT_BUSY: return "A file or directory of the mount is still open.";
    case ZYKFS_E_QUEUE_FULL: return "The handle already has a request of this kind pending.";
    case ZYKFS_E_NOT_READABLE: return "The file was not opened for reading.";
    case ZYKFS_E_PATH_OPEN: return "The path has an open handle.";
    case ZYKFS_E_BUFFER_TOO_SMALL: return "The directory listing buffer is too small.";
    case ZYKFS_E_END_OF_DIR: return "The directory listing has already ended.";
    case ZYKFS_E_EXISTS: return "The target already exists.";
    case ZYKFS_E_NOT_SUPPORTED: return "The operation is not supported.";
    case ZYKFS_E_READ_FAILED: return "Error occurred while reading the file.";
    case ZYKFS_E_END_OF_FILE: return "The end of the file has been reached.";
    case ZYKFS_E_WRITE_FAILED: return "Error occurred while writing the file.";
    case ZYKFS_E_DISK_FULL: return "The disk is full.";
    case ZYKFS_E_SEEK_FAILED: return "Error occurred while searching in the file.";
    case ZYKFS_E_NO_MEMORY: return "Not enough memory to complete the operation.";
    case ZYKFS_E_OPEN_FAILED: return "Error occurred while opening the file.";
    case ZYKFS_E_DELETE_FAILED: return "Error occurred while deleting the file.";
    case ZYKFS_E_RENAME_FAILED: return "Error occurred while renaming the file.";
    case ZYKFS_E_CREATE_FAILED: return "Error occurred while creating the file.";
    case ZYKFS_E_NOT_READY: return "The drive is not ready.";
    case ZYKFS_E_READ_ONLY: return "The file is read-only.";
    case ZYKFS_E_CORRUPTED: return "The file is corrupted.";
    case ZYKFS_E_CANCELED: return "Canceled.";
    case ZYKFS_E_ACCESS_DENIED: return "Access to the file is denied.";
    case ZYKFS_E_LOCK_FAILED: return "Failed to lock the file.";
    case ZYKFS_E_RECOVER_FAILED: return "Error occurred while recovering.";
    case ZYKFS_E_INVALID_USAGE: return "Invalid usage.";
    case ZYKFS_E_SECURITY: return "Security error occurred while opening the file for writing.";
    case ZYKFS_E_INVALID_HANDLE: return "Invalid file handle.";
    case ZYKFS_E_UNRESOLVED_NAME: return "Cannot resolve the file name.";
    case ZYKFS_E_OLD_ARCHIVE_LAYOUT: return "The archive has an older layout that this library does not read.";
    case ZYKFS_E_OUT_OF_MEMORY: return "Not enough memory to record the failure.";
    default: return "Unknown result code.";
  }
}

/* ------------------------------------------------------------------------ */
/* Constants                                                                 */
/* ------------------------------------------------------------------------ */

/* Open flags (entry 0). Exactly one access value is required. */
#define ZYKFS_OPEN_ACCESS_MASK 0x3u
#define ZYKFS_OPEN_READ 0x1u       /* read only */
#define ZYKFS_OPEN_READ_WRITE 0x2u /* read and write */
#define ZYKFS_OPEN_WRITE 0x3u      /* write only */
#define ZYKFS_OPEN_CREATE 0x10u    /* create when missing */
#define ZYKFS_OPEN_TRUNCATE 0x20u  /* create or truncate, also when it exists */
#define ZYKFS_OPEN_EXCLUSIVE 0x40u /* with ZYKFS_OPEN_CREATE: fail when it exists */
#define ZYKFS_OPEN_APPEND 0x80u    /* put the descriptor in append mode */
#define ZYKFS_OPEN_NO_LOCK 0x100u  /* do not lock the whole file on open */

/* Lock modes (entry 9); the lock covers the byte at offset 0. */
#define ZYKFS_LOCK_NONE 0u
#define ZYKFS_LOCK_SHARED 1u
#define ZYKFS_LOCK_EXCLUSIVE 2u

/* Smallest ReadDir buffer. */
#define ZYKFS_READDIR_MIN_BUFFER 65552u

/* Directory record types (byte 10 of a record). */
#define ZYKFS_DT_OTHER 0u
#define ZYKFS_DT_FILE 1u
#define ZYKFS_DT_DIR 2u

/* Size in bytes of the end-of-directory record (its name length field is 0). */
#define ZYKFS_READDIR_END_RECORD 10u

/* Size in bytes of the operation table: 23 entries of 8 bytes. */
#define ZYKFS_OPS_SIZE 184u

/* ------------------------------------------------------------------------ */
/* Records                                                                   */
/* ------------------------------------------------------------------------ */

/* Completion callback: receives the call's context and its result code. */
typedef void (*zykfs_callback_t)(void* context, int32_t result);

/* Mount parameters; read by zykfs_mount only while the mount call is pending. */
typedef struct zykfs_params_t {
  /* Root of the tree to serve, NUL-terminated bytes as the file system names it. */
  const char* root;
} zykfs_params_t;

struct zykfs_ops_t;

/* Filled by a successful mount; untouched by a failed one. */
typedef struct zykfs_mount_t {
  void* handle;                  /* first argument of every operation */
  const struct zykfs_ops_t* ops; /* the operation table */
  uint64_t ops_size;             /* size of *ops in bytes: ZYKFS_OPS_SIZE */
} zykfs_mount_t;

/* Entry status (entries 6 and 15). All 192 bytes are zeroed first, also on failure. */
typedef struct zykfs_stat_t {
  uint64_t device;       /* device node: major << 32 | minor; 0 otherwise */
  uint64_t inode;        /* inode number */
  uint64_t size;         /* bytes; for an open file its current size */
  uint64_t block_size;   /* always 4096 */
  uint64_t allocated;    /* bytes allocated on disk; for a .QMV archive the bytes
                            of its content that are mapped to archive blocks, not
                            the size of its volume files on disk */
  uint64_t access_time;  /* milliseconds since 1970-01-01 UTC */
  uint64_t modify_time;  /* milliseconds since 1970-01-01 UTC */
  uint64_t change_time;  /* milliseconds since 1970-01-01 UTC */
  uint64_t reserved[16]; /* always zero */
} zykfs_stat_t;

/* ReadDir status (entry 17). */
typedef struct zykfs_readdir_status_t {
  void* buffer;  /* in: the host's buffer */
  uint64_t size; /* in: capacity (>= ZYKFS_READDIR_MIN_BUFFER); out: bytes filled */
} zykfs_readdir_status_t;

/* Allocation query status (entry 19). */
typedef struct zykfs_alloc_status_t {
  uint64_t position;    /* in: where to start; out: the position the file reports */
  uint64_t* entries;    /* in: the host's array */
  uint64_t count;       /* in: capacity of entries; out: entries written */
  uint64_t entry_bytes; /* out: bytes covered by one entry */
  uint64_t unit;        /* out: the file's own allocation unit */
} zykfs_alloc_status_t;

/* Append status (entry 3). */
typedef struct zykfs_append_status_t {
  uint64_t appended;     /* bytes appended by this call */
  uint64_t flushed_size; /* file size up to which data is known to be flushed */
} zykfs_append_status_t;

/* ------------------------------------------------------------------------ */
/* Operation table                                                           */
/*                                                                           */
/* Every entry takes the mount record's `handle` first and the callback and  */
/* context last. Each entry lists every code it can answer besides 0, with   */
/* what the host should do; the codes below apply to every entry.            */
/* ------------------------------------------------------------------------ */

/* Codes of every entry: ZYKFS_E_NO_MEMORY and ZYKFS_E_OUT_OF_MEMORY (memory ran
   out; nothing was done, retry later), ZYKFS_E_INVALID_USAGE (the mount record's
   handle is null, or a required pointer argument is null; fix the call). */

/* 0 open: opens or creates the regular file `path` with `flags` (ZYKFS_OPEN_*)
   and stores the new handle in *out_handle. A create that fails (a full disk,
   say) removes what it created, so the name stays free.
   Codes:
   ZYKFS_E_INVALID_USAGE: no access value, EXCLUSIVE without CREATE, or a bit
     that no ZYKFS_OPEN_* value names (unknown bits are refused); fix the flags.
   ZYKFS_E_NOT_FOUND: the file (without CREATE) or a parent directory is
     missing; create it first or give up.
   ZYKFS_E_EXISTS: CREATE|EXCLUSIVE on an existing file; pick another name.
   ZYKFS_E_READ_ONLY: READ with TRUNCATE on an existing file; fix the flags.
   ZYKFS_E_OPEN_FAILED, ZYKFS_E_CREATE_FAILED: malformed path, a directory,
     a name the file system refuses (too long, below a file); give up.
   ZYKFS_E_ACCESS_DENIED: permissions, or the path leads out of the root
     through a link; give up.
   ZYKFS_E_DISK_FULL: no room to create the file (nothing is left behind);
     free space and retry.
   ZYKFS_E_CORRUPTED, ZYKFS_E_OLD_ARCHIVE_LAYOUT: a .QMV name whose file is
     no archive this library reads; open it under another name or remove it.
   ZYKFS_E_LOCK_FAILED: the file is locked elsewhere, for example a second
     writer of a .QMV archive or of a file opened without NO_LOCK; retry once
     the other handle or process has closed it.
   ZYKFS_E_READ_FAILED, ZYKFS_E_WRITE_FAILED, ZYKFS_E_NOT_READY: the disk
     failed while the file was opened; give up. */
typedef void (*zykfs_open_fn)(void* mount, const char* path, uint32_t flags, uint64_t* out_handle,
                              zykfs_callback_t callback, void* context);

/* 1 close: flushes the file and retires its handle. A failed flush still retires
   the handle and reports the flush error.
   Codes:
   ZYKFS_E_BUSY: a request on the handle is pending; the handle is kept, retry
     once its callbacks have arrived.
   ZYKFS_E_INVALID_USAGE: a directory handle (kept); use closedir (entry 18).
   ZYKFS_E_INVALID_HANDLE: not open on this mount; nothing to do.
   ZYKFS_E_DISK_FULL, ZYKFS_E_WRITE_FAILED, ZYKFS_E_LOCK_FAILED,
   ZYKFS_E_CORRUPTED, ZYKFS_E_READ_FAILED: the final flush failed (for a .QMV
     archive the state of its last successful sync remains); the handle is
     retired all the same. */
typedef void (*zykfs_close_fn)(void* mount, uint64_t file_handle, zykfs_callback_t callback, void* context);

/* 2 read: reads up to `size` bytes at `offset` into `buffer`; *done receives the
   count (short only at end of file).
   Codes:
   ZYKFS_E_NOT_READABLE: opened write only; open the file for reading.
   ZYKFS_E_SEEK_FAILED: an offset of 2^63 or more, or for a plain file one past
     the largest file its file system allows; nothing lies there.
   ZYKFS_E_INVALID_USAGE: a directory handle; use readdir.
   ZYKFS_E_INVALID_HANDLE: not open on this mount.
   ZYKFS_E_READ_FAILED, ZYKFS_E_CORRUPTED, ZYKFS_E_LOCK_FAILED: the disk or the
     archive failed; close the handle and give up.
   ZYKFS_E_DISK_FULL, ZYKFS_E_WRITE_FAILED: an earlier change of this .QMV
     handle failed (see entry 5); close and reopen. */
typedef void (*zykfs_read_fn)(void* mount, uint64_t file_handle, void* buffer, uint64_t size, uint64_t offset,
                              uint64_t* done, zykfs_callback_t callback, void* context);

/* 3 append: writes `size` bytes at the end of the file; with a null `buffer` the
   file grows by `size` zero bytes. status->appended receives the count and
   status->flushed_size the size known to be flushed (the file is flushed at least
   every 8 MiB of appended data). `flag` is unused.
   Codes:
   ZYKFS_E_READ_ONLY: opened read only; open the file for writing.
   ZYKFS_E_DISK_FULL: no more fits (a full disk, the largest file size); the
     count appended is still reported; free space and append the rest.
   ZYKFS_E_INVALID_USAGE: a directory handle.
   ZYKFS_E_INVALID_HANDLE: not open on this mount.
   ZYKFS_E_WRITE_FAILED, ZYKFS_E_READ_FAILED, ZYKFS_E_CORRUPTED,
   ZYKFS_E_LOCK_FAILED: the disk or the archive failed; close and give up. */
typedef void (*zykfs_append_fn)(void* mount, uint64_t file_handle, const void* buffer, uint64_t size, uint8_t flag,
                                zykfs_append_status_t* status, zykfs_callback_t callback, void* context);

/* 4 pad: *value receives 0.
   Codes:
   ZYKFS_E_NOT_SUPPORTED: always, for now; do without padding.
   ZYKFS_E_INVALID_USAGE: a directory handle.
   ZYKFS_E_INVALID_HANDLE: not open on this mount. */
typedef void (*zykfs_pad_fn)(void* mount, uint64_t file_handle, uint64_t* value, zykfs_callback_t callback,
                             void* context);

/* 5 sync: flushes written data to storage; succeeds at once on a read-only handle.
   For a .QMV file a sync commits: the data becomes the archive's new state.
   Once a write, append, truncate, sparse or sync of a .QMV file has failed, the
   handle keeps that error: every later read, write, append, truncate, sparse
   and sync on it reports the same error, and what was written since the last
   successful sync is lost (the file keeps its state as of that sync). fstat,
   lock and pad answer as before; close retires the handle and reports the same
   error. Open the file again to go on.
   Codes:
   ZYKFS_E_DISK_FULL: no room for the data; free space and write it again
     (a .QMV handle must be reopened first, see above).
   ZYKFS_E_WRITE_FAILED, ZYKFS_E_READ_FAILED, ZYKFS_E_CORRUPTED,
   ZYKFS_E_LOCK_FAILED: the disk or the archive failed; the data since the last
     successful sync may be lost; close and give up.
   ZYKFS_E_INVALID_USAGE: a directory handle.
   ZYKFS_E_INVALID_HANDLE: not open on this mount. */
typedef void (*zykfs_sync_fn)(void* mount, uint64_t file_handle, zykfs_callback_t callback, void* context);

/* 6 fstat: status of the entry behind an open file or directory handle; for a
   file the size is the open file's current size.
   Codes:
   ZYKFS_E_INVALID_HANDLE: not open on this mount.
   ZYKFS_E_NOT_FOUND: the file was renamed or removed below the mount meanwhile.
   ZYKFS_E_ACCESS_DENIED: its path now leads out of the root through a link.
   ZYKFS_E_CORRUPTED, ZYKFS_E_READ_FAILED: another .QMV file was put under the
     handle's name meanwhile and cannot be read; close the handle. */
typedef void (*zykfs_fstat_fn)(void* mount, uint64_t handle, zykfs_stat_t* stat, zykfs_callback_t callback,
                               void* context);

/* 7 write: writes `size` bytes from `buffer` at `offset`; *done receives the count.
   Codes:
   ZYKFS_E_READ_ONLY: opened read only; open the file for writing.
   ZYKFS_E_DISK_FULL: no more fits (the disk is full or the file reached its
     largest size); *done still has the count written; free space, write the rest.
   ZYKFS_E_SEEK_FAILED: as for read; nothing was written.
   ZYKFS_E_INVALID_USAGE: a directory handle.
   ZYKFS_E_INVALID_HANDLE: not open on this mount.
   ZYKFS_E_WRITE_FAILED, ZYKFS_E_READ_FAILED, ZYKFS_E_CORRUPTED,
   ZYKFS_E_LOCK_FAILED: the disk or the archive failed; close and give up. */
typedef void (*zykfs_write_fn)(void* mount, uint64_t file_handle, const void* buffer, uint64_t size, uint64_t offset,
                               uint64_t* done, zykfs_callback_t callback, void* context);

/* 8 truncate: sets the file size.
   Codes:
   ZYKFS_E_READ_ONLY: opened read only; open the file for writing.
   ZYKFS_E_DISK_FULL, ZYKFS_E_WRITE_FAILED: the size is beyond what the file can
     hold, or no room; choose a smaller size or free space.
   ZYKFS_E_INVALID_USAGE: a directory handle.
   ZYKFS_E_INVALID_HANDLE: not open on this mount.
   ZYKFS_E_READ_FAILED, ZYKFS_E_CORRUPTED, ZYKFS_E_LOCK_FAILED: the disk or the
     archive failed; close and give up. */
typedef void (*zykfs_truncate_fn)(void* mount, uint64_t file_handle, uint64_t size, zykfs_callback_t callback,
                                  void* context);

/* 9 lock: ZYKFS_LOCK_NONE releases, SHARED and EXCLUSIVE wait for the lock on
   byte 0. Without ZYKFS_OPEN_NO_LOCK at open the file is already locked whole
   and these calls succeed doing nothing. A waiting request is answered once the
   lock is granted or fails; requests of this process that wait for the same
   lock are granted first come, first served, and any number of them may wait
   without slowing the mount's other requests. The waiting request occupies its
   handle's queue (later requests on that handle wait behind it), but a close
   (entry 1) of a handle whose only request is a waiting lock ends the wait:
   the lock request is answered with ZYKFS_E_CANCELED, then the handle closes.
   Codes:
   ZYKFS_E_INVALID_USAGE: another mode, or a directory handle; fix the call.
   ZYKFS_E_NOT_READABLE: SHARED on a write-only handle; reopen for reading.
   ZYKFS_E_READ_ONLY: EXCLUSIVE on a read-only handle; reopen for writing.
   ZYKFS_E_CANCELED: the handle was closed while the request waited.
   ZYKFS_E_LOCK_FAILED: NONE while this handle holds no lock, or a wait that
     could never end (this handle's own lock stands in the way); the lock
     state is unchanged.
   ZYKFS_E_NOT_SUPPORTED: a .QMV archive, which takes no host locks.
   ZYKFS_E_INVALID_HANDLE: not open on this mount. */
typedef void (*zykfs_lock_fn)(void* mount, uint64_t file_handle, uint32_t mode, zykfs_callback_t callback,
                              void* context);

/* 10 sparse: `ranges` holds `count` values forming (start, end) byte pairs; each
   range is deallocated (punched out), the size unchanged: afterwards every byte
   of a range below the size reads as zero. A .QMV archive frees the whole
   blocks of a range and writes zeros over the partial blocks at its edges;
   like any write to an archive this lasts once synced. Every pair must have
   end > start (end is capped at 2^63-1), else nothing is done.
   Codes:
   ZYKFS_E_INVALID_USAGE: odd count, an empty pair, or a directory handle;
     nothing was done; fix the call.
   ZYKFS_E_READ_ONLY: opened read only; open the file for writing.
   ZYKFS_E_NOT_SUPPORTED: the file system cannot punch holes; write zeros.
   ZYKFS_E_DISK_FULL, ZYKFS_E_WRITE_FAILED, ZYKFS_E_READ_FAILED,
   ZYKFS_E_CORRUPTED, ZYKFS_E_LOCK_FAILED: the disk or the archive failed
     (ranges before the failing one may be punched); close and give up.
   ZYKFS_E_INVALID_HANDLE: not open on this mount. */
typedef void (*zykfs_sparse_fn)(void* mount, uint64_t file_handle, const uint64_t* ranges, uint64_t count,
                                zykfs_callback_t callback, void* context);

/* 11 rename: renames `from` to `to`, replacing an existing `to`.
   Codes:
   ZYKFS_E_PATH_OPEN: either name has an open handle (the source is reported
     first); close it and retry.
   ZYKFS_E_NOT_FOUND: the source or the target's directory is missing.
   ZYKFS_E_RENAME_FAILED: malformed paths, or the file system refused (a
     directory into itself, a directory over a file); give up.
   ZYKFS_E_NOT_SUPPORTED: one name is a .QMV archive name and the other is
     not; a rename cannot turn one kind into the other.
   ZYKFS_E_ACCESS_DENIED: permissions, or a path leads out of the root through
     a link; give up.
   ZYKFS_E_EXISTS: the target is a directory that is not empty. */
typedef void (*zykfs_rename_fn)(void* mount, const char* from, const char* to, zykfs_callback_t callback,
                                void* context);

/* 12 unlink: removes a file.
   Codes:
   ZYKFS_E_PATH_OPEN: the path has an open handle; close it and retry.
   ZYKFS_E_NOT_FOUND: nothing of that name.
   ZYKFS_E_DELETE_FAILED: malformed path, or the file system refused (a
     directory: use rmdir); give up.
   ZYKFS_E_ACCESS_DENIED: permissions, or the path leads out of the root
     through a link; give up. */
typedef void (*zykfs_unlink_fn)(void* mount, const char* path, zykfs_callback_t callback, void* context);

/* 13 rmdir: removes an empty directory.
   Codes:
   ZYKFS_E_PATH_OPEN: the directory has an open handle; close it and retry.
   ZYKFS_E_NOT_FOUND: nothing of that name.
   ZYKFS_E_DELETE_FAILED: malformed path, not empty, or not a directory; empty
     it first, or use unlink for a file.
   ZYKFS_E_EXISTS: not empty (on some file systems); empty it first.
   ZYKFS_E_ACCESS_DENIED: permissions, or the path leads out of the root
     through a link; give up. */
typedef void (*zykfs_rmdir_fn)(void* mount, const char* path, zykfs_callback_t callback, void* context);

/* 14 mkdir: creates a directory.
   Codes:
   ZYKFS_E_EXISTS: the name is taken; use it or pick another.
   ZYKFS_E_NOT_FOUND: a parent directory is missing; create it first.
   ZYKFS_E_CREATE_FAILED: malformed path, or the file system refused (below a
     file, a name too long); give up.
   ZYKFS_E_DISK_FULL: no room; free space and retry.
   ZYKFS_E_ACCESS_DENIED: permissions, or the path leads out of the root
     through a link; give up. */
typedef void (*zykfs_mkdir_fn)(void* mount, const char* path, zykfs_callback_t callback, void* context);

/* 15 stat: status of the entry `path` (a symbolic link reports itself). A file
   named like an archive that cannot be opened as one fails as its open does
   (ZYKFS_E_CORRUPTED for a file that is no archive).
   Codes:
   ZYKFS_E_NOT_FOUND: nothing of that name (also malformed paths).
   ZYKFS_E_ACCESS_DENIED: permissions, or the path leads out of the root
     through a link.
   ZYKFS_E_CORRUPTED, ZYKFS_E_OLD_ARCHIVE_LAYOUT, ZYKFS_E_LOCK_FAILED,
   ZYKFS_E_READ_FAILED: a .QMV name whose archive cannot be opened, as open
     would report. */
typedef void (*zykfs_stat_fn)(void* mount, const char* path, zykfs_stat_t* stat, zykfs_callback_t callback,
                              void* context);

/* 16 opendir: opens the directory `path` for listing; *out_handle receives the
   handle.
   Codes:
   ZYKFS_E_NOT_FOUND: nothing of that name (also malformed paths).
   ZYKFS_E_OPEN_FAILED: not a directory, or the system refused; give up.
   ZYKFS_E_ACCESS_DENIED: permissions, or the path leads out of the root
     through a link; give up. */
typedef void (*zykfs_opendir_fn)(void* mount, const char* path, uint64_t* out_handle, zykfs_callback_t callback,
                                 void* context);

/* 17 readdir: fills status->buffer with records and sets status->size to the
   bytes filled. Record: u64 inode, u16 name length including NUL (0 marks the
   10-byte end record), u8 type (ZYKFS_DT_*), then the UTF-8 name and NUL; records
   follow without gaps. A batch ends when the next record does not fit; the end
   record follows the last entry (possibly in the next batch).
   Codes:
   ZYKFS_E_BUFFER_TOO_SMALL: below ZYKFS_READDIR_MIN_BUFFER; pass a larger one.
   ZYKFS_E_END_OF_DIR: the end record was already delivered; close the handle.
   ZYKFS_E_QUEUE_FULL: a readdir on this handle is already pending; wait for
     its callback.
   ZYKFS_E_INVALID_USAGE: a file handle.
   ZYKFS_E_INVALID_HANDLE: not open on this mount.
   ZYKFS_E_READ_FAILED, ZYKFS_E_NOT_FOUND: the listing failed (the directory
     was removed meanwhile, say); records written so far are reported; the
     listing has ended. */
typedef void (*zykfs_readdir_fn)(void* mount, uint64_t dir_handle, zykfs_readdir_status_t* status,
                                 zykfs_callback_t callback, void* context);

/* 18 closedir: retires a directory handle.
   Codes:
   ZYKFS_E_BUSY: a readdir on the handle is pending; retry after its callback.
   ZYKFS_E_INVALID_USAGE: a file handle (kept); use close (entry 1).
   ZYKFS_E_INVALID_HANDLE: not open on this mount. */
typedef void (*zykfs_closedir_fn)(void* mount, uint64_t dir_handle, zykfs_callback_t callback, void* context);

/* 19 allocinfo: allocation summary of a file.
   Codes:
   ZYKFS_E_NOT_SUPPORTED: no file kind answers it yet; do without.
   ZYKFS_E_INVALID_USAGE: a directory handle.
   ZYKFS_E_INVALID_HANDLE: not open on this mount. */
typedef void (*zykfs_allocinfo_fn)(void* mount, uint64_t file_handle, zykfs_alloc_status_t* status,
                                   zykfs_callback_t callback, void* context);

/* 20 clone: copies nothing.
   Codes:
   ZYKFS_E_NOT_SUPPORTED: always; copy through open, read and write. */
typedef void (*zykfs_clone_fn)(void* mount, const char* from, const char* to, zykfs_callback_t callback, void* context);

/* 21 rename_safe: like rename but refuses to replace an existing `to`.
   Codes:
   ZYKFS_E_EXISTS: the target exists; pick another name or use rename.
   ZYKFS_E_PATH_OPEN: either name has an open handle; close it and retry.
   ZYKFS_E_NOT_FOUND: the source or the target's directory is missing.
   ZYKFS_E_RENAME_FAILED, ZYKFS_E_NOT_SUPPORTED, ZYKFS_E_ACCESS_DENIED: as for
     rename (entry 11). */
typedef void (*zykfs_rename_safe_fn)(void* mount, const char* from, const char* to, zykfs_callback_t callback,
                                     void* context);

/* 22 swap: exchanges the contents of two open files under their names; each
   handle follows its file to the other name. Both must be idle file handles on
   different paths.
   Codes:
   ZYKFS_E_INVALID_HANDLE: either handle is not open on this mount.
   ZYKFS_E_INVALID_USAGE: the same path twice, or a directory handle.
   ZYKFS_E_BUSY: a request is pending on either handle; retry after its callback.
   ZYKFS_E_NOT_SUPPORTED: either file is a .QMV archive (the exchange goes
     through a temporary name that is not an archive name); both files are left
     as they were.
   ZYKFS_E_PATH_OPEN, ZYKFS_E_NOT_FOUND, ZYKFS_E_RENAME_FAILED,
   ZYKFS_E_ACCESS_DENIED, ZYKFS_E_EXISTS: a rename of the exchange failed (as
     for rename, entry 11); the files are put back under their own names. */
typedef void (*zykfs_swap_fn)(void* mount, uint64_t first_handle, uint64_t second_handle, zykfs_callback_t callback,
                              void* context);

/* The operation table, entries in this order. */
typedef struct zykfs_ops_t {
  zykfs_open_fn open;               /* 0 */
  zykfs_close_fn close;             /* 1 */
  zykfs_read_fn read;               /* 2 */
  zykfs_append_fn append;           /* 3 */
  zykfs_pad_fn pad;                 /* 4 */
  zykfs_sync_fn sync;               /* 5 */
  zykfs_fstat_fn fstat;             /* 6 */
  zykfs_write_fn write;             /* 7 */
  zykfs_truncate_fn truncate;       /* 8 */
  zykfs_lock_fn lock;               /* 9 */
  zykfs_sparse_fn sparse;           /* 10 */
  zykfs_rename_fn rename;           /* 11 */
  zykfs_unlink_fn unlink;           /* 12 */
  zykfs_rmdir_fn rmdir;             /* 13 */
  zykfs_mkdir_fn mkdir;             /* 14 */
  zykfs_stat_fn stat;               /* 15 */
  zykfs_opendir_fn opendir;         /* 16 */
  zykfs_readdir_fn readdir;         /* 17 */
  zykfs_closedir_fn closedir;       /* 18 */
  zykfs_allocinfo_fn allocinfo;     /* 19 */
  zykfs_clone_fn clone;             /* 20 */
  zykfs_rename_safe_fn rename_safe; /* 21 */
  zykfs_swap_fn swap;               /* 22 */
} zykfs_ops_t;

/* ------------------------------------------------------------------------ */
/* Exported functions                                                        */
/* ------------------------------------------------------------------------ */

/* Serves the directory params->root. On success (code 0) *mount is filled;
   on failure it is left as it was (for example ZYKFS_E_NOT_FOUND for a missing
   root, ZYKFS_E_OPEN_FAILED for a root that is not a directory). `params` and
   `mount` must stay valid until the callback. */
typedef void (*zykfs_mount_fn)(const zykfs_params_t* params, zykfs_mount_t* mount, zykfs_callback_t callback,
                               void* context);

/* Ends the service of a mount. Codes: ZYKFS_E_MOUNT_BUSY while a handle is
   open (the mount keeps working). On success the mount's worker threads have
   ended before the callback runs. */
typedef void (*zykfs_umount_fn)(zykfs_mount_t* mount, zykfs_callback_t callback, void* context);

#ifdef __cplusplus
}
#endif

ZYKFS_EXPORT void zykfs_mount(const zykfs_params_t* params, zykfs_mount_t* mount, zykfs_callback_t callback,
                              void* context);
ZYKFS_EXPORT void zykfs_umount(zykfs_mount_t* mount, zykfs_callback_t callback, void* context);

/* Layout checks: these records are shared with hosts built by other compilers. */
ZYKFS_STATIC_ASSERT(sizeof(void*) == 8, "64-bit targets only");
ZYKFS_STATIC_ASSERT(sizeof(zykfs_params_t) == 8 && offsetof(zykfs_params_t, root) == 0, "zykfs_params_t");
ZYKFS_STATIC_ASSERT(sizeof(zykfs_mount_t) == 24 && offsetof(zykfs_mount_t, handle) == 0 &&
                        offsetof(zykfs_mount_t, ops) == 8 && offsetof(zykfs_mount_t, ops_size) == 16,
                    "zykfs_mount_t");
ZYKFS_STATIC_ASSERT(sizeof(zykfs_stat_t) == 192 && offsetof(zykfs_stat_t, device) == 0 &&
                        offsetof(zykfs_stat_t, inode) == 8 && offsetof(zykfs_stat_t, size) == 16 &&
                        offsetof(zykfs_stat_t, block_size) == 24 && offsetof(zykfs_stat_t, allocated) == 32 &&
                        offsetof(zykfs_stat_t, access_time) == 40 && offsetof(zykfs_stat_t, modify_time) == 48 &&
                        offsetof(zykfs_stat_t, change_time) == 56 && offsetof(zykfs_stat_t, reserved) == 64,
                    "zykfs_stat_t");
ZYKFS_STATIC_ASSERT(sizeof(zykfs_readdir_status_t) == 16 && offsetof(zykfs_readdir_status_t, buffer) == 0 &&
                        offsetof(zykfs_readdir_status_t, size) == 8,
                    "zykfs_readdir_status_t");
ZYKFS_STATIC_ASSERT(sizeof(zykfs_alloc_status_t) == 40 && offsetof(zykfs_alloc_status_t, position) == 0 &&
                        offsetof(zykfs_alloc_status_t, entries) == 8 && offsetof(zykfs_alloc_status_t, count) == 16 &&
                        offsetof(zykfs_alloc_status_t, entry_bytes) == 24 && offsetof(zykfs_alloc_status_t, unit) == 32,
                    "zykfs_alloc_status_t");
ZYKFS_STATIC_ASSERT(sizeof(zykfs_append_status_t) == 16 && offsetof(zykfs_append_status_t, appended) == 0 &&
                        offsetof(zykfs_append_status_t, flushed_size) == 8,
                    "zykfs_append_status_t");
ZYKFS_STATIC_ASSERT(sizeof(zykfs_ops_t) == ZYKFS_OPS_SIZE && offsetof(zykfs_ops_t, open) == 0 &&
                        offsetof(zykfs_ops_t, fstat) == 6 * 8 && offsetof(zykfs_ops_t, rename) == 11 * 8 &&
                        offsetof(zykfs_ops_t, readdir) == 17 * 8 && offsetof(zykfs_ops_t, swap) == 22 * 8,
                    "zykfs_ops_t");

#endif /* ZYKFS_ZYKFS_H_ */
