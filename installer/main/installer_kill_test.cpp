// The real installer killed (SIGKILL) at ten moments while it installs a large product (20,000
// files, about 200 MB) over an old copy: after each kill the product's path holds a complete
// old or new copy, the next launch leaves no hidden folders behind, and a last run installs
// cleanly. Each moment is an event the test sees (a console line, a file appearing in the
// staging folder, a new bundle in place); a kill that lands later than its moment on a busy
// machine tests a later moment, never a wrong one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "installer/main/installer_process_test_util.h"
#include "os/zip/zip.h"
#include "testsupport/sandbox.h"
#include "tools/installer/resource_server.h"
#include "tools/installer/sample_product.h"

namespace {

namespace fs = std::filesystem;
using installer::testing::InstallerProcess;
using installer::testing::InstallerRun;
using installer::testing::Manifest;
using installer::testing::manifestOf;
using installer::testing::runInstaller;
using installer::testing::trackedActions;
using installer::testing::tracksAction;
using ::testing::IsEmpty;

constexpr uint32_t kProductFiles = 20000;
constexpr uint64_t kProductFileBytes = 10 * 1024;
constexpr const char* kOldMarker = "Contents/old-copy-marker.txt";

// The hidden items in `folder`.
std::vector<std::string> hiddenItems(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.starts_with(".")) names.push_back(name);
  }
  return names;
}

