#include "core/file/unix/resource_file.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/file/resource_archive.h"
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

namespace Common {

UString GetModulePath() {
  std::string path;
  Dl_info info{};
  const char* name = "";
  if (::dladdr(reinterpret_cast<void*>(&GetModulePath), &info) != 0 && info.dli_fname != nullptr)
    name = info.dli_fname;
  if (std::strchr(name, '/') != nullptr) {
    char cwd[4096];
    const char* base = name[0] == '/' ? "/" : ::getcwd(cwd, sizeof cwd);
    if (base != nullptr) path = AbsoluteModulePath(name, base);
  } else {
    char target[4096];
    ssize_t length = ::readlink("/proc/self/exe", target, sizeof target);
    if (length > 0 && static_cast<size_t>(length) < sizeof target) path.assign(target, static_cast<size_t>(length));
  }
  UString wide;
  for (unsigned char byte : path) wide.push_back(byte < 0x80 ? byte : static_cast<char16_t>(0xF800 + byte));
  return wide;
}

}  // namespace Common
