#include "installer/screens/progress_coalescer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// One report, and what the coalescer must answer. A `take` step stands for the main queue
// running the waiting post: `value` is what it must show.
struct Step {
  enum Kind { kOffer, kTake } kind;
  double value;
  double now = 0;
  bool posts = false;
};

struct Case {
  std::string name;
  double frameSeconds;
  std::vector<Step> steps;
};

TEST(ProgressCoalescerTest, PostsOncePerFrameOrWholePercentAndShowsTheLatest) {
  const std::vector<Case> cases = {
      {"the first report posts; later ones wait for the post to run",
       1.0 / 60,
       {{Step::kOffer, 10.2, 0, true},
        {Step::kOffer, 11.5, 0.001, false},
        {Step::kOffer, 12.7, 0.002, false},
        {Step::kTake, 12.7}}},
      {"within a frame and a whole percent nothing posts; a frame later it does",
       1.0 / 60,
       {{Step::kOffer, 40.1, 0, true},
        {Step::kTake, 40.1},
        {Step::kOffer, 40.2, 0.005, false},
        {Step::kOffer, 40.3, 0.010, false},
        {Step::kOffer, 40.4, 0.020, true},
        {Step::kTake, 40.4}}},
      {"a new whole percent posts at once, even going down",
       1.0 / 60,
       {{Step::kOffer, 40.5, 0, true},
        {Step::kTake, 40.5},
        {Step::kOffer, 30, 0.001, true},
        {Step::kTake, 30}}},
      {"headless: only whole percents, however much time passes",
       0,
       {{Step::kOffer, 5.1, 0, true},
        {Step::kTake, 5.1},
        {Step::kOffer, 5.9, 10, false},
        {Step::kOffer, 6.0, 11, true},
        {Step::kTake, 6.0}}},
      {"the end always shows: posted, or taken by the waiting post",
       0,
       {{Step::kOffer, 99.5, 0, true},
        {Step::kTake, 99.5},
        {Step::kOffer, 100, 0, true},
        {Step::kOffer, 99.9, 0, false},
        {Step::kOffer, 100, 0, false},
        {Step::kTake, 100}}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    TSRProgressCoalescer coalescer(test.frameSeconds);
    for (size_t i = 0; i < test.steps.size(); ++i) {
      const Step& step = test.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      if (step.kind == Step::kOffer) {
        EXPECT_EQ(coalescer.offer(step.value, step.now), step.posts);
      } else {
        EXPECT_EQ(coalescer.take(), step.value);
      }
    }
  }
}

// Reports from a transfer thread racing the main thread's takes: every post is taken, and the
// last take shows the last report.
TEST(ProgressCoalescerTest, ConcurrentReportsEndOnTheLastOne) {
  TSRProgressCoalescer coalescer(0);
  std::atomic<int> posts{0};
  std::atomic<bool> done{false};
  std::thread transfer([&] {
    for (int i = 0; i <= 10000; ++i) {
      if (coalescer.offer(i / 100.0, 0)) ++posts;
    }
    done = true;
  });
  int taken = 0;
  double shown = -1;
  while (true) {
    // Read before the count, so that once it is seen every post is counted.
    const bool finished = done.load();
    if (posts.load() > taken) {
      shown = coalescer.take();
      ++taken;
    } else if (finished) {
      break;
    } else {
      std::this_thread::yield();
    }
  }
  transfer.join();
  EXPECT_EQ(shown, 100);
  EXPECT_EQ(posts.load(), taken);
  // One post per whole percent at most.
  EXPECT_LE(taken, 101);
}

}  // namespace
