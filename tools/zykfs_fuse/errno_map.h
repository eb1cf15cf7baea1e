#pragma once
// The errno a program expects for each library result code.

#include <cstdint>

namespace zykfs_fuse {

// What the failed request was doing; a few codes mean different things per request.
enum class Request { kAny, kRename, kRemoveDir, kWrite };

// The positive errno for a nonzero library result code; 0 for ZYKFS_OK. Codes the
// table does not know become EIO.
int ErrnoOf(int32_t code, Request request = Request::kAny);

}  // namespace zykfs_fuse
