#pragma once
// posix_dir: the rio_dir over one directory of the local file system. It holds
// its absolute, normalised path; every name is narrowed to the file system's
// bytes and joined lexically onto that path (".." stops at "/"; lexical
// confinement below a root is the chroot layer's job). A confined posix_dir
// (MakeConfinedPosixDir) also shares the descriptor of its served root and
// resolves every path beneath it, so no symbolic link in the tree leads out
// (such a path fails with 0x40014, access denied). Failures become the
// directory's last error: the mapped errno with the path as the "path" tag (or
// "path1" and "path2"), and the POSIX record as the inner error.
//
// One thread at a time uses a posix_dir and each of its iterators. The change
// notification runs on one polling thread shared by every directory
// (notification_poller.h); the iterators are in posix_dir_iterator.h and the
// special directories in posix_special_dir.cc.

#include <sys/stat.h>

#include <memory>
#include <string>

#include "core/file/unix/posix_identifier.h"
#include "core/file/unix/root_descriptor.h"
#include "core/include/file/dir.h"

struct NotificationWatch;

class posix_dir : public rio_dir {
 public:
  class stat_iterator;
  class iterator;
  class self_iterator;

  // `path` must be absolute and normalised (MakePosixDir normalises any path);
  // with a `root`, it must lie below the root's path.
  explicit posix_dir(std::string path, std::shared_ptr<const RootDescriptor> root = nullptr);
  // Drops this directory's change-notification watch, if any.
  ~posix_dir() override;

  const std::string& Path() const { return path_; }

  // Joins a narrow `name` onto the absolute `directory` lexically: a leading "/"
  // restarts from "/", empty components and "." are skipped, ".." removes the
  // last component and never climbs above "/".
  static std::string JoinPath(const std::string& directory, const std::string& name);

  rio_file* OpenI(const char16_t* name, bool no_lock) override;
  rio_file* OpenI(i_dir::iterator* entry, bool no_lock) override;
  rio_file* OpenI(const file_identifier* identifier, bool no_lock) override;
  rio_dir* OpenDir(const char16_t* name) override;
  rio_dir* OpenDir(i_dir::iterator* entry) override;
  rio_dir* OpenDir(const file_identifier* identifier) override;
  rio_dir* OpenParentDir(const char16_t** path) override;
  // 143 "/var/lib", 144 and 145 the user's home, 149 "/tmp", 156 "/var/log".
  // Refused (0x4000E) when confined: they lie outside the served tree.
  rio_dir* OpenSpecialDir(uint32_t kind) override;
  i_dir::iterator* GetIterator() override;
  i_dir::iterator* GetIterator(const char16_t* name) override;
  i_dir::iterator* GetIterator(const file_identifier* identifier) override;
  i_dir::iterator* GetSelfIterator() override;
  // The path widened, with "/" appended unless it is the root; owned by the directory.
  const char16_t* GetFullPath() override;
  int CompareDir(i_dir* other) override;
  int CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;
  uint32_t GetFeatureFlags() override { return 0x83; }
  void GetDriveSize(uint64_t& total, uint64_t& free, uint64_t& available) override;
  bool IsPathSeparator(char16_t unit) override { return unit == u'/'; }
  char16_t GetPathSeparator() override { return u'/'; }
  bool IsUnixStyle() override { return true; }
  // Polls the directory's modification time about once a second and calls
  // `callback` with a temporary directory on this path after a change; the
  // watch then waits for RenewNotification. Null stops the watch.
  void EnableNotification(dir_notification_callback* callback) override;
  void RenewNotification() override;

  rio_file* OpenO(const char16_t* name, bool no_lock) override;
  void Remove(const char16_t* name) override;
  void Rename(const char16_t* old_name, const char16_t* new_name) override;
  void CreateHardLink(const char16_t* existing, const char16_t* new_name) override;
  void CreateSymLink(const char16_t* link, const char16_t* target) override;
  void CreateDir(const char16_t* name, const access_rights* rights) override;
  void RemoveDir(const char16_t* name) override;
  // fsync of the directory (opened for reading, beneath the root when
  // confined); failure: the mapped error, default 0x40003.
  void Flush() override;
  void SetAccessRights(const char16_t* name, const access_rights& rights) override;
  // Refuses symbolic links (0x4000E) instead of following them.
  void SetUnixPermissions(const char16_t* name, uint32_t mode) override;
  void SetUnixOwner(const char16_t* name, uint32_t user, uint32_t group) override;
  // Type codes 0 regular, 1 character device, 2 block device, 3 FIFO, 4 socket.
  void CreateDeviceNode(const char16_t* name, uint32_t type, uint32_t permissions, uint32_t major,
                        uint32_t minor) override;

  rio_file* OpenO(i_dir::iterator* entry, bool no_lock) override;
  rio_file* OpenO(const file_identifier* identifier, bool no_lock) override;
  rio_file* OpenIO(const char16_t* name, bool no_lock) override;
  rio_file* OpenIO(i_dir::iterator* entry, bool no_lock) override;
  rio_file* OpenIO(const file_identifier* identifier, bool no_lock) override;
  // Creates or truncates, read-write. Unless `no_lock` is set the file is
  // truncated only after its whole-file lock is held, so a file another opener
  // holds keeps its contents.
  rio_file* CreateIO(const char16_t* name, bool no_lock, const access_rights* rights) override;

 private:
  // Clears the last error and joins `name` onto the path. A null name, or a
  // non-empty name that cannot be narrowed, stores a plain `code` error and
  // returns false.
  bool BuildPath(const char16_t* name, uint32_t code, std::string& path);
  // The full path of the entry an iterator stands on or an identifier names;
  // false with `code` stored when there is none.
  bool EntryPath(i_dir::iterator* entry, uint32_t code, std::string& path);
  bool EntryPath(const file_identifier* identifier, uint32_t code, std::string& path);
  rio_file* OpenByName(const char16_t* name, int flags, bool no_lock, const access_rights* rights);
  rio_file* OpenWorker(const std::string& path, int flags, bool no_lock, mode_t mode);
  i_dir::iterator* MakeSelfIterator(const std::string& path);
  // open(2) of the absolute `path`, beneath the root when confined; -1 with errno.
  int OpenPath(const std::string& path, int flags, mode_t mode = 0);
  // The error of a failed resolution or system call: an escape from the served
  // tree (EXDEV while resolving) is access denied, anything else as mapped.
  static Common::Error ResolveError(int error, uint32_t code, const std::string& path, Common::SourceLocation where);

  std::string path_;
  std::shared_ptr<const RootDescriptor> root_;  // null: not confined
  UString full_path_;
  bool full_path_made_ = false;
  NotificationWatch* watch_ = nullptr;  // guarded by the poller's mutex
};

// A posix_dir on the process's current working directory (read once; "/" when unknown).
std::unique_ptr<posix_dir> MakeCurrentPosixDir();

// A posix_dir on `path`, normalised; a relative path is taken from the current
// working directory.
std::unique_ptr<posix_dir> MakePosixDir(const std::string& path);

// A posix_dir on `path` (normalised as above) that resolves every path beneath
// the descriptor of that directory, opened now. Null with `error` (mapped,
// default 0x40007) when it cannot be opened as a directory.
std::unique_ptr<posix_dir> MakeConfinedPosixDir(const std::string& path, Common::Error& error);
