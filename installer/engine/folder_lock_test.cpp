#include "installer/engine/folder_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "installer/engine/engine_test_support.h"
#include "os/files/paths.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;

// Whether a child process, which shares no open file with this one, finds `folder` locked.
bool lockedForAnotherProcess(const fs::path& folder) {
  const pid_t child = ::fork();
  if (child == 0) {
    bool held = false;
    std::optional<TSRFolderLock> lock = TSRFolderLock::tryLock(folder, &held, nullptr);
    ::_exit(held ? 1 : lock ? 0 : 2);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 2) << "the child could not lock for another reason";
  return WEXITSTATUS(status) == 1;
}

TEST(TSRFolderLock, OneHolderAtATimeUntilItGoes) {
  testsupport::Sandbox sandbox;
  const fs::path folder = sandbox.root() / "Applications";
  fs::create_directories(folder);

  EXPECT_FALSE(lockedForAnotherProcess(folder));
  {
    std::optional<TSRFolderLock> first = TSRFolderLock::tryLock(folder, nullptr, nullptr);
    ASSERT_TRUE(first);
    EXPECT_TRUE(lockedForAnotherProcess(folder));

    // Within one process too: the installer's own recovery must not take its staging folders.
    bool held = false;
    os::Error error;
    EXPECT_FALSE(TSRFolderLock::tryLock(folder, &held, &error));
    EXPECT_TRUE(held);
    EXPECT_EQ(error.code, EWOULDBLOCK);

    TSRFolderLock moved = std::move(*first);
    first.reset();  // the moved-from lock releases nothing
    EXPECT_TRUE(lockedForAnotherProcess(folder));
  }
  EXPECT_FALSE(lockedForAnotherProcess(folder));

  bool held = true;
  os::Error error;
  EXPECT_FALSE(TSRFolderLock::tryLock(sandbox.root() / "missing", &held, &error));
  EXPECT_FALSE(held);
  EXPECT_EQ(error.code, ENOENT);
}

TEST(TSRFolderLock, TheInstallerLockIsTheSystemApplicationsFolderElseTheUsers) {
  testsupport::Sandbox sandbox;
  bool held = true;
  std::optional<TSRFolderLock> lock = TSRFolderLock::lockApplicationsFolders(&held);
  ASSERT_TRUE(lock);
  EXPECT_FALSE(held);
  EXPECT_EQ(lock->folder(), os::paths::systemApplications());  // made for the lock
  EXPECT_TRUE(fs::is_directory(os::paths::systemApplications()));
  EXPECT_FALSE(TSRFolderLock::lockApplicationsFolders(&held));
  EXPECT_TRUE(held);
  lock.reset();

  // A system Applications folder that cannot be made: the user's folder takes its place.
  engine_test::writeFile(sandbox.systemRoot() / "blocker", "");
  sandbox.setEnv("TESSARO_SYSTEM_ROOT", (sandbox.systemRoot() / "blocker").string());
  lock = TSRFolderLock::lockApplicationsFolders(&held);
  ASSERT_TRUE(lock);
  EXPECT_FALSE(held);
  EXPECT_EQ(lock->folder(), os::paths::userApplications());
}

}  // namespace
