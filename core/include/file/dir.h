#pragma once
// The directory interfaces. Every operation that opens or makes an object
// returns a new object owned by the caller (wrap it in std::unique_ptr at once),
// or null with the failure stored as the directory's last error. Names are
// zero-terminated UTF-16; "." names the directory itself. A name may be a
// relative path: the POSIX and confined directories resolve "." and ".."
// lexically, and a leading "/" starts from the top of their tree.
//
// Errors: an operation that can fail replaces the last error: empty on success,
// else the failure, and it returns the failure value given below (null, false,
// 0); one that returns nothing reports only there. The codes below are the
// defaults: the POSIX directory maps errno onto them (0x40011 not found, 0x40013
// exists, 0x40014 access denied, ...) and tags the error with the path. An
// optional operation an implementation lacks stores 0x4000E (not supported).
// Threads: the interfaces take no locks; one thread at a time uses a directory
// or an iterator. What a directory makes does not keep it alive: the directory
// may be destroyed first.

#include <atomic>
#include <cstdint>
#include <utility>

#include "core/common/ustring.h"
#include "core/include/file/file.h"

// Entry type codes.
inline constexpr uint32_t kEntryRegular = 0;
inline constexpr uint32_t kEntryCharDevice = 1;
inline constexpr uint32_t kEntryBlockDevice = 2;
inline constexpr uint32_t kEntryFifo = 3;
inline constexpr uint32_t kEntrySocket = 4;
inline constexpr uint32_t kEntrySymlink = 5;
inline constexpr uint32_t kEntryDirectory = 128;

// Argument of SetAccessRights and the create operations; the POSIX layer uses unix_mode only.
struct access_rights {
  uint32_t attributes = 0;
  uint32_t unix_mode = 0;
};

class i_dir;
class rio_dir;

// A change-notification callback. Reference counted: the count follows the
// vtable pointer; dropping the last reference calls Destroy.
class dir_notification_callback {
 public:
  // Called with a temporary directory on the watched path after a change, on
  // the notification thread; `directory` lives only for the call.
  virtual void Changed(rio_dir* directory) = 0;
  // Unused slot, kept so that Destroy stays third.
  virtual void Reserved() {}
  // Runs once, at the last Release; the default deletes the object.
  virtual void Destroy() { delete this; }
  // Thread-safe: the watch and the notification thread hold references too.
  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) Destroy();
  }

 protected:
  virtual ~dir_notification_callback() = default;

 private:
  std::atomic<uint64_t> refs_{1};
};

// A path handed to ResolveSymLinks: yields its parts one by one.
class path_object {
 public:
  virtual ~path_object() = default;
  // The next part of the path, or null when none is left.
  virtual const char16_t* NextPart() = 0;
};

class i_dir : public virtual file_object {
 public:
  class iterator;

