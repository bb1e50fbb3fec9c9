#include "installer/app/crash_recorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include "installer/app/installer_test_environment.h"
#include "os/bundle/defaults.h"
#include "os/log/log.h"
#include "testsupport/child_process.h"
#include "testsupport/files.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testsupport::ChildOutput;
using testsupport::readFile;

// A sandbox with an installer bundle, and the crash child run inside it.
class CrashRecorderTest : public ::testing::Test {
 protected:
  std::filesystem::path recordPath() { return environment_.sandbox().root() / "SignalStack.log"; }

  // Runs the crash child with `action` (the sandbox's environment is inherited) and waits; the
  // run's output is the child's standard error.
  testsupport::ChildRun runChild(const std::string& action) {
    testsupport::ChildRun run = testsupport::runChild(
        {INSTALLER_CRASH_CHILD, action, recordPath().string()}, ChildOutput::StandardError);
    EXPECT_TRUE(run.started);
    // The child wrote to the user defaults: see its writes.
    os::UserDefaults::standard().synchronize();
    return run;
  }

  InstallerTestEnvironment environment_;
};

TEST_F(CrashRecorderTest, EachSignalIsRecordedAndStillEndsTheProcess) {
  struct Case {
    const char* action;
    int endingSignal;          // 0: the process goes on and exits normally
    const char* recordHeader;  // nullptr: nothing is recorded
  } cases[] = {
      {"segv", SIGSEGV, "11 Stack:\n"},
      {"abort", SIGABRT, "6 Stack:\n"},
      {"interrupt", SIGINT, "2 Stack:\n"},
      {"terminate", SIGTERM, nullptr},
      {"pipe", 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    testsupport::ChildRun ending = runChild(c.action);
    EXPECT_EQ(ending.signal(), c.endingSignal);
    if (c.endingSignal == 0) {
      EXPECT_EQ(ending.exitCode(), 0);
    }
    std::string record = readFile(recordPath());
    if (c.recordHeader == nullptr) {
      EXPECT_EQ(record, "");
      continue;
    }
    // The header, then one symbol line per frame, each followed by "\n ".
    EXPECT_THAT(record, StartsWith(c.recordHeader));
    EXPECT_EQ(record.substr(record.size() - 2), "\n ");
    EXPECT_GE(std::count(record.begin(), record.end(), '\n'), 3) << record;
    EXPECT_THAT(ending.output, HasSubstr(std::string("errorStack: ") + record));
  }
}

TEST_F(CrashRecorderTest, TheNextLaunchKeepsTheSignalRecordInTheUserDefaults) {
  ASSERT_EQ(runChild("segv").signal(), SIGSEGV);
  std::string record = readFile(recordPath());
  ASSERT_THAT(record, StartsWith("11 Stack:\n"));
  EXPECT_EQ(os::UserDefaults::standard().stringForKey(CrashRecorder::kSignalRecordKey),
            std::nullopt);

  ASSERT_EQ(runChild("quit").exitCode(), 0);
  EXPECT_EQ(os::UserDefaults::standard().stringForKey(CrashRecorder::kSignalRecordKey), record);
  EXPECT_EQ(readFile(recordPath()), "") << "a record is moved once";

  // A launch without a new crash keeps the earlier record.
  ASSERT_EQ(runChild("quit").exitCode(), 0);
  EXPECT_EQ(os::UserDefaults::standard().stringForKey(CrashRecorder::kSignalRecordKey), record);
}

TEST_F(CrashRecorderTest, AnUncaughtExceptionIsRecordedThenAborts) {
  struct Case {
    const char* action;
    const char* name;
    const char* reason;
  } cases[] = {
      {"os-exception", "TSRTestException", "the reason"},
      {"other-exception", "std::out_of_range", "index 7 of 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    testsupport::ChildRun ending = runChild(c.action);
    EXPECT_EQ(ending.signal(), SIGABRT);
    os::UserDefaults defaults = os::UserDefaults::standard();
    EXPECT_EQ(defaults.stringForKey(c.name), std::string(c.reason) + ":" + c.name);
    std::optional<std::string> symbols = defaults.stringForKey(c.reason);
    ASSERT_TRUE(symbols);
    EXPECT_THAT(*symbols, HasSubstr(";"));
    std::optional<std::string> report = defaults.stringForKey(CrashRecorder::kOpenExceptionKey);
    ASSERT_TRUE(report);
    EXPECT_THAT(*report,
                StartsWith("exception type : " + std::string(c.name) +
                           " \n crash reason : " + c.reason + " \n call stack info : (\n"));
    std::string console = ending.output;
    EXPECT_THAT(console, HasSubstr("Exception Crash"));
    EXPECT_THAT(console, HasSubstr("Status:1; Type:exception type : " + std::string(c.name)));
    // The abort that follows is recorded as a signal.
    EXPECT_THAT(readFile(recordPath()), StartsWith("6 Stack:\n"));
  }
}

TEST_F(CrashRecorderTest, TheStoredExceptionIsReportedOnceAtTheNextLaunch) {
  os::UserDefaults defaults = os::UserDefaults::standard();
  defaults.setObject(CrashRecorder::kOpenExceptionKey, "exception type : X \n crash reason : y");
  {
    os::log::Capture capture;
    CrashRecorder::reportPreviousException();
    EXPECT_TRUE(capture.contains("Exception Crash"));
    // The console shows the label as a description, with its line break escaped.
    EXPECT_TRUE(capture.contains("Status:2; Type:exception type : X \\n crash reason : y"));
  }
  EXPECT_EQ(defaults.stringForKey(CrashRecorder::kOpenExceptionKey), std::nullopt);
  os::UserDefaults::resetForTesting();
  EXPECT_EQ(os::UserDefaults::standard().stringForKey(CrashRecorder::kOpenExceptionKey),
            std::nullopt)
      << "removed on disk too";

  os::log::Capture capture;
  CrashRecorder::reportPreviousException();
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
