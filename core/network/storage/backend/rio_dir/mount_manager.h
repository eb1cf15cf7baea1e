#pragma once
// The library's door: the exported mount and unmount functions and the
// operation table that routes each host call to a task (zyk_task.h) on the
// mount's task manager or on the queue of an open object. The root a mount
// serves is built by mount_root.h; result codes live in result_codes.h.

#include <cstdint>
#include <memory>

#include "core/common/error.h"
#include "core/include/file/dir.h"
#include "zykfs/zykfs.h"

namespace Network::Storage {
class TaskManager;
}

namespace Network::Storage::Backend {

class MountHandler;

// Builds the root directory of a mount from the host's parameters into `root`.
using RootFactory = Common::Error (*)(const zykfs_params_t& params, std::unique_ptr<rio_dir>& root);

// Builds the root with `factory` and a handler over it; on success fills
// *mount (handle, operation table, its size), else leaves *mount untouched.
Common::Error MountProcedure(const zykfs_params_t* params, RootFactory factory, std::shared_ptr<TaskManager> manager,
                             zykfs_mount_t* mount);

// Destroys `handler` unless a handle is still open (0x2850004, "UnmountImpl").
Common::Error UnmountProcedure(MountHandler* handler);

// The one operation table shared by all mounts.
const zykfs_ops_t& OperationTable();

}  // namespace Network::Storage::Backend
