#include "testsupport/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace testsupport {
namespace {

TEST(Child, TakesTheStreamsItIsAskedForAndReportsHowTheChildEnded) {
  const std::vector<std::string> command = {"sh", "-c", "echo out; echo err >&2; exit 3"};
  const struct {
    ChildOutput taken;
    std::string output;
  } cases[] = {
      {ChildOutput::StandardOutput, "out\n"},
      {ChildOutput::StandardError, "err\n"},
      {ChildOutput::Both, "out\nerr\n"},
      {ChildOutput::None, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.taken));
    ChildRun run = runChild(command, c.taken);
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(run.exitCode(), 3);
    EXPECT_EQ(run.signal(), 0);
    EXPECT_FALSE(run.succeeded());
  }

  ChildRun missing = runChild({"/nonexistent/program"});
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.exitCode(), -1);
}

TEST(Child, ReadsLinesWhileItRunsAndEndsBySignal) {
  Child child({"sh", "-c", "echo first; printf 'second\\nno end'; exec sleep 60"},
              ChildOutput::StandardOutput);
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.readLine(), "first");
  EXPECT_EQ(child.readLine(), "second");
  EXPECT_EQ(child.waitIfEnded(), std::nullopt);
  child.signal(SIGTERM);
  // What is left unread comes with the ending.
  ChildRun run = child.wait();
  EXPECT_EQ(run.output, "no end");
  EXPECT_EQ(run.signal(), SIGTERM);
  ASSERT_TRUE(child.waitIfEnded());
  EXPECT_EQ(child.waitIfEnded()->signal(), SIGTERM);
}

}  // namespace
}  // namespace testsupport
