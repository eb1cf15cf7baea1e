#pragma once
// The kernel's limit on the dirty pages of one FUSE mount. It starts every FUSE
// mount at 1% of the write-back cache, enforced strictly, which throttles a
// writer long before memory is short; a trusted mount may be given more.

#include <istream>
#include <string>

namespace zykfs_fuse {

// The "major:minor" device of the last mount at `mountpoint` (as the mount
// table spells it, unescaped) whose type is `type`, read from a mountinfo
// table; empty when there is none.
std::string FindMountDevice(std::istream& mountinfo, const std::string& mountpoint, const std::string& type);

// Lets the mount at `mountpoint` fill up to `percent` (1 to 100) of the
// write-back cache and lifts the strict limit, through its entries under
// /sys/class/bdi (root only). Reads the mount table, never the mount itself,
// so it works before the session serves requests. Empty, or what failed.
std::string RaiseDirtyLimit(const std::string& mountpoint, unsigned percent);

}  // namespace zykfs_fuse
