#include "installer/engine/install_steps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/engine/download_file_name.h"
#include "installer/engine/engine_test_support.h"
#include "os/zip.h"
#include "testsupport/sandbox.h"
#include "tools/sample_product.h"

namespace {

namespace fs = std::filesystem;
using engine_test::readText;
using engine_test::tree;
using engine_test::writeText;
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
    writeText(destination_ / "Brevalo.app/Contents/old-only.txt", "old");
    writeText(destination_ / "Other.app/keep.txt", "other");
  }

  fs::path at(const std::string& name) const { return sandbox_.root() / name; }

  testsupport::Sandbox sandbox_;
  const fs::path archive_ = at("Brevalo.zip");
  const fs::path destination_ = at("Applications");
};

TEST_F(InstallStepsTest, UnzipStagedReplacesTheItemsOfTheArchiveOnly) {
  os::Error error;
  ASSERT_TRUE(TSRInstallSteps::unzipStaged(archive_.string(), destination_, &error))
      << error.localizedDescription();

  // The bundle is the archive's, whole: the older copy's own file is gone.
  fs::path reference = at("reference");
  ASSERT_TRUE(
      os::SSZipArchive::unzipFileAtPath(archive_.string(), reference.string(), true, "", &error));
  EXPECT_EQ(tree(destination_ / "Brevalo.app"), tree(reference / "Brevalo.app"));
  EXPECT_EQ(fs::status(destination_ / "Brevalo.app/Contents/MacOS/Brevalo").permissions(),
            fs::perms(0755));
  EXPECT_EQ(readText(destination_ / "Other.app/keep.txt"), "other");
  // No staging or set-aside folder is left behind.
  EXPECT_THAT(*os::files::contentsOfDirectory(destination_, nullptr),
              ElementsAre("Brevalo.app", "Other.app"));
}

TEST_F(InstallStepsTest, AFailedUnzipLeavesTheDestinationAsItWas) {
  const std::vector<std::string> before = tree(destination_);
  fs::path empty = at("empty.zip");
  fs::path corrupt = at("corrupt.zip");
  fs::path escaping = at("escaping.zip");
  os::Error error;
  ASSERT_TRUE(os::SSZipArchive::createZipFileAtPath(empty.string(), {}, &error));
  ASSERT_TRUE(tools::makeCorruptArchive(archive_, corrupt, &error));
  ASSERT_TRUE(tools::makeEscapingArchive(escaping, {}, &error));
  writeText(at("page.zip"), "<html><body>Not found</body></html>");

  for (const fs::path& zip : {empty, corrupt, escaping, at("page.zip"), at("missing.zip")}) {
    SCOPED_TRACE(zip.filename());
    error = os::Error();
    EXPECT_FALSE(TSRInstallSteps::unzipStaged(zip.string(), destination_, &error));
    EXPECT_EQ(error.domain, os::SSZipArchive::kErrorDomain);
    EXPECT_EQ(tree(destination_), before);
    EXPECT_EQ(readText(destination_ / "Brevalo.app/Contents/old-only.txt"), "old");
  }
  EXPECT_FALSE(fs::exists(sandbox_.root() / "tessaro-escaped.txt"));
}

TEST_F(InstallStepsTest, AnItemThatCannotBeReplacedUndoesTheWholeMove) {
  // The archive holds "Brevalo.app" and "Zeta.app"; the destination's Zeta.app cannot be moved,
  // so the new Brevalo.app, already in place, must go again and the older one come back.
  fs::path both = at("both.zip");
  os::Error error;
  ASSERT_TRUE(os::SSZipArchive::createZipFileAtPath(
      both.string(),
      {{"Brevalo.app/Contents/new.txt", os::ZipEntry::Kind::File, 0644, "new", ""},
       {"Zeta.app/Contents/new.txt", os::ZipEntry::Kind::File, 0644, "new", ""}},
      &error));
  writeText(destination_ / "Zeta.app/Contents/zeta.txt", "zeta");
  const std::vector<std::string> before = tree(destination_);
  engine_test::PinnedFolder pinned(destination_ / "Zeta.app");
  if (!pinned.pinned()) GTEST_SKIP() << "cannot make a folder unchangeable here";

  EXPECT_FALSE(TSRInstallSteps::unzipStaged(both.string(), destination_, &error));
  EXPECT_EQ(error.domain, os::kPOSIXErrorDomain);
  pinned.unpin();
  EXPECT_EQ(tree(destination_), before);
  EXPECT_EQ(readText(destination_ / "Brevalo.app/Contents/old-only.txt"), "old");
}

TEST_F(InstallStepsTest, ASetAsideItemComesBackOrGoes) {
  const fs::path old = destination_ / "Brevalo.app";
  os::Error error;
  std::optional<TSRInstallSteps::SetAsideItem> item =
      TSRInstallSteps::SetAsideItem::setAside(old, &error);
  ASSERT_TRUE(item) << error.localizedDescription();
  EXPECT_FALSE(TSRInstallSteps::itemExists(old));
  ASSERT_TRUE(item->restore(&error)) << error.localizedDescription();
  EXPECT_EQ(readText(old / "Contents/old-only.txt"), "old");
  EXPECT_THAT(*os::files::contentsOfDirectory(destination_, nullptr),
              ElementsAre("Brevalo.app", "Other.app"));

  item = TSRInstallSteps::SetAsideItem::setAside(old, &error);
  ASSERT_TRUE(item);
  // Something took the place meanwhile: the item stays aside rather than replace it.
  writeText(old, "newcomer");
  EXPECT_FALSE(item->restore(&error));
  EXPECT_EQ(readText(old), "newcomer");
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
