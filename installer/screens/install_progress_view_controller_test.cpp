#include "installer/screens/install_progress_view_controller.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "installer/app/installer_test_environment.h"
#include "installer/app/kv_tracker.h"
#include "installer/app/temp_helper.h"
#include "installer/engine/engine_test_support.h"
#include "installer/engine/xml_manager.h"
#include "os/dispatch/runloop.h"
#include "os/log/log.h"
#include "os/ui/test_fixture.h"
#include "support/string_extensions.h"

namespace {

using engine_test::EngineTestEnvironment;

struct RecordingAppDelegate : TSRInstallProgressDelegate {
  std::vector<std::string> calls;
  void setIsInstall(bool isInstall) override {
    calls.push_back(isInstall ? "setIsInstall YES" : "setIsInstall NO");
  }
  void closeWindow() override { calls.push_back("closeWindow"); }
};

// One usage event as the console shows it.
struct LoggedEvent {
  std::string action, label, channel, trackVersion;
};

// The value of `key` in a logged parameter dictionary, without quotes.
std::string field(const std::string& message, const std::string& key) {
  size_t start = message.find("    " + key + " = ");
  if (start == std::string::npos) return "";
  start += key.size() + 7;
  std::string value = message.substr(start, message.find(";\n", start) - start);
  if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
  return value;
}

std::vector<LoggedEvent> events(const os::log::Capture& capture) {
  std::vector<LoggedEvent> found;
  for (const os::log::Line& line : capture.lines()) {
    if (line.message.rfind("Event Name:Install_SW", 0) != 0) continue;
    found.push_back({field(line.message, "ea"), field(line.message, "el"),
                     field(line.message, "install_productversion"),
                     field(line.message, "install_trackversion")});
  }
  return found;
}

std::vector<std::string> actions(const os::log::Capture& capture) {
  std::vector<std::string> names;
  for (const LoggedEvent& event : events(capture)) names.push_back(event.action);
  return names;
}

// `^\d{1,3}\.\d{2}%$`
bool looksLikePercent(const std::string& text) {
  size_t dot = text.find('.');
  if (dot == std::string::npos || dot < 1 || dot > 3 || text.size() != dot + 4) return false;
  for (size_t i = 0; i < text.size() - 1; ++i) {
    if (i != dot && !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return text.back() == '%';
}

TEST(InstallProgressAddressTest, TryChoosesMirrorsByLanguageOnlyOnTheFirstTry) {
  struct Case {
    int32_t product;
    bool retry;
    bool china;
    std::optional<std::string> language;
    std::string_view TSRProduct::*expected;
  };
  const Case cases[] = {
      {4, false, false, "ja-JP", &TSRProduct::japaneseMirrorAddress},
      {4, true, false, "ja-JP", &TSRProduct::defaultAddress},
      {4, false, false, "de", &TSRProduct::germanMirrorAddress},
      {4, false, false, std::nullopt, &TSRProduct::defaultAddress},
      {7, false, false, "ja-JP", &TSRProduct::defaultAddress},
      {7, false, false, "de-DE", &TSRProduct::defaultAddress},
      {7, false, true, "en", &TSRProduct::chinaMirrorAddress},
      {2, false, true, "ja", &TSRProduct::chinaMirrorAddress},
      {14, false, false, "ja", &TSRProduct::japaneseMirrorAddress},
      {3, false, false, "ja", &TSRProduct::defaultAddress},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product);
    const TSRProduct& product = productForNumber(c.product);
    ASSERT_FALSE((product.*c.expected).empty());
    EXPECT_EQ(
        TSRInstallProgressViewController::addressTextForTry(product, c.retry, c.china, c.language),
        product.*c.expected);
  }
  // Products without a row of their own download product 1's archive.
  EXPECT_EQ(
      TSRInstallProgressViewController::addressTextForTry(productForNumber(3), false, false, "en"),
      productForNumber(1).defaultAddress);
}

TEST(InstallProgressAddressTest, AddressIsDecodedWhenBase64AndEscaped) {
  const std::string plain = "http://download.tessaro.example/product/bv/Brevalo 2.zip";
  const std::string escaped = "http://download.tessaro.example/product/bv/Brevalo%202.zip";
  EXPECT_EQ(TSRInstallProgressViewController::realDownloadAddress(*ExtendTool::base64String(plain)),
            escaped);
  EXPECT_EQ(TSRInstallProgressViewController::realDownloadAddress(plain), escaped);
  const std::string decoded =
      *ExtendTool::stringFromBase64String(productForNumber(7).defaultAddress);
  EXPECT_EQ(TSRInstallProgressViewController::realDownloadAddress(
                std::string(productForNumber(7).defaultAddress)),
            decoded);
}

class InstallProgressScreenTest : public os::ui::testing::HeadlessTest {
 protected:
  void SetUp() override {
    HeadlessTest::SetUp();
    XMLManager::resetForTesting();
  }
  void TearDown() override {
    XMLManager::resetForTesting();
    HeadlessTest::TearDown();
  }

  std::shared_ptr<TSRInstallProgressViewController> makeScreen() {
    auto screen = TSRInstallProgressViewController::create(appDelegate_, 2);
    screen->setErrorPage([this](TSRInstallProgressViewController& s) {
      errorPages_.push_back(s.errorReason().value_or("<generic>"));
    });
    return screen;
  }
  static void drainMainQueue() {
    bool done = false;
    os::DispatchQueue::main()->async([&] { done = true; });
    ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return done; }, 10));
  }

  std::shared_ptr<RecordingAppDelegate> appDelegate_ = std::make_shared<RecordingAppDelegate>();
  std::vector<std::string> errorPages_;
};

