#pragma once
// The library's door: the exported mount and unmount functions, the operation
// table that routes each host call to a task, the translation of an error into
// the host's 32-bit result code, and the construction of a mount's root.

#include <cstdint>
#include <functional>
#include <memory>

#include "core/common/error.h"
#include "core/include/file/dir.h"
#include "zykfs/zykfs.h"

namespace Network::Storage {
class TaskManager;
}

namespace Network::Storage::Backend {

class MountHandler;

// The host code of an error: 0 for success; 0x40011 -> 0x2850002,
// 0x40013 -> 0x2850011, 0x4000E -> 0x2850012; any other code unchanged.
int32_t ToHostCode(const Common::Error& error);

// One host request: the work, and the callback and context that receive its
// result. Copies share the work's captured state (object references included).
struct ZykTask {
  std::function<Common::Error()> work;
  zykfs_callback_t callback = nullptr;
  void* context = nullptr;

  // Runs the work. Anything the work throws becomes the returned error (a thrown
  // Common::Error as it is, out of memory as 0x40006, anything else as 0x4001F),
  // so that every request ends in exactly one result.
  Common::Error RunWork() const;
  // Converts the result and calls the callback, if any, with the context.
  void Complete(const Common::Error& result) const;
  // RunWork, then Complete.
  void operator()() const { Complete(RunWork()); }
};

// Builds the root directory of a mount from the host's parameters into `root`.
using RootFactory = Common::Error (*)(const zykfs_params_t& params, std::unique_ptr<rio_dir>& root);

// The root of every mount: the directory params.root opened on the local file
// system and confined below itself. A missing root reports the directory
// layer's error (0x40011); a root that is not a directory reports 0x40007.
Common::Error CreateRootDir(const zykfs_params_t& params, std::unique_ptr<rio_dir>& root);

// Builds the root with `factory` and a handler over it; on success fills
// *mount (handle, operation table, its size), else leaves *mount untouched.
Common::Error MountProcedure(const zykfs_params_t* params, RootFactory factory,
                             std::shared_ptr<TaskManager> manager, zykfs_mount_t* mount);

// Destroys `handler` unless a handle is still open (0x2850004, "UnmountImpl").
Common::Error UnmountProcedure(MountHandler* handler);

// The one operation table shared by all mounts.
const zykfs_ops_t& OperationTable();

}  // namespace Network::Storage::Backend
