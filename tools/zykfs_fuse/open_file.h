#pragma once
// One library handle shared by every open of one file through the mount, and
// the gate that lets the host close and reopen that handle (around a rename or
// an unlink) while requests keep arriving: requests that come meanwhile wait in
// a queue instead of blocking a thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace zykfs_fuse {

class OpenFile {
 public:
  // A request: issues one library call on `handle` and calls Finish() once that
  // call's completion has run. Handle 0 means the file is no longer open (or
  // could not be reopened): the request then answers without the library and
  // must not call Finish().
  using Request = std::function<void(uint64_t handle)>;

  OpenFile(uint64_t handle, bool writable, bool archive) : handle_(handle), writable_(writable), archive_(archive) {}

  // Runs `request` now, or once a reopen in progress has ended.
  void Submit(Request request);
  // Marks one submitted request as complete.
  void Finish();

  // Holds new requests back and blocks until none is in flight; returns the
  // library handle, which the caller may then close. Pair with Resume.
  uint64_t Pause();
  // Installs `handle` (possibly reopened) and `writable`, and runs the held requests in order.
  void Resume(uint64_t handle, bool writable);
  // After the last close: held and later requests run with handle 0, which
  // stands for "no longer open" (a status request then asks by name).
  void Retire();

  bool Writable() const;
  bool Archive() const { return archive_; }

  // Whether the file may hold changes its last sync did not make durable: set
  // as a change (write, truncate, hole punch, a created name) is issued, taken
  // by a sync, which puts it back when it fails. A sync without changes has
  // nothing to do, so a close that changed nothing commits nothing.
  void NoteChange() {
    written_.store(true);
    changed_.store(true);
  }
  bool TakeChange() { return changed_.exchange(false); }
  // Whether anything was ever changed through this file.
  bool Written() const { return written_.load(); }

  // Count of the program's opens that share this handle; guarded by the
  // caller's namespace lock, not by this object.
  int opens = 0;
  // Set when the file was unlinked while open: it then lives under this hidden
  // path and is removed at its last release. Guarded like `opens`.
  std::string hidden_path;

 private:
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  uint64_t handle_;  // guarded by mutex_
  bool writable_;    // guarded by mutex_
  const bool archive_;
  std::atomic<bool> changed_{false};
  std::atomic<bool> written_{false};
  int in_flight_ = 0;         // guarded by mutex_
  bool paused_ = false;       // guarded by mutex_
  std::deque<Request> held_;  // guarded by mutex_
};

}  // namespace zykfs_fuse
