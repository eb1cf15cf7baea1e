#include "core/file/unix/resource_file.h"

#include <string>

#include "core/file/unix/posix_dir.h"

namespace {

std::string NarrowModulePath(const UString& path) {
  std::string bytes;
  for (char16_t unit : path) {
    if (unit < 0x80) {
      bytes.push_back(static_cast<char>(unit));
    } else if (unit >= 0xF880 && unit <= 0xF8FF) {
      bytes.push_back(static_cast<char>(unit - 0xF800));
    } else {
      return std::string();
    }
  }
  return bytes;
}

}  // namespace

std::unique_ptr<ri_file> OpenResourceFile(const UString& path) {
  size_t slash = path.rfind(u'/');
  if (slash == UString::npos || slash + 1 == path.size()) return nullptr;
  std::string directory = slash == 0 ? "/" : NarrowModulePath(path.substr(0, slash));
  if (directory.empty()) return nullptr;
  // Through the POSIX directory, without the whole-file lock: the library's own
  // file is read by every process that loads it.
  std::unique_ptr<posix_dir> parent = MakePosixDir(directory);
  if (parent == nullptr) return nullptr;
  return std::unique_ptr<ri_file>(parent->OpenI(path.c_str() + slash + 1, true));
}
