#include "core/logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testsupport/child_process.h"
#include "testsupport/sandbox.h"

namespace {

// Runs the logger child with `argument` (none when empty) and returns what it printed.
std::string runChild(const std::string& argument) {
  std::vector<std::string> command{CORE_LOGGER_CHILD};
  if (!argument.empty()) command.push_back(argument);
  testsupport::ChildRun run = testsupport::runChild(command);
  if (!run.started) return "not started";
  return run.succeeded() ? run.output : "failed: " + run.output;
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
