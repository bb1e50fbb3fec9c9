// The real installer, headless with a script, against hostile archives and servers and beside a
// second installer: whatever comes, the product's path holds one complete copy, nothing is left
// behind, and a second installer touches nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "installer/main/installer_process_test_util.h"
#include "os/zip/zip.h"
#include "testsupport/memory.h"
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
using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;
using Actions = std::vector<std::string>;

// The names in `folder` (none when it is missing).
std::vector<std::string> itemsIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string repeated(const std::string& part, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += part;
  return text;
}

// A sandbox for the installer with the product's old copy in the system Applications folder.
class InstallerHostileTest : public ::testing::Test {
 protected:
  InstallerHostileTest() {
    sandbox_.setEnv("TESSARO_UI", "headless");
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
    sandbox_.setEnv("TESSARO_CRASH_FOR_TESTING", std::nullopt);
    sandbox_.setEnv("TESSARO_UI_SCRIPT", std::nullopt);
    fs::create_directories(sandbox_.home() / "Desktop");
  }

  void serve(const tools::ResourceServer::Options& options = {}) {
    server_.emplace(options);
    sandbox_.setEnv("TESSARO_CONNECT_TO", server_->connectTo());
    sandbox_.setEnv("TESSARO_CA_FILE", server_->certificatePath().string());
  }

  void useScript(const std::string& name, const std::string& text) {
    fs::path path = sandbox_.root() / (name + ".txt");
    std::ofstream(path) << text;
    sandbox_.setEnv("TESSARO_UI_SCRIPT", path.string());
  }

  fs::path applications() const { return sandbox_.systemRoot() / "Applications"; }
  fs::path installed() const { return applications() / "Brevalo.app"; }
  // Where an old copy waits without the first screen asking to replace it: the installer then
  // fails over to it from the system folder.
  fs::path userApplications() const { return sandbox_.home() / "Applications"; }
  fs::path cache() const {
    return sandbox_.home() / ".local/share/com.tessaro.installer.brevalo/Brevalo Installer/Cache";
  }

  // An old copy of the product in `folder`, with a marker of its own.
  Manifest placeOldCopy(const fs::path& folder) {
    os::Error error;
    std::optional<fs::path> bundle =
        tools::makeSampleProduct(sandbox_.root() / "old", tools::SampleProduct(), &error);
    EXPECT_TRUE(bundle) << error.description;
    std::ofstream(*bundle / "Contents/old-copy-marker.txt") << "old";
    fs::create_directories(folder);
    fs::remove_all(folder / "Brevalo.app");
    fs::rename(*bundle, folder / "Brevalo.app");
    return manifestOf(folder / "Brevalo.app");
  }
  Manifest placeOldCopy() { return placeOldCopy(applications()); }

  testsupport::Sandbox sandbox_;
  std::optional<tools::ResourceServer> server_;
};

// Install, wait for the error page, close.
constexpr const char* kFailingInstall =
    "wait install 30\nclick install\nwait errorPrompt 120\nclick close\n";

TEST_F(InstallerHostileTest, AfterAFailureTheCloseButtonQuitsWithoutAsking) {
  serve();
  server_->setFaults(tools::Resource::Archive, {.status = 404});
  useScript("close", "wait install 30\nclick install\nwait errorPrompt 60\nclick close\n");

  InstallerRun run = runInstaller();

  ASSERT_TRUE(WIFEXITED(run.waitStatus)) << run.output;
  EXPECT_EQ(WEXITSTATUS(run.waitStatus), 0) << run.output;
  // No "Download Close": nothing was being installed any more, so nothing was asked.
  EXPECT_EQ(trackedActions(run.output),
            (Actions{"Launch App", "Start Download", "Download Failed", "Close"}))
      << run.output;
}

