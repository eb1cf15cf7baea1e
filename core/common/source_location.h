#pragma once
// Where an error was raised: a stable per-site identifier, the source path below
// the source root (without extension), the function and the line.

#include <cstddef>
#include <cstdint>

namespace Common {

struct SourceLocation {
  uint64_t id = 0;
  const char* file = nullptr;      // static string, never owned
  const char* function = nullptr;  // static string, never owned
  uint32_t line = 0;
};

namespace detail {

// A source path as the compiler gives it (relative to the source root thanks to
// -fmacro-prefix-map), with its extension removed at compile time.
template <size_t N>
struct SourcePath {
  char text[N] = {};
  uint64_t base_id = 0;
  consteval SourcePath(const char (&path)[N]) {
    size_t start = 0;
    while (start + 3 <= N && path[start] == '.' && path[start + 1] == '.' && path[start + 2] == '/') start += 3;
    if (path[start] == '/') {  // absolute path: keep from the last "core/" or "tools/" on
      for (size_t i = start; i + 5 < N; ++i)
        if (path[i] == '/' && path[i + 1] == 'c' && path[i + 2] == 'o' && path[i + 3] == 'r' && path[i + 4] == 'e' &&
            path[i + 5] == '/')
          start = i + 1;
    }
    size_t end = N - 1;
    for (size_t i = N - 1; i > start; --i) {
      if (path[i - 1] == '/') break;
      if (path[i - 1] == '.') {
        end = i - 1;
        break;
      }
    }
    uint64_t hash = 1469598103934665603ull;  // FNV-1a over the stored path
    for (size_t i = start; i < end; ++i) {
      text[i - start] = path[i];
      hash = (hash ^ static_cast<unsigned char>(path[i])) * 1099511628211ull;
    }
    // Leave room for line numbers: sites in one file differ by their line distance.
    base_id = hash << 20;
  }
};

template <SourcePath P>
constexpr SourceLocation MakeLocation(const char* function, uint32_t line) {
  return SourceLocation{P.base_id + line, P.text, function, line};
}

}  // namespace detail
}  // namespace Common

// The location of the raising site.
#define ZYK_HERE (::Common::detail::MakeLocation<::Common::detail::SourcePath(__FILE__)>(__func__, __LINE__))
// The location of the raising site under an explicit function name.
#define ZYK_HERE_AS(function) \
  (::Common::detail::MakeLocation<::Common::detail::SourcePath(__FILE__)>(function, __LINE__))
