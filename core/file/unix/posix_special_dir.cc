// The special directories a posix_dir opens by kind: fixed system folders and
// the user's home.

#include <errno.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "core/file/unix/posix_dir.h"

using Common::Error;

namespace {

// The user's home: "HOME", else the password database entry of the real user.
bool HomeDirectory(std::string& home) {
  if (const char* value = ::getenv("HOME")) {
    home = value;
  } else {
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
    struct passwd entry;
    struct passwd* found = nullptr;
    int result;
    while ((result = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
      buffer.resize(buffer.size() * 2);
    if (result != 0 || found == nullptr || found->pw_dir == nullptr) return false;
    home = found->pw_dir;
  }
  return !home.empty() && home[0] == '/';
}

}  // namespace

rio_dir* posix_dir::OpenSpecialDir(uint32_t kind) {
  ClearError();
  if (root_) {
    SetError(Error::File(Common::kErrNotSupported, ZYK_HERE));
    return nullptr;
  }
  std::string path;
  switch (kind) {
    case 143: path = "/var/lib"; break;
    case 144:
    case 145:
      if (!HomeDirectory(path)) {
        SetError(Error::File(Common::kErrOpenFailed, ZYK_HERE));
        return nullptr;
      }
      path = JoinPath("/", path);
      break;
    case 149: path = "/tmp"; break;
    case 156: path = "/var/log"; break;
    default: SetError(Error::File(Common::kErrNotSupported, ZYK_HERE)); return nullptr;
  }
  return new posix_dir(std::move(path));
}
