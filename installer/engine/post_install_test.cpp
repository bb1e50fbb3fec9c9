#include "installer/engine/post_install.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/engine/engine_test_support.h"
#include "os/log/log.h"
#include "os/value/plist.h"

namespace {

namespace fs = std::filesystem;
using engine_test::readFile;
using engine_test::writeFile;
using ::testing::ElementsAre;
using ::testing::Pair;

// The usage events a capture saw, as (action, label) pairs.
std::vector<std::pair<std::string, std::string>> events(const os::log::Capture& capture) {
  auto field = [](const std::string& text, const std::string& key) {
    size_t start = text.find("    " + key + " = ");
    if (start == std::string::npos) return std::string();
    start += key.size() + 7;
    std::string value = text.substr(start, text.find(";\n", start) - start);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    return value;
  };
  std::vector<std::pair<std::string, std::string>> found;
  for (const os::log::Line& line : capture.lines()) {
    if (line.message.rfind("Event Name:Install_SW", 0) == 0) {
      found.emplace_back(field(line.message, "ea"), field(line.message, "el"));
    }
  }
  return found;
}

class PostInstallTest : public ::testing::Test {
 protected:
  explicit PostInstallTest(int32_t product = 7) : installer_({.installProduct = product}) {
    installer_.sandbox().setEnv(tools::kMarkerEnvironmentVariable, marker().string());
    fs::create_directories(os::paths::desktop());
  }

  fs::path marker() { return installer_.sandbox().root() / "product-started"; }

  // The product `name` ("Brevalo") made in `folder`.
  fs::path makeProduct(const fs::path& folder, const std::string& name = "Brevalo") {
    os::Error error;
    std::optional<fs::path> bundle = tools::makeSampleProduct(folder, {.name = name}, &error);
    EXPECT_TRUE(bundle) << error.localizedDescription();
    return bundle.value_or(fs::path());
  }

  bool productStarted() {
    return os::RunLoop::main().runUntil([&] { return fs::exists(marker()); }, 30);
  }

  InstallerTestEnvironment installer_;
};

TEST_F(PostInstallTest, RecordsLinksAndOpensTheProduct) {
  const fs::path product = makeProduct(os::paths::systemApplications());
  // An older tracking file with other keys, and a link from an earlier installation.
  writeFile(TSRPostInstall::trackingFilePath(),
            *os::plist::serialize(os::Dictionary{{"Old", "x"}, {"VersionTrack", "Official-jp"}},
                                  os::plist::Format::Xml));
  fs::create_directory_symlink("/nonexistent/Brevalo.app", os::paths::desktop() / "Brevalo.app");

  os::log::Capture capture;
  EXPECT_TRUE(TSRPostInstall::finishInstallation(os::paths::systemApplications().string()));

  EXPECT_EQ(TSRPostInstall::trackingFilePath(),
            os::paths::applicationSupport() / "tessaroTrack/BV-Track.plist");
  std::optional<os::Value> tracking =
      os::plist::parse(readFile(TSRPostInstall::trackingFilePath()));
  ASSERT_TRUE(tracking);
  EXPECT_EQ(*tracking, os::Value(os::Dictionary{{"VersionTrack", "Official-fr"},
                                                {"LinkTrack", "Official-fr"},
                                                {"NoYouToBePhoto", false},
                                                {"ProTrack", false}}));
  EXPECT_THAT(readFile(TSRPostInstall::trackingFilePath()), ::testing::StartsWith("<?xml"));
  EXPECT_TRUE(capture.contains("infoDict:"));
  EXPECT_EQ(fs::read_symlink(os::paths::desktop() / "Brevalo.app"), product);
  EXPECT_THAT(events(capture), ElementsAre(Pair("Install Finished", "Success"),
                                           Pair("Start Application", "Success")));
  ASSERT_TRUE(productStarted());
  EXPECT_THAT(readFile(marker()), ::testing::HasSubstr(product.string()));
}

TEST_F(PostInstallTest, ADesktopItemThatIsNoLinkStays) {
  const fs::path product = makeProduct(os::paths::userApplications());
  writeFile(os::paths::desktop() / "Brevalo.app/mine.txt", "mine");
  EXPECT_TRUE(TSRPostInstall::finishInstallation(os::paths::userApplications().string()));
  EXPECT_FALSE(fs::is_symlink(os::paths::desktop() / "Brevalo.app"));
  EXPECT_EQ(readFile(os::paths::desktop() / "Brevalo.app/mine.txt"), "mine");
  // The rest goes on, from the user's Applications folder.
  EXPECT_TRUE(fs::exists(TSRPostInstall::trackingFilePath()));
  ASSERT_TRUE(productStarted());
  EXPECT_THAT(readFile(marker()), ::testing::HasSubstr(product.string()));
}

TEST_F(PostInstallTest, AMissingProductIsReportedAndLeavesNoTrackingFileOrLink) {
  os::log::Capture capture;
  const std::string folder = os::paths::systemApplications().string();
  EXPECT_FALSE(TSRPostInstall::finishInstallation(folder));
  EXPECT_FALSE(fs::exists(TSRPostInstall::trackingFilePath()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(os::paths::desktop() / "Brevalo.app")));
  EXPECT_THAT(events(capture),
              ElementsAre(Pair("Install Finished", "Success"),
                          Pair("Start Application Failed", folder + "/Brevalo.app is not exist")));

  // A product that cannot be started: its executable is missing.
  const fs::path product = makeProduct(os::paths::systemApplications());
  fs::remove(product / "Contents/MacOS/Brevalo");
  os::log::Capture second;
  EXPECT_FALSE(TSRPostInstall::finishInstallation(folder));
  EXPECT_TRUE(fs::exists(TSRPostInstall::trackingFilePath()));
  std::vector<std::pair<std::string, std::string>> sent = events(second);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].first, "Start Application Failed");
  EXPECT_THAT(sent[1].second, ::testing::StartsWith("Open Error:"));
}

class PostInstallWithBlanksTest : public PostInstallTest {
 protected:
  PostInstallWithBlanksTest() : PostInstallTest(9) {}
};

TEST_F(PostInstallWithBlanksTest, PathsWithBlanksAndQuotesAreTakenAsTheyAre) {
  // The product folder itself holds characters a shell would act on.
  const fs::path folder = installer_.sandbox().root() / "Apps \"$(touch pwned)\"";
  const fs::path product = makeProduct(folder, "Rudelmo - iOS System Recovery");
  EXPECT_TRUE(TSRPostInstall::finishInstallation(folder.string()));
  EXPECT_EQ(fs::read_symlink(os::paths::desktop() / "Rudelmo - iOS System Recovery.app"), product);
  EXPECT_TRUE(fs::exists(os::paths::applicationSupport() / "tessaroTrack/RM-Track.plist"));
  ASSERT_TRUE(productStarted());
  EXPECT_THAT(readFile(marker()), ::testing::HasSubstr(product.string()));
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists(installer_.sandbox().root() / "pwned"));
}

}  // namespace
