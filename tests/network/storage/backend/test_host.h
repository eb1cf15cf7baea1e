#pragma once
// A test host: loads the built shared library with dlopen, exactly as a real
// host does, mounts a directory and calls the operation table through the
// public header. Every call gets its own Completion; the host checks that each
// call is answered exactly once, from a thread other than the caller's.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "zykfs/zykfs.h"

namespace zyk_test {

// The outcome of one asynchronous call.
class Completion {
 public:
  Completion() : caller_(std::this_thread::get_id()) {}
  // The callback handed to the library; `context` is the Completion.
  static void Callback(void* context, int32_t code);

  // Waits for the callback (fails the test after a generous timeout) and
  // returns its code; also checks that it came from another thread.
  int32_t Wait();
  bool Done() const { return count_.load() > 0; }
  int Count() const { return count_.load(); }
  int32_t Code() const { return code_.load(); }
  bool FromOtherThread() const { return from_other_thread_.load(); }

 private:
  const std::thread::id caller_;
  std::atomic<int> count_{0};
  std::atomic<int32_t> code_{0};
  std::atomic<bool> from_other_thread_{true};
  std::mutex mutex_;
  std::condition_variable done_;
};

// The loaded library's two entry points. Loaded once per process, never unloaded.
struct HostLibrary {
  static const HostLibrary& Get();
  void* module = nullptr;
  zykfs_mount_fn mount = nullptr;
  zykfs_umount_fn umount = nullptr;
};

// Threads of this process (entries of /proc/self/task).
size_t CountThreads();

// One mount of a directory. Helpers issue one call each and wait for it.
class HostMount {
 public:
  // Mounts `root`; Result() tells the code. The record starts out filled with
  // a recognisable pattern, so a failed mount can be seen to leave it alone.
  explicit HostMount(const std::string& root);
  // Unmounts when still mounted (closing nothing) and checks that every call
  // made through this mount was answered exactly once.
  ~HostMount();
  HostMount(const HostMount&) = delete;
  HostMount& operator=(const HostMount&) = delete;

  int32_t Result() const { return result_; }
  const zykfs_mount_t& Record() const { return record_; }
  const zykfs_ops_t& Ops() const { return *record_.ops; }
  void* Handle() const { return record_.handle; }

  // A new Completion with a stable address, kept until the mount is destroyed.
  Completion& NewCompletion();
  // Issues `issue(callback, context)` and waits for its code.
  template <typename Issue>
  int32_t Call(Issue issue) {
    Completion& done = NewCompletion();
    issue(&Completion::Callback, &done);
    return done.Wait();
  }

  int32_t Open(const char* path, uint32_t flags, uint64_t* handle);
  int32_t Close(uint64_t handle);
  int32_t Read(uint64_t handle, void* buffer, uint64_t size, uint64_t offset, uint64_t* done);
  int32_t Write(uint64_t handle, const void* buffer, uint64_t size, uint64_t offset, uint64_t* done);
  int32_t Append(uint64_t handle, const void* buffer, uint64_t size, zykfs_append_status_t* status);
  int32_t Pad(uint64_t handle, uint64_t* value);
  int32_t Sync(uint64_t handle);
  int32_t Fstat(uint64_t handle, zykfs_stat_t* stat);
  int32_t Truncate(uint64_t handle, uint64_t size);
  int32_t Lock(uint64_t handle, uint32_t mode);
  int32_t Sparse(uint64_t handle, const uint64_t* ranges, uint64_t count);
  int32_t Rename(const char* from, const char* to);
  int32_t Unlink(const char* path);
  int32_t RemoveDir(const char* path);
  int32_t MakeDir(const char* path);
  int32_t Stat(const char* path, zykfs_stat_t* stat);
  int32_t OpenDir(const char* path, uint64_t* handle);
  int32_t ReadDir(uint64_t handle, zykfs_readdir_status_t* status);
  int32_t CloseDir(uint64_t handle);
  int32_t AllocInfo(uint64_t handle, zykfs_alloc_status_t* status);
  int32_t Clone(const char* from, const char* to);
  int32_t RenameSafe(const char* from, const char* to);
  int32_t Swap(uint64_t first, uint64_t second);
  // Unmounts; 0 leaves the object unmounted.
  int32_t Unmount();

  // Writes `data` to a new file `path` (create, truncate) and closes it.
  void PutFile(const char* path, const std::string& data);
  // Reads `path` whole through an open handle.
  std::string GetFile(const char* path);

 private:
  zykfs_params_t params_{};
  std::string root_;
  zykfs_mount_t record_{};
  int32_t result_ = -1;
  bool mounted_ = false;
  std::mutex completions_mutex_;
  std::deque<std::unique_ptr<Completion>> completions_;  // guarded by completions_mutex_
};

// The bytes of a record pattern a failed mount must leave untouched.
inline constexpr uintptr_t kUntouched = 0x5A5A5A5A5A5A5A5Aull;

}  // namespace zyk_test
