#pragma once
// The composition of the directory a mount serves.

#include <memory>

#include "core/common/error.h"
#include "core/include/file/dir.h"
#include "zykfs/zykfs.h"

namespace Network::Storage::Backend {

// The root of every mount: the directory params.root opened on the local file
// system and confined below itself. A missing root reports the directory
// layer's error (0x40011); a root that is not a directory reports 0x40007.
Common::Error CreateRootDir(const zykfs_params_t& params, std::unique_ptr<rio_dir>& root);

}  // namespace Network::Storage::Backend
