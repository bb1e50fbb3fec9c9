#include "installer/engine/install_steps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <new>

#include "installer/engine/allocation_failure.h"
#include "installer/engine/download_file_name.h"
#include "installer/engine/engine_test_support.h"
#include "os/log/log.h"
#include "os/zip/zip.h"
#include "testsupport/sandbox.h"
#include "tools/installer/sample_product.h"

namespace {

namespace fs = std::filesystem;
using engine_test::describeTree;
using engine_test::readFile;
using engine_test::writeFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(DownloadFileNameTest, KeepsPlainNamesAndReplacesEverythingElse) {
  struct Case {
    const char* address;
    const char* name;
  };
  const Case cases[] = {
      {"http://download.tessaro.example/product/bv/Brevalo.zip", "Brevalo.zip"},
      {"http://download.tessaro.example/product/bv/Brevalo.zip?mirror=2#top", "Brevalo.zip"},
      {"http://download.tessaro.example/product/My%20App.zip", "My App.zip"},
      {"http://download.tessaro.example/", kFallbackDownloadFileName},
      {"http://download.tessaro.example", kFallbackDownloadFileName},
      {"http://download.tessaro.example/product/..", kFallbackDownloadFileName},
      {"http://download.tessaro.example/product/%2E%2E", kFallbackDownloadFileName},
      {"http://download.tessaro.example/product/.", kFallbackDownloadFileName},
      {"http://download.tessaro.example/product/..%2F..%2Fhome", kFallbackDownloadFileName},
      {"http://download.tessaro.example/product/a%00b.zip", kFallbackDownloadFileName},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.address);
    std::optional<os::URL> url = os::URL::parse(test.address);
    ASSERT_TRUE(url);
    EXPECT_EQ(localDownloadFileName(*url), test.name);
  }
}

class InstallStepsTest : public ::testing::Test {
 protected:
  InstallStepsTest() {
    os::Error error;
    EXPECT_TRUE(tools::makeSampleProductArchive(archive_, {}, &error))
        << error.localizedDescription();
    // The destination holds an older copy and an item of someone else's.
    writeFile(destination_ / "Brevalo.app/Contents/old-only.txt", "old");
    writeFile(destination_ / "Other.app/keep.txt", "other");
  }

  fs::path at(const std::string& name) const { return sandbox_.root() / name; }

  testsupport::Sandbox sandbox_;
  const fs::path archive_ = at("Brevalo.zip");
  const fs::path destination_ = at("Applications");
};

TEST_F(InstallStepsTest, InstallBundleReplacesTheProductWhole) {
  os::Error error;
  ASSERT_TRUE(
      TSRInstallSteps::installBundle(archive_.string(), destination_, "Brevalo.app", &error))
      << error.localizedDescription();

  // The bundle is the archive's, whole: the older copy's own file is gone.
  fs::path reference = at("reference");
  ASSERT_TRUE(
      os::SSZipArchive::unzipFileAtPath(archive_.string(), reference.string(), true, "", &error));
  EXPECT_EQ(describeTree(destination_ / "Brevalo.app"), describeTree(reference / "Brevalo.app"));
  EXPECT_EQ(fs::status(destination_ / "Brevalo.app/Contents/MacOS/Brevalo").permissions(),
            fs::perms(0755));
  EXPECT_EQ(readFile(destination_ / "Other.app/keep.txt"), "other");
  // No staging or set-aside folder is left behind.
  EXPECT_THAT(*os::files::contentsOfDirectory(destination_, nullptr),
              ElementsAre("Brevalo.app", "Other.app"));

  // Into an empty place, and into a folder that does not exist yet.
  fs::remove_all(destination_ / "Brevalo.app");
  ASSERT_TRUE(
      TSRInstallSteps::installBundle(archive_.string(), destination_, "Brevalo.app", &error));
  EXPECT_EQ(describeTree(destination_ / "Brevalo.app"), describeTree(reference / "Brevalo.app"));
  ASSERT_TRUE(TSRInstallSteps::installBundle(archive_.string(), at("new/Applications"),
                                             "Brevalo.app", &error));
  EXPECT_THAT(*os::files::contentsOfDirectory(at("new/Applications"), nullptr),
              ElementsAre("Brevalo.app"));
}

