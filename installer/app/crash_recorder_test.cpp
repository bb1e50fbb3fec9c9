#include "installer/app/crash_recorder.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "installer/app/installer_test_environment.h"
#include "os/defaults.h"
#include "os/log.h"

extern char** environ;

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string contentsOf(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

// How a child ended: its exit status, or the signal that ended it.
struct Ending {
  int exitStatus = -1;
  int signal = 0;
};

// A sandbox with an installer bundle, and the crash child run inside it.
class CrashRecorderTest : public ::testing::Test {
 protected:
  std::filesystem::path recordPath() { return environment_.sandbox().root() / "SignalStack.log"; }
  std::filesystem::path stderrPath() { return environment_.sandbox().root() / "child-stderr.txt"; }

  // Runs the crash child with `action` (the sandbox's environment is inherited) and waits.
  Ending runChild(const std::string& action) {
    std::string program = INSTALLER_CRASH_CHILD;
    std::string record = recordPath().string();
    std::vector<char*> argv = {program.data(), const_cast<char*>(action.c_str()), record.data(),
                               nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath().c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = 0;
    int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    // The child wrote to the user defaults: see its writes.
    os::UserDefaults::standard().synchronize();
    if (WIFSIGNALED(status)) return {-1, WTERMSIG(status)};
    return {WEXITSTATUS(status), 0};
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
    Ending ending = runChild(c.action);
    EXPECT_EQ(ending.signal, c.endingSignal);
    if (c.endingSignal == 0) {
      EXPECT_EQ(ending.exitStatus, 0);
    }
    std::string record = contentsOf(recordPath());
    if (c.recordHeader == nullptr) {
      EXPECT_EQ(record, "");
      continue;
    }
    // The header, then one symbol line per frame, each followed by "\n ".
    EXPECT_THAT(record, StartsWith(c.recordHeader));
    EXPECT_EQ(record.substr(record.size() - 2), "\n ");
    EXPECT_GE(std::count(record.begin(), record.end(), '\n'), 3) << record;
    EXPECT_THAT(contentsOf(stderrPath()), HasSubstr(std::string("errorStack: ") + record));
  }
}

TEST_F(CrashRecorderTest, TheNextLaunchKeepsTheSignalRecordInTheUserDefaults) {
  ASSERT_EQ(runChild("segv").signal, SIGSEGV);
  std::string record = contentsOf(recordPath());
  ASSERT_THAT(record, StartsWith("11 Stack:\n"));
  EXPECT_EQ(os::UserDefaults::standard().stringForKey(CrashRecorder::kSignalRecordKey),
            std::nullopt);

  ASSERT_EQ(runChild("quit").exitStatus, 0);
  EXPECT_EQ(os::UserDefaults::standard().stringForKey(CrashRecorder::kSignalRecordKey), record);
  EXPECT_EQ(contentsOf(recordPath()), "") << "a record is moved once";

  // A launch without a new crash keeps the earlier record.
  ASSERT_EQ(runChild("quit").exitStatus, 0);
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
    Ending ending = runChild(c.action);
    EXPECT_EQ(ending.signal, SIGABRT);
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
    std::string console = contentsOf(stderrPath());
    EXPECT_THAT(console, HasSubstr("Exception Crash"));
    EXPECT_THAT(console, HasSubstr("Status:1; Type:exception type : " + std::string(c.name)));
    // The abort that follows is recorded as a signal.
    EXPECT_THAT(contentsOf(recordPath()), StartsWith("6 Stack:\n"));
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
