#include "core/file/unix/entry_inodes.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

namespace {

#ifndef XFS_SUPER_MAGIC
#define XFS_SUPER_MAGIC 0x58465342
#endif

bool FileSystemKeepsEntryInodes(int fd) {
  struct statfs info;
  if (::fstatfs(fd, &info) != 0) return false;
  switch (static_cast<unsigned long>(info.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case BTRFS_SUPER_MAGIC: return true;
    default: return false;
  }
}

// The mount table field escapes space, tab, newline and backslash as \ooo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The directories that directly hold a mount point, read from the process's
// mount table and read again only when the kernel reports that it changed.
class MountParents {
 public:
  // Whether `directory` (a path as the process sees it) directly holds a mount
  // point; true when the table cannot be read.
  bool Holds(const std::string& directory) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Refresh()) return true;
    return parents_.count(directory) != 0;
  }

 private:
  // Rereads the table on first use and after the kernel flagged a change.
  bool Refresh() {
    if (fd_ < 0) {
      fd_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
      if (fd_ < 0) return false;
      return Read();
    }
    struct pollfd watch = {fd_, POLLPRI, 0};
    if (::poll(&watch, 1, 0) < 0) return false;
    if (watch.revents & (POLLERR | POLLPRI)) return Read();
    return valid_;
  }

  bool Read() {
    std::string text;
    char chunk[8192];
    valid_ = false;
    if (::lseek(fd_, 0, SEEK_SET) != 0) return false;
    for (;;) {
      ssize_t got = ::read(fd_, chunk, sizeof(chunk));
      if (got < 0) return false;
      if (got == 0) break;
      text.append(chunk, static_cast<size_t>(got));
    }
    parents_.clear();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      // mount id, parent id, device, root, mount point, ...
      std::istringstream fields(line);
      std::string field;
      int taken = 0;
      while (taken < 5 && fields >> field) ++taken;
      if (taken < 5) continue;
      std::string mount_point = Unescape(field);
      if (mount_point != "/") parents_.insert(ParentOf(mount_point));
    }
    valid_ = true;
    return true;
  }

  std::mutex mutex_;
  int fd_ = -1;                    // the table, kept open to learn of changes; guarded by mutex_
  bool valid_ = false;             // guarded by mutex_
  std::set<std::string> parents_;  // guarded by mutex_
};

// The path of the open directory `fd` as the process sees it; empty on failure.
std::string PathOf(int fd) {
  char link[64];
  char path[4096];
  std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t length = ::readlink(link, path, sizeof(path));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(path)) return std::string();
  return std::string(path, static_cast<size_t>(length));
}

}  // namespace

bool DirectoryEntriesCarryInodes(int fd) {
  static MountParents* mount_parents = new MountParents();  // lives as long as the process
  if (!FileSystemKeepsEntryInodes(fd)) return false;
  std::string path = PathOf(fd);
  return !path.empty() && path[0] == '/' && !mount_parents->Holds(path);
}
