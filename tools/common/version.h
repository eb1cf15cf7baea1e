#pragma once
// The line every tool prints for --version: its name and the library version it
// was built with.

#include <cstdio>

#include "zykfs/zykfs.h"

namespace zyk_tools {

inline void PrintVersion(const char* tool) {
  std::printf("%s %d.%d.%d\n", tool, ZYKFS_VERSION_MAJOR, ZYKFS_VERSION_MINOR, ZYKFS_VERSION_PATCH);
}

}  // namespace zyk_tools
