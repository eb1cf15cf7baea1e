#pragma once
// A synchronous host over the loaded library: loads libzyk_backend_local with
// dlopen, mounts one root, and turns each asynchronous call into a blocking one
// by waiting for its completion callback.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "zykfs/zykfs.h"

namespace zykfs_tool {

class HostSession {
 public:
  // Loads the library at `library_path`; throws std::runtime_error on failure.
  explicit HostSession(const std::string& library_path);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // Each returns the call's result code.
  int32_t Mount(const std::string& root);
  int32_t Unmount();

  const zykfs_ops_t& Ops() const { return *mount_.ops; }
  void* Handle() const { return mount_.handle; }

  // Runs `issue(callback, context)` and waits for its callback.
  template <typename Issue>
  static int32_t Call(Issue&& issue) {
    Completion completion;
    issue(&Completion::Done, &completion);
    return completion.Wait();
  }

 private:
  struct Completion {
    std::mutex mutex;
    std::condition_variable done_signal;
    bool done = false;  // guarded by mutex
    int32_t code = 0;   // guarded by mutex
    static void Done(void* context, int32_t code);
    int32_t Wait();
  };

  void* library_ = nullptr;
  zykfs_mount_fn mount_fn_ = nullptr;
  zykfs_umount_fn umount_fn_ = nullptr;
  zykfs_mount_t mount_{};
  bool mounted_ = false;
};

// $ZYKFS_LIBRARY; else the library of the build tree the executable lies in, or
// the installed one beside it; else the bare name for the dynamic loader.
std::string DefaultLibraryPath();

}  // namespace zykfs_tool