  // Opens for reading the entry named `name`, the one `entry` stands on, or the
  // one `identifier` names. Unless `no_lock` is set the file may hold a
  // whole-file lock while it lives (POSIX: shared for reading, exclusive for
  // writing; a conflicting open, even in this process, fails with 0x40014).
  // Null on failure (0x40007), for instance for a missing entry, a directory,
  // an iterator without a current entry, or an iterator or identifier this
  // directory cannot read.
  virtual si_file* OpenI(const char16_t* name, bool no_lock) = 0;
  virtual si_file* OpenI(iterator* entry, bool no_lock) = 0;
  virtual si_file* OpenI(const file_identifier* identifier, bool no_lock) = 0;
  // A directory object on the entry named, stood on or identified. May succeed
  // for an entry that is missing or no directory (POSIX makes no system call):
  // the first operation on the result then fails. Null on failure (0x40007,
  // or 0x4000E where there are no subdirectories).
  virtual i_dir* OpenDir(const char16_t* name) = 0;
  virtual i_dir* OpenDir(iterator* entry) = 0;
  virtual i_dir* OpenDir(const file_identifier* identifier) = 0;
  // Opens the directory part of *path and advances *path to its last component;
  // without a separator returns OpenDir(".") and leaves *path alone. On failure
  // *path is left alone too.
  virtual i_dir* OpenParentDir(const char16_t** path) = 0;
  // A second object on this directory; the default returns null without an error.
  virtual i_dir* OpenSelf() { return nullptr; }
  // A well-known directory of the system (kinds: see the POSIX directory).
  // Default and unknown kinds: null with 0x4000E.
  virtual i_dir* OpenSpecialDir(uint32_t kind);
  // Iterator over all entries except "." and "..", already standing on the
  // first one: on an empty directory its last error is already 0x40002 (end of
  // file), so test it before reading the first entry. Null on failure (0x40007).
  virtual iterator* GetIterator() = 0;
  // Iterator standing on the one entry `name`, not following a final symbolic
  // link; not meant for Next. Null on failure (0x40011 when missing).
  virtual iterator* GetIterator(const char16_t* name) = 0;
  virtual iterator* GetIterator(const file_identifier* identifier) = 0;
  // Iterator standing on the directory itself, as an entry of its parent.
  virtual iterator* GetSelfIterator() = 0;
  // The directory's own path, owned by the directory and valid while it lives;
  // null when unknown. The default sets no error.
  virtual const char16_t* GetFullPath() { return nullptr; }
  // 0 same, 1 `other` lies inside this one, 2 unrelated (also for null and for
  // a class of directory it cannot compare). Sets no error.
  virtual int CompareDir(i_dir* other) = 0;
  // Orders two identifiers made by this directory: negative, 0 or positive.
  virtual int CompareIdentifiers(const file_identifier* a, const file_identifier* b) = 0;
  // Capability bits, read by no caller here; keep the defaults (POSIX: 0x83).
  virtual uint32_t GetFeatureFlags() { return 0x89; }
  // Bytes in total, free, and free to unprivileged users of the volume holding
  // the directory; on failure the outputs are untouched. Default: 0x4000E.
  virtual void GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available);
  // The volume's name into `label`. Default: 0x4000E, `label` untouched.
  virtual void GetVolumeLabel(UString& label);
  // The separators of names: default backslash and "/" (POSIX: "/" only), with
  // the backslash as the one to write. None of the three can fail.
  virtual bool IsPathSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }
  virtual char16_t GetPathSeparator() { return u'\\'; }
  virtual bool IsUnixStyle() { return false; }
  // A directory control request; `record` starts with its code. Default:
  // 0x4000E, replacing any stored error.
  void IOCTL(void* record) override;
  // Watches the directory: `callback` (a reference is taken, the old callback
  // released) is called after a change, and the watch then rests until
  // RenewNotification; null stops the watch. Default: 0x4000E.
  virtual void EnableNotification(dir_notification_callback* callback);
  // Resumes the watch after a reported change; nothing without a watch.
  virtual void RenewNotification() {}
  // The directory and the remaining path: by default OpenDir(".") paired with
  // the path's next part (null rest for a null path); a path with no part left
  // fails with 0x40006 and null. A failed OpenDir is returned as it is. The
  // confined and container directories refuse it (0x4000E).
  virtual std::pair<i_dir*, const char16_t*> ResolveSymLinks(path_object* path);
  // Shell objects do not exist here: null (a pair of nulls). The defaults set
  // no error; the confined and container directories store 0x4000E.
  virtual void* GetShellIDLIST(const char16_t*) { return nullptr; }
  virtual std::pair<void*, void*> ResolveShellIDLIST(void*) { return {nullptr, nullptr}; }
  virtual void* GetShellObject(const char16_t*) { return nullptr; }
  ~i_dir() override = default;
};

