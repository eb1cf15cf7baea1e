#pragma once
// A test host: loads the built shared library with dlopen, exactly as a real
// host does, mounts a directory and calls the operation table through the
// public header. Every call gets its own Completion; the host checks that each
// call is answered exactly once, from a thread other than the caller's.

#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "zykfs/zykfs.h"

namespace zyk_test {

// The outcome of one asynchronous call.
class Completion {
 public:
  // The callback handed to the library; `context` is the Completion.
  static void Callback(void* context, int32_t code);
  // Waits for the callback (fails the test after a generous timeout), checks
  // that it came from another thread and returns its code.
  int32_t Wait();
  bool Done() const { return count_.load() > 0; }
  int Count() const { return count_.load(); }

 private:
  const std::thread::id caller_ = std::this_thread::get_id();
  std::atomic<int> count_{0};
  std::atomic<int32_t> code_{0};
  std::atomic<bool> from_other_thread_{true};
  std::mutex mutex_;
  std::condition_variable done_;
};

// Threads of this process (entries of /proc/self/task).
size_t CountThreads();

// The record a failed mount must leave untouched is filled with this pattern.
inline constexpr uintptr_t kUntouched = 0x5A5A5A5A5A5A5A5Aull;

// One mount of a directory. Helpers issue one call each and wait for it.
class HostMount {
 public:
  explicit HostMount(const std::string& root);
  // Unmounts when still mounted and checks that every call made through this
  // mount was answered exactly once.
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
  // Calls table entry `Entry` with the mount handle, `args`, and a callback.
  template <auto Entry, typename... Args>
  int32_t Run(Args... args) {
    return Call([&](zykfs_callback_t cb, void* cx) { (Ops().*Entry)(Handle(), args..., cb, cx); });
  }

  int32_t Open(const char* path, uint32_t flags, uint64_t* h) { return Run<&zykfs_ops_t::open>(path, flags, h); }
  int32_t Close(uint64_t h) { return Run<&zykfs_ops_t::close>(h); }
  int32_t Read(uint64_t h, void* buffer, uint64_t size, uint64_t offset, uint64_t* done) {
    return Run<&zykfs_ops_t::read>(h, buffer, size, offset, done);
  }
  int32_t Write(uint64_t h, const void* buffer, uint64_t size, uint64_t offset, uint64_t* done) {
    return Run<&zykfs_ops_t::write>(h, buffer, size, offset, done);
  }
  int32_t Append(uint64_t h, const void* buffer, uint64_t size, zykfs_append_status_t* status) {
    return Run<&zykfs_ops_t::append>(h, buffer, size, uint8_t{0}, status);
  }
  int32_t Pad(uint64_t h, uint64_t* value) { return Run<&zykfs_ops_t::pad>(h, value); }
  int32_t Sync(uint64_t h) { return Run<&zykfs_ops_t::sync>(h); }
  int32_t Fstat(uint64_t h, zykfs_stat_t* stat) { return Run<&zykfs_ops_t::fstat>(h, stat); }
  int32_t Truncate(uint64_t h, uint64_t size) { return Run<&zykfs_ops_t::truncate>(h, size); }
  int32_t Lock(uint64_t h, uint32_t mode) { return Run<&zykfs_ops_t::lock>(h, mode); }
  int32_t Sparse(uint64_t h, const uint64_t* ranges, uint64_t n) { return Run<&zykfs_ops_t::sparse>(h, ranges, n); }
  int32_t Rename(const char* from, const char* to) { return Run<&zykfs_ops_t::rename>(from, to); }
  int32_t Unlink(const char* path) { return Run<&zykfs_ops_t::unlink>(path); }
  int32_t RemoveDir(const char* path) { return Run<&zykfs_ops_t::rmdir>(path); }
  int32_t MakeDir(const char* path) { return Run<&zykfs_ops_t::mkdir>(path); }
  int32_t Stat(const char* path, zykfs_stat_t* stat) { return Run<&zykfs_ops_t::stat>(path, stat); }
  int32_t OpenDir(const char* path, uint64_t* h) { return Run<&zykfs_ops_t::opendir>(path, h); }
  int32_t ReadDir(uint64_t h, zykfs_readdir_status_t* status) { return Run<&zykfs_ops_t::readdir>(h, status); }
  int32_t CloseDir(uint64_t h) { return Run<&zykfs_ops_t::closedir>(h); }
  int32_t AllocInfo(uint64_t h, zykfs_alloc_status_t* status) { return Run<&zykfs_ops_t::allocinfo>(h, status); }
  int32_t Clone(const char* from, const char* to) { return Run<&zykfs_ops_t::clone>(from, to); }
  int32_t RenameSafe(const char* from, const char* to) { return Run<&zykfs_ops_t::rename_safe>(from, to); }
  int32_t Swap(uint64_t first, uint64_t second) { return Run<&zykfs_ops_t::swap>(first, second); }
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

// A fresh temporary directory mounted for the test.
class MountedDir : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mount_.Result(), 0); }
  TempDir dir_;
  HostMount mount_{dir_.path()};
};

// Lowers the process's file size limit for as long as it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    set_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }
  bool Set() const { return set_; }

 private:
  rlimit saved_{};
  bool set_ = false;
};

// Whether `path` exists in the mounted directory, seen below the library.
bool LocalExists(const std::string& path);

}  // namespace zyk_test
