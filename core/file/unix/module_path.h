#pragma once
// Where the library's own file lies.

#include <string>

#include "core/common/ustring.h"

namespace Common {

// The absolute path of the file the library was loaded from (the executable
// when it is linked statically); empty when it cannot be found. Bytes of 0x80
// and above appear as U+F880..U+F8FF.
UString GetModulePath();

// Makes a loader-reported object name absolute against `cwd` (used only when
// `name` is relative), dropping "." components and letting ".." remove the
// component before it. Empty when `name` is relative and `cwd` is null.
std::string AbsoluteModulePath(const char* name, const char* cwd);

}  // namespace Common
