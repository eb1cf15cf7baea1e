#pragma once
// Forwarding wrappers. Each owns one inner object, calls the same operation on
// it with the same arguments and then moves the inner object's last error into
// its own (the inner error becomes empty). A wrapper class overrides only what
// it changes. Directories that the inner directory opens (OpenDir,
// OpenParentDir, OpenSelf) pass through WrapDir on their way out, so a wrapper
// whose behaviour must hold below the first subdirectory overrides that one
// method rather than every way of opening one.

#include <memory>

#include "core/include/file/dir.h"

class rio_dir_delegate : public rio_dir {
 public:
  explicit rio_dir_delegate(std::unique_ptr<rio_dir> inner);
  ~rio_dir_delegate() override;

  rio_dir* Inner() const { return inner_.get(); }

  rio_file* OpenI(const char16_t* name, bool no_lock) override;
  rio_file* OpenI(iterator* entry, bool no_lock) override;
  rio_file* OpenI(const file_identifier* identifier, bool no_lock) override;
  rio_dir* OpenDir(const char16_t* name) override;
  rio_dir* OpenDir(iterator* entry) override;
  rio_dir* OpenDir(const file_identifier* identifier) override;
  rio_dir* OpenParentDir(const char16_t** path) override;
  rio_dir* OpenSelf() override;
  rio_dir* OpenSpecialDir(uint32_t kind) override;
  iterator* GetIterator() override;
  iterator* GetIterator(const char16_t* name) override;
  iterator* GetIterator(const file_identifier* identifier) override;
  iterator* GetSelfIterator() override;
  const char16_t* GetFullPath() override;
  int CompareDir(i_dir* other) override;
  int CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;
  uint32_t GetFeatureFlags() override;
  void GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available) override;
  void GetVolumeLabel(UString& label) override;
  bool IsPathSeparator(char16_t unit) override;
  char16_t GetPathSeparator() override;
  bool IsUnixStyle() override;
  void IOCTL(void* record) override;
  void EnableNotification(dir_notification_callback* callback) override;
  void RenewNotification() override;
  std::pair<i_dir*, const char16_t*> ResolveSymLinks(path_object* path) override;
  void* GetShellIDLIST(const char16_t* name) override;
  std::pair<void*, void*> ResolveShellIDLIST(void* item) override;
  void* GetShellObject(const char16_t* name) override;

  rio_file* OpenO(const char16_t* name, bool no_lock) override;
  void Remove(const char16_t* name) override;
  void Rename(const char16_t* old_name, const char16_t* new_name) override;
  void Flush() override;
  void CreateHardLink(const char16_t* existing, const char16_t* new_name) override;
  void CreateSymLink(const char16_t* link, const char16_t* target) override;
  void CreateDir(const char16_t* name, const access_rights* rights) override;
  void RemoveDir(const char16_t* name) override;
  void SetAccessRights(const char16_t* name, const access_rights& rights) override;
  void SetDOSAttributes(const char16_t* name, uint32_t attributes) override;
  void SetUnixPermissions(const char16_t* name, uint32_t mode) override;
  void SetUnixOwner(const char16_t* name, uint32_t user, uint32_t group) override;
  void CreateDeviceNode(const char16_t* name, uint32_t type, uint32_t permissions, uint32_t major,
                        uint32_t minor) override;

  rio_file* OpenO(iterator* entry, bool no_lock) override;
  rio_file* OpenO(const file_identifier* identifier, bool no_lock) override;
  rio_file* OpenIO(const char16_t* name, bool no_lock) override;
  rio_file* OpenIO(iterator* entry, bool no_lock) override;
  rio_file* OpenIO(const file_identifier* identifier, bool no_lock) override;
  rio_file* CreateIO(const char16_t* name, bool no_lock, const access_rights* rights) override;

 protected:
  // Wraps a directory that the inner directory opened, so that this wrapper's
  // behaviour holds below it too. `path` is the part of the caller's path that
  // led there: the name given to OpenDir (u"." for OpenSelf), the directory
  // part OpenParentDir consumed (up to and including the last separator; empty
  // when there was none), null when opened from an entry or an identifier.
  // Takes ownership of `opened` (never null) and returns the directory to hand
  // back, or null with this object's last error set. The default hands
  // `opened` back as it is.
  virtual rio_dir* WrapDir(std::unique_ptr<rio_dir> opened, const char16_t* path);

  // Moves the inner object's last error into this one, then wraps `opened`
  // (WrapDir) unless it is null. For overrides that open the inner directory
  // by other arguments than their own.
  rio_dir* Adopt(rio_dir* opened, const char16_t* path);

  // Moves the inner object's last error into this one and passes `result` on.
  template <typename T>
  T Moved(T result) {
    last_error_ = inner_->TakeError();
    return result;
  }
  void MoveError() { last_error_ = inner_->TakeError(); }

  std::unique_ptr<rio_dir> inner_;
};

class idir_iterator_delegate : public i_dir::iterator {
 public:
  explicit idir_iterator_delegate(std::unique_ptr<i_dir::iterator> inner);
  ~idir_iterator_delegate() override;

  i_dir::iterator* Inner() const { return inner_.get(); }

  bool Next() override;
  file_identifier* GetIdentifier() override;
  const char16_t* GetName() override;
  const char16_t* GetFurtherName() override;
  const char16_t* GetAltName() override;
  uint64_t GetFurtherValue1() override;
  uint64_t GetSize() override;
  uint64_t GetAllocatedSize() override;
  uint32_t GetType() override;
  int64_t GetModificationTime() override;
  int64_t GetChangeTime() override;
  int64_t GetExtraTime() override;
  int64_t GetAccessTime() override;
  uint32_t GetDOSAttributes() override;
  uint32_t GetUnixPermissions() override;
  bool IsHidden() override;
  uint32_t GetUnixUser() override;
  uint32_t GetUnixGroup() override;
  uint64_t GetFurtherValue2() override;
  uint64_t GetLinkCount() override;
  uint32_t GetDeviceMajor() override;
  uint32_t GetDeviceMinor() override;
  uint64_t GetFurtherValue3() override;
  uint64_t GetInodeNumber() override;
  const char16_t* GetLinkTarget() override;
  void IOCTL(void* record) override;

 protected:
  template <typename T>
  T Moved(T result) {
    last_error_ = inner_->TakeError();
    return result;
  }

  std::unique_ptr<i_dir::iterator> inner_;
};
