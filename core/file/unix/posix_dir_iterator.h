#pragma once
// The iterators of a posix_dir: one over a directory stream, one standing on a
// single entry, and the accessors both answer from lstat of the entry.

#include <dirent.h>
#include <sys/stat.h>

#include <string>

#include "core/file/unix/posix_dir.h"

// Common part of both iterators: the accessors, answered from lstat of the entry.
class posix_dir::stat_iterator : public i_dir::iterator {
 public:
  ~stat_iterator() override;

  file_identifier* GetIdentifier() override;
  const char16_t* GetName() override;
  uint64_t GetSize() override;
  uint64_t GetAllocatedSize() override;
  uint32_t GetType() override;
  int64_t GetModificationTime() override;
  int64_t GetChangeTime() override;
  int64_t GetAccessTime() override;
  uint32_t GetUnixPermissions() override;
  bool IsHidden() override;
  uint32_t GetUnixUser() override;
  uint32_t GetUnixGroup() override;
  uint64_t GetLinkCount() override;
  uint32_t GetDeviceMajor() override;
  uint32_t GetDeviceMinor() override;
  uint64_t GetInodeNumber() override;
  const char16_t* GetLinkTarget() override;

  // The entry name as the system gave it; null without a current entry.
  virtual const char* GetNarrowName() = 0;
  // The current entry's link target into `buffer` like readlink(2).
  virtual ssize_t ReadLink(char* buffer, size_t size) = 0;
  // Makes the entry's status available; false with the last error set.
  virtual bool StatFile() = 0;
  // Directory path (with "/" unless it is the root) plus the narrow name; empty
  // without a current entry.
  std::string EntryPath();

 protected:
  explicit stat_iterator(std::string directory_prefix);
  // The entry's type from the directory entry itself, DT_UNKNOWN when unknown.
  virtual unsigned char EntryDType() { return DT_UNKNOWN; }
  // Forgets everything cached about the current entry.
  void ResetEntry();

  std::string directory_prefix_;
  UString name_;
  bool name_made_ = false;
  struct stat status_ {};
  bool status_valid_ = false;
  std::string status_path_;  // the entry whose status was taken last, for errors
  UString link_target_;
  bool link_target_read_ = false;
};

// Iterates a directory stream, skipping "." and "..". A new iterator already
// stands on the first entry; after the last one its last error is 0x40002.
class posix_dir::iterator : public posix_dir::stat_iterator {
 public:
  // Takes over `fd` (the directory opened for reading, or -1 with errno) as the
  // stream; null with `error` set when that fails.
  static iterator* Open(const std::string& directory, int fd, Common::Error& error);
  ~iterator() override;

  bool Next() override;
  const char* GetNarrowName() override;
  ssize_t ReadLink(char* buffer, size_t size) override;
  bool StatFile() override;
  // The entry's inode as the listing reports it where that equals lstat's
  // (a non-directory in a directory that entry_inodes_ vouches for), else
  // from lstat: a listing of plain files costs no status call per entry.
  uint64_t GetInodeNumber() override;

 protected:
  unsigned char EntryDType() override;

 private:
  iterator(std::string directory_prefix, DIR* stream);
  DIR* stream_;
  struct dirent* entry_ = nullptr;
  bool entry_inodes_ = false;  // DirectoryEntriesCarryInodes of the stream
};

// Stands on one entry, whose status (and a link's target) it takes once, when
// it is made; Next fails with 0x4000E.
class posix_dir::self_iterator : public posix_dir::stat_iterator {
 public:
  // lstat of `path`, beneath `root` when not null; null with the mapped error
  // (default 0x40001, "path" tag) set.
  static self_iterator* Open(const RootDescriptor* root, const std::string& path, Common::Error& error);

  bool Next() override;
  const char* GetNarrowName() override { return name_bytes_.c_str(); }
  ssize_t ReadLink(char* buffer, size_t size) override;
  bool StatFile() override;

 private:
  self_iterator(std::string directory_prefix, std::string name, const struct stat& status);
  std::string name_bytes_;
  std::string target_;  // a link's target, read when the iterator was made
};
