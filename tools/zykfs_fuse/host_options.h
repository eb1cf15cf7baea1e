#pragma once
// What the mount shows and how it reaches the library, from the command line.

#include <sys/types.h>

#include <string>

namespace zykfs_fuse {

struct HostOptions {
  std::string root;     // the served directory, absolute
  std::string library;  // path of libzyk_backend_local
  uid_t uid = 0;        // owner shown for every entry
  gid_t gid = 0;        // group shown for every entry
  mode_t umask = 022;   // permission bits taken away from 0777
  bool read_only = false;
  bool writeback_cache = true;  // let the kernel cache writes (when it can)
  double attr_timeout = 1.0;    // seconds the kernel may keep attributes
  double entry_timeout = 1.0;   // seconds the kernel may keep names
};

// The library of the build tree this executable lies in, else the installed
// library at its place relative to the executable, else the name the dynamic
// loader searches for.
std::string DefaultLibraryPath();

}  // namespace zykfs_fuse
