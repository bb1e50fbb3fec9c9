#include "os/log/log.h"

#include <gtest/gtest.h>

#include <thread>

namespace os::log {
namespace {

TEST(Log, CaptureRecordsLevelAndTextAndNests) {
  Capture outer;
  write(Level::Error, "outer line");
  {
    Capture inner;
    console("inner line");
    ASSERT_EQ(inner.lines().size(), 1u);
    EXPECT_EQ(inner.lines()[0].level, Level::Notice);
    EXPECT_FALSE(outer.contains("inner line"));
  }
  write(Level::Debug, "after inner");
  ASSERT_EQ(outer.lines().size(), 2u);
  EXPECT_EQ(outer.lines()[0].level, Level::Error);
  EXPECT_TRUE(outer.contains("after inner"));
}

TEST(Log, LinesFromManyThreadsAreKeptWhole) {
  Capture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) write(Level::Info, "thread " + std::to_string(t));
    });
  }
  for (auto& thread : threads) thread.join();
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 800u);
  for (const Line& line : lines) EXPECT_EQ(line.message.rfind("thread ", 0), 0u);
}

}  // namespace
}  // namespace os::log
