#include "core/file/unix/posix_dir_iterator.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "core/common/file_name.h"
#include "core/file/unix/entry_inodes.h"
#include "core/file/unix/posix_error.h"
#include "core/file/unix/safe_close.h"

using Common::Error;

namespace {

int64_t Milliseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

uint32_t TypeOfMode(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFCHR: return kEntryCharDevice;
    case S_IFBLK: return kEntryBlockDevice;
    case S_IFIFO: return kEntryFifo;
    case S_IFSOCK: return kEntrySocket;
    case S_IFLNK: return kEntrySymlink;
    case S_IFDIR: return kEntryDirectory;
    default: return kEntryRegular;
  }
}

}  // namespace

posix_dir::stat_iterator::stat_iterator(std::string directory_prefix)
    : directory_prefix_(std::move(directory_prefix)) {}

posix_dir::stat_iterator::~stat_iterator() = default;

void posix_dir::stat_iterator::ResetEntry() {
  name_.clear();
  name_made_ = false;
  status_valid_ = false;
  status_path_.clear();
  link_target_.clear();
  link_target_read_ = false;
}

std::string posix_dir::stat_iterator::EntryPath() {
  const char* name = HasError() ? nullptr : GetNarrowName();
  return name ? directory_prefix_ + name : std::string();
}

file_identifier* posix_dir::stat_iterator::GetIdentifier() {
  std::string path = EntryPath();
  return path.empty() ? nullptr : new the_identifier(path);
}

const char16_t* posix_dir::stat_iterator::GetName() {
  if (HasError()) return nullptr;
  if (!name_made_) {
    const char* name = GetNarrowName();
    if (name == nullptr) return nullptr;
    name_ = Common::WidenFileName(name);
    name_made_ = true;
  }
  return name_.c_str();
}

uint64_t posix_dir::stat_iterator::GetSize() { return StatFile() ? static_cast<uint64_t>(status_.st_size) : 0; }

uint64_t posix_dir::stat_iterator::GetAllocatedSize() {
  return StatFile() ? static_cast<uint64_t>(status_.st_blocks) * 512 : 0;
}

uint32_t posix_dir::stat_iterator::GetType() {
  if (HasError()) return 0;
  if (!status_valid_) {
    switch (EntryDType()) {
      case DT_REG: return kEntryRegular;
      case DT_CHR: return kEntryCharDevice;
      case DT_BLK: return kEntryBlockDevice;
      case DT_FIFO: return kEntryFifo;
      case DT_SOCK: return kEntrySocket;
      case DT_LNK: return kEntrySymlink;
      case DT_DIR: return kEntryDirectory;
      default: break;
    }
  }
  return StatFile() ? TypeOfMode(status_.st_mode) : 0;
}

int64_t posix_dir::stat_iterator::GetModificationTime() { return StatFile() ? Milliseconds(status_.st_mtim) : 0; }

int64_t posix_dir::stat_iterator::GetChangeTime() { return StatFile() ? Milliseconds(status_.st_ctim) : 0; }

int64_t posix_dir::stat_iterator::GetAccessTime() { return StatFile() ? Milliseconds(status_.st_atim) : 0; }

uint32_t posix_dir::stat_iterator::GetUnixPermissions() { return StatFile() ? status_.st_mode : 0xFFFFFFFF; }

bool posix_dir::stat_iterator::IsHidden() {
  // Answered from the name alone: no status is needed.
  const char* name = HasError() ? nullptr : GetNarrowName();
  return name == nullptr || name[0] == '.';
}

uint32_t posix_dir::stat_iterator::GetUnixUser() { return StatFile() ? status_.st_uid : 0xFFFFFFFF; }

uint32_t posix_dir::stat_iterator::GetUnixGroup() { return StatFile() ? status_.st_gid : 0xFFFFFFFF; }

uint64_t posix_dir::stat_iterator::GetLinkCount() { return StatFile() ? status_.st_nlink : 1; }

uint32_t posix_dir::stat_iterator::GetDeviceMajor() { return StatFile() ? major(status_.st_rdev) : 0; }

uint32_t posix_dir::stat_iterator::GetDeviceMinor() { return StatFile() ? minor(status_.st_rdev) : 0; }

uint64_t posix_dir::stat_iterator::GetInodeNumber() { return StatFile() ? status_.st_ino : 0; }

const char16_t* posix_dir::stat_iterator::GetLinkTarget() {
  if (!StatFile() || !S_ISLNK(status_.st_mode)) return nullptr;
  if (!link_target_read_) {
    char buffer[4096];
    ssize_t length = ReadLink(buffer, sizeof(buffer) - 1);
    if (length < 0) {
      SetError(PosixError(errno, Common::kErrReadFailed, ZYK_HERE, status_path_.c_str()));
      return nullptr;
    }
    buffer[length] = '\0';
    link_target_ = Common::WidenFileName(buffer);
    link_target_read_ = true;
  }
  return link_target_.c_str();
}

posix_dir::iterator::iterator(std::string directory_prefix, DIR* stream)
    : stat_iterator(std::move(directory_prefix)), stream_(stream) {}

posix_dir::iterator::~iterator() { ::closedir(stream_); }