TEST_F(InstallerHostileTest, HostileArchivesAreRefusedAndTheOldCopyStays) {
  struct Case {
    std::string label;
    std::vector<os::ZipEntry> entries;  // beside a bundle that would install
  };
  const os::ZipEntry plist{"Brevalo.app/Contents/Info.plist", os::ZipEntry::Kind::File, 0644,
                           "<plist/>", ""};
  const std::vector<Case> cases = {
      {"8,000 folders deep",
       {plist,
        {"Brevalo.app/" + repeated("a/", 8000) + "f", os::ZipEntry::Kind::File, 0644, "x", ""}}},
      {"32,756 folders deep",
       {plist,
        {"Brevalo.app/" + repeated("a/", 32756) + "f", os::ZipEntry::Kind::File, 0644, "x", ""}}},
      {"a 64 KB name",
       {plist,
        {"Brevalo.app/" + std::string(65000, 'n'), os::ZipEntry::Kind::File, 0644, "x", ""}}},
      {"a link out of the bundle",
       {plist,
        {"Brevalo.app/Contents/Other", os::ZipEntry::Kind::SymbolicLink, 0755, "../../Other.app",
         ""},
        {"Other.app/keep.txt", os::ZipEntry::Kind::File, 0644, "x", ""}}},
  };
  // The same road with an archive that fails at once: the footprint the hostile ones are
  // measured against.
  const fs::path corrupt = sandbox_.root() / "corrupt.zip";
  std::ofstream(corrupt) << "PK this is no archive";
  tools::ResourceServer::Options baselineOptions;
  baselineOptions.archive = corrupt;
  serve(baselineOptions);
  Manifest old = placeOldCopy(userApplications());
  useScript("baseline", kFailingInstall);
  InstallerRun baseline = runInstaller();
  ASSERT_TRUE(tracksAction(baseline.output, "Install Failed")) << baseline.output;

  for (const Case& hostile : cases) {
    SCOPED_TRACE(hostile.label);
    const fs::path archive = sandbox_.root() / "hostile.zip";
    os::Error error;
    ASSERT_TRUE(os::SSZipArchive::createZipFileAtPath(archive.string(), hostile.entries, &error));
    tools::ResourceServer::Options options;
    options.archive = archive;
    serve(options);

    InstallerRun run = runInstaller();

    ASSERT_TRUE(WIFEXITED(run.waitStatus)) << run.output;
    EXPECT_EQ(WEXITSTATUS(run.waitStatus), 0) << run.output;
    EXPECT_EQ(
        trackedActions(run.output),
        (Actions{"Launch App", "Start Download", "Download Successful", "Install Failed", "Close"}))
        << run.output;
    EXPECT_EQ(manifestOf(userApplications() / "Brevalo.app"), old);
    EXPECT_THAT(itemsIn(applications()), IsEmpty());
    EXPECT_EQ(itemsIn(userApplications()), (std::vector<std::string>{"Brevalo.app"}));
    EXPECT_THAT(itemsIn(cache()), Not(Contains("Brevalo.zip")));
    if (testsupport::residentMemoryIsMeaningful()) {
      EXPECT_LT(run.peakResidentBytes, baseline.peakResidentBytes + (size_t{64} << 20));
    }
    // How long the refusal took, for the record (timing is measured, never asserted).
    auto downloaded = run.arrivalOf("ea = \"Download Successful\";");
    auto refused = run.arrivalOf("ea = \"Install Failed\";");
    if (downloaded && refused) {
      std::printf("%s: refused %.3f s after the download, peak %.1f MiB (baseline %.1f MiB)\n",
                  hostile.label.c_str(),
                  std::chrono::duration<double>(*refused - *downloaded).count(),
                  double(run.peakResidentBytes) / (1 << 20),
                  double(baseline.peakResidentBytes) / (1 << 20));
    }
  }
}

TEST_F(InstallerHostileTest, EndlessBodiesAndInsecureRedirectsFailCleanly) {
  serve();
  Manifest old = placeOldCopy(userApplications());
  // The product: the download fails past four times the size the update list gives.
  for (bool chunked : {true, false}) {
    SCOPED_TRACE(chunked ? "endless chunked archive" : "endless close-delimited archive");
    server_->setFaults(tools::Resource::Archive, {.chunked = chunked, .endless = true});
    useScript("endless", kFailingInstall);
    InstallerRun run = runInstaller();
    ASSERT_TRUE(WIFEXITED(run.waitStatus)) << run.output;
    EXPECT_EQ(WEXITSTATUS(run.waitStatus), 0) << run.output;
    EXPECT_THAT(run.output, ::testing::HasSubstr("error code:-1103")) << run.output;
    EXPECT_EQ(manifestOf(userApplications() / "Brevalo.app"), old);
    EXPECT_THAT(itemsIn(cache()), Not(Contains(::testing::EndsWith(".zip"))));
  }
  server_->setFaults(tools::Resource::Archive, {});

  // The configuration: endless, and then 100 MB. The window goes on (the snapshot comes while
  // the configuration is still arriving) and the built-in address installs the product.
  const fs::path snapshot = sandbox_.root() / "progress.png";
  for (bool chunked : {true, false}) {
    SCOPED_TRACE(chunked ? "endless chunked configuration" : "100 MB configuration");
    tools::ResourceServer::Options options;
    if (!chunked) options.configuration = std::string(100 << 20, ' ');
    serve(options);
    server_->setFaults(tools::Resource::Configuration, {.chunked = chunked, .endless = chunked});
    fs::remove(snapshot);
    fs::remove_all(installed());  // installed by the case before; no question to answer
    useScript("configuration", "wait install 30\nclick install\nwait progressBar 30\nsnapshot " +
                                   snapshot.string() + "\n");
    InstallerRun run = runInstaller();
    ASSERT_TRUE(WIFEXITED(run.waitStatus)) << run.output;
    EXPECT_EQ(WEXITSTATUS(run.waitStatus), 0) << run.output;
    EXPECT_TRUE(fs::exists(snapshot));
    EXPECT_TRUE(tracksAction(run.output, "Install Finished")) << run.output;
    EXPECT_THAT(itemsIn(cache()), IsEmpty());
  }

  // A product address on https answered with a redirect to plain http.
  tools::ResourceServer::Options moved;
  moved.configuration = tools::ResourceServer::configurationNaming(
      "https://download.tessaro.example/moved/Brevalo.zip");
  serve(moved);
  fs::remove_all(installed());  // installed by the cases before; no question to answer
  server_->downloadServer().respond("GET", "/moved/Brevalo.zip", 301, "",
                                    {{"Location", "http://127.0.0.1:9/Brevalo.zip"}});
  useScript("redirect", kFailingInstall);
  InstallerRun run = runInstaller();
  ASSERT_TRUE(WIFEXITED(run.waitStatus)) << run.output;
  EXPECT_THAT(run.output, ::testing::HasSubstr("error code:-1022")) << run.output;
  EXPECT_EQ(manifestOf(userApplications() / "Brevalo.app"), old);
}

