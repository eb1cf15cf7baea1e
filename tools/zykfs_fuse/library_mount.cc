#include "library_mount.h"

#include <dlfcn.h>

#include <cstdio>

namespace zykfs_fuse {
namespace {

struct AsyncCall {
  std::function<void(int32_t)> done;
  static void Complete(void* context, int32_t code) {
    auto* call = static_cast<AsyncCall*>(context);
    std::function<void(int32_t)> done = std::move(call->done);
    delete call;
    done(code);
  }
};

struct Waiter {
  std::mutex mutex;
  std::condition_variable signal;
  bool finished = false;  // guarded by mutex
  int32_t code = 0;       // guarded by mutex
  static void Complete(void* context, int32_t code) {
    auto* waiter = static_cast<Waiter*>(context);
    std::lock_guard<std::mutex> lock(waiter->mutex);
    waiter->code = code;
    waiter->finished = true;
    waiter->signal.notify_one();
  }
};

}  // namespace

void CallAsync(const std::function<void(zykfs_callback_t, void*)>& issue, std::function<void(int32_t)> done) {
  issue(&AsyncCall::Complete, new AsyncCall{std::move(done)});
}

int32_t CallAndWait(const std::function<void(zykfs_callback_t, void*)>& issue) {
  Waiter waiter;
  issue(&Waiter::Complete, &waiter);
  std::unique_lock<std::mutex> lock(waiter.mutex);
  waiter.signal.wait(lock, [&] { return waiter.finished; });
  return waiter.code;
}

LibraryMount::LibraryMount(const std::string& library_path, const std::string& root) {
  library_ = ::dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    failure_ = std::string("cannot load the library: ") + ::dlerror();
    return;
  }
  auto mount_fn = reinterpret_cast<zykfs_mount_fn>(::dlsym(library_, "zykfs_mount"));
  umount_fn_ = reinterpret_cast<zykfs_umount_fn>(::dlsym(library_, "zykfs_umount"));
  if (mount_fn == nullptr || umount_fn_ == nullptr) {
    failure_ = library_path + " lacks zykfs_mount or zykfs_umount";
    return;
  }
  zykfs_params_t params{root.c_str()};
  int32_t code = CallAndWait([&](zykfs_callback_t cb, void* ctx) { mount_fn(&params, &mount_, cb, ctx); });
  if (code != ZYKFS_OK) {
    char text[160];
    std::snprintf(text, sizeof text, "mount failed: code 0x%08x (%s)", static_cast<uint32_t>(code),
                  zykfs_result_text(code));
    failure_ = text;
    return;
  }
  if (mount_.ops_size < ZYKFS_OPS_SIZE) {
    failure_ = "the library's operation table is too small";
    Unmount();
    return;
  }
  mounted_ = true;
}

LibraryMount::~LibraryMount() {
  if (mounted_) Unmount();
}

int32_t LibraryMount::Unmount() {
  int32_t code = CallAndWait([&](zykfs_callback_t cb, void* ctx) { umount_fn_(&mount_, cb, ctx); });
  if (code == ZYKFS_OK) mounted_ = false;
  return code;
}

}  // namespace zykfs_fuse
