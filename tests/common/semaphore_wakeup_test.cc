// Wake-ups of threads sleeping on a Semaphore: a unit is never lost between a
// Signal and a sleeper, a burst wakes as many sleepers as it has units, and
// timed waits that run out at the moment of a Signal neither lose nor
// duplicate a unit.

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/unix/semaphore_unix.h"
#include "support/test_support.h"

namespace {

using Common::Semaphore;
using namespace std::chrono_literals;

// Waits until `done()` or about ten seconds have passed; true when done.
template <typename Predicate>
bool Eventually(Predicate done) {
  for (int i = 0; i < 10000 && !done(); ++i) std::this_thread::sleep_for(1ms);
  return done();
}

// Sleepers that do not come back for another unit must all be woken by a
// burst, whether it arrives as one Signal(n) or as n Signals.
TEST(SemaphoreWakeup, BurstWakesEverySleeperItHasUnitsFor) {
  for (bool one_call : {true, false}) {
    constexpr int kSleepers = 12;
    Semaphore semaphore(0);
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kSleepers; ++i)
      threads.emplace_back([&] {
        if (semaphore.Wait(20000u)) ++woken;
      });
    std::this_thread::sleep_for(20ms);  // let them fall asleep
    if (one_call) {
      semaphore.Signal(kSleepers);
    } else {
      for (int i = 0; i < kSleepers; ++i) semaphore.Signal();
    }
    EXPECT_TRUE(Eventually([&] { return woken.load() == kSleepers; }))
        << (one_call ? "Signal(n)" : "n Signals") << ": woken " << woken.load();
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(semaphore.Wait(0u));
  }
}

// Fewer units than sleepers: exactly that many waits succeed, the rest time out.
TEST(SemaphoreWakeup, SleepersTakeOnlyTheUnitsSignalled) {
  constexpr int kSleepers = 8;
  constexpr int kUnits = 3;
  Semaphore semaphore(0);
  std::atomic<int> taken{0};
  std::atomic<int> timed_out{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kSleepers; ++i)
    threads.emplace_back([&] {
      if (semaphore.Wait(600u))
        ++taken;
      else
        ++timed_out;
    });
  std::this_thread::sleep_for(20ms);
  semaphore.Signal(kUnits);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(taken.load(), kUnits);
  EXPECT_EQ(timed_out.load(), kSleepers - kUnits);
  EXPECT_FALSE(semaphore.Wait(0u));
}

// Waiters with short, random timeouts against signals at random moments, so
// that timeouts meet wake-ups in flight: every unit is taken exactly once and
// none is left over or made up.
TEST(SemaphoreWakeup, TimeoutsRacingSignalsNeitherLoseNorDuplicateUnits) {
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
    if (random() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
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
TEST(SemaphoreWakeup, WaiterMayDestroyTheSemaphoreOnceWoken) {
  const uint64_t seed = zyk_test::TestSeed();
  std::mt19937_64 random(seed);
  const int rounds = static_cast<int>(zyk_test::Scaled(3000, 200));
  for (int i = 0; i < rounds; ++i) {
    auto* semaphore = new Semaphore(0);
    const unsigned pause_us = static_cast<unsigned>(random() % 60);
    const bool timed = random() % 2 == 0;
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
      bool got = timed ? semaphore->Wait(1u + static_cast<uint32_t>(random() % 2)) || semaphore->Wait(10000u)
                       : (semaphore->Wait(), true);
      taken = got;
      delete semaphore;  // the signaller may still be inside Signal
    });
    std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
    semaphore->Signal();
    waiter.join();
    ASSERT_TRUE(taken.load()) << "round " << i;
  }
}

}  // namespace
