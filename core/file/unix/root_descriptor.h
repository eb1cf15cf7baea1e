#pragma once
// Resolution of paths beneath the descriptor of a served root. A path resolved
// beneath the root never leads out of it, whatever the tree holds: ".." that
// would climb above the root, a symbolic link whose target is absolute or climbs
// out, and magic links of /proc all fail with EXDEV. The check and the use are
// one system call (openat2 with RESOLVE_BENEATH), so a link swapped in meanwhile
// cannot slip past it.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

// Like openat2(2) with `resolve` (RESOLVE_* flags); plain
// open(2) of `path` when `dir_fd` is AT_FDCWD and `resolve` is 0. Retries on
// EINTR and on EAGAIN (a rename elsewhere raced with the resolution). Returns
// the descriptor, or -1 with errno.
int OpenResolved(int dir_fd, const char* path, int flags, mode_t mode, uint64_t resolve);

// The resolve flags used beneath a root.
uint64_t BeneathRootFlags();

class RootDescriptor {
 public:
  // Opens the directory `path` (absolute and normalised; a link to a directory
  // is followed once, here). Null with errno on failure.
  static std::shared_ptr<const RootDescriptor> Open(const std::string& path);
  ~RootDescriptor();
  RootDescriptor(const RootDescriptor&) = delete;
  RootDescriptor& operator=(const RootDescriptor&) = delete;

  const std::string& Path() const { return path_; }
  int Descriptor() const { return fd_; }

  // The part of the absolute, normalised `path` below the root ("." for the
  // root itself). False when `path` does not lie below the root's path.
  bool Relative(const std::string& path, std::string& relative) const;
  // Opens `path` (absolute) beneath the root; -1 with errno (EXDEV when the
  // path or a link on the way leads out).
  int Open(const std::string& path, int flags, mode_t mode) const;

 private:
  RootDescriptor(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  std::string path_;
  int fd_;
};

// Where an entry lives, for the *at system calls: a directory descriptor and
// the entry's last component. Without a root that is AT_FDCWD and the whole
// path; beneath a root, the parent directory opened beneath it (owned here).
class EntryLocation {
 public:
  EntryLocation() = default;
  ~EntryLocation();
  EntryLocation(const EntryLocation&) = delete;
  EntryLocation& operator=(const EntryLocation&) = delete;

  // Locates the absolute, normalised `path`, beneath `root` when it is not
  // null. False with errno on failure (EXDEV when the parent leads out).
  bool Locate(const RootDescriptor* root, const std::string& path);

  int Directory() const { return dir_fd_; }
  const char* Name() const { return name_.c_str(); }

 private:
  int dir_fd_ = -100;  // AT_FDCWD
  bool owned_ = false;
  std::string name_;
};
