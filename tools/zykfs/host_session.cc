#include "host_session.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace zykfs_tool {

void HostSession::Completion::Done(void* context, int32_t code) {
  auto* self = static_cast<Completion*>(context);
  std::lock_guard<std::mutex> lock(self->mutex);
  self->code = code;
  self->done = true;
  self->done_signal.notify_one();
}

int32_t HostSession::Completion::Wait() {
  std::unique_lock<std::mutex> lock(mutex);
  done_signal.wait(lock, [this] { return done; });
  return code;
}

HostSession::HostSession(const std::string& library_path) {
  library_ = ::dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) throw std::runtime_error(std::string("cannot load the library: ") + ::dlerror());
  mount_fn_ = reinterpret_cast<zykfs_mount_fn>(::dlsym(library_, "zykfs_mount"));
  umount_fn_ = reinterpret_cast<zykfs_umount_fn>(::dlsym(library_, "zykfs_umount"));
  if (mount_fn_ == nullptr || umount_fn_ == nullptr) throw std::runtime_error("the library lacks zykfs_mount");
}

HostSession::~HostSession() {
  if (mounted_) Unmount();
  // The library stays loaded: its threads may still be finishing their last callback.
}

int32_t HostSession::Mount(const std::string& root) {
  zykfs_params_t params{root.c_str()};
  int32_t code =
      Call([&](zykfs_callback_t callback, void* context) { mount_fn_(&params, &mount_, callback, context); });
  mounted_ = code == ZYKFS_OK;
  return code;
}

int32_t HostSession::Unmount() {
  int32_t code = Call([&](zykfs_callback_t callback, void* context) { umount_fn_(&mount_, callback, context); });
  if (code == ZYKFS_OK) mounted_ = false;
  return code;
}

namespace {

// The directory of the running executable, or "" when it cannot be read.
std::string ExecutableDir() {
  char self[4096];
  ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return std::string();
  std::string path(self, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/'));
}

bool IsFile(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

std::string DefaultLibraryPath() {
  if (const char* path = std::getenv("ZYKFS_LIBRARY")) return path;
  std::string dir = ExecutableDir();
  if (!dir.empty()) {
    // Built: the tool is <build>/tools/zykfs/zykfs and the library <build>/libzyk_backend_local.so.1.
    std::string build = dir.substr(0, dir.rfind('/'));
    build = build.substr(0, build.rfind('/'));
    if (IsFile(build + "/libzyk_backend_local.so.1")) return build + "/libzyk_backend_local.so.1";
    // Installed: the library's place relative to the tool's directory.
    if (IsFile(dir + "/" ZYKFS_INSTALLED_LIBRARY)) return dir + "/" ZYKFS_INSTALLED_LIBRARY;
  }
  return "libzyk_backend_local.so.1";  // wherever the dynamic loader finds it
}

}  // namespace zykfs_tool
