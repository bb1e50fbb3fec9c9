// The real installer executable, headless with a script, against the local stand-ins of the
// maker's servers, in a sandbox.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "installer/main/installer_process_test_util.h"
#include "testsupport/sandbox.h"
#include "tools/resource_server.h"
#include "tools/sample_product.h"

namespace {

using installer::testing::InstallerRun;
using installer::testing::runInstaller;
using installer::testing::trackedActions;

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
