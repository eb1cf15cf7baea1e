#pragma once
// The served tree as the loaded library gives it: dlopen, zykfs_mount, the
// operation table and zykfs_umount, plus two ways to wait for a completion.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "zykfs/zykfs.h"

namespace zykfs_fuse {

class LibraryMount {
 public:
  // Loads the library at `library_path` and serves `root`. On failure Ok() is
  // false and Failure() says why.
  LibraryMount(const std::string& library_path, const std::string& root);
  // Unmounts when still mounted; the library stays loaded, since its threads
  // may be finishing their last callback.
  ~LibraryMount();
  LibraryMount(const LibraryMount&) = delete;
  LibraryMount& operator=(const LibraryMount&) = delete;

  bool Ok() const { return mounted_; }
  const std::string& Failure() const { return failure_; }
  const zykfs_ops_t& Ops() const { return *mount_.ops; }
  void* Handle() const { return mount_.handle; }

  // Ends the service; the result code of zykfs_umount. Every handle must be closed.
  int32_t Unmount();

 private:
  void* library_ = nullptr;
  zykfs_umount_fn umount_fn_ = nullptr;
  zykfs_mount_t mount_{};
  bool mounted_ = false;
  std::string failure_;
};

// Runs `issue(callback, context)`, then `done(code)` on the library thread that
// delivers the completion. `done` runs exactly once.
void CallAsync(const std::function<void(zykfs_callback_t, void*)>& issue, std::function<void(int32_t)> done);

// Runs `issue(callback, context)` and blocks the calling thread until its
// completion; returns the code.
int32_t CallAndWait(const std::function<void(zykfs_callback_t, void*)>& issue);

}  // namespace zykfs_fuse
