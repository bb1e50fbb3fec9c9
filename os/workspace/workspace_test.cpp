#include "os/workspace/workspace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "testsupport/child_process.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testsupport::readFile;
using testsupport::waitForFile;
using testsupport::writeFile;

// A script that records its process id, session id and standard input in $MARKER, then runs
// until it is ended; `onTerm` is its reaction to SIGTERM.
std::string runnerScript(const std::string& onTerm) {
  return "#!/bin/sh\n" + onTerm +
         "\n"
         "echo \"$$ $(cut -d' ' -f6 /proc/$$/stat) $(readlink /proc/$$/fd/0)\" > \"$MARKER.tmp\"\n"
         "mv \"$MARKER.tmp\" \"$MARKER\"\n"
         "while :; do sleep 0.05; done\n";
}

class WorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_.setEnv("MARKER", marker().string());
    sandbox_.setEnv("TESSARO_OPEN_COMMAND", std::nullopt);
  }

  fs::path work() const { return sandbox_.root() / "work"; }
  fs::path marker() const { return work() / "marker"; }

  fs::path makeBundle(const std::string& name, const std::string& script) {
    fs::path bundle = work() / name;
    writeFile(bundle / "Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleExecutable</key><string>Runner</string></dict></plist>\n");
    writeFile(bundle / "Contents/MacOS/Runner", script, fs::perms(0755));
    return bundle;
  }

  // An opener that writes each argument on a line of its own to work()/opened and exits with
  // `status`.
  void useTestOpener(int status = 0) {
    fs::path opener = work() / "bin/test-opener";
    writeFile(opener,
              "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + (work() / "opened").string() + "\"\nexit " +
                  std::to_string(status) + "\n",
              fs::perms(0755));
    sandbox_.setEnv("TESSARO_OPEN_COMMAND", opener.string());
  }

  testsupport::Sandbox sandbox_;
};

TEST_F(WorkspaceTest, ApplicationBundleRunsDetachedAndCanBeFoundAndEnded) {
  fs::path bundle = makeBundle("Runner Test.app",
                               runnerScript("trap 'echo term >> \"$MARKER.log\"; exit 0' TERM"));
  os::Error error;
  ASSERT_TRUE(os::workspace::openFile(bundle, &error)) << error.description;
  ASSERT_TRUE(waitForFile(marker()));

  std::istringstream fields(readFile(marker()));
  pid_t pid = 0;
  pid_t session = 0;
  std::string input;
  fields >> pid >> session >> input;
  EXPECT_EQ(session, pid) << "the application leads a session of its own";
  EXPECT_EQ(input, "/dev/null");
  EXPECT_NE(getsid(0), session);

  // The script's own subshells run the same program for a moment, so others may show up too.
  EXPECT_THAT(os::workspace::processesOfBundle(bundle), Contains(pid));
  EXPECT_THAT(os::workspace::processesOfExecutable(bundle / "Contents/MacOS/Runner"),
              Contains(pid));
  // A program of the same name elsewhere is another program.
  writeFile(work() / "elsewhere/Runner", "#!/bin/sh\n", fs::perms(0755));
  EXPECT_THAT(os::workspace::processesOfExecutable(work() / "elsewhere/Runner"), IsEmpty());
  EXPECT_TRUE(os::workspace::isRunning(pid));

  ASSERT_TRUE(os::workspace::terminate(pid, 10.0, &error)) << error.description;
  EXPECT_FALSE(os::workspace::isRunning(pid));
  EXPECT_EQ(readFile(fs::path(marker().string() + ".log")), "term\n");
  EXPECT_THAT(os::workspace::processesOfBundle(bundle), Not(Contains(pid)));
}

TEST_F(WorkspaceTest, ProcessThatIgnoresTerminationIsKilledAfterTheGracePeriod) {
  fs::path script = work() / "stubborn";
  writeFile(script, runnerScript("trap '' TERM"), fs::perms(0755));
  testsupport::Child stubborn({script.string()});
  ASSERT_TRUE(stubborn.started());
  const pid_t pid = stubborn.pid();
  ASSERT_TRUE(waitForFile(marker()));
  EXPECT_THAT(os::workspace::processesOfExecutable(script), Contains(pid));

  auto started = std::chrono::steady_clock::now();
  os::Error error;
  ASSERT_TRUE(os::workspace::terminate(pid, 0.3, &error)) << error.description;
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
  EXPECT_EQ(stubborn.wait().signal(), SIGKILL);

  EXPECT_TRUE(os::workspace::terminate(pid, 1.0, &error)) << "an ended process is no error";
}

TEST_F(WorkspaceTest, OtherItemsGoToTheOpenerAsOneArgument) {
  useTestOpener();
  // Characters that a shell would act on must reach the opener untouched.
  fs::path document = work() / "a \"quoted\" $(touch pwned); name.txt";
  writeFile(document, "text");
  os::Error error;
  ASSERT_TRUE(os::workspace::openFile(document, &error)) << error.description;
  EXPECT_EQ(readFile(work() / "opened"), document.string() + "\n");
  EXPECT_FALSE(fs::exists(work() / "pwned"));

  ASSERT_TRUE(
      os::workspace::openURL(*os::URL::parse("https://www.tessaro.example/a?b=c&d"), &error));
  EXPECT_EQ(readFile(work() / "opened"), "https://www.tessaro.example/a?b=c&d\n");

  // A file URL of a folder that is no bundle is opened as a path.
  ASSERT_TRUE(os::workspace::openURL(os::URL::fileURLWithPath(work() / "bin"), &error));
  EXPECT_EQ(readFile(work() / "opened"), (work() / "bin").string() + "\n");
}

TEST_F(WorkspaceTest, FileURLOfABundleStartsIt) {
  useTestOpener();
  fs::path bundle = makeBundle("Url.app", runnerScript(""));
  os::Error error;
  ASSERT_TRUE(os::workspace::openURL(os::URL::fileURLWithPath(bundle), &error))
      << error.description;
  ASSERT_TRUE(waitForFile(marker()));
  EXPECT_FALSE(fs::exists(work() / "opened"));
  pid_t pid = std::stoi(readFile(marker()));
  EXPECT_TRUE(os::workspace::terminate(pid, 10.0, &error));
}

TEST_F(WorkspaceTest, FailuresAreReported) {
  os::Error error;
  EXPECT_FALSE(os::workspace::openFile(work() / "missing.txt", &error));
  EXPECT_EQ(error.code, ENOENT);

  fs::path noExecutable = work() / "Empty.app";
  writeFile(noExecutable / "Contents/Info.plist", "<plist version=\"1.0\"><dict/></plist>");
  EXPECT_FALSE(os::workspace::openFile(noExecutable, &error));
  EXPECT_THAT(error.description, HasSubstr("names no executable"));

  fs::path notExecutable = makeBundle("Plain.app", "#!/bin/sh\n");
  fs::permissions(notExecutable / "Contents/MacOS/Runner", fs::perms(0644));
  EXPECT_FALSE(os::workspace::openFile(notExecutable, &error));
  EXPECT_EQ(error.code, EACCES);

  writeFile(work() / "document.txt", "text");
  useTestOpener(3);
  EXPECT_FALSE(os::workspace::openFile(work() / "document.txt", &error));
  EXPECT_THAT(error.description, HasSubstr("exited with status 3"));

  sandbox_.setEnv("TESSARO_OPEN_COMMAND", (work() / "no-such-opener").string());
  EXPECT_FALSE(os::workspace::openFile(work() / "document.txt", &error));
  EXPECT_EQ(error.code, ENOENT);
}

}  // namespace
