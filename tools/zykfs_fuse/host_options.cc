#include "host_options.h"

#include <unistd.h>

namespace zykfs_fuse {

std::string DefaultLibraryPath() {
  constexpr char kName[] = "libzyk_backend_local.so.1";
  char self[4096];
  ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    std::string dir(self, static_cast<size_t>(length));
    dir = dir.substr(0, dir.rfind('/'));  // .../tools in a build tree
    std::string beside_build = dir.substr(0, dir.rfind('/')) + "/" + kName;
    if (::access(beside_build.c_str(), R_OK) == 0) return beside_build;
    // Installed: the library's place relative to the program's directory.
    std::string installed = dir + "/" ZYKFS_INSTALLED_LIBRARY;
    if (::access(installed.c_str(), R_OK) == 0) return installed;
  }
  return kName;
}

}  // namespace zykfs_fuse
