#include "tools/installer/sample_product.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "os/bundle/bundle.h"
#include "os/workspace/workspace.h"
#include "os/zip/zip.h"
#include "testsupport/child_process.h"
#include "testsupport/files.h"
#include "testsupport/sandbox.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testsupport::readFile;
using testsupport::waitForFile;

// Runs a program (no shell) and returns its exit status; its standard output goes to `output`.
int run(const std::vector<std::string>& command, std::string* output = nullptr) {
  testsupport::ChildRun run = testsupport::runChild(command);
  if (output != nullptr) *output = run.output;
  return run.exitCode();
}

mode_t modeOf(const fs::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(SampleProductTest, ArchiveUnpacksIntoARunnableBundle) {
  testsupport::Sandbox sandbox;
  fs::path archive = sandbox.root() / "Brevalo.zip";
  os::Error error;
  ASSERT_TRUE(tools::makeSampleProductArchive(archive, {}, &error)) << error.description;

  // Listed by Info-ZIP as the maker's archives list: Unix modes and links under one folder.
  std::string listing;
  ASSERT_EQ(run({"zipinfo", archive.string()}, &listing), 0);
  EXPECT_THAT(listing, HasSubstr("-rwxr-xr-x"));
  EXPECT_THAT(listing, HasSubstr("lrwxrwxrwx"));
  EXPECT_THAT(listing, HasSubstr("Brevalo.app/Contents/MacOS/Brevalo"));

  fs::path applications = sandbox.systemRoot() / "Applications";
  ASSERT_TRUE(
      os::SSZipArchive::unzipFileAtPath(archive.string(), applications.string(), true, "", &error))
      << error.description;
  fs::path app = applications / "Brevalo.app";
  os::Bundle bundle(app.string());
  EXPECT_EQ(bundle.bundleIdentifier(), "com.tessaro.brevalo");
  EXPECT_EQ(bundle.executablePath(), (app / "Contents/MacOS/Brevalo").string());
  EXPECT_EQ(modeOf(app / "Contents/MacOS/Brevalo"), 0755u);
  EXPECT_EQ(fs::file_size(app / "Contents/Resources/payload.bin"), 256u * 1024);
  fs::path framework = app / "Contents/Frameworks/BrevaloKit.framework";
  EXPECT_EQ(fs::read_symlink(framework / "Versions/Current"), "A");
  EXPECT_EQ(readFile(framework / "BrevaloKit"), readFile(framework / "Versions/A/BrevaloKit"));

  // Started, it leaves its marker: where the environment says, else in the home folder.
  fs::path marker = sandbox.root() / "started";
  sandbox.setEnv(tools::kMarkerEnvironmentVariable, marker.string());
  ASSERT_TRUE(os::workspace::openFile(app, &error)) << error.description;
  ASSERT_TRUE(waitForFile(marker));
  EXPECT_THAT(readFile(marker), HasSubstr((app / "Contents/MacOS/Brevalo").string()));

  sandbox.setEnv(tools::kMarkerEnvironmentVariable, std::nullopt);
  ASSERT_TRUE(os::workspace::openFile(app, &error)) << error.description;
  EXPECT_TRUE(waitForFile(sandbox.home() / tools::kMarkerFileName));
}

TEST(SampleProductTest, DamagedArchivesFailToUnpack) {
  testsupport::Sandbox sandbox;
  fs::path good = sandbox.root() / "good.zip";
  fs::path corrupt = sandbox.root() / "corrupt.zip";
  fs::path escaping = sandbox.root() / "escaping.zip";
  fs::path destination = sandbox.root() / "Applications";
  os::Error error;
  ASSERT_TRUE(tools::makeSampleProductArchive(good, {}, &error));
  ASSERT_TRUE(tools::makeCorruptArchive(good, corrupt, &error)) << error.description;
  ASSERT_TRUE(tools::makeEscapingArchive(escaping, {}, &error)) << error.description;
  EXPECT_EQ(fs::file_size(corrupt), fs::file_size(good));

  EXPECT_FALSE(
      os::SSZipArchive::unzipFileAtPath(corrupt.string(), destination.string(), true, "", &error));
  EXPECT_EQ(error.code, os::SSZipArchive::kFileContentNotReadable) << error.description;
  EXPECT_FALSE(
      os::SSZipArchive::unzipFileAtPath(escaping.string(), destination.string(), true, "", &error));
  EXPECT_EQ(error.code, os::SSZipArchive::kEntryEscapesDestination) << error.description;
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_FALSE(fs::exists(sandbox.root() / "tessaro-escaped.txt"));

  // An archive too small to damage says so rather than passing for a corrupt one.
  fs::path tiny = sandbox.root() / "tiny.zip";
  ASSERT_TRUE(os::SSZipArchive::createZipFileAtPath(
      tiny.string(), {{"a", os::ZipEntry::Kind::File, 0644, "a", {}}}, &error));
  EXPECT_FALSE(tools::makeCorruptArchive(tiny, corrupt, &error));
}

TEST(SampleProductTest, GeneratorCommand) {
  testsupport::Sandbox sandbox;
  fs::path archive = sandbox.root() / "Other.zip";
  ASSERT_EQ(run({TESSARO_SAMPLE_PRODUCT, "--name=Other", "--payload-bytes=1000", archive.string()}),
            0);
  fs::path unpacked = sandbox.root() / "unpacked";
  os::Error error;
  ASSERT_TRUE(
      os::SSZipArchive::unzipFileAtPath(archive.string(), unpacked.string(), true, "", &error));
  EXPECT_EQ(fs::file_size(unpacked / "Other.app/Contents/Resources/payload.bin"), 1000u);
  EXPECT_EQ(modeOf(unpacked / "Other.app/Contents/MacOS/Other"), 0755u);

  fs::path folder = sandbox.root() / "bundles";
  ASSERT_EQ(run({TESSARO_SAMPLE_PRODUCT, "--bundle-only", folder.string()}), 0);
  EXPECT_TRUE(fs::is_directory(folder / "Brevalo.app/Contents/MacOS"));

  EXPECT_EQ(run({TESSARO_SAMPLE_PRODUCT}), 2);
  EXPECT_EQ(run({TESSARO_SAMPLE_PRODUCT, "--payload-bytes=lots", archive.string()}), 2);
  EXPECT_EQ(run({TESSARO_SAMPLE_PRODUCT, "--name=a/b", archive.string()}), 2);
}

}  // namespace
