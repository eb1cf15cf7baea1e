#pragma once
// Helpers shared by the qmv commands: archive names relative to the working
// directory, error messages, numbers and JSON strings.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/common/error.h"
#include "core/common/file_name.h"
#include "core/common/ustring.h"
#include "core/file/unix/posix_dir.h"

namespace qmv {

inline std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// The error's code and text, as every command prints them.
inline std::string ErrorText(const Common::Error& error) {
  std::string text = Narrow(error.Description());
  if (text.empty()) text = error.ToString();
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", error.Code());
  return std::string("error ") + code + ": " + text;
}

// Prints "qmv: WHAT: error 0x...: text" on standard error; returns 1.
inline int Fail(const char* what, const Common::Error& error) {
  std::fprintf(stderr, "qmv: %s: %s\n", what, ErrorText(error).c_str());
  return 1;
}

// A non-negative number in decimal, octal (0...) or hexadecimal (0x...).
inline bool ParseNumber(const char* text, int64_t& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long long parsed = std::strtoll(text, &end, 0);
  if (errno != 0 || *end != '\0' || parsed < 0) return false;
  value = parsed;
  return true;
}

// `text` as a JSON string literal.
inline std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The archive's directory and name, taken relative to the working directory.
struct Target {
  std::unique_ptr<posix_dir> dir = MakeCurrentPosixDir();
  UString path;
  explicit Target(const char* archive) : path(Common::WidenFileName(archive)) {}
};

}  // namespace qmv
