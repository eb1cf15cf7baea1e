// The semaphore: counts, limits, and wake-ups of sleeping threads. A unit is
// never lost between a Signal and a sleeper, a burst wakes as many sleepers as
// it has units, and timed waits that run out at the moment of a Signal neither
// lose nor duplicate a unit.

#include <errno.h>
#include <limits.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/unix/semaphore_unix.h"
#include "core/common/unix/sync_errors.h"
#include "support/test_support.h"

namespace {

using Common::Semaphore;
using zyk_test::Asleep;
using zyk_test::Eventually;

// Lets the current thread run on for a random short while without sleeping,
// so that signals and timeouts meet at varied moments.
void Dawdle(std::mt19937_64& random) {
  for (uint64_t turns = random() % 64; turns > 0; --turns) std::this_thread::yield();
}

TEST(Semaphore, WaitZeroTakesOnlyWhatIsThere) {
  for (unsigned initial : {0u, 1u, 3u}) {
    Semaphore semaphore(initial);
    semaphore.Signal(2);
    unsigned taken = 0;
    for (int i = 0; i < 8; ++i) taken += semaphore.Wait(0u) ? 1 : 0;
    EXPECT_EQ(taken, initial + 2) << "initial " << initial;
  }
}

// The limit is honoured, also when the deadline crosses a second boundary.
TEST(Semaphore, TimedWaitReturnsFalseAfterTheLimit) {
  for (unsigned limit : {30u, 1010u}) {
    Semaphore semaphore(0);
    auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(semaphore.Wait(limit));
    auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(limit - 5)) << limit;
    EXPECT_LT(waited, std::chrono::milliseconds(limit + 2000)) << limit;
  }
}

TEST(Semaphore, SignalFromAnotherThreadEndsATimedWait) {
  Semaphore semaphore(0);
  const pid_t sleeper = ::gettid();
  std::thread signaller([&] {
    Asleep(sleeper);
    semaphore.Signal();
  });
  EXPECT_TRUE(semaphore.Wait(60000u));
  signaller.join();
}

TEST(Semaphore, CountsAboveTheMaximumThrowWithThePosixCause) {
  const struct {
    unsigned initial;
    uint32_t code;
    const char* function;
    int posix;
  } cases[] = {{static_cast<unsigned>(SEM_VALUE_MAX) + 1u, Common::kErrSemaphoreInit, "Semaphore", EINVAL},
               {SEM_VALUE_MAX, Common::kErrSemaphoreSignal, "Signal", EOVERFLOW}};
  for (const auto& c : cases) {
    try {
      Semaphore semaphore(c.initial);
      semaphore.Signal();
      ADD_FAILURE() << "no error for " << c.function;
    } catch (const Common::Error& error) {
      EXPECT_EQ(error.Code(), c.code);
      EXPECT_STREQ(error.Location()->function, c.function);
      EXPECT_EQ(error.Inner().GetNumberTag("code"), static_cast<uint64_t>(c.posix));
    }
  }
}

// Producers and consumers: every signal is taken exactly once.
TEST(Semaphore, EverySignalIsTakenOnce) {
  const int per_producer = static_cast<int>(zyk_test::Scaled(100000, 1000));
  Semaphore semaphore(0);
  std::atomic<int> taken{0};
  std::atomic<bool> producing{true};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&] {
      while (producing) taken += semaphore.Wait(5u) ? 1 : 0;
    });
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&] {
      for (int j = 0; j < per_producer; ++j) semaphore.Signal();
    });
  EXPECT_TRUE(Eventually([&] { return taken.load() >= 2 * per_producer; }));
  producing = false;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(taken.load(), 2 * per_producer);
  EXPECT_FALSE(semaphore.Wait(0u));
}

// `count` threads asleep in `wait`, each counting its outcome.
class Sleepers {
 public:
  template <typename Wait>
  Sleepers(int count, Wait wait) : tids_(count) {
    for (int i = 0; i < count; ++i)
      threads_.emplace_back([this, i, wait] {
        tids_[i] = ::gettid();
        (wait() ? taken : timed_out)++;
      });
    for (int i = 0; i < count; ++i) {
      while (tids_[i].load() == 0) std::this_thread::yield();
      Asleep(tids_[i]);
    }
  }
  void Join() {
    for (auto& thread : threads_) thread.join();
  }
  std::atomic<int> taken{0}, timed_out{0};

