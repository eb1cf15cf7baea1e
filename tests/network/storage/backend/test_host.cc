#include "network/storage/backend/test_host.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

namespace zyk_test {
namespace {

// The library's two entry points, loaded once per process and never unloaded.
struct Library {
  zykfs_mount_fn mount = nullptr;
  zykfs_umount_fn umount = nullptr;
};

const Library& GetLibrary() {
  static const Library library = [] {
    void* module = ::dlopen(ZYK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      ADD_FAILURE() << "dlopen " << ZYK_LIBRARY_PATH << ": " << ::dlerror();
      std::abort();
    }
    Library loaded{reinterpret_cast<zykfs_mount_fn>(::dlsym(module, "zykfs_mount")),
                   reinterpret_cast<zykfs_umount_fn>(::dlsym(module, "zykfs_umount"))};
    if (loaded.mount == nullptr || loaded.umount == nullptr) std::abort();
    return loaded;
  }();
  return library;
}

}  // namespace

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

size_t CountThreads() {
  size_t count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
  ::closedir(tasks);
  return count;
}

HostMount::HostMount(const std::string& root) : root_(root) {
  params_.root = root_.c_str();
  record_.handle = reinterpret_cast<void*>(kUntouched);
  record_.ops = reinterpret_cast<const zykfs_ops_t*>(kUntouched);
  record_.ops_size = kUntouched;
  result_ = Call([&](zykfs_callback_t cb, void* cx) { GetLibrary().mount(&params_, &record_, cb, cx); });
  mounted_ = result_ == 0;
}

HostMount::~HostMount() {
  if (mounted_) {
    EXPECT_EQ(Unmount(), 0);
  }
  // Late second callbacks would show up here.
  std::lock_guard<std::mutex> lock(completions_mutex_);
  for (const auto& done : completions_) EXPECT_EQ(done->Count(), 1) << "a call was not answered exactly once";
}

Completion& HostMount::NewCompletion() {
  std::lock_guard<std::mutex> lock(completions_mutex_);
  return *completions_.emplace_back(std::make_unique<Completion>());
}

int32_t HostMount::Unmount() {
  int32_t code = Call([&](zykfs_callback_t cb, void* cx) { GetLibrary().umount(&record_, cb, cx); });
  if (code == 0) mounted_ = false;
  return code;
}

void HostMount::PutFile(const char* path, const std::string& data) {
  uint64_t handle = 0, done = 0;
  ASSERT_EQ(Open(path, ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_CREATE | ZYKFS_OPEN_TRUNCATE, &handle), 0) << path;
  ASSERT_EQ(Write(handle, data.data(), data.size(), 0, &done), 0);
  ASSERT_EQ(done, data.size());
  ASSERT_EQ(Close(handle), 0);
}

std::string HostMount::GetFile(const char* path) {
  uint64_t handle = 0;
  EXPECT_EQ(Open(path, ZYKFS_OPEN_READ, &handle), 0) << path;
  std::string data;
  char buffer[65536];
  for (uint64_t done = sizeof(buffer); done == sizeof(buffer);) {
    done = 0;
    EXPECT_EQ(Read(handle, buffer, sizeof(buffer), data.size(), &done), 0);
    data.append(buffer, done);
  }
  EXPECT_EQ(Close(handle), 0);
  return data;
}

bool LocalExists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace zyk_test
