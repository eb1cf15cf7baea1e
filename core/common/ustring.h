#pragma once
// UString: a string of UTF-16 code units, the type of every name and path below
// the mount front end. Interfaces pass names as zero-terminated char16_t arrays.

#include <string>

using UString = std::u16string;

// Widens 7-bit text (literals and ASCII paths) one byte to one code unit.
inline UString AsciiToUString(const char* text) {
  UString out;
  for (; text && *text; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}
