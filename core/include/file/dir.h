#pragma once
// The directory interfaces. Every operation that opens or makes an object
// returns a new object owned by the caller (wrap it in std::unique_ptr at once),
// or null with the failure stored as the directory's last error. Names are
// zero-terminated UTF-16; "." names the directory itself.

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
  // Called with a temporary directory on the watched path after a change.
  virtual void Changed(rio_dir* directory) = 0;
  virtual void Reserved() {}
  virtual void Destroy() { delete this; }
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

  virtual si_file* OpenI(const char16_t* name, bool no_lock) = 0;
  virtual si_file* OpenI(iterator* entry, bool no_lock) = 0;
  virtual si_file* OpenI(const file_identifier* identifier, bool no_lock) = 0;
  virtual i_dir* OpenDir(const char16_t* name) = 0;
  virtual i_dir* OpenDir(iterator* entry) = 0;
  virtual i_dir* OpenDir(const file_identifier* identifier) = 0;
  // Opens the directory part of *path and advances *path to its last component;
  // without a separator returns OpenDir(".") and leaves *path alone.
  virtual i_dir* OpenParentDir(const char16_t** path) = 0;
  virtual i_dir* OpenSelf() { return nullptr; }
  virtual i_dir* OpenSpecialDir(uint32_t kind);
  // Iterator over all entries, already standing on the first one.
  virtual iterator* GetIterator() = 0;
  // Iterator standing on the one entry `name`.
  virtual iterator* GetIterator(const char16_t* name) = 0;
  virtual iterator* GetIterator(const file_identifier* identifier) = 0;
  // Iterator standing on the directory itself.
  virtual iterator* GetSelfIterator() = 0;
  // The directory's own path, owned by the directory; null when unknown.
  virtual const char16_t* GetFullPath() { return nullptr; }
  // 0 same, 1 `other` lies inside this one, 2 unrelated.
  virtual int CompareDir(i_dir* other) = 0;
  virtual int CompareIdentifiers(const file_identifier* a, const file_identifier* b) = 0;
  virtual uint32_t GetFeatureFlags() { return 0x89; }
  virtual void GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available);
  virtual void GetVolumeLabel(UString& label);
  virtual bool IsPathSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }
  virtual char16_t GetPathSeparator() { return u'\\'; }
  virtual bool IsUnixStyle() { return false; }
  void IOCTL(void* record) override;
  virtual void EnableNotification(dir_notification_callback* callback);
  virtual void RenewNotification() {}
  // The directory and the remaining path; see the default for its rules.
  virtual std::pair<i_dir*, const char16_t*> ResolveSymLinks(path_object* path);
  virtual void* GetShellIDLIST(const char16_t*) { return nullptr; }
  virtual std::pair<void*, void*> ResolveShellIDLIST(void*) { return {nullptr, nullptr}; }
  virtual void* GetShellObject(const char16_t*) { return nullptr; }
  ~i_dir() override = default;
};

class i_dir::iterator : public virtual file_object {
 public:
  ~iterator() override = default;
  // Advances to the next entry; false at the end.
  virtual bool Next() = 0;
  virtual file_identifier* GetIdentifier() = 0;
  // The entry name, owned by the iterator.
  virtual const char16_t* GetName() = 0;
  virtual const char16_t* GetFurtherName() { return nullptr; }
  virtual const char16_t* GetAltName() { return GetName(); }
  virtual uint64_t GetFurtherValue1() { return 0; }
  virtual uint64_t GetSize() = 0;
  virtual uint64_t GetAllocatedSize() { return GetSize(); }
  virtual uint32_t GetType() = 0;
  // Times in milliseconds since 1970-01-01 UTC.
  virtual int64_t GetModificationTime() { return 0; }
  virtual int64_t GetChangeTime() { return 0; }
  virtual int64_t GetExtraTime() { return 0; }
  virtual int64_t GetAccessTime() { return 0; }
  virtual uint32_t GetDOSAttributes() { return 0xFFFFFFFF; }
  virtual uint32_t GetUnixPermissions() { return 0xFFFFFFFF; }
  virtual bool IsHidden() { return false; }
  virtual uint32_t GetUnixUser() { return 0xFFFFFFFF; }
  virtual uint32_t GetUnixGroup() { return 0xFFFFFFFF; }
  virtual uint64_t GetFurtherValue2() { return 0; }
  virtual uint64_t GetLinkCount() { return 1; }
  virtual uint32_t GetDeviceMajor() { return 0; }
  virtual uint32_t GetDeviceMinor() { return 0; }
  virtual uint64_t GetFurtherValue3() { return 1; }
  virtual uint64_t GetInodeNumber() { return 0; }
  // Target of a symbolic link, owned by the iterator; null otherwise.
  virtual const char16_t* GetLinkTarget() { return nullptr; }
};