// An iterator stands on one entry at a time; the accessors describe it. Once
// Next has failed, the failure is final. An accessor that cannot answer (an
// error is stored, no current entry, the status cannot be read) returns its
// failure value: 0, null, 0xFFFFFFFF for modes and ids, 1 for the link count,
// true for IsHidden; test the last error. The values in brackets are defaults.
class i_dir::iterator : public virtual file_object {
 public:
  ~iterator() override = default;
  // Advances to the next entry; false at the end (0x40002, end of file) or on a
  // failure, and nothing while an error is stored.
  virtual bool Next() = 0;
  // A new identifier of the entry, owned by the caller; null without an entry.
  virtual file_identifier* GetIdentifier() = 0;
  // The entry name, owned by the iterator and valid until Next.
  virtual const char16_t* GetName() = 0;
  // Reserved slots, read by no caller here [null, GetName, 0].
  virtual const char16_t* GetFurtherName() { return nullptr; }
  virtual const char16_t* GetAltName() { return GetName(); }
  virtual uint64_t GetFurtherValue1() { return 0; }
  // Size in bytes, and bytes allocated on disk [GetSize].
  virtual uint64_t GetSize() = 0;
  virtual uint64_t GetAllocatedSize() { return GetSize(); }
  // Entry type code (kEntry...); a symbolic link is never followed. 0 on
  // failure, which is also kEntryRegular.
  virtual uint32_t GetType() = 0;
  // Times in milliseconds since 1970-01-01 UTC [0].
  virtual int64_t GetModificationTime() { return 0; }
  virtual int64_t GetChangeTime() { return 0; }
  virtual int64_t GetExtraTime() { return 0; }
  virtual int64_t GetAccessTime() { return 0; }
  // [0xFFFFFFFF: unknown]; POSIX gives the whole st_mode word as permissions.
  virtual uint32_t GetDOSAttributes() { return 0xFFFFFFFF; }
  virtual uint32_t GetUnixPermissions() { return 0xFFFFFFFF; }
  // POSIX: the name begins with "." [false].
  virtual bool IsHidden() { return false; }
  // Owner ids [0xFFFFFFFF: unknown].
  virtual uint32_t GetUnixUser() { return 0xFFFFFFFF; }
  virtual uint32_t GetUnixGroup() { return 0xFFFFFFFF; }
  // Reserved slot [0].
  virtual uint64_t GetFurtherValue2() { return 0; }
  // Hard links to the entry [1].
  virtual uint64_t GetLinkCount() { return 1; }
  // Device number of a device entry [0].
  virtual uint32_t GetDeviceMajor() { return 0; }
  virtual uint32_t GetDeviceMinor() { return 0; }
  // Reserved slot [1].
  virtual uint64_t GetFurtherValue3() { return 1; }
  // [0: unknown].
  virtual uint64_t GetInodeNumber() { return 0; }
  // Target of a symbolic link, owned by the iterator; null otherwise.
  virtual const char16_t* GetLinkTarget() { return nullptr; }
};

class si_dir : public i_dir {};
class ri_dir : public si_dir {};

