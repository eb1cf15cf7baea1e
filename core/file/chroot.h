#pragma once
// Confinement of a directory tree below its root. A ChrootedDir wraps an inner
// directory standing at the place its own path names inside the confined tree.
// Every name is first resolved lexically in the confined tree, where ".." stops
// at the root "/", and the inner directory only receives the path from its own
// place to the resolved one, which never climbs above the root. Operations that
// could lead out of the tree (links, special directories, link resolution,
// directories opened from iterators or identifiers) are refused with 0x4000E.
// The confinement here is lexical: links already present in the tree are
// followed by the inner directory, which must keep them inside (the mount's
// POSIX directory resolves every path beneath a descriptor of the root).

#include <memory>
#include <string_view>

#include "core/include/file/dir.h"

// Resolves `name` from the normalised absolute `own_path`: `confined` receives
// the normalised absolute path in the confined tree, `inner` the relative path
// ("/"-separated, "." when empty) from `own_path` to `confined`.
void ResolveConfinedName(const UString& own_path, std::u16string_view name, UString& confined, UString& inner);

// Wraps `inner` (which takes the place of `own_path` in the confined tree; the
// path is normalised, and "/" names the root). The inner directory's last error
// moves into the new directory.
std::unique_ptr<rio_dir> MakeChrootedDir(std::unique_ptr<rio_dir> inner, const UString& own_path);
