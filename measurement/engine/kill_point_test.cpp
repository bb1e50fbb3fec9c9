#include "measurement/engine/kill_point.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

TEST(KillPointTest, OnlyTheNamedPassThroughTheNamedPointKills) {
  // Each case in a process of its own that reads the variable afresh: the point is read once.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* name;
    const char* killAt;  // TESSARO_KILL_AT; null: unset
    std::vector<const char*> passes;
    bool killed;
  };
  for (const Case& c : {
           Case{"unset", nullptr, {"a", "a", "b"}, false},
           Case{"empty", "", {"a", ""}, false},
           Case{"the first pass", "a", {"b", "a"}, true},
           Case{"the third pass, reached", "a:3", {"a", "b", "a", "a"}, true},
           Case{"the third pass, not reached", "a:3", {"a", "b", "a", "b"}, false},
       }) {
    SCOPED_TRACE(c.name);
    auto passThrough = [&] {
      if (c.killAt) {
        setenv("TESSARO_KILL_AT", c.killAt, 1);
      } else {
        unsetenv("TESSARO_KILL_AT");
      }
      for (const char* point : c.passes) measurement::killPoint(point);
      _exit(0);
    };
    if (c.killed) {
      EXPECT_EXIT(passThrough(), testing::KilledBySignal(SIGKILL), "");
    } else {
      EXPECT_EXIT(passThrough(), testing::ExitedWithCode(0), "");
    }
  }
}

}  // namespace
