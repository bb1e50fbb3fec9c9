// Promises against the plain alternative: std::promise/std::future handed between a
// caller thread and one worker thread.
//
//   ThenHop*   one value to another thread and the result back (latency)
//   Chain*     a 10,000-step chain, built and run to its end on another thread
//   All*       all() over N promises fulfilled by the caller, gathered on another thread;
//              N = 1,000 / 10,000 / 100,000 shows the cost per promise staying flat. Each size
//              runs for at least 2 s: at 100,000 a short run is one or two iterations, whose
//              time is mostly the kernel handing the fresh heap its pages, which no
//              implementation of all() can change and which made the cost look superlinear
#include <benchmark/benchmark.h>

#include <future>
#include <thread>
#include <vector>

#include "platform/promises/promise.h"

namespace {

constexpr int kChainSteps = 10'000;

const std::shared_ptr<os::DispatchQueue>& benchQueue() {
  static const auto queue = os::DispatchQueue::serial("bench.promises");
  return queue;
}

// A worker thread fed through std::promise mailboxes only: each job carries the future of the
// mailbox of the next job.
class FutureWorker {
 public:
  FutureWorker()
      : thread_([this, mailbox = mailbox_.get_future()]() mutable { run(std::move(mailbox)); }) {}
  ~FutureWorker() {
    post(nullptr);
    thread_.join();
  }

  // Runs `job` on the worker thread; a null job ends it.
  void post(std::function<void()> job) {
    std::promise<Letter> next;
    mailbox_.set_value({std::move(job), std::make_unique<std::future<Letter>>(next.get_future())});
    mailbox_ = std::move(next);
  }

 private:
  struct Letter {
    std::function<void()> job;
    std::unique_ptr<std::future<Letter>> next;  // a future of Letter cannot hold one itself
  };

  static void run(std::future<Letter> mailbox) {
    for (;;) {
      Letter letter = mailbox.get();
      if (!letter.job) return;
      letter.job();
      mailbox = std::move(*letter.next);
    }
  }

  std::promise<Letter> mailbox_;
  std::thread thread_;
};

void ThenHop_Promise(benchmark::State& state) {
  for (auto _ : state) {
    auto source = PRMPromise<int>::pendingPromise();
    auto result = source.then(benchQueue(), [](int value) { return value + 1; });
    source.fulfill(1);
    benchmark::DoNotOptimize(PRMPromiseAwait(result));
  }
}
BENCHMARK(ThenHop_Promise)->UseRealTime();

void ThenHop_StdFuture(benchmark::State& state) {
  FutureWorker worker;
  for (auto _ : state) {
    std::promise<int> reply;
    auto replied = reply.get_future();
    worker.post([&reply] { reply.set_value(1 + 1); });
    benchmark::DoNotOptimize(replied.get());
  }
}
BENCHMARK(ThenHop_StdFuture)->UseRealTime();

void Chain_Promise(benchmark::State& state) {
  for (auto _ : state) {
    auto head = PRMPromise<int64_t>::pendingPromise();
    auto step = head;
    for (int i = 0; i < kChainSteps; ++i) {
      step = step.then(benchQueue(), [](int64_t value) { return value + 1; });
    }
    head.fulfill(0);
    benchmark::DoNotOptimize(PRMPromiseAwait(step));
  }
  state.SetItemsProcessed(state.iterations() * kChainSteps);
}
BENCHMARK(Chain_Promise)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same links as std::promise/std::future pairs, walked by the worker thread.
void Chain_StdFuture(benchmark::State& state) {
  FutureWorker worker;
  for (auto _ : state) {
    std::vector<std::promise<int64_t>> links(kChainSteps + 1);
    std::vector<std::future<int64_t>> ends;
    ends.reserve(links.size());
    for (auto& link : links) ends.push_back(link.get_future());
    worker.post([&] {
      for (int i = 0; i < kChainSteps; ++i) links[i + 1].set_value(ends[i].get() + 1);
    });
    links[0].set_value(0);
    benchmark::DoNotOptimize(ends[kChainSteps].get());
  }
  state.SetItemsProcessed(state.iterations() * kChainSteps);
}
BENCHMARK(Chain_StdFuture)->UseRealTime()->Unit(benchmark::kMillisecond);

void All_Promise(benchmark::State& state) {
  const auto count = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    std::vector<PRMResult<int>> entries;
    std::vector<PRMPromise<int>> sources;
    entries.reserve(count);
    sources.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      sources.push_back(PRMPromise<int>::pendingPromise());
      entries.emplace_back(sources.back());
    }
    auto all = PRMPromise<int>::all(benchQueue(), std::move(entries));
    for (size_t i = 0; i < count; ++i) sources[i].fulfill(static_cast<int>(i));
    benchmark::DoNotOptimize(PRMPromiseAwait(all));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(All_Promise)
    ->RangeMultiplier(10)
    ->Range(1'000, 100'000)
    ->MinTime(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// The caller sets N promises; the worker gathers their futures' values in order.
void All_StdFuture(benchmark::State& state) {
  const auto count = static_cast<size_t>(state.range(0));
  FutureWorker worker;
  for (auto _ : state) {
    std::vector<std::promise<int>> sources(count);
    std::vector<std::future<int>> futures;
    futures.reserve(count);
    for (auto& source : sources) futures.push_back(source.get_future());
    std::promise<std::vector<int>> gathered;
    auto all = gathered.get_future();
    worker.post([&] {
      std::vector<int> values;
      values.reserve(count);
      for (auto& future : futures) values.push_back(future.get());
      gathered.set_value(std::move(values));
    });
    for (size_t i = 0; i < count; ++i) sources[i].set_value(static_cast<int>(i));
    benchmark::DoNotOptimize(all.get());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(All_StdFuture)
    ->RangeMultiplier(10)
    ->Range(1'000, 100'000)
    ->MinTime(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