// Two installers over an old copy: the second starts at a chosen moment of the first one's
// installation (seen by the test, so no timing decides the overlap), finds the first one's
// lock, says so and quits; the first installs a complete product every time.
TEST_F(InstallerHostileTest, ASecondInstallerTouchesNothingWhileTheFirstInstalls) {
  // A product of 2,000 files: large enough for the moments below to be seen.
  tools::SampleProduct product;
  product.resourceFiles = 2000;
  product.resourceFileBytes = 10 * 1024;
  const fs::path archive = sandbox_.root() / "Brevalo.zip";
  os::Error error;
  ASSERT_TRUE(tools::makeSampleProductArchive(archive, product, &error)) << error.description;
  tools::ResourceServer::Options options;
  options.archive = archive;
  serve(options);
  const fs::path reference = sandbox_.root() / "reference";
  ASSERT_TRUE(
      os::SSZipArchive::unzipFileAtPath(archive.string(), reference.string(), true, "", &error));
  const Manifest fresh = manifestOf(reference / "Brevalo.app");
  const uint64_t archiveBytes = fs::file_size(archive);

  auto stagingHolds = [this](uint32_t index) {
    for (const std::string& name : itemsIn(applications())) {
      if (name.starts_with(".tessaro-staging-") &&
          fs::exists(applications() / name / "Brevalo.app" / tools::sampleResourceFile(index))) {
        return true;
      }
    }
    return false;
  };
  struct Moment {
    const char* name;
    std::function<bool(const std::string& output)> reached;
    bool slowDownload = false;
  };
  const Moment moments[] = {
      {"launched", [](const std::string& output) { return tracksAction(output, "Launch App"); }},
      {"downloading",
       [](const std::string& output) { return output.find("progress:5") != std::string::npos; },
       true},
      // A machine fast enough to unpack between two looks tests the next moment instead.
      {"unpacking",
       [&](const std::string& output) {
         return stagingHolds(100) || tracksAction(output, "Install Finished");
       }},
      {"installed",
       [](const std::string& output) { return tracksAction(output, "Install Finished"); }},
  };
  const fs::path secondSnapshot = sandbox_.root() / "second.png";
  for (const Moment& moment : moments) {
    SCOPED_TRACE(moment.name);
    placeOldCopy();
    server_->setFaults(tools::Resource::Archive,
                       {.bytesPerSecond = moment.slowDownload ? archiveBytes / 2 : 0});
    useScript("first",
              "wait install 30\nclick install\nwait alertOKButton 60\n"
              "click alertOKButton\n");
    InstallerProcess first;
    ASSERT_TRUE(first.waitUntil([&] { return moment.reached(first.output()); })) << first.output();

    fs::remove(secondSnapshot);
    useScript("second", "wait alertOKButton 30\nsnapshot " + secondSnapshot.string() +
                            "\nclick alertOKButton\n");
    InstallerRun second = runInstaller();
    ASSERT_TRUE(WIFEXITED(second.waitStatus)) << second.output;
    EXPECT_EQ(WEXITSTATUS(second.waitStatus), 0) << second.output;
    EXPECT_THAT(trackedActions(second.output), IsEmpty()) << second.output;
    EXPECT_TRUE(fs::exists(secondSnapshot));

    const int status = first.wait();
    ASSERT_TRUE(WIFEXITED(status)) << first.output();
    EXPECT_EQ(WEXITSTATUS(status), 0) << first.output();
    EXPECT_TRUE(tracksAction(first.output(), "Install Finished")) << first.output();
    EXPECT_EQ(manifestOf(installed()), fresh);
    EXPECT_EQ(itemsIn(applications()), (std::vector<std::string>{"Brevalo.app"}));
  }
}

}  // namespace
