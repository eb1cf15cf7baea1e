#pragma once
// File name encoding between UString and the file system's bytes. Any byte
// sequence survives the round trip: bytes the locale's character set rejects
// travel as escape code points U+F880..U+F8FF (U+F800 + byte).

#include <string>

#include "core/common/ustring.h"

namespace Common {

// Bytes to UTF-16; the empty string when the conversion reports an error.
UString WidenFileName(const char* bytes);

// UTF-16 to bytes; the empty string when any part fails (for example a lone
// surrogate outside the escape range).
std::string NarrowFileName(const UString& name);

// True once the process-wide converter exists (test seam).
bool NameConverterCreated();

}  // namespace Common
