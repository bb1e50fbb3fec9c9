// The analytics interface's front door under contention: 32 threads log events at once, each
// call validated, time-stamped and passed through the ordered operation queue to the facade's
// serial queue. The reference hands the same parameters to a serial queue with a bare async:
// what ordering costs at the least.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/harness.h"
#include "measurement/engine/analytics.h"
#include "os/dispatch/dispatch.h"
#include "testsupport/sandbox.h"

namespace {

constexpr int kThreads = 32;
constexpr int kCallsPerThread = 2'000;

// Runs `call` kCallsPerThread times on each of kThreads threads started together.
template <typename Call>
void onThreads(const Call& call) {
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&call] {
      for (int i = 0; i < kCallsPerThread; ++i) call(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

measurement::RawParameters parameters(int i) {
  return measurement::rawParameters(
      os::Dictionary{{"level", int64_t{i}}, {"character", "wizard"}, {"score", 12.5}});
}

}  // namespace

int main(int argc, char** argv) {
  auto harness = bench::Harness::fromArguments(argc, argv, {});
  if (!harness) return 1;
  testsupport::Sandbox sandbox;
  // As after a start: operations flow on to the serial queue.
  APMAnalytics::unsuspendOperationQueue();
  const std::shared_ptr<os::DispatchQueue> reference = os::DispatchQueue::serial("reference");

  harness->compare({
      .path = "log 64,000 events from 32 threads",
      .ours = {"APMAnalytics::logEventWithName",
               {},
               [] {
                 onThreads(
                     [](int i) { APMAnalytics::logEventWithName("level_up", parameters(i)); });
                 // Every call has reached the serial queue once this operation has run there.
                 os::DispatchSemaphore drained;
                 APMAnalytics::queueOperationWithBlock([drained]() mutable { drained.signal(); });
                 return drained.wait(60);
               }},
      .reference = {"dispatch async to a serial queue",
                    {},
                    [&] {
                      onThreads([&](int i) {
                        reference->async([name = std::string("level_up"), values = parameters(i)] {
                          (void)values.size();
                        });
                      });
                      reference->sync([] {});
                      return true;
                    }},
  });
  harness->printTable();
  return 0;
}