 private:
  std::vector<std::atomic<pid_t>> tids_;
  std::vector<std::thread> threads_;
};

// Sleepers that do not come back for another unit must all be woken by a
// burst, whether it arrives as one Signal(n) or as n Signals; with fewer units
// than sleepers exactly that many waits succeed and the rest time out.
TEST(Semaphore, BurstWakesAsManySleepersAsItHasUnits) {
  constexpr int kSleepers = 12;
  for (bool one_call : {true, false}) {
    Semaphore semaphore(0);
    Sleepers sleepers(kSleepers, [&] { return semaphore.Wait(60000u); });
    if (one_call) {
      semaphore.Signal(kSleepers);
    } else {
      for (int i = 0; i < kSleepers; ++i) semaphore.Signal();
    }
    sleepers.Join();
    EXPECT_EQ(sleepers.taken.load(), kSleepers) << (one_call ? "Signal(n)" : "n Signals");
    EXPECT_FALSE(semaphore.Wait(0u));
  }
  constexpr int kUnits = 3;
  Semaphore semaphore(0);
  Sleepers sleepers(8, [&] { return semaphore.Wait(1000u); });
  semaphore.Signal(kUnits);
  sleepers.Join();
  EXPECT_EQ(sleepers.taken.load(), kUnits);
  EXPECT_EQ(sleepers.timed_out.load(), 8 - kUnits);
  EXPECT_FALSE(semaphore.Wait(0u));
}

// Waiters with short, random timeouts against signals at random moments, so
// that timeouts meet wake-ups in flight: every unit is taken exactly once and
// none is left over or made up.
TEST(Semaphore, TimeoutsRacingSignalsNeitherLoseNorDuplicateUnits) {
  const uint64_t seed = zyk_test::TestSeed();
  const int rounds = static_cast<int>(zyk_test::Scaled(4000, 200));
  Semaphore semaphore(0);
  std::atomic<int> taken{0};
  std::atomic<bool> running{true};
  std::vector<std::thread> waiters;
  for (int w = 0; w < 6; ++w)
    waiters.emplace_back([&, w] {
      std::mt19937_64 random(seed + w);
      while (running.load()) {
        uint32_t limit = static_cast<uint32_t>(random() % 3);  // 0, 1 or 2 ms
        if (random() % 4 == 0 ? (semaphore.Wait(), true) : semaphore.Wait(limit)) ++taken;
      }
    });
  std::mt19937_64 random(seed);
  int signalled = 0;
  for (int i = 0; i < rounds; ++i) {
    int count = static_cast<int>(random() % 3) + 1;
    if (count == 1)
      semaphore.Signal();
    else
      semaphore.Signal(static_cast<uint64_t>(count));
    signalled += count;
    if (random() % 8 == 0) Dawdle(random);
  }
  EXPECT_TRUE(Eventually([&] { return taken.load() >= signalled; })) << taken.load() << " of " << signalled;
  running = false;
  // Waiters blocked without a limit need one unit each to come back.
  semaphore.Signal(waiters.size());
  for (auto& thread : waiters) thread.join();
  int left = 0;
  while (semaphore.Wait(0u)) ++left;
  EXPECT_EQ(taken.load() + left, signalled + static_cast<int>(waiters.size()));
  EXPECT_LE(taken.load(), signalled + static_cast<int>(waiters.size()));
}

// A waiter may destroy the semaphore as soon as its Wait returns: the Signal
// that woke it must not touch the semaphore after handing the unit over,
// whether the waiter slept, spun or timed out at that moment.
TEST(Semaphore, WaiterMayDestroyTheSemaphoreOnceWoken) {
  const uint64_t seed = zyk_test::TestSeed();
  std::mt19937_64 random(seed);
  const int rounds = static_cast<int>(zyk_test::Scaled(3000, 200));
  for (int i = 0; i < rounds; ++i) {
    auto* semaphore = new Semaphore(0);
    const bool timed = random() % 2 == 0;
    const uint32_t limit = 1u + static_cast<uint32_t>(random() % 2);
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
      bool got = timed ? semaphore->Wait(limit) || semaphore->Wait(60000u) : (semaphore->Wait(), true);
      taken = got;
      delete semaphore;  // the signaller may still be inside Signal
    });
    Dawdle(random);
    semaphore->Signal();
    waiter.join();
    ASSERT_TRUE(taken.load()) << "round " << i;
  }
}

}  // namespace
