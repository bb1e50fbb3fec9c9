#include "installer/engine/install_recovery.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/engine/engine_test_support.h"
#include "installer/engine/folder_lock.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;
using engine_test::describeTree;
using engine_test::readFile;
using engine_test::writeFile;
using ::testing::ElementsAre;
using ::testing::Key;

class InstallRecoveryTest : public ::testing::Test {
 protected:
  fs::path at(const std::string& name) const { return applications_ / name; }

  testsupport::Sandbox sandbox_;
  const fs::path applications_ = sandbox_.root() / "Applications";
};

TEST_F(InstallRecoveryTest, ASetAsideCopyWithoutAProductInPlaceGoesBack) {
  writeFile(at(".Brevalo.app.old-a1B2c3/Brevalo.app/Contents/marker.txt"), "old");
  writeFile(at(".tessaro-staging-Xy9z00/Brevalo.app/Contents/half.txt"), "new");

  TSRInstallRecovery::recoverInterruptedInstallations(applications_);

  EXPECT_EQ(readFile(at("Brevalo.app/Contents/marker.txt")), "old");
  EXPECT_THAT(describeTree(applications_),
              ElementsAre(Key("Brevalo.app"), Key("Brevalo.app/Contents"),
                          Key("Brevalo.app/Contents/marker.txt")));
}

TEST_F(InstallRecoveryTest, LeftoversBesideAProductInPlaceAreRemoved) {
  writeFile(at("Brevalo.app/Contents/marker.txt"), "in place");
  writeFile(at(".Brevalo.app.old-a1B2c3/Brevalo.app/Contents/marker.txt"), "set aside");
  fs::create_directories(at(".Brevalo.app.old-d4E5f6"));  // made, then killed before the move
  writeFile(at(".tessaro-staging-Xy9z00/Brevalo.app/Contents/marker.txt"), "exchanged");
  writeFile(at(".tessaro-staging-Qq1Ww2/Other.app/x"), "half unpacked");

  TSRInstallRecovery::recoverInterruptedInstallations(applications_);

  EXPECT_EQ(readFile(at("Brevalo.app/Contents/marker.txt")), "in place");
  EXPECT_THAT(*os::files::contentsOfDirectory(applications_, nullptr), ElementsAre("Brevalo.app"));
}

TEST_F(InstallRecoveryTest, OnlyOurOwnFoldersAreTouched) {
  const fs::path elsewhere = sandbox_.root() / "elsewhere";
  writeFile(elsewhere / "Brevalo.app/keep.txt", "elsewhere");
  // Names that look like ours but are not, and what is not a folder.
  writeFile(at(".tessaro-staging-abc/x"), "short suffix");
  writeFile(at(".tessaro-staging-ab_d12/x"), "not a random suffix");
  writeFile(at(".tessaro-staging-abc123x/x"), "long suffix");
  writeFile(at(".tessaro-staging-file12"), "a file");
  fs::create_directory_symlink(elsewhere, at(".tessaro-staging-link12"));
  fs::create_directory_symlink(elsewhere, at(".Brevalo.app.old-link12"));
  writeFile(at(".Brevalo.app.old-a1B2c3/Brevalo.app/x"), "with a stranger");
  writeFile(at(".Brevalo.app.old-a1B2c3/notes.txt"), "stranger");
  writeFile(at(".Brevalo.app.old-e1F2g3/Other.app/x"), "another item");
  writeFile(at(".old-a1B2c3/x"), "no item name");
  writeFile(at("Victim.app/Contents/marker.txt"), "mine");
  writeFile(at(".hidden/x"), "mine");
  const auto before = describeTree(applications_);

  TSRInstallRecovery::recoverInterruptedInstallations(applications_);
  TSRInstallRecovery::recoverInterruptedInstallations(sandbox_.root() / "missing");

  EXPECT_EQ(describeTree(applications_), before);
  EXPECT_EQ(readFile(elsewhere / "Brevalo.app/keep.txt"), "elsewhere");
}

TEST_F(InstallRecoveryTest, AStagingFolderThatARunningInstallationHoldsStays) {
  writeFile(at(".tessaro-staging-Run123/Brevalo.app/Contents/half.txt"), "being unpacked");
  writeFile(at(".tessaro-staging-Dead12/Brevalo.app/Contents/half.txt"), "killed");
  std::optional<TSRFolderLock> running =
      TSRFolderLock::tryLock(at(".tessaro-staging-Run123"), nullptr, nullptr);
  ASSERT_TRUE(running);

  TSRInstallRecovery::recoverInterruptedInstallations(applications_);

  EXPECT_EQ(readFile(at(".tessaro-staging-Run123/Brevalo.app/Contents/half.txt")),
            "being unpacked");
  EXPECT_FALSE(fs::exists(at(".tessaro-staging-Dead12")));
  running.reset();
  TSRInstallRecovery::recoverInterruptedInstallations(applications_);
  EXPECT_TRUE(describeTree(applications_).empty());
}

TEST_F(InstallRecoveryTest, FinishedArchivesInTheCacheFolderGo) {
  const fs::path cache = sandbox_.root() / "Cache";
  writeFile(cache / "Brevalo.zip", "a finished download");
  writeFile(cache / "download.zip", "one under the fallback name");
  writeFile(cache / "brevalo.plist", "the configuration");
  fs::create_directories(cache / "folder.zip");
  writeFile(sandbox_.root() / "elsewhere.zip", "not ours");
  fs::create_symlink(sandbox_.root() / "elsewhere.zip", cache / "link.zip");

  TSRInstallRecovery::removeFinishedDownloads(cache);
  TSRInstallRecovery::removeFinishedDownloads(sandbox_.root() / "missing");

  EXPECT_THAT(*os::files::contentsOfDirectory(cache, nullptr),
              ElementsAre("brevalo.plist", "folder.zip", "link.zip"));
  EXPECT_EQ(readFile(sandbox_.root() / "elsewhere.zip"), "not ours");
}

}  // namespace