// The writing half. Names and errors as for i_dir; only the opens return a value.
class o_dir : public virtual file_object {
 public:
  // Opens the existing file `name` for writing (no truncation); locking as for
  // OpenI, exclusive. Null on failure (0x40007).
  virtual ro_file* OpenO(const char16_t* name, bool no_lock) = 0;
  // Removes the entry `name`, which is no directory (0x40008).
  virtual void Remove(const char16_t* name) = 0;
  // Renames the entry (0x40009; the error carries both paths). POSIX replaces
  // an existing `new_name` as rename(2) does.
  virtual void Rename(const char16_t* old_name, const char16_t* new_name) = 0;
  // Makes `new_name` a hard link to `existing`. Default: 0x4000E.
  virtual void CreateHardLink(const char16_t* existing, const char16_t* new_name);
  // Makes `link` a symbolic link holding `target` as given (not joined onto
  // this directory). Default: 0x4000E.
  virtual void CreateSymLink(const char16_t* link, const char16_t* target);
  // Makes the directory with the record's mode (null: 0755). Failure: 0x4000A,
  // 0x40013 when the name exists.
  virtual void CreateDir(const char16_t* name, const access_rights* rights) = 0;
  // Removes the empty directory `name` (0x40008).
  virtual void RemoveDir(const char16_t* name) = 0;
  // Makes the directory's entries durable: names created in it or renamed into
  // or out of it survive a power loss once this returns without error. The
  // default has nothing to sync.
  virtual void Flush() {}
  // Change the attributes of an entry. Defaults: 0x4000E; the POSIX directory
  // sets the record's unix_mode through SetUnixPermissions, refuses to change
  // a symbolic link's mode (0x4000E) and changes a link's owner, not its target's.
  virtual void SetAccessRights(const char16_t* name, const access_rights& rights);
  virtual void SetDOSAttributes(const char16_t* name, uint32_t attributes);
  virtual void SetUnixPermissions(const char16_t* name, uint32_t mode);
  virtual void SetUnixOwner(const char16_t* name, uint32_t user, uint32_t group);
  // Makes an entry of type code `type` (kEntryRegular to kEntrySocket) with the
  // low 12 bits of `permissions`; another type fails with 0x4000A. Default: 0x4000E.
  virtual void CreateDeviceNode(const char16_t* name, uint32_t type, uint32_t permissions, uint32_t major,
                                uint32_t minor);
  // Creates or truncates the file `name`, with the record's mode (null: 0644).
  // Null on failure (0x4000A).
  virtual ro_file* CreateO(const char16_t* name, bool no_lock, const access_rights* rights) = 0;
  // As the i_dir operations of the same name.
  virtual o_dir* OpenDir(const char16_t* name) = 0;
  virtual o_dir* OpenParentDir(const char16_t** path) = 0;
  ~o_dir() override = default;
};

class ro_dir : public o_dir {};

// Both halves; every open returns a read-write file or directory type.
class rio_dir : public ri_dir, public ro_dir {
 public:
  rio_file* OpenI(const char16_t* name, bool no_lock) override = 0;
  rio_file* OpenI(iterator* entry, bool no_lock) override = 0;
  rio_file* OpenI(const file_identifier* identifier, bool no_lock) override = 0;
  rio_dir* OpenDir(const char16_t* name) override = 0;
  rio_dir* OpenDir(iterator* entry) override = 0;
  rio_dir* OpenDir(const file_identifier* identifier) override = 0;
  rio_dir* OpenParentDir(const char16_t** path) override = 0;
  // OpenDir(".").
  rio_dir* OpenSelf() override { return OpenDir(u"."); }
  // Default: null with 0x4000E.
  rio_dir* OpenSpecialDir(uint32_t kind) override;
  // Open an existing file for writing (OpenO) or reading and writing (OpenIO),
  // by name, by the entry an iterator stands on, or by identifier; no
  // truncation. Locking and failures as for OpenI.
  rio_file* OpenO(const char16_t* name, bool no_lock) override = 0;
  virtual rio_file* OpenO(iterator* entry, bool no_lock) = 0;
  virtual rio_file* OpenO(const file_identifier* identifier, bool no_lock) = 0;
  virtual rio_file* OpenIO(const char16_t* name, bool no_lock) = 0;
  virtual rio_file* OpenIO(iterator* entry, bool no_lock) = 0;
  virtual rio_file* OpenIO(const file_identifier* identifier, bool no_lock) = 0;
  // Creates or truncates the file, read-write, with the record's mode (null:
  // 0644). Null on failure (0x4000A). Unless `no_lock` is set, a file another
  // opener holds is neither truncated nor opened (0x40014).
  virtual rio_file* CreateIO(const char16_t* name, bool no_lock, const access_rights* rights) = 0;
  // CreateIO seen as an output file.
  rio_file* CreateO(const char16_t* name, bool no_lock, const access_rights* rights) override {
    return CreateIO(name, no_lock, rights);
  }
  // The i_dir default (0x4000E) for both halves.
  void IOCTL(void* record) override { i_dir::IOCTL(record); }
  ~rio_dir() override = default;
};
