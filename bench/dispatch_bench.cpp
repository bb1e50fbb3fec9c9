// Dispatch queues and the main run loop against the plain alternative: one std::thread that
// drains a std::deque of std::function guarded by a std::mutex and a std::condition_variable.
//
//   SerialAsync*     10,000 asyncs onto a serial queue, then one sync (items/s)
//   Hop*             one block to another thread and a wake-up back (latency)
//   MainRoundTrip*   main thread -> worker -> main thread, the main side driven by its loop
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "os/dispatch/dispatch.h"
#include "os/dispatch/runloop.h"

namespace {

constexpr int kBlocks = 10'000;

// A one-shot flag that a thread can wait for.
class ReferenceEvent {
 public:
  void signal() {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    condition_.notify_one();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    condition_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  bool signalled_ = false;
};

// The textbook work queue. With `ownThread` false nobody drains it but runUntil(), as the main
// thread drains its queue.
class ReferenceWorkQueue {
 public:
  explicit ReferenceWorkQueue(bool ownThread = true) {
    if (ownThread) thread_ = std::thread([this] { runUntil([this] { return stopping_; }); });
  }
  ~ReferenceWorkQueue() {
    if (!thread_.joinable()) return;
    post([this] { stopping_ = true; });
    thread_.join();
  }

  void post(std::function<void()> block) {
    {
      std::lock_guard lock(mutex_);
      blocks_.push_back(std::move(block));
    }
    condition_.notify_one();
  }

  // Runs blocks on the calling thread until `done()` holds after one of them.
  template <typename Done>
  void runUntil(Done done) {
    while (!done()) {
      std::function<void()> block;
      {
        std::unique_lock lock(mutex_);
        condition_.wait(lock, [this] { return !blocks_.empty(); });
        block = std::move(blocks_.front());
        blocks_.pop_front();
      }
      block();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  std::deque<std::function<void()>> blocks_;  // guarded by mutex_
  bool stopping_ = false;                     // touched only by the draining thread
  std::thread thread_;
};

void SerialAsyncDispatch(benchmark::State& state) {
  auto queue = os::DispatchQueue::serial("bench.serial");
  int64_t counter = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBlocks; ++i) queue->async([&counter] { ++counter; });
    queue->sync([] {});
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(SerialAsyncDispatch)->UseRealTime();

void SerialAsyncReference(benchmark::State& state) {
  ReferenceWorkQueue queue;
  ReferenceEvent drained;
  int64_t counter = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBlocks; ++i) queue.post([&counter] { ++counter; });
    queue.post([&drained] { drained.signal(); });
    drained.wait();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * kBlocks);
}
BENCHMARK(SerialAsyncReference)->UseRealTime();

void HopDispatch(benchmark::State& state) {
  auto queue = os::DispatchQueue::serial("bench.hop");
  os::DispatchSemaphore back;
  for (auto _ : state) {
    queue->async([&back] { back.signal(); });
    back.wait();
  }
}
BENCHMARK(HopDispatch)->UseRealTime();

void HopReference(benchmark::State& state) {
  ReferenceWorkQueue queue;
  ReferenceEvent back;
  for (auto _ : state) {
    queue.post([&back] { back.signal(); });
    back.wait();
  }
}
BENCHMARK(HopReference)->UseRealTime();

// No reference: the plain work queue has no way to run a block on the caller's thread in turn.
void SyncOntoIdleSerialQueue(benchmark::State& state) {
  auto queue = os::DispatchQueue::serial("bench.sync");
  int64_t counter = 0;
  for (auto _ : state) queue->sync([&counter] { ++counter; });
  benchmark::DoNotOptimize(counter);
}
BENCHMARK(SyncOntoIdleSerialQueue);

void MainRoundTripDispatch(benchmark::State& state) {
  if (!os::isMainThread()) {
    state.SkipWithError("needs the main thread");
    return;
  }
  auto queue = os::DispatchQueue::serial("bench.round-trip");
  bool done = false;
  for (auto _ : state) {
    done = false;
    queue->async([&done] { os::DispatchQueue::main()->async([&done] { done = true; }); });
    os::RunLoop::main().runUntil([&done] { return done; }, os::kWaitForever);
  }
}
BENCHMARK(MainRoundTripDispatch)->UseRealTime();

void MainRoundTripReference(benchmark::State& state) {
  ReferenceWorkQueue worker;
  ReferenceWorkQueue mainQueue(/*ownThread=*/false);
  bool done = false;
  for (auto _ : state) {
    done = false;
    worker.post([&] { mainQueue.post([&done] { done = true; }); });
    mainQueue.runUntil([&done] { return done; });
  }
}
BENCHMARK(MainRoundTripReference)->UseRealTime();

}  // namespace
