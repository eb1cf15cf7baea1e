#pragma once
// Pseudo-random test content that a seed reproduces exactly.

#include <cstddef>
#include <cstdint>
#include <string>

namespace zyk_test {

// Pseudo-random bytes, the same for the same seed.
inline std::string Pattern(size_t length, uint32_t seed) {
  std::string bytes(length, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<char>(x);
  }
  return bytes;
}

}  // namespace zyk_test
