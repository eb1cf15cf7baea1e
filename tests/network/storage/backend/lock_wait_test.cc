// Lock requests that wait for a lock another process holds: they leave the
// mount answering everything else, each is answered once when granted, and
// closing a handle ends its wait.

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network/storage/backend/test_host.h"

namespace {

using namespace zyk_test;

constexpr uint32_t kShared = ZYKFS_OPEN_READ_WRITE | ZYKFS_OPEN_NO_LOCK;

// One waiting exclusive lock request. Once granted it records its turn and
// lets go at once, so that the next request can be granted.
struct Waiter {
  HostMount* mount = nullptr;
  uint64_t handle = 0;
  size_t index = 0;
  Completion* answered = nullptr;
  Completion* released = nullptr;
  struct Shared {
    std::mutex mutex;
    std::vector<size_t> turns;  // guarded by mutex
    std::atomic<int> holders{0};
    std::atomic<bool> overlapped{false};
  }* shared = nullptr;

  static void Granted(void* context, int32_t code) {
    auto* self = static_cast<Waiter*>(context);
    if (code == 0) {
      if (self->shared->holders.fetch_add(1) != 0) self->shared->overlapped = true;
      {
        std::lock_guard<std::mutex> lock(self->shared->mutex);
        self->shared->turns.push_back(self->index);
      }
      self->shared->holders.fetch_sub(1);
      self->mount->Ops().lock(self->mount->Handle(), self->handle, ZYKFS_LOCK_NONE, &Completion::Callback,
                              self->released);
    }
    Completion::Callback(self->answered, code);
  }
};

TEST(LockWaits, ManyWaitersLeaveTheMountAnsweringAndAreEachGrantedOnce) {
  constexpr size_t kWaiters = 200;
  TempDir dir;
  WriteFile(dir / "locked", "locked");
  WriteFile(dir / "other", "other");
  OtherProcessLock other(dir / "locked");
  ASSERT_TRUE(other.Held());
  HostMount mount(dir.path());
  ASSERT_EQ(mount.Result(), 0);

  Waiter::Shared shared;
  std::vector<Waiter> waiters(kWaiters);
  for (size_t i = 0; i < kWaiters; ++i) {
    Waiter& waiter = waiters[i];
    waiter = Waiter{&mount, 0, i, &mount.NewCompletion(), &mount.NewCompletion(), &shared};
    ASSERT_EQ(mount.Open("locked", kShared, &waiter.handle), 0);
    mount.Ops().lock(mount.Handle(), waiter.handle, ZYKFS_LOCK_EXCLUSIVE, &Waiter::Granted, &waiter);
  }

  // Everything else goes on, on the same mount, while every request waits.
  zykfs_stat_t stat{};
  EXPECT_EQ(mount.Stat("locked", &stat), 0);
  uint64_t handle = 0, listing = 0, done = 0;
  char buffer[16];
  ASSERT_EQ(mount.Open("other", ZYKFS_OPEN_READ, &handle), 0);
  EXPECT_EQ(mount.Read(handle, buffer, sizeof(buffer), 0, &done), 0);
  EXPECT_EQ(std::string(buffer, done), "other");
  EXPECT_EQ(mount.Close(handle), 0);
  ASSERT_EQ(mount.OpenDir("", &listing), 0);
  std::vector<char> records(ZYKFS_READDIR_MIN_BUFFER);
  zykfs_readdir_status_t status{records.data(), records.size()};
  EXPECT_EQ(mount.ReadDir(listing, &status), 0);
  EXPECT_EQ(mount.CloseDir(listing), 0);
  for (const Waiter& waiter : waiters) EXPECT_FALSE(waiter.answered->Done()) << "granted while held elsewhere";

  other.LetGo();
  for (Waiter& waiter : waiters) EXPECT_EQ(waiter.answered->Wait(), 0) << waiter.index;
  for (Waiter& waiter : waiters) EXPECT_EQ(waiter.released->Wait(), 0);
  EXPECT_FALSE(shared.overlapped.load()) << "two exclusive locks granted at once";
  EXPECT_EQ(std::set<size_t>(shared.turns.begin(), shared.turns.end()).size(), kWaiters);
  for (Waiter& waiter : waiters) EXPECT_EQ(mount.Close(waiter.handle), 0);
}

// Closing a handle whose only request waits for a lock ends the wait: the
// request is answered first, then the close goes through. This holds for a
// lock of another process and for one of another handle of the mount.
TEST(LockWaits, CloseEndsAWaitingLock) {
  for (bool by_other_process : {true, false}) {
    SCOPED_TRACE(by_other_process ? "held by another process" : "held by another handle");
    TempDir dir;
    WriteFile(dir / "locked", "locked");
    OtherProcessLock other(dir / (by_other_process ? "locked" : "unrelated"));
    HostMount mount(dir.path());
    ASSERT_EQ(mount.Result(), 0);
    uint64_t holder = 0, waiter = 0;
    if (!by_other_process) {
      ASSERT_EQ(mount.Open("locked", kShared, &holder), 0);
      ASSERT_EQ(mount.Lock(holder, ZYKFS_LOCK_EXCLUSIVE), 0);
    }
    ASSERT_EQ(mount.Open("locked", kShared, &waiter), 0);
    Completion& waiting = mount.NewCompletion();
    mount.Ops().lock(mount.Handle(), waiter, ZYKFS_LOCK_EXCLUSIVE, &Completion::Callback, &waiting);
    // A close can come before the request has started waiting; then it is busy.
    int32_t closed = ZYKFS_E_BUSY;
    while (closed == ZYKFS_E_BUSY && !waiting.Done()) closed = mount.Close(waiter);
    EXPECT_EQ(closed, 0);
    ASSERT_TRUE(waiting.Done()) << "answered before the close";
    EXPECT_EQ(waiting.Wait(), ZYKFS_E_CANCELED);
    if (!by_other_process) {
      // The withdrawn request left nothing behind: the lock passes on as usual.
      uint64_t next = 0;
      ASSERT_EQ(mount.Open("locked", kShared, &next), 0);
      Completion& granted = mount.NewCompletion();
      mount.Ops().lock(mount.Handle(), next, ZYKFS_LOCK_EXCLUSIVE, &Completion::Callback, &granted);
      EXPECT_EQ(mount.Lock(holder, ZYKFS_LOCK_NONE), 0);
      EXPECT_EQ(granted.Wait(), 0);
      EXPECT_EQ(mount.Close(next), 0);
      EXPECT_EQ(mount.Close(holder), 0);
    }
  }
}

}  // namespace
