// The real installer executable, headless with a script, against the local stand-ins of the
// maker's servers, in a sandbox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testsupport/sandbox.h"
#include "tools/resource_server.h"
#include "tools/sample_product.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct InstallerRun {
  int waitStatus = 0;
  std::string output;
  // When each byte count of `output` had arrived.
  std::vector<std::pair<size_t, Clock::time_point>> arrivals;
  Clock::time_point exited;

  // When the output first held `text`.
  std::optional<Clock::time_point> arrivalOf(const std::string& text) const {
    size_t at = output.find(text);
    if (at == std::string::npos) return std::nullopt;
    for (const auto& [length, time] : arrivals) {
      if (length >= at + text.size()) return time;
    }
    return std::nullopt;
  }
};

// Runs the installer with the current environment, standard error read as it comes.
InstallerRun runInstaller() {
  int pipeEnds[2];
  EXPECT_EQ(pipe(pipeEnds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::string program = INSTALLER_EXECUTABLE;
  char* argv[] = {program.data(), nullptr};
  pid_t child = 0;
  EXPECT_EQ(posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);

  InstallerRun run;
  char buffer[4096];
  ssize_t count;
  while ((count = read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
    run.output.append(buffer, static_cast<size_t>(count));
    run.arrivals.emplace_back(run.output.size(), Clock::now());
  }
  close(pipeEnds[0]);
  waitpid(child, &run.waitStatus, 0);
  run.exited = Clock::now();
  return run;
}

// The tracker's actions ("ea = ...;") in the order the console shows them.
std::vector<std::string> trackedActions(const std::string& output) {
  std::vector<std::string> actions;
  const std::string marker = "    ea = ";
  for (size_t at = output.find(marker); at != std::string::npos; at = output.find(marker, at + 1)) {
    size_t start = at + marker.size();
    std::string value = output.substr(start, output.find(";\n", start) - start);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    actions.push_back(value);
  }
  return actions;
}

class InstallerE2ETest : public ::testing::Test {
 protected:
  InstallerE2ETest() {
    sandbox_.setEnv("TESSARO_UI", "headless");
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
    sandbox_.setEnv("TESSARO_CONNECT_TO", server_.connectTo());
    sandbox_.setEnv("TESSARO_CA_FILE", server_.certificatePath().string());
    sandbox_.setEnv("TESSARO_CRASH_FOR_TESTING", std::nullopt);
    sandbox_.setEnv("TESSARO_UI_SCRIPT", std::nullopt);
    // A user's home has a desktop; the installer links the product there but never makes one.
    std::filesystem::create_directories(sandbox_.home() / "Desktop");
  }

  void useScript(const std::string& text) {
    std::filesystem::path path = sandbox_.root() / "script.txt";
    std::ofstream(path) << text;
    sandbox_.setEnv("TESSARO_UI_SCRIPT", path.string());
  }

  testsupport::Sandbox sandbox_;
  tools::ResourceServer server_;
};

TEST_F(InstallerE2ETest, ScriptedInstallTracksEachStepAndQuitsTwoSecondsAfterTheLast) {
  std::filesystem::path firstScreen = sandbox_.root() / "first.png";
  useScript("wait install 20\nsnapshot " + firstScreen.string() + "\nclick install\n");

  InstallerRun run = runInstaller();

  ASSERT_TRUE(WIFEXITED(run.waitStatus)) << run.output;
  EXPECT_EQ(WEXITSTATUS(run.waitStatus), 0) << run.output;
  EXPECT_EQ(trackedActions(run.output),
            (std::vector<std::string>{"Launch App", "Start Download", "Download Successful",
                                      "Install Finished", "Start Application", "Close"}))
      << run.output;
  EXPECT_TRUE(std::filesystem::exists(firstScreen));
  EXPECT_TRUE(std::filesystem::exists(sandbox_.systemRoot() / "Applications/Brevalo.app"));
  EXPECT_TRUE(std::filesystem::exists(sandbox_.home() / tools::kMarkerFileName));
  EXPECT_TRUE(std::filesystem::is_symlink(sandbox_.home() / "Desktop/Brevalo.app"));
  EXPECT_TRUE(
      std::filesystem::exists(sandbox_.home() / ".local/share/tessaroTrack/BV-Track.plist"));

  auto closed = run.arrivalOf("ea = Close;");
  ASSERT_TRUE(closed) << run.output;
  EXPECT_GE(run.exited - *closed, std::chrono::milliseconds(1900));
  EXPECT_LE(run.exited - *closed, std::chrono::seconds(20));
}

TEST_F(InstallerE2ETest, FailingScriptEndsTheInstallerWithStatusOne) {
  useScript("wait no-such-view 0.3\n");
  InstallerRun run = runInstaller();
  ASSERT_TRUE(WIFEXITED(run.waitStatus)) << run.output;
  EXPECT_EQ(WEXITSTATUS(run.waitStatus), 1);
  EXPECT_NE(run.output.find("no-such-view"), std::string::npos) << run.output;
  EXPECT_FALSE(std::filesystem::exists(sandbox_.systemRoot() / "Applications/Brevalo.app"));
}

TEST_F(InstallerE2ETest, CrashTriggerWritesTheRecordAndDiesOfSIGSEGV) {
  sandbox_.setEnv("TESSARO_CRASH_FOR_TESTING", "1");

  InstallerRun run = runInstaller();

  ASSERT_TRUE(WIFSIGNALED(run.waitStatus)) << run.output;
  EXPECT_EQ(WTERMSIG(run.waitStatus), SIGSEGV);
  std::optional<std::filesystem::path> record;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(sandbox_.home())) {
    if (entry.path().filename() == "SignalStack.log") record = entry.path();
  }
  ASSERT_TRUE(record) << run.output;
  std::ifstream file(*record);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("11 Stack:\n", 0), 0u) << text;
  EXPECT_NE(run.output.find("errorStack: 11 Stack:"), std::string::npos) << run.output;
}

}  // namespace