TEST_F(InstallProgressScreenTest, PercentLabelFollowsEveryReportWhileTheBarOnlyGrows) {
  InstallerTestEnvironment environment;
  auto screen = makeScreen();
  auto& layout = screen->layout();
  const std::tuple<double, std::string, double> steps[] = {
      {40.5, "40.50%", 40.5}, {30, "30.00%", 40.5}, {120, "100.00%", 100}};
  for (const auto& [percent, label, bar] : steps) {
    // Reports come from the transfer thread.
    std::thread([&, percent = percent] {
      screen->downProgressWithFileName("Brevalo.zip", percent);
    }).join();
    drainMainQueue();
    EXPECT_EQ(layout.percentLabel()->stringValue(), label);
    EXPECT_EQ(layout.progressBar()->progress(), bar);
  }
}

TEST_F(InstallProgressScreenTest, EveryFailureShowsTheErrorPageWithItsReasonAndEvent) {
  InstallerTestEnvironment environment;
  environment.addStrings("en", {{"Install_App_Error_Msg", "Could not write to %@ (100%)"}});
  struct Case {
    std::function<void(TSRInstallProgressViewController&)> report;
    std::string page;
    std::optional<std::string> eventLabel;  // "Download Failed" unless `action` says
    std::string action = "Download Failed";
  };
  const Case cases[] = {
      {[](auto& s) {
         s.downErrorWithFileName("z", "No network", "timeout", kDownloadErrorDownloadFailed);
       },
       "No network", "timeout"},
      {[](auto& s) { s.downErrorWithFileName("z", "", "", kDownloadErrorDownloadFailed); },
       "<generic>", "Unknown error"},
      {[](auto& s) { s.downErrorWithFileName("z", "", "analytics", kDownloadErrorDownloadFailed); },
       "<generic>", "analytics"},
      {[](auto& s) { s.installError("/Applications", "Unzip error:0", kDownloadErrorUnzipFailed); },
       "Could not write to /Applications (100%)", "Unzip error:0", "Install Failed"},
      {[](auto& s) { s.installError("z", "", kDownloadErrorUnzipFailed); },
       "Could not write to z (100%)", "Unzip error", "Install Failed"},
      {[](auto& s) { s.installError("z", "bad entry", kDownloadErrorUnzipException); }, "<generic>",
       "Unzip Exception:bad entry"},
      {[](auto& s) { s.installError("z", "", kDownloadErrorFileNotFound); }, "<generic>",
       "Unzip Files No Exist"},
      {[](auto& s) { s.installError("z", "", kDownloadErrorUnknown); }, "<generic>",
       "Unzip Unknown error"},
      {[](auto& s) { s.installError("z", "", kDownloadErrorDownloadFailed); }, "<generic>",
       std::nullopt},
  };
  for (size_t index = 0; index < std::size(cases); ++index) {
    SCOPED_TRACE(index);
    const Case& c = cases[index];
    auto screen = makeScreen();
    errorPages_.clear();
    os::log::Capture capture;
    c.report(*screen);
    EXPECT_TRUE(errorPages_.empty());  // on the main queue, later
    drainMainQueue();
    EXPECT_EQ(errorPages_, std::vector<std::string>{c.page});
    EXPECT_EQ(screen->state(), TSRInstallProgressViewController::State::Failed);
    std::vector<LoggedEvent> sent = events(capture);
    if (!c.eventLabel) {
      EXPECT_TRUE(sent.empty());
      continue;
    }
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].action, c.action);
    EXPECT_EQ(sent[0].label, *c.eventLabel);
  }
}