TEST_F(InstallStepsTest, AFailedInstallLeavesTheDestinationAsItWas) {
  const auto before = describeTree(destination_);
  struct Case {
    const char* name;
    std::vector<os::ZipEntry> entries;  // none: the file `name` as prepared below
    const char* domain;
  };
  const char* zipDomain = os::SSZipArchive::kErrorDomain;
  const char* stepsDomain = TSRInstallSteps::kErrorDomain;
  auto file = [](const char* path) {
    return os::ZipEntry{path, os::ZipEntry::Kind::File, 0644, "new", ""};
  };
  const Case cases[] = {
      {"only another bundle", {file("Other.app/Contents/new.txt")}, stepsDomain},
      {"the bundle one folder deeper", {file("Brevalo/Brevalo.app/Contents/new.txt")}, stepsDomain},
      {"the bundle as a file", {file("Brevalo.app")}, stepsDomain},
      {"the bundle as a link",
       {{"Brevalo.app", os::ZipEntry::Kind::SymbolicLink, 0755, "Other.app", ""}},
       stepsDomain},
      // Inside the staging folder, but beside the bundle once the bundle is in place.
      {"a link out of the bundle",
       {file("Brevalo.app/Contents/new.txt"),
        {"Brevalo.app/Contents/Other", os::ZipEntry::Kind::SymbolicLink, 0755, "../../Other.app",
         ""},
        file("Other.app/keep.txt")},
       zipDomain},
      {"empty.zip", {}, zipDomain},
      {"corrupt.zip", {}, zipDomain},
      {"escaping.zip", {}, zipDomain},
      {"page.zip", {}, zipDomain},
      {"missing.zip", {}, zipDomain},
  };
  os::Error error;
  ASSERT_TRUE(os::SSZipArchive::createZipFileAtPath(at("empty.zip").string(), {}, &error));
  ASSERT_TRUE(tools::makeCorruptArchive(archive_, at("corrupt.zip"), &error));
  ASSERT_TRUE(tools::makeEscapingArchive(at("escaping.zip"), {}, &error));
  writeFile(at("page.zip"), "<html><body>Not found</body></html>");

  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    fs::path zip = at(test.name);
    if (!test.entries.empty()) {
      zip = at("case.zip");
      fs::remove(zip);
      ASSERT_TRUE(os::SSZipArchive::createZipFileAtPath(zip.string(), test.entries, &error));
    }
    error = os::Error();
    EXPECT_FALSE(TSRInstallSteps::installBundle(zip.string(), destination_, "Brevalo.app", &error));
    EXPECT_EQ(error.domain, test.domain) << error.localizedDescription();
    EXPECT_EQ(describeTree(destination_), before);
    EXPECT_EQ(readFile(destination_ / "Brevalo.app/Contents/old-only.txt"), "old");
  }
  EXPECT_FALSE(fs::exists(sandbox_.root() / "tessaro-escaped.txt"));
}