posix_dir::iterator* posix_dir::iterator::Open(const std::string& directory, int fd, Error& error) {
  DIR* stream = fd < 0 ? nullptr : ::fdopendir(fd);
  if (stream == nullptr) {
    error = PosixError(errno, Common::kErrOpenFailed, ZYK_HERE, directory.c_str());
    if (fd >= 0) SafeClose(fd);
    return nullptr;
  }
  std::string prefix = directory.size() > 1 ? directory + "/" : directory;
  iterator* result = new iterator(std::move(prefix), stream);
  result->entry_inodes_ = DirectoryEntriesCarryInodes(fd);
  result->Next();
  return result;
}

bool posix_dir::iterator::Next() {
  if (HasError()) return false;
  ResetEntry();
  for (;;) {
    // readdir is safe for concurrent use of different streams, and one thread
    // at a time uses this one.
    errno = 0;
    entry_ = ::readdir(stream_);
    if (entry_ == nullptr) {
      if (errno != 0) {
        SetError(PosixError(errno, Common::kErrNotFound, ZYK_HERE, directory_prefix_.c_str()));
      } else {
        SetError(Error::File(Common::kErrEndOfFile, ZYK_HERE));
      }
      return false;
    }
    const char* name = entry_->d_name;
    if (::strcmp(name, ".") == 0 || ::strcmp(name, "..") == 0) continue;
    return true;
  }
}

const char* posix_dir::iterator::GetNarrowName() { return entry_ ? entry_->d_name : nullptr; }

ssize_t posix_dir::iterator::ReadLink(char* buffer, size_t size) {
  if (entry_ == nullptr) {
    errno = ENOENT;
    return -1;
  }
  return ::readlinkat(::dirfd(stream_), entry_->d_name, buffer, size);
}

uint64_t posix_dir::iterator::GetInodeNumber() {
  if (entry_inodes_ && !status_valid_ && !HasError() && entry_ != nullptr) {
    unsigned char type = entry_->d_type;
    if (type != DT_DIR && type != DT_UNKNOWN) return entry_->d_ino;
  }
  return stat_iterator::GetInodeNumber();
}

unsigned char posix_dir::iterator::EntryDType() {
  return entry_ ? entry_->d_type : static_cast<unsigned char>(DT_UNKNOWN);
}

bool posix_dir::iterator::StatFile() {
  if (HasError()) return false;
  if (entry_ == nullptr) {
    SetError(Error::File(Common::kErrReadFailed, ZYK_HERE));
    return false;
  }
  // Relative to the open stream: the entry is looked up in the listed directory
  // itself, whatever happened to its path meanwhile, and no path is built.
  if (::fstatat(::dirfd(stream_), entry_->d_name, &status_, AT_SYMLINK_NOFOLLOW) != 0) {
    int error_number = errno;
    status_valid_ = false;
    std::string path = directory_prefix_ + entry_->d_name;
    SetError(PosixError(error_number, Common::kErrReadFailed, ZYK_HERE, path.c_str()));
    return false;
  }
  status_valid_ = true;
  if (S_ISLNK(status_.st_mode)) status_path_ = directory_prefix_ + entry_->d_name;
  return true;
}

posix_dir::self_iterator::self_iterator(std::string directory_prefix, std::string name, const struct stat& status)
    : stat_iterator(std::move(directory_prefix)), name_bytes_(std::move(name)) {
  status_ = status;
  status_valid_ = true;
  if (S_ISLNK(status_.st_mode)) status_path_ = directory_prefix_ + name_bytes_;
}

posix_dir::self_iterator* posix_dir::self_iterator::Open(const RootDescriptor* root, const std::string& path,
                                                         Error& error) {
  EntryLocation where;
  struct stat status;
  if (!where.Locate(root, path) || ::fstatat(where.Directory(), where.Name(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    error = ResolveError(errno, Common::kErrReadFailed, path, ZYK_HERE);
    return nullptr;
  }
  std::string target;
  if (S_ISLNK(status.st_mode)) {
    char buffer[4096];
    ssize_t length = ::readlinkat(where.Directory(), where.Name(), buffer, sizeof(buffer) - 1);
    if (length < 0) {
      error = PosixError(errno, Common::kErrReadFailed, ZYK_HERE, path.c_str());
      return nullptr;
    }
    target.assign(buffer, static_cast<size_t>(length));
  }
  // "/a/b" stands on "b" in "/a/"; the root stands on "/" itself.
  size_t slash = path.rfind('/');
  self_iterator* result = path == "/" || slash == std::string::npos
                              ? new self_iterator("", path, status)
                              : new self_iterator(path.substr(0, slash + 1), path.substr(slash + 1), status);
  result->target_ = std::move(target);
  return result;
}

ssize_t posix_dir::self_iterator::ReadLink(char* buffer, size_t size) {
  size_t length = std::min(size, target_.size());
  ::memcpy(buffer, target_.data(), length);
  return static_cast<ssize_t>(length);
}

bool posix_dir::self_iterator::Next() {
  SetError(Error::File(Common::kErrNotSupported, ZYK_HERE));
  return false;
}

bool posix_dir::self_iterator::StatFile() {
  if (HasError()) return false;
  if (!status_valid_) {
    SetError(Error::File(Common::kErrNotSupported, ZYK_HERE));
    return false;
  }
  return true;
}
