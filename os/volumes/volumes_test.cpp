#include "os/volumes/volumes.h"

#include <gtest/gtest.h>

#include <csignal>

#include "os/log/log.h"

namespace os::volumes {
namespace {

// A root file system, a tmpfs and two removable volumes, one of them with a blank in its name
// (mountinfo escapes it as \040) and one whose name contains the product's name.
constexpr std::string_view kMountinfo =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "23 22 0:5 / /run rw,nosuid shared:5 - tmpfs tmpfs rw,size=1024k\n"
    "40 22 8:17 / /media/anna/BREVALO\\040INSTALLER ro,nosuid shared:20 - iso9660 /dev/sdb1 ro\n"
    "41 23 8:33 / /run/media/bo/Brevalo rw,nosuid shared:21 - vfat /dev/sdc1 rw\n"
    "42 40 0:44 / /media/anna/BREVALO\\040INSTALLER/cache rw shared:22 - tmpfs tmpfs rw\n"
    "43 22 0:45 / /media/anna/ramdisk rw shared:23 - tmpfs tmpfs rw\n"
    "44 22 8:49 / /media rw shared:24 - ext4 /dev/sdd1 rw\n";

TEST(Volumes, FindsTheInnermostRemovableVolumeHoldingThePath) {
  struct Case {
    const char* path;
    std::optional<Volume> expected;
  } cases[] = {
      {"/media/anna/BREVALO INSTALLER/Brevalo Installer.app/Contents/MacOS/installer",
       Volume{"/media/anna/BREVALO INSTALLER", "/dev/sdb1"}},
      {"/media/anna/BREVALO INSTALLER", Volume{"/media/anna/BREVALO INSTALLER", "/dev/sdb1"}},
      {"/run/media/bo/Brevalo/installer", Volume{"/run/media/bo/Brevalo", "/dev/sdc1"}},
      // Another disk whose name contains the product's name is never chosen for a program that
      // runs elsewhere.
      {"/home/anna/Downloads/installer", std::nullopt},
      // Whole components only: "Brevalo" does not hold "Brevalo2".
      {"/run/media/bo/Brevalo2/installer", std::nullopt},
      // A tmpfs mounted inside the volume holds the path, not the volume.
      {"/media/anna/BREVALO INSTALLER/cache/installer", std::nullopt},
      {"/media/anna/ramdisk/installer", std::nullopt},
      // /media itself is not a volume under /media.
      {"/media/installer", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(volumeHoldingPath(kMountinfo, c.path), c.expected) << c.path;
  }
}

TEST(Volumes, AMountOverAnotherAtTheSamePointHidesIt) {
  std::string mountinfo = std::string(kMountinfo) +
                          "45 41 8:65 / /run/media/bo/Brevalo rw shared:25 - vfat /dev/sde1 rw\n";
  EXPECT_EQ(volumeHoldingPath(mountinfo, "/run/media/bo/Brevalo/installer"),
            (Volume{"/run/media/bo/Brevalo", "/dev/sde1"}));
  mountinfo += "46 45 0:46 / /run/media/bo/Brevalo rw shared:26 - tmpfs tmpfs rw\n";
  EXPECT_EQ(volumeHoldingPath(mountinfo, "/run/media/bo/Brevalo/installer"), std::nullopt);
}

TEST(Volumes, MalformedLinesAreSkipped) {
  std::string mountinfo = "garbage\n40 22 8:17 / /media/x ro - \n" + std::string(kMountinfo);
  EXPECT_EQ(volumeHoldingPath(mountinfo, "/run/media/bo/Brevalo/a"),
            (Volume{"/run/media/bo/Brevalo", "/dev/sdc1"}));
  EXPECT_EQ(volumeHoldingPath("", "/media/anna/x"), std::nullopt);
}

using Commands = std::vector<std::vector<std::string>>;

// Records the commands and answers each with the next of `statuses`.
struct RecordingRunner {
  std::vector<std::optional<int>> statuses;
  Commands commands;
  CommandRunner runner() {
    return [this](const std::vector<std::string>& arguments) {
      commands.push_back(arguments);
      return statuses.at(commands.size() - 1);
    };
  }
};

const Volume kVolume{"/media/anna/BREVALO INSTALLER", "/dev/sdb1"};
const std::vector<std::string> kUnmount{
    "udisksctl", "unmount", "--force", "--no-user-interaction", "--block-device", "/dev/sdb1"};
const std::vector<std::string> kMount{"udisksctl", "mount", "--no-user-interaction",
                                      "--block-device", "/dev/sdb1"};

TEST(Volumes, ReleaseForceUnmountsThenMountsTheDevice) {
  log::Capture capture;
  RecordingRunner recorder{{0, 0}, {}};
  releaseVolume(kVolume, recorder.runner());
  EXPECT_EQ(recorder.commands, (Commands{kUnmount, kMount}));
  EXPECT_TRUE(capture.lines().empty());
}

TEST(Volumes, AFailedUnmountIsLoggedAndTheMountStillRuns) {
  log::Capture capture;
  RecordingRunner recorder{{1, 2}, {}};
  releaseVolume(kVolume, recorder.runner());
  EXPECT_EQ(recorder.commands, (Commands{kUnmount, kMount}));
  EXPECT_TRUE(capture.contains("unmounting /media/anna/BREVALO INSTALLER failed with status 1"));
  EXPECT_TRUE(capture.contains("mounting /dev/sdb1 again failed with status 2"));
}

TEST(Volumes, WithoutUdisksctlTheReleaseIsALoggedNoOp) {
  log::Capture capture;
  RecordingRunner recorder{{std::nullopt}, {}};
  releaseVolume(kVolume, recorder.runner());
  EXPECT_EQ(recorder.commands, (Commands{kUnmount}));
  EXPECT_TRUE(capture.contains("udisksctl is not available"));
}

TEST(Volumes, AProgramOutsideAnyVolumeReleasesNothing) {
  // The test runs from the build tree, never from a removable volume.
  ASSERT_EQ(volumeOfRunningExecutable(), std::nullopt);
  log::Capture capture;
  RecordingRunner recorder;
  releaseVolumeOfRunningExecutable(recorder.runner());
  EXPECT_TRUE(recorder.commands.empty());
  EXPECT_TRUE(capture.contains("does not run from a removable volume"));
}

TEST(Volumes, TheSpawningRunnerReportsHowTheProgramEnded) {
  CommandRunner run = spawningCommandRunner();
  EXPECT_EQ(run({"true"}), 0);
  EXPECT_EQ(run({"false"}), 1);
  EXPECT_EQ(run({"sh", "-c", "kill -TERM $$"}), 128 + SIGTERM);
  // Arguments reach the program unchanged, blanks included, with no shell in between.
  EXPECT_EQ(run({"test", "a b", "=", "a b"}), 0);
  EXPECT_EQ(run({"tessaro-no-such-program"}), std::nullopt);
  EXPECT_EQ(run({}), std::nullopt);
}

}  // namespace
}  // namespace os::volumes