class si_dir : public i_dir {};
class ri_dir : public si_dir {};

class o_dir : public virtual file_object {
 public:
  virtual ro_file* OpenO(const char16_t* name, bool no_lock) = 0;
  virtual void Remove(const char16_t* name) = 0;
  virtual void Rename(const char16_t* old_name, const char16_t* new_name) = 0;
  virtual void CreateHardLink(const char16_t* existing, const char16_t* new_name);
  virtual void CreateSymLink(const char16_t* link, const char16_t* target);
  virtual void CreateDir(const char16_t* name, const access_rights* rights) = 0;
  virtual void RemoveDir(const char16_t* name) = 0;
  // Makes the directory's entries durable: names created in it or renamed into
  // or out of it survive a power loss once this returns without error. The
  // default has nothing to sync.
  virtual void Flush() {}
  virtual void SetAccessRights(const char16_t* name, const access_rights& rights);
  virtual void SetDOSAttributes(const char16_t* name, uint32_t attributes);
  virtual void SetUnixPermissions(const char16_t* name, uint32_t mode);
  virtual void SetUnixOwner(const char16_t* name, uint32_t user, uint32_t group);
  virtual void CreateDeviceNode(const char16_t* name, uint32_t type, uint32_t permissions, uint32_t major,
                                uint32_t minor);
  virtual ro_file* CreateO(const char16_t* name, bool no_lock, const access_rights* rights) = 0;
  virtual o_dir* OpenDir(const char16_t* name) = 0;
  virtual o_dir* OpenParentDir(const char16_t** path) = 0;
  ~o_dir() override = default;
};

class ro_dir : public o_dir {};

class rio_dir : public ri_dir, public ro_dir {
 public:
  rio_file* OpenI(const char16_t* name, bool no_lock) override = 0;
  rio_file* OpenI(iterator* entry, bool no_lock) override = 0;
  rio_file* OpenI(const file_identifier* identifier, bool no_lock) override = 0;
  rio_dir* OpenDir(const char16_t* name) override = 0;
  rio_dir* OpenDir(iterator* entry) override = 0;
  rio_dir* OpenDir(const file_identifier* identifier) override = 0;
  rio_dir* OpenParentDir(const char16_t** path) override = 0;
  rio_dir* OpenSelf() override { return OpenDir(u"."); }
  rio_dir* OpenSpecialDir(uint32_t kind) override;
  rio_file* OpenO(const char16_t* name, bool no_lock) override = 0;
  virtual rio_file* OpenO(iterator* entry, bool no_lock) = 0;
  virtual rio_file* OpenO(const file_identifier* identifier, bool no_lock) = 0;
  virtual rio_file* OpenIO(const char16_t* name, bool no_lock) = 0;
  virtual rio_file* OpenIO(iterator* entry, bool no_lock) = 0;
  virtual rio_file* OpenIO(const file_identifier* identifier, bool no_lock) = 0;
  // Creates or truncates the file, read-write.
  virtual rio_file* CreateIO(const char16_t* name, bool no_lock, const access_rights* rights) = 0;
  // CreateIO seen as an output file.
  rio_file* CreateO(const char16_t* name, bool no_lock, const access_rights* rights) override {
    return CreateIO(name, no_lock, rights);
  }
  void IOCTL(void* record) override { i_dir::IOCTL(record); }
  ~rio_dir() override = default;
};
