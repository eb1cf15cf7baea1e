#include "open_file.h"

#include <vector>

namespace zykfs_fuse {

// Requests are issued under the mutex so that they reach the library in the
// order they were submitted; a library call returns at once and its completion
// never runs on the calling thread, so holding the mutex costs little.
// Requests without a handle run outside the mutex and are not counted.
void OpenFile::Submit(Request request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (paused_) {
      held_.push_back(std::move(request));
      return;
    }
    if (handle_ != 0) {
      ++in_flight_;
      request(handle_);
      return;
    }
  }
  request(0);
}

void OpenFile::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--in_flight_ == 0) idle_.notify_all();
}

uint64_t OpenFile::Pause() {
  std::unique_lock<std::mutex> lock(mutex_);
  paused_ = true;
  idle_.wait(lock, [this] { return in_flight_ == 0; });
  return handle_;
}

void OpenFile::Resume(uint64_t handle, bool writable) {
  std::deque<Request> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handle_ = handle;
    writable_ = writable;
    paused_ = false;
    if (handle_ != 0) {
      for (Request& request : held_) {
        ++in_flight_;
        request(handle_);
      }
      held_.clear();
      return;
    }
    held.swap(held_);
  }
  for (Request& request : held) request(0);
}

void OpenFile::Retire() { Resume(0, false); }

bool OpenFile::Writable() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writable_;
}

}  // namespace zykfs_fuse
