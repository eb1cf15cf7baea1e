#pragma once
// Opening the files that hold the library's resources.

#include <memory>

#include "core/common/ustring.h"
#include "core/include/file/file.h"

// Opens `path` for reading through the POSIX directory of its folder, without
// the whole-file lock; null when it cannot be opened.
// Path units below 0x80 are bytes as they are, U+F880..U+F8FF stand for the
// bytes 0x80..0xFF (the form GetModulePath returns).
std::unique_ptr<ri_file> OpenResourceFile(const UString& path);
