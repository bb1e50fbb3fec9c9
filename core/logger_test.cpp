#include "core/logger.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "testsupport/sandbox.h"

extern char** environ;

namespace {

// Runs the logger child with `argument` (none when empty) and returns what it printed.
std::string runChild(const std::string& argument) {
  std::vector<std::string> arguments{CORE_LOGGER_CHILD};
  if (!argument.empty()) arguments.push_back(argument);
  std::vector<char*> argv;
  for (std::string& text : arguments) argv.push_back(text.data());
  argv.push_back(nullptr);
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return "no pipe";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  pid_t child = 0;
  int spawned = posix_spawn(&child, CORE_LOGGER_CHILD, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  std::string output;
  std::array<char, 256> buffer;
  for (ssize_t n; (n = read(pipeEnds[0], buffer.data(), buffer.size())) > 0;) {
    output.append(buffer.data(), static_cast<size_t>(n));
  }
  close(pipeEnds[0]);
  if (spawned != 0) return "not started";
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? output : "failed: " + output;
}

TEST(RVOLogger, DebugEnabledPersistsUntilALaunchWithDebugDisabled) {
  testsupport::Sandbox sandbox;
  EXPECT_EQ(runChild(""), "debug=0 stored=none\n");
  EXPECT_EQ(runChild("-RVODebugEnabled"), "debug=1 stored=1\n");
  EXPECT_EQ(runChild(""), "debug=1 stored=1\n");
  EXPECT_EQ(runChild("-RVODebugDisabled"), "debug=0 stored=none\n");
  EXPECT_EQ(runChild(""), "debug=0 stored=none\n");
}

TEST(RVOLogger, LinesCarryTheVersionServiceAndCode) {
  VDULoggerCapture capture;
  RVOLogAtError(kRVOLoggerCore, "I-COR000004", "App with name %@ does not exist.", "x");
  EXPECT_TRUE(
      capture.contains("10.29.0 - [RiveravoCore][I-COR000004] App with name x does not "
                       "exist."));
  // The wrapper without arguments writes its message as it stands.
  RVOLoggerWrapper::logWithLevel(kVDULoggerLevelError, kRVOLoggerCore, "I-COR000099", "100%@ %d");
  EXPECT_TRUE(capture.contains("[I-COR000099] 100%@ %d"));
  EXPECT_EQ(RVOSDKVersionString(), "10.29.0");
}

TEST(RVOLogger, AnalyticsDebugFlagForcesOnlyAnalyticsLines) {
  VDULoggerCapture capture;
  RVOSetMaxLoggerLevel(kVDULoggerLevelNotice);
  EXPECT_FALSE(RVOLevelIsLoggable(kVDULoggerLevelDebug, false));
  EXPECT_FALSE(RVOLevelIsLoggable(kVDULoggerLevelDebug, true));
  RVOSetAnalyticsDebugFlag(true);
  EXPECT_TRUE(RVOLevelIsLoggable(kVDULoggerLevelDebug, true));
  EXPECT_FALSE(RVOLevelIsLoggable(kVDULoggerLevelDebug, false));
  RVOLogAtDebug(kRVOLoggerAnalytics, "I-ACS000001", "analytics line");
  RVOLogAtDebug(kRVOLoggerCore, "I-COR000001", "core line");
  RVOSetAnalyticsDebugFlag(false);
  EXPECT_TRUE(capture.contains("[RiveravoAnalytics][I-ACS000001] analytics line"));
  EXPECT_FALSE(capture.contains("core line"));
}

}  // namespace
