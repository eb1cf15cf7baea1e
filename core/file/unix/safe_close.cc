#include "core/file/unix/safe_close.h"

#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

SafeCloseMode ModeFromEnvironment() { return SafeCloseModeFromValue(std::getenv("VANTREL_SAFE_CLOSE")); }

// Read once, when the library is loaded.
std::atomic<SafeCloseMode> g_mode{ModeFromEnvironment()};

[[noreturn]] void Stop(SafeCloseMode mode) {
  if (mode == SafeCloseMode::kBreak) {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ volatile("int3");
#else
    ::raise(SIGTRAP);
#endif
  }
  std::abort();
}

using CloseFunction = int (*)(int);

// libc's own close, looked up on first use and kept for the life of the process,
// so that a close wrapper interposed by another library is not involved.
CloseFunction LibcClose() {
  static const CloseFunction function = [] {
    void* library = ::dlopen("libc.so.6", RTLD_NOW);
    void* symbol = library != nullptr ? ::dlsym(library, "close") : nullptr;
    if (symbol == nullptr) Stop(g_mode.load() == SafeCloseMode::kBreak ? SafeCloseMode::kBreak : SafeCloseMode::kAbort);
    return reinterpret_cast<CloseFunction>(symbol);
  }();
  return function;
}

}  // namespace

SafeCloseMode SafeCloseModeFromValue(const char* value) {
  if (value == nullptr) return SafeCloseMode::kAbort;
  if (std::strstr(value, "break") != nullptr) return SafeCloseMode::kBreak;
  if (std::strstr(value, "abort") != nullptr) return SafeCloseMode::kAbort;
  return SafeCloseMode::kReturn;
}

SafeCloseMode GetSafeCloseMode() { return g_mode.load(); }

SafeCloseMode SetSafeCloseModeForTesting(SafeCloseMode mode) { return g_mode.exchange(mode); }

int SafeClose(int fd) {
  int result = LibcClose()(fd);
  if (result != 0 && errno == EBADF) {
    SafeCloseMode mode = g_mode.load();
    if (mode != SafeCloseMode::kReturn) Stop(mode);
  }
  return result;
}
