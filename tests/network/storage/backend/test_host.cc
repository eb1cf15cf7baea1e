#include "network/storage/backend/test_host.h"

#include <dirent.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdlib>

#include <gtest/gtest.h>

namespace zyk_test {

void Completion::Callback(void* context, int32_t code) {
  auto* self = static_cast<Completion*>(context);
  if (std::this_thread::get_id() == self->caller_) self->from_other_thread_ = false;
  self->code_ = code;
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->count_.fetch_add(1);
  self->done_.notify_all();
}

int32_t Completion::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  bool done = done_.wait_for(lock, std::chrono::seconds(60), [this] { return count_.load() > 0; });
  EXPECT_TRUE(done) << "no callback within 60 s";
  EXPECT_TRUE(from_other_thread_.load()) << "callback ran on the calling thread";
  return done ? code_.load() : -1;
}

const HostLibrary& HostLibrary::Get() {
  static const HostLibrary library = [] {
    HostLibrary loaded;
    loaded.module = ::dlopen(ZYK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (loaded.module == nullptr) {
      ADD_FAILURE() << "dlopen " << ZYK_LIBRARY_PATH << ": " << ::dlerror();
      std::abort();
    }
    loaded.mount = reinterpret_cast<zykfs_mount_fn>(::dlsym(loaded.module, "zykfs_mount"));
    loaded.umount = reinterpret_cast<zykfs_umount_fn>(::dlsym(loaded.module, "zykfs_umount"));
    if (loaded.mount == nullptr || loaded.umount == nullptr) std::abort();
    return loaded;
  }();
  return library;
}

size_t CountThreads() {
  size_t count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(tasks);
  return count;
}

HostMount::HostMount(const std::string& root) : root_(root) {
  params_.root = root_.c_str();
  record_.handle = reinterpret_cast<void*>(kUntouched);
  record_.ops = reinterpret_cast<const zykfs_ops_t*>(kUntouched);
  record_.ops_size = kUntouched;
  result_ = Call([&](zykfs_callback_t callback, void* context) {
    HostLibrary::Get().mount(&params_, &record_, callback, context);
  });
  mounted_ = result_ == 0;
}

HostMount::~HostMount() {
  if (mounted_) {
    EXPECT_EQ(Unmount(), 0);
  }
  // Late second callbacks would show up here.
  std::lock_guard<std::mutex> lock(completions_mutex_);
  for (const auto& done : completions_) {
    EXPECT_EQ(done->Count(), 1) << "a call was not answered exactly once";
  }
}

Completion& HostMount::NewCompletion() {
  std::lock_guard<std::mutex> lock(completions_mutex_);
  completions_.push_back(std::make_unique<Completion>());
  return *completions_.back();
}

int32_t HostMount::Open(const char* path, uint32_t flags, uint64_t* handle) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().open(Handle(), path, flags, handle, cb, cx); });
}
int32_t HostMount::Close(uint64_t handle) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().close(Handle(), handle, cb, cx); });
}
int32_t HostMount::Read(uint64_t handle, void* buffer, uint64_t size, uint64_t offset, uint64_t* done) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().read(Handle(), handle, buffer, size, offset, done, cb, cx); });
}
int32_t HostMount::Write(uint64_t handle, const void* buffer, uint64_t size, uint64_t offset, uint64_t* done) {
  return Call(
      [&](zykfs_callback_t cb, void* cx) { Ops().write(Handle(), handle, buffer, size, offset, done, cb, cx); });
}
int32_t HostMount::Append(uint64_t handle, const void* buffer, uint64_t size, zykfs_append_status_t* status) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().append(Handle(), handle, buffer, size, 0, status, cb, cx); });
}
int32_t HostMount::Pad(uint64_t handle, uint64_t* value) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().pad(Handle(), handle, value, cb, cx); });
}
int32_t HostMount::Sync(uint64_t handle) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().sync(Handle(), handle, cb, cx); });
}
int32_t HostMount::Fstat(uint64_t handle, zykfs_stat_t* stat) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().fstat(Handle(), handle, stat, cb, cx); });
}
int32_t HostMount::Truncate(uint64_t handle, uint64_t size) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().truncate(Handle(), handle, size, cb, cx); });
}
int32_t HostMount::Lock(uint64_t handle, uint32_t mode) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().lock(Handle(), handle, mode, cb, cx); });
}
int32_t HostMount::Sparse(uint64_t handle, const uint64_t* ranges, uint64_t count) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().sparse(Handle(), handle, ranges, count, cb, cx); });
}
int32_t HostMount::Rename(const char* from, const char* to) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().rename(Handle(), from, to, cb, cx); });
}
int32_t HostMount::Unlink(const char* path) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().unlink(Handle(), path, cb, cx); });
}
int32_t HostMount::RemoveDir(const char* path) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().rmdir(Handle(), path, cb, cx); });
}
int32_t HostMount::MakeDir(const char* path) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().mkdir(Handle(), path, cb, cx); });
}
int32_t HostMount::Stat(const char* path, zykfs_stat_t* stat) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().stat(Handle(), path, stat, cb, cx); });
}
int32_t HostMount::OpenDir(const char* path, uint64_t* handle) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().opendir(Handle(), path, handle, cb, cx); });
}
int32_t HostMount::ReadDir(uint64_t handle, zykfs_readdir_status_t* status) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().readdir(Handle(), handle, status, cb, cx); });
}
int32_t HostMount::CloseDir(uint64_t handle) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().closedir(Handle(), handle, cb, cx); });
}
int32_t HostMount::AllocInfo(uint64_t handle, zykfs_alloc_status_t* status) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().allocinfo(Handle(), handle, status, cb, cx); });
}
int32_t HostMount::Clone(const char* from, const char* to) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().clone(Handle(), from, to, cb, cx); });
}
int32_t HostMount::RenameSafe(const char* from, const char* to) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().rename_safe(Handle(), from, to, cb, cx); });
}
int32_t HostMount::Swap(uint64_t first, uint64_t second) {
  return Call([&](zykfs_callback_t cb, void* cx) { Ops().swap(Handle(), first, second, cb, cx); });
}

int32_t HostMount::Unmount() {
  int32_t code = Call([&](zykfs_callback_t cb, void* cx) { HostLibrary::Get().umount(&record_, cb, cx); });
  if (code == 0) mounted_ = false;
  return code;
}

void HostMount::PutFile(const char* path, const std::string& data) {
  uint64_t handle = 0;
  ASSERT_EQ(Open(path, ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_TRUNCATE, &handle), 0) << path;
  uint64_t done = 0;
  ASSERT_EQ(Write(handle, data.data(), data.size(), 0, &done), 0);
  ASSERT_EQ(done, data.size());
  ASSERT_EQ(Close(handle), 0);
}

std::string HostMount::GetFile(const char* path) {
  uint64_t handle = 0;
  EXPECT_EQ(Open(path, ZYKFS_OPEN_READ, &handle), 0) << path;
  std::string data;
  char buffer[65536];
  for (uint64_t offset = 0;;) {
    uint64_t done = 0;
    EXPECT_EQ(Read(handle, buffer, sizeof(buffer), offset, &done), 0);
    data.append(buffer, done);
    offset += done;
    if (done < sizeof(buffer)) break;
  }
  EXPECT_EQ(Close(handle), 0);
  return data;
}

}  // namespace zyk_test