ino_t inodeOf(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

// The highest download percent the console has reported; -1 before the first report.
double reportedPercent(const std::string& output) {
  double highest = -1;
  const std::string marker = "progress:";
  for (size_t at = output.find(marker); at != std::string::npos; at = output.find(marker, at + 1)) {
    highest = std::max(highest, std::atof(output.c_str() + at + marker.size()));
  }
  return highest;
}

class InstallerKillTest : public ::testing::Test {
 protected:
  InstallerKillTest() {
    sandbox_.setEnv("TESSARO_UI", "headless");
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
    sandbox_.setEnv("TESSARO_CRASH_FOR_TESTING", std::nullopt);
    fs::create_directories(sandbox_.root() / "tmp");
    sandbox_.setEnv("TMPDIR", (sandbox_.root() / "tmp").string());
    fs::path script = sandbox_.root() / "install.txt";
    // The old copy is there, so the first screen asks before it replaces it.
    std::ofstream(script)
        << "wait install 30\nclick install\nwait alertOKButton 30\nclick alertOKButton\n";
    sandbox_.setEnv("TESSARO_UI_SCRIPT", script.string());

    // One bundle on disk: zipped, it is the new version; with a marker, the old copy.
    tools::SampleProduct product;
    product.payloadBytes = 4096;
    product.resourceFiles = kProductFiles;
    product.resourceFileBytes = kProductFileBytes;
    os::Error error;
    std::optional<fs::path> bundle =
        tools::makeSampleProduct(sandbox_.root() / "made", product, &error);
    if (!bundle || !os::SSZipArchive::createZipFileAtPath(archive_.string(), bundle->string(),
                                                          /*keepParentDirectory=*/true, &error)) {
      throw std::runtime_error("no product: " + error.description);
    }
    newManifest_ = manifestOf(*bundle);
    std::ofstream(*bundle / kOldMarker) << "old";
    oldManifest_ = manifestOf(*bundle);
    fs::create_directories(applications());
    fs::rename(*bundle, installed());
  }

  fs::path applications() const { return sandbox_.systemRoot() / "Applications"; }
  fs::path installed() const { return applications() / "Brevalo.app"; }

  // Whether the staging folder holds resource file `index` of the new bundle.
  bool stagingHolds(uint32_t index) const {
    for (const std::string& name : hiddenItems(applications())) {
      if (name.starts_with(".tessaro-staging-") &&
          fs::exists(applications() / name / "Brevalo.app" / tools::sampleResourceFile(index))) {
        return true;
      }
    }
    return false;
  }

  void expectCompleteCopy(const std::string& when) {
    const Manifest now = manifestOf(installed());
    EXPECT_TRUE(now == oldManifest_ || now == newManifest_)
        << when << ": Brevalo.app is neither the old nor the new copy (" << now.size()
        << " items; old " << oldManifest_.size() << ", new " << newManifest_.size() << ")";
  }

  testsupport::Sandbox sandbox_;
  const fs::path archive_ = sandbox_.root() / "Brevalo.zip";
  Manifest oldManifest_;
  Manifest newManifest_;
};

TEST_F(InstallerKillTest, AKillAtAnyMomentLeavesACompleteCopyAndTheNextLaunchCleansUp) {
  tools::ResourceServer::Options options;
  options.archive = archive_;
  tools::ResourceServer server(options);
  sandbox_.setEnv("TESSARO_CONNECT_TO", server.connectTo());
  sandbox_.setEnv("TESSARO_CA_FILE", server.certificatePath().string());
  const uint64_t archiveBytes = fs::file_size(archive_);

  struct Moment {
    const char* name;
    // Whether the run has reached the moment, given its console and the bundle in place when
    // it started.
    std::function<bool(const std::string& output, ino_t startedWith)> reached;
    bool slowDownload = false;
  };
  auto replaced = [this](ino_t startedWith) { return inodeOf(installed()) != startedWith; };
  auto unpacked = [this, replaced](uint32_t index) {
    return [this, replaced, index](const std::string&, ino_t startedWith) {
      return stagingHolds(index) || replaced(startedWith);
    };
  };
  auto percent = [](double atLeast) {
    return
        [atLeast](const std::string& output, ino_t) { return reportedPercent(output) >= atLeast; };
  };
  auto tracked = [](const char* action) {
    return [action](const std::string& output, ino_t) { return tracksAction(output, action); };
  };
  const Moment moments[] = {
      {"download started", percent(0), true},
      {"download at 10%", percent(10), true},
      {"download at 50%", percent(50), true},
      {"download at 90%", percent(90), true},
      {"downloaded", tracked("Download Successful")},
      {"first files unpacked", unpacked(0)},
      {"a third unpacked", unpacked(kProductFiles / 3)},
      {"two thirds unpacked", unpacked(kProductFiles * 2 / 3)},
      {"last file unpacked", unpacked(kProductFiles - 1)},
      {"new copy in place", [replaced](const std::string&, ino_t in) { return replaced(in); }},
  };

  for (const Moment& moment : moments) {
    SCOPED_TRACE(moment.name);
    // About two seconds for the slow downloads, as fast as it goes for the others.
    server.setFaults(tools::Resource::Archive,
                     {.bytesPerSecond = moment.slowDownload ? archiveBytes / 2 : 0});
    const ino_t startedWith = inodeOf(installed());
    {
      InstallerProcess installer;
      ASSERT_TRUE(installer.waitUntil([&] {
        return moment.reached(installer.output(), startedWith);
      })) << installer.output();
      installer.kill();
    }
    expectCompleteCopy(std::string("after the kill at ") + moment.name);

    // The next launch repairs what the kill left before anything else happens.
    const ino_t afterKill = inodeOf(installed());
    InstallerProcess next;
    ASSERT_TRUE(next.waitUntil([&] { return tracksAction(next.output(), "Launch App"); }))
        << next.output();
    next.kill();
    EXPECT_THAT(hiddenItems(applications()), IsEmpty());
    if (inodeOf(installed()) != afterKill) {
      expectCompleteCopy(std::string("after the launch that followed ") + moment.name);
    }
  }

  // And then an installation runs to its end.
  InstallerRun run = runInstaller();
  ASSERT_TRUE(WIFEXITED(run.waitStatus)) << run.output;
  EXPECT_EQ(WEXITSTATUS(run.waitStatus), 0) << run.output;
  EXPECT_EQ(trackedActions(run.output),
            (std::vector<std::string>{"Launch App", "Start Download", "Download Successful",
                                      "Install Finished", "Start Application", "Close"}))
      << run.output;
  EXPECT_EQ(manifestOf(installed()), newManifest_);
  EXPECT_THAT(hiddenItems(applications()), IsEmpty());
}

}  // namespace
