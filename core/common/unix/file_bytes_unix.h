#pragma once
// Reading small system files (settings) whole, below the file layer.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Common {

// Up to `length` bytes of the file at `path`, starting at `offset`: fewer when
// the file ends sooner, empty when it cannot be opened, positioned or read.
// Opens and closes the file on every call. Thread-safe.
std::string ReadFileBytes(const char* path, uint64_t offset, size_t length);

}  // namespace Common
