#pragma once
// UTF-8 and UTF-16, each to the other: the host speaks UTF-8, names below the
// front end are UTF-16.

#include <string>

#include "core/common/ustring.h"

namespace Common {

// Appends the code point `code` (below U+110000) as UTF-16: one unit, or a
// surrogate pair above U+FFFF.
inline void AppendUtf16(char32_t code, std::u16string& out) {
  if (code >= 0x10000) {
    code -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(code));
  }
}

// UTF-8 to UTF-16, stopping at the NUL. One- to four-byte sequences; code points
// above U+FFFF become surrogate pairs. Returns false (still producing output)
// for an overlong form, a four-byte value of U+110000 or more, or a byte that
// starts no valid sequence (U+FFFD is written for the last two). A null `text`
// fails with an empty result.
bool DecodeUtf8(const char* text, UString& out);

// UTF-16 to UTF-8, stopping at the zero unit. Every unit converts: a surrogate
// pair becomes one four-byte sequence, an unpaired surrogate a three-byte one.
// Empty for a null `text`.
std::string EncodeUtf8(const char16_t* text);

}  // namespace Common
