#include "core/file/unix/module_path.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace Common {

std::string AbsoluteModulePath(const char* name, const char* cwd) {
  std::vector<std::string> parts;
  auto append = [&parts](const char* text) {
    for (const char* p = text; *p != 0;) {
      const char* end = std::strchr(p, '/');
      if (end == nullptr) end = p + std::strlen(p);
      std::string part(p, end);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      p = *end ? end + 1 : end;
    }
  };
  if (name[0] != '/') {
    if (cwd == nullptr) return std::string();
    append(cwd);
  }
  append(name);
  std::string path;
  for (const std::string& part : parts) path += "/" + part;
  return path.empty() ? "/" : path;
}

UString GetModulePath() {
  std::string path;
  Dl_info info{};
  const char* name = "";
  if (::dladdr(reinterpret_cast<void*>(&GetModulePath), &info) != 0 && info.dli_fname != nullptr) name = info.dli_fname;
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
