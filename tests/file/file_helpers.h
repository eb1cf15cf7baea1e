#pragma once
// Small helpers shared by the file tests: whole-file bytes and name conversion.

#include <fstream>
#include <iterator>
#include <string>

#include "core/common/file_name.h"

namespace zyk_test {

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string Narrow(const char16_t* text) {
  return text ? Common::NarrowFileName(UString(text)) : std::string("<null>");
}

}  // namespace zyk_test
