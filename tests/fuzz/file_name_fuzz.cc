// File names in a UTF-8 locale: every byte string widens and narrows back to
// itself, and a name that narrows at all comes back the same from its bytes.

#include <unicode/ucnv.h>

#include <string>

#include "core/common/file_name.h"
#include "fuzz/fuzz_targets.h"

namespace zyk_fuzz {

int FileName(const uint8_t* data, size_t size) {
  static const bool utf8_names = (ucnv_setDefaultName("UTF-8"), true);
  (void)utf8_names;
  if (size > 4096) return 0;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  bytes.resize(std::min(bytes.find('\0'), bytes.size()));  // a file name ends at its NUL
  UString wide = Common::WidenFileName(bytes.c_str());
  FUZZ_CHECK(Common::NarrowFileName(wide) == bytes);

  // The same input as UTF-16 units: what narrows must widen to a name with
  // the same bytes.
  UString units;
  for (size_t i = 0; i + 1 < size; i += 2) {
    char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0) break;
    units.push_back(unit);
  }
  std::string narrowed = Common::NarrowFileName(units);
  if (!narrowed.empty()) {
    FUZZ_CHECK(narrowed.find('\0') == std::string::npos);
    FUZZ_CHECK(Common::NarrowFileName(Common::WidenFileName(narrowed.c_str())) == narrowed);
  }
  return 0;
}

}  // namespace zyk_fuzz
