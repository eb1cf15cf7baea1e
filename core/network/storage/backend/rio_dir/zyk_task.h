#pragma once
// ZykTask: one host request on its way through the task manager or an object's
// task queue, carrying the callback that receives its one result.

#include <functional>

#include "core/common/error.h"
#include "zykfs/zykfs.h"

namespace Network::Storage::Backend {

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

}  // namespace Network::Storage::Backend
