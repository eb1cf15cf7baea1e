// Throughput of Post on the task manager (32 workers) against a minimal queue
// of a mutex, a condition variable and 32 threads, with tasks that do nothing
// but count. Each iteration posts a batch and waits until all of it ran.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/network/storage/common/task_manager.h"

namespace {

constexpr int kBatch = 20000;
constexpr int kWorkers = 32;

// Wakes the poster when the last task of a batch has run.
class BatchDone {
 public:
  void Reset(int count) { remaining_.store(count); }
  void TaskRan() {
    if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
      cv_.notify_one();
    }
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return done_; });
    done_ = false;
  }

 private:
  std::atomic<int> remaining_{0};
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

class MinimalQueue {
 public:
  MinimalQueue() {
    for (int i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { Run(); });
  }
  ~MinimalQueue() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& thread : threads_) thread.join();
  }
  void Post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(task));
    }
    cv_.notify_one();
  }

 private:
  void Run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      task();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

template <typename Queue>
void RunBatches(benchmark::State& state, Queue& queue) {
  BatchDone done;
  for (auto _ : state) {
    done.Reset(kBatch);
    for (int i = 0; i < kBatch; ++i) queue.Post([&done] { done.TaskRan(); });
    done.Wait();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_TaskManagerPost(benchmark::State& state) {
  auto manager = Network::Storage::CreateThreadPoolTaskManager();
  RunBatches(state, *manager);
}
BENCHMARK(BM_TaskManagerPost)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_MutexConditionQueuePost(benchmark::State& state) {
  MinimalQueue queue;
  RunBatches(state, queue);
}
BENCHMARK(BM_MutexConditionQueuePost)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
