#pragma once
// UTF-8 text to UTF-16.

#include "core/common/ustring.h"

namespace Common {

// UTF-8 to UTF-16, stopping at the NUL. One- to four-byte sequences; code points
// above U+FFFF become surrogate pairs. Returns false (still producing output)
// for an overlong form, a four-byte value of U+110000 or more, or a byte that
// starts no valid sequence (U+FFFD is written for the last two). A null `text`
// fails with an empty result.
bool DecodeUtf8(const char* text, UString& out);

}  // namespace Common
