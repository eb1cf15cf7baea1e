#include "core/common/unix/semaphore_unix.h"

#include <errno.h>
#include <limits.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/common/unix/sync_errors.h"
#include "support/test_support.h"

namespace {

using Common::Semaphore;
using namespace std::chrono_literals;

TEST(Semaphore, WaitZeroTakesOnlyWhatIsThere) {
  struct Case {
    unsigned initial;
    int successes;
  };
  for (Case c : {Case{0, 0}, Case{1, 1}, Case{3, 3}}) {
    Semaphore semaphore(c.initial);
    int taken = 0;
    for (int i = 0; i < 5; ++i) taken += semaphore.Wait(0u) ? 1 : 0;
    EXPECT_EQ(taken, c.successes) << "initial " << c.initial;
  }
}

TEST(Semaphore, TimedWaitReturnsFalseAfterTheLimit) {
  Semaphore semaphore(0);
  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(semaphore.Wait(30u));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 25ms);
}

TEST(Semaphore, TimedWaitCrossesASecondBoundary) {
  Semaphore semaphore(0);
  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(semaphore.Wait(1010u));
  auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(waited, 1000ms);
  EXPECT_LT(waited, 3000ms);
}

TEST(Semaphore, SignalFromAnotherThreadEndsATimedWaitEarly) {
  Semaphore semaphore(0);
  std::thread signaller([&] {
    std::this_thread::sleep_for(10ms);
    semaphore.Signal();
  });
  auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(semaphore.Wait(10000u));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5000ms);
  signaller.join();
}

TEST(Semaphore, SignalWithCountAddsThatMany) {
  Semaphore semaphore(0);
  semaphore.Signal(4);
  int taken = 0;
  while (semaphore.Wait(0u)) ++taken;
  EXPECT_EQ(taken, 4);
}

TEST(Semaphore, InitialCountAboveTheMaximumThrowsCode20) {
  try {
    Semaphore semaphore(static_cast<unsigned>(SEM_VALUE_MAX) + 1u);
    FAIL() << "no error";
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), Common::kErrSemaphoreInit);
    EXPECT_STREQ(error.Location()->function, "Semaphore");
    EXPECT_EQ(error.Inner().GetNumberTag("code"), static_cast<uint64_t>(EINVAL));
  }
}

TEST(Semaphore, SignalBeyondTheMaximumThrowsCode21) {
  Semaphore semaphore(SEM_VALUE_MAX);
  try {
    semaphore.Signal();
    FAIL() << "no error";
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), Common::kErrSemaphoreSignal);
    EXPECT_STREQ(error.Location()->function, "Signal");
    EXPECT_EQ(error.Inner().GetNumberTag("code"), static_cast<uint64_t>(EOVERFLOW));
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
      while (producing) {
        if (semaphore.Wait(5u)) taken++;
      }
    });
  std::vector<std::thread> producers;
  for (int i = 0; i < 2; ++i)
    producers.emplace_back([&] {
      for (int j = 0; j < per_producer; ++j) semaphore.Signal();
    });
  for (auto& producer : producers) producer.join();
  while (taken.load() < 2 * per_producer) std::this_thread::sleep_for(1ms);
  producing = false;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(taken.load(), 2 * per_producer);
  EXPECT_FALSE(semaphore.Wait(0u));
}

}  // namespace
