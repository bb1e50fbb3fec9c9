// Exactly once at scale: 32 threads log 5,000 events each through the facade at once, and the
// collector receives each of the 160,000 once. Minutes on a loaded machine with two cores.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "measurement/engine/upload_test_support.h"

namespace {

using namespace testsupport;

TEST_F(UploadTest, ThirtyTwoThreadsLoggingAtOnceHaveEveryEventArriveExactlyOnce) {
  // The daily limits and the store's limit raised past the 160,000 events of the run.
  collector_.setConfiguration(
      "1:1:macos:a",
      configuration("1:1:macos:a", {{"measurement.upload.max_events_per_day", "1000000"},
                                    {"measurement.upload.max_public_events_per_day", "1000000"},
                                    {"measurement.store.max_stored_events_per_app", "1000000"}}));
  // A first launch fetches that configuration.
  run({"--events", "0"});
  constexpr int64_t kThreads = 32;
  constexpr int64_t kPerThread = 5000;
  // The monitor's lines, a few kilobytes an event, are not kept.
  auto values = run({"--threads", std::to_string(kThreads), "--per-thread",
                     std::to_string(kPerThread), "--monitor", "0"});
  EXPECT_EQ(values["rawEventsEmpty"], "1");
  EXPECT_EQ(values["queued"], "0");
  std::set<int64_t> expected;
  for (int64_t seq = 0; seq < kThreads * kPerThread; ++seq) expected.insert(seq);
  expectEachEventOnceButTheBatchInFlight(collector_, expected, false);
  expectDistinctIndexes(collector_);
}

}  // namespace