TEST_F(InstallStepsTest, RunningOutOfMemoryWhileUnpackingLeavesNoStagingFolderBehind) {
  // 5,000 small files: enough allocations that the one refused below falls mid-unpack, with
  // files already written to the staging folder.
  std::vector<os::ZipEntry> entries;
  for (int i = 0; i < 5000; ++i) {
    entries.push_back({"Brevalo.app/Contents/" + std::to_string(i % 50) + "/" + std::to_string(i),
                       os::ZipEntry::Kind::File, 0644, std::string(100, 'x'), ""});
  }
  const fs::path hungry = at("hungry.zip");
  os::Error error;
  ASSERT_TRUE(os::SSZipArchive::createZipFileAtPath(hungry.string(), entries, &error));

  // How many allocations a whole unpack makes, counted on a scratch destination.
  const fs::path scratch = sandbox_.root() / "scratch";
  fs::create_directories(scratch);
  const uint64_t countedFrom = allocation_failure::allocationsSoFar();
  ASSERT_TRUE(TSRInstallSteps::installBundle(hungry.string(), scratch, "Brevalo.app", &error))
      << error.localizedDescription();
  const uint64_t allocations = allocation_failure::allocationsSoFar() - countedFrom;
  ASSERT_GT(allocations, 5000u);

  const auto before = describeTree(destination_);
  // In a child, whose one refused allocation half way through cannot disturb this process.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    allocation_failure::refuseAllocationAfter(allocations / 2);
    bool installed = false;
    try {
      installed =
          TSRInstallSteps::installBundle(hungry.string(), destination_, "Brevalo.app", nullptr);
    } catch (const std::bad_alloc&) {
    }
    ::_exit(installed ? 1 : allocation_failure::refused() ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
  EXPECT_NE(WEXITSTATUS(status), 1) << "installed although an allocation was refused";
  EXPECT_NE(WEXITSTATUS(status), 2) << "no allocation was refused";
  EXPECT_EQ(describeTree(destination_), before);  // the old copy in place, no staging folder
}

TEST_F(InstallStepsTest, OnlyTheProductLeavesTheArchive) {
  // An archive that also carries a Victim.app, over the user's own Victim.app.
  fs::path both = at("both.zip");
  os::Error error;
  ASSERT_TRUE(os::SSZipArchive::createZipFileAtPath(
      both.string(),
      {{"Brevalo.app/Contents/new.txt", os::ZipEntry::Kind::File, 0644, "new", ""},
       {"Victim.app/Contents/evil.txt", os::ZipEntry::Kind::File, 0644, "evil", ""},
       {"loose.txt", os::ZipEntry::Kind::File, 0644, "loose", ""}},
      &error));
  writeFile(destination_ / "Victim.app/Contents/marker.txt", "mine");
  const auto victim = describeTree(destination_ / "Victim.app");

  os::log::Capture log;
  ASSERT_TRUE(TSRInstallSteps::installBundle(both.string(), destination_, "Brevalo.app", &error))
      << error.localizedDescription();
  EXPECT_EQ(readFile(destination_ / "Brevalo.app/Contents/new.txt"), "new");
  EXPECT_EQ(describeTree(destination_ / "Victim.app"), victim);
  EXPECT_EQ(readFile(destination_ / "Victim.app/Contents/marker.txt"), "mine");
  EXPECT_THAT(*os::files::contentsOfDirectory(destination_, nullptr),
              ElementsAre("Brevalo.app", "Other.app", "Victim.app"));
  EXPECT_TRUE(log.contains("Victim.app"));
  EXPECT_TRUE(log.contains("loose.txt"));
}

TEST_F(InstallStepsTest, CanReplaceProvesTheMoveWithoutMakingIt) {
  EXPECT_TRUE(TSRInstallSteps::canReplace(destination_ / "Brevalo.app", nullptr));
  fs::create_symlink(at("nowhere"), destination_ / "Link.app");
  EXPECT_TRUE(TSRInstallSteps::canReplace(destination_ / "Link.app", nullptr));
  os::Error error;
  EXPECT_FALSE(TSRInstallSteps::canReplace(destination_ / "Missing.app", &error));
  EXPECT_EQ(error.code, ENOENT);

  // A folder that cannot be moved to another parent, and a folder whose entries cannot change.
  for (const fs::path& pinnedPath : {destination_ / "Brevalo.app", destination_}) {
    SCOPED_TRACE(pinnedPath);
    engine_test::PinnedFolder pinned(pinnedPath);
    if (!pinned.pinned()) GTEST_SKIP() << "cannot make a folder unchangeable here";
    error = os::Error();
    EXPECT_FALSE(TSRInstallSteps::canReplace(destination_ / "Brevalo.app", &error));
    EXPECT_EQ(error.domain, os::kPOSIXErrorDomain);
    EXPECT_THAT(error.code, ::testing::AnyOf(EACCES, EPERM));
  }
  EXPECT_EQ(readFile(destination_ / "Brevalo.app/Contents/old-only.txt"), "old");
}

TEST_F(InstallStepsTest, PutInPlaceExchangesOrFallsBackOnTwoRenames) {
  writeFile(at("new/Brevalo.app/Contents/new.txt"), "new");
  // The exchange leaves the old copy where the new one was, for the caller to remove.
  os::Error error;
  ASSERT_TRUE(
      TSRInstallSteps::putInPlace(at("new/Brevalo.app"), destination_ / "Brevalo.app", &error))
      << error.localizedDescription();
  EXPECT_EQ(readFile(destination_ / "Brevalo.app/Contents/new.txt"), "new");
  EXPECT_EQ(readFile(at("new/Brevalo.app/Contents/old-only.txt")), "old");

  // Two renames put the new one in and remove the old one, leaving no hidden folder.
  ASSERT_TRUE(TSRInstallSteps::replaceByTwoRenames(at("new/Brevalo.app"),
                                                   destination_ / "Brevalo.app", &error));
  EXPECT_EQ(readFile(destination_ / "Brevalo.app/Contents/old-only.txt"), "old");
  EXPECT_FALSE(fs::exists(at("new/Brevalo.app")));
  EXPECT_THAT(*os::files::contentsOfDirectory(destination_, nullptr),
              ElementsAre("Brevalo.app", "Other.app"));

  // A replacement that cannot move: the old item stays, or comes back, in place.
  for (auto put : {&TSRInstallSteps::putInPlace, &TSRInstallSteps::replaceByTwoRenames}) {
    error = os::Error();
    EXPECT_FALSE(put(at("missing.app"), destination_ / "Brevalo.app", &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(readFile(destination_ / "Brevalo.app/Contents/old-only.txt"), "old");
    EXPECT_THAT(*os::files::contentsOfDirectory(destination_, nullptr),
                ElementsAre("Brevalo.app", "Other.app"));
  }
}

TEST_F(InstallStepsTest, ASetAsideItemComesBackOrGoes) {
  const fs::path old = destination_ / "Brevalo.app";
  os::Error error;
  std::optional<TSRInstallSteps::SetAsideItem> item =
      TSRInstallSteps::SetAsideItem::setAside(old, &error);
  ASSERT_TRUE(item) << error.localizedDescription();
  EXPECT_FALSE(TSRInstallSteps::itemExists(old));
  ASSERT_TRUE(item->restore(&error)) << error.localizedDescription();
  EXPECT_EQ(readFile(old / "Contents/old-only.txt"), "old");
  EXPECT_THAT(*os::files::contentsOfDirectory(destination_, nullptr),
              ElementsAre("Brevalo.app", "Other.app"));

  item = TSRInstallSteps::SetAsideItem::setAside(old, &error);
  ASSERT_TRUE(item);
  // Something took the place meanwhile: the item stays aside rather than replace it.
  writeFile(old, "newcomer");
  EXPECT_FALSE(item->restore(&error));
  EXPECT_EQ(readFile(old), "newcomer");
  ASSERT_TRUE(item->discard(&error)) << error.localizedDescription();
  EXPECT_THAT(*os::files::contentsOfDirectory(destination_, nullptr),
              ElementsAre("Brevalo.app", "Other.app"));

  // A dangling link is an item too, and moves as the link.
  fs::create_directory_symlink(at("nowhere"), destination_ / "Link.app");
  EXPECT_TRUE(TSRInstallSteps::itemExists(destination_ / "Link.app"));
  item = TSRInstallSteps::SetAsideItem::setAside(destination_ / "Link.app", &error);
  ASSERT_TRUE(item);
  ASSERT_TRUE(item->restore(&error));
  EXPECT_TRUE(fs::is_symlink(destination_ / "Link.app"));

  // An item that cannot be moved stays, and no hidden folder is left.
  engine_test::PinnedFolder pinned(destination_);
  if (!pinned.pinned()) GTEST_SKIP() << "cannot make a folder unchangeable here";
  EXPECT_FALSE(TSRInstallSteps::SetAsideItem::setAside(destination_ / "Other.app", &error));
  pinned.unpin();
  EXPECT_THAT(*os::files::contentsOfDirectory(destination_, nullptr),
              ElementsAre("Brevalo.app", "Link.app", "Other.app"));
}

}  // namespace