TEST_F(InstallProgressScreenTest, PromptAnswersCancelWithoutAFreeHost) {
  InstallerTestEnvironment environment;
  auto screen = makeScreen();
  os::log::Capture capture;
  EXPECT_EQ(screen->showPromptView("Brevalo.app", os::Error("NSCocoaErrorDomain", 513, "denied")),
            0);
  std::vector<LoggedEvent> sent = events(capture);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].label, "Brevalo is exist,error.description:denied");
}

TEST_F(InstallProgressScreenTest, SuccessfulInstallShowsProgressSendsEventsAndCloses) {
  EngineTestEnvironment environment;
  // Slow enough to look at the screen halfway.
  uint64_t size = std::filesystem::file_size(environment.server().archivePath());
  environment.server().setFaults(tools::Resource::Archive, {.bytesPerSecond = size / 2});
  auto window = makeWindow({600, 400});
  auto screen = makeScreen();
  window->contentView()->addSubview(screen->view());
  os::log::Capture capture;
  screen->startDownloadInstall(false);

  auto& layout = screen->layout();
  ASSERT_TRUE(
      os::RunLoop::main().runUntil([&] { return layout.progressBar()->progress() >= 10; }, 60));
  if (layout.progressBar()->progress() < 90) {
    auto snapshot = window->renderImage(1);
    EXPECT_PIXEL_NEAR(pixelAt(*snapshot, {45, 63}, 400), os::ui::testing::rgb(1, 150, 235), 3);
    EXPECT_PIXEL_NEAR(pixelAt(*snapshot, {555, 63}, 400), os::ui::testing::rgb(230, 230, 230), 3);
    EXPECT_TRUE(looksLikePercent(layout.percentLabel()->stringValue()))
        << layout.percentLabel()->stringValue();
  }

  // The try starts as an installation under way; its end lets the window close unasked.
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return appDelegate_->calls.size() >= 3; }, 60));
  EXPECT_EQ(appDelegate_->calls,
            (std::vector<std::string>{"setIsInstall YES", "setIsInstall NO", "closeWindow"}));
  EXPECT_EQ(screen->state(), TSRInstallProgressViewController::State::Finished);
  EXPECT_TRUE(std::filesystem::exists(environment.systemApplications() / "Brevalo.app"));
  EXPECT_GT(screen->startDownloadTime(), 0);
  // The configuration named its own archive.
  EXPECT_NE(
      screen->downloadManager()->downloadUrl().find(tools::ResourceServer::kLatestArchivePath),
      std::string::npos);
  EXPECT_EQ(actions(capture), (std::vector<std::string>{"Start Download", "Download Successful",
                                                        "Install Finished", "Start Application"}));
  for (const LoggedEvent& event : events(capture)) {
    EXPECT_EQ(event.channel, "Official-fr");
    EXPECT_EQ(event.trackVersion, "2.0.0.4");
  }
  EXPECT_TRUE(errorPages_.empty());
}

