#include "core/file/unix/root_descriptor.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/file/unix/safe_close.h"

namespace {

// A resolution that keeps meeting renames elsewhere gives up after this many tries.
constexpr int kResolveAttempts = 64;

}  // namespace

static_assert(AT_FDCWD == -100, "EntryLocation's default directory");

int OpenResolved(int dir_fd, const char* path, int flags, mode_t mode, uint64_t resolve) {
  int fd;
  if (dir_fd == AT_FDCWD && resolve == 0) {
    do {
      fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
  }
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
  how.resolve = resolve;
  for (int attempt = 0; attempt < kResolveAttempts; ++attempt) {
    fd = static_cast<int>(::syscall(SYS_openat2, dir_fd, path, &how, sizeof(how)));
    if (fd >= 0 || (errno != EINTR && errno != EAGAIN)) return fd;
  }
  return -1;
}

uint64_t BeneathRootFlags() { return RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS; }

std::shared_ptr<const RootDescriptor> RootDescriptor::Open(const std::string& path) {
  int fd = OpenResolved(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0, 0);
  if (fd < 0) return nullptr;
  try {
    return std::shared_ptr<const RootDescriptor>(new RootDescriptor(path, fd));
  } catch (...) {
    SafeClose(fd);
    errno = ENOMEM;
    return nullptr;
  }
}

RootDescriptor::~RootDescriptor() { SafeClose(fd_); }

bool RootDescriptor::Relative(const std::string& path, std::string& relative) const {
  if (path == path_) {
    relative = ".";
    return true;
  }
  const size_t prefix = path_ == "/" ? 1 : path_.size() + 1;
  if (path.size() <= prefix || path.compare(0, path_.size(), path_) != 0 || path[prefix - 1] != '/') return false;
  relative.assign(path, prefix, std::string::npos);
  return true;
}

int RootDescriptor::Open(const std::string& path, int flags, mode_t mode) const {
  std::string relative;
  if (!Relative(path, relative)) {
    errno = EXDEV;
    return -1;
  }
  return OpenResolved(fd_, relative.c_str(), flags, mode, BeneathRootFlags());
}

EntryLocation::~EntryLocation() {
  if (owned_) SafeClose(dir_fd_);
}

bool EntryLocation::Locate(const RootDescriptor* root, const std::string& path) {
  if (owned_) SafeClose(dir_fd_);
  owned_ = false;
  dir_fd_ = AT_FDCWD;
  if (root == nullptr) {
    name_ = path;
    return true;
  }
  std::string relative;
  if (!root->Relative(path, relative)) {
    errno = EXDEV;
    return false;
  }
  size_t slash = relative.rfind('/');
  if (slash == std::string::npos) {
    dir_fd_ = root->Descriptor();
    name_ = std::move(relative);
    return true;
  }
  int fd = OpenResolved(root->Descriptor(), relative.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0,
                        BeneathRootFlags());
  if (fd < 0) return false;
  dir_fd_ = fd;
  owned_ = true;
  name_ = relative.substr(slash + 1);
  return true;
}
