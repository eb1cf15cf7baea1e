#include "core/common/utf8.h"

#include <cstdint>
#include <cstring>

namespace Common {

bool DecodeUtf8(const char* text, UString& out) {
  out.clear();
  if (text == nullptr) return false;
  bool ok = true;
  out.reserve(std::strlen(text));  // never more code units than bytes
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    unsigned char lead = *p;
    uint32_t code = 0;
    int extra = 0;
    uint32_t minimum = 0;
    if (lead < 0x80) {
      out.push_back(lead);
      ++p;
      continue;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      code = lead & 0x1F, extra = 1, minimum = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      code = lead & 0x0F, extra = 2, minimum = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      code = lead & 0x07, extra = 3, minimum = 0x10000;
    } else {
      out.push_back(0xFFFD);  // a continuation byte or a lead byte of no valid form
      ok = false;
      ++p;
      continue;
    }
    int taken = 0;
    while (taken < extra && (p[1 + taken] & 0xC0) == 0x80) {
      code = (code << 6) | (p[1 + taken] & 0x3F);
      ++taken;
    }
    if (taken < extra) {  // cut short: the lead byte starts no valid sequence
      out.push_back(0xFFFD);
      ok = false;
      ++p;
      continue;
    }
    p += 1 + extra;
    if (code >= 0x110000) {
      out.push_back(0xFFFD);
      ok = false;
      continue;
    }
    if (code < minimum) ok = false;  // overlong: the value is still written
    AppendUtf16(code, out);
  }
  return ok;
}

std::string EncodeUtf8(const char16_t* text) {
  std::string out;
  if (text == nullptr) return out;
  out.reserve(std::char_traits<char16_t>::length(text) * 3);
  for (const char16_t* p = text; *p != 0; ++p) {
    uint32_t unit = *p;
    uint32_t code = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      code = 0x10000 + ((unit - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

}  // namespace Common