TEST_F(InstallProgressScreenTest, NetworkFailureShowsTheNetworkTextAndTryAgainFetchesAgain) {
  EngineTestEnvironment environment;
  environment.installer().addStrings("en", {{"internet_Exception", "The network is unavailable"}});
  environment.server().setFaults(tools::Resource::Configuration, {.status = 500});
  environment.server().setFaults(tools::Resource::Archive, {.status = 404});
  auto screen = makeScreen();
  os::log::Capture capture;
  screen->startDownloadInstall(false);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return !errorPages_.empty(); }, 60));
  EXPECT_EQ(errorPages_, std::vector<std::string>{"The network is unavailable"});
  EXPECT_EQ(*screen->errorReason(), "The network is unavailable");
  const size_t configurationRequests = environment.server().resourceServer().requests().size();
  EXPECT_EQ(configurationRequests, 1u);

  screen->startDownloadInstall(true);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return errorPages_.size() == 2; }, 60));
  EXPECT_EQ(environment.server().resourceServer().requests().size(), 2u);
  EXPECT_EQ(actions(capture), (std::vector<std::string>{"Start Download", "Download Failed",
                                                        "Download Try Again", "Download Failed"}));
  // Each try is an installation under way until its error page ends it: closing then asks
  // nothing.
  EXPECT_EQ(appDelegate_->calls, (std::vector<std::string>{"setIsInstall YES", "setIsInstall NO",
                                                           "setIsInstall YES", "setIsInstall NO"}));
}

TEST_F(InstallProgressScreenTest, ProductsWithoutABundleAreRefusedSayingSoOnEveryTry) {
  // Products the table gives no bundle to install, and numbers outside it.
  for (int32_t product : {1, 3, 6, 8, 13, 15, 0, 16}) {
    SCOPED_TRACE(product);
    EngineTestEnvironment environment({}, {.installProduct = os::Value(product)});
    environment.installer().addStrings(
        "en", {{"Install_Product_Unsupported_Msg", "This installer cannot install this product."}});
    errorPages_.clear();
    auto screen = makeScreen();
    os::log::Capture capture;
    screen->startDownloadInstall(false);
    screen->startDownloadInstall(true);
    EXPECT_EQ(errorPages_,
              std::vector<std::string>(2, "This installer cannot install this product."));
    const std::vector<LoggedEvent> sent = events(capture);
    ASSERT_EQ(sent.size(), 2u);
    for (const LoggedEvent& event : sent) {
      EXPECT_EQ(event.action, "Download Failed");
      EXPECT_EQ(event.label, "This installer cannot install product " + std::to_string(product));
    }
    drainMainQueue();
    // Nothing was fetched.
    EXPECT_TRUE(environment.server().resourceServer().requests().empty());
    EXPECT_TRUE(environment.server().downloadServer().requests().empty());
  }
}

TEST_F(InstallProgressScreenTest, MirrorFollowsTheLanguageOfTheTexts) {
  // No stored language list: the locale speaks for the user, for the texts and the mirror.
  InstallerTestEnvironment environment({.installProduct = os::Value(4), .languages = {}});
  environment.sandbox().setEnv("LANG", "ja_JP.UTF-8");
  environment.sandbox().setEnv("TESSARO_CONNECT_TO", "download.tessaro.example:443:127.0.0.1:1");
  ASSERT_EQ(TempHelper::localizationLanguage(TempHelper::userLanguage(), 4), "ja");
  auto screen = makeScreen();
  os::log::Capture capture;
  screen->download(false);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return !errorPages_.empty(); }, 30));
  const std::string japanese = TSRInstallProgressViewController::realDownloadAddress(
      std::string(productForNumber(4).japaneseMirrorAddress));
  ASSERT_FALSE(events(capture).empty());
  EXPECT_EQ(events(capture).front().action, "Start Download");
  EXPECT_EQ(events(capture).front().label, japanese);
}

}  // namespace
