#include "installer/app/kv_tracker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer/app/installer_test_environment.h"
#include "measurement/foundation/monitor.h"
#include "os/bundle/defaults.h"
#include "os/log/log.h"
#include "platform/utilities/logger.h"

namespace {

using ::testing::MatchesRegex;

TEST(KVTrackerTest, EventParameterDictionaries) {
  InstallerTestEnvironment environment;
  const std::string system = "Mac" + KVTracker::getMacOSVersion();
  const os::Dictionary common = {{"install_trackversion", "2.0.0.4"},
                                 {"install_productversion", "Official-fr"},
                                 {"soft_os_version", system},
                                 {"isPro", "false"}};
  // Numbers, so that the table also holds the ones outside the enumerations.
  struct Case {
    int64_t event, action, label;
    std::optional<std::string> text;
    std::string name, ea, el;
  };
  const std::vector<Case> cases = {
      {0, 0, 0, std::nullopt, "Install_SW", "Launch App", "Success"},
      {0, 3, 4, "http://download.tessaro.example/a.zip", "Install_SW", "Start Download",
       "http://download.tessaro.example/a.zip"},
      {0, 2, 4, std::nullopt, "Install_SW", "Download Try Again", ""},
      {0, 5, 1, "timed out", "Install_SW", "Download Failed", "Failed---timed out"},
      {0, 8, 1, std::nullopt, "Install_SW", "Install Failed", "Failed"},
      {0, 7, 0, "into /Applications", "Install_SW", "Install Finished",
       "Success---into /Applications"},
      {0, 13, 2, "boom", "Install_SW", "Exception Crash", "Status:2; Type:boom"},
      {0, 13, 3, "boom", "Install_SW", "Exception Crash", "Status:1; Type:boom"},
      {0, 13, 2, std::nullopt, "Install_SW", "Exception Crash", "Status:2; Type:(null)"},
      {0, 15, 9, "x", "Install_SW", "Undefine Action", "Undefine Label"},
      {0, -1, -1, std::nullopt, "Install_SW", "Undefine Action", "Undefine Label"},
      // A label text is never taken as a pattern.
      {1, 1, 0, "%@ 100%", "Open_Or_Close", "Close", "Success---%@ 100%"},
      {2, 12, 0, std::nullopt, "Downloader", "Cancel Close", "Success"},
      {3, 4, 0, std::nullopt, "Undefine_Event", "Download Successful", "Success"},
      {-1, 9, 0, std::nullopt, "Undefine_Event", "Start Application", "Success"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name + " / " + test.ea);
    KVTracker::AnalyticsEvent event = KVTracker::analyticsEvent(
        KVEvent(test.event), KVAction(test.action), KVLabel(test.label), test.text);
    os::Dictionary expected = common;
    expected["ea"] = test.ea;
    expected["el"] = test.el;
    EXPECT_EQ(event.name, test.name);
    EXPECT_EQ(os::Value(event.parameters), os::Value(expected));
  }

  TSRSoftWareInfo::singleton().setIsProVersion(true);
  TSRSoftWareInfo::singleton().setTrackEnum(1);
  os::Dictionary pro = KVTracker::analyticsEvent(KVEvent::InstallSW, KVAction::LaunchApp,
                                                 KVLabel::Success, std::nullopt)
                           .parameters;
  EXPECT_EQ(pro["isPro"], "true");
  EXPECT_EQ(pro["install_productversion"], "Official-jp");
}

TEST(KVTrackerTest, EventIsHandedToAnalyticsAndLogged) {
  InstallerTestEnvironment environment;
  os::log::Capture capture;
  VDULoggerCapture analyticsConsole;
  KVTracker::send(KVAction::LaunchApp);
  measurement::monitor().drain();

  std::vector<os::log::Line> lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message,
            "Event Name:Install_SW, Event parameters:{\n"
            "    ea = \"Launch App\";\n"
            "    el = Success;\n"
            "    install_productversion = \"Official-fr\";\n"
            "    install_trackversion = 2.0.0.4;\n"
            "    isPro = false;\n"
            "    soft_os_version = Mac" +
                KVTracker::getMacOSVersion() +
                ";\n"
                "}");
  // The analytics interface drops the event while no app is configured, and says so on its
  // console as a warning.
  std::vector<VDULoggedLine> warnings = analyticsConsole.lines();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].level, kVDULoggerLevelWarning);
  EXPECT_EQ(warnings[0].text,
            " - <ZadOdavodivezi>[I-ACS025018] Event not logged. Call +[ZUZAze configure]: "
            "Install_SW");
}

TEST(KVTrackerTest, SetUpKeepsAStoredClientIdentifier) {
  InstallerTestEnvironment environment;
  os::UserDefaults::standard().setObject("cid", "CLIENT-1");
  KVTracker::setupWithTrackingID("UA-51273007-1");
  KVTracker& tracker = KVTracker::getInstance();
  EXPECT_EQ(tracker.cid(), "CLIENT-1");
  EXPECT_EQ(tracker.tid(), "UA-51273007-1");
  EXPECT_EQ(tracker.appName(), "Installer");
  EXPECT_EQ(tracker.appVersion(), "42");
  EXPECT_EQ(tracker.MPVersion(), "1");
  EXPECT_EQ(tracker.ua(), "Mozilla/5.0 (Macintosh; Intel Mac OS X " + KVTracker::getMacOSVersion() +
                              "; rv:49.0) Gecko/20100101 Firefox/49.0");

  KVTracker::setupWithTrackingID("UA-2-2");
  EXPECT_EQ(tracker.cid(), "CLIENT-1");
  EXPECT_EQ(os::UserDefaults::standard().stringForKey("cid"), "CLIENT-1");
}

TEST(KVTrackerTest, SetUpWithoutAStoredIdentifierStoresTheHardwareAddress) {
  InstallerTestEnvironment environment;
  std::optional<std::string> address = KVTracker::getMacAddress();
  KVTracker::setupWithTrackingID("UA-51273007-1");
  EXPECT_EQ(KVTracker::getInstance().cid(), address.value_or(""));
  EXPECT_EQ(os::UserDefaults::standard().stringForKey("cid"), address);
  if (address) {
    EXPECT_THAT(*address, MatchesRegex("([0-9A-F]{2}:){5}[0-9A-F]{2}"));
  }
}

TEST(KVTrackerTest, HardwareAddressPrefersEn0ThenTheFirstOtherInterface) {
  testsupport::Sandbox sandbox;
  struct Case {
    std::vector<std::pair<std::string, std::string>> interfaces;  // name, address
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {{{"eth0", "02:00:00:00:00:01"}, {"en0", "0a:1b:2c:3d:4e:5f"}}, "0A:1B:2C:3D:4E:5F"},
      {{{"lo", "00:00:00:00:00:00"}, {"wlan0", "02:00:00:00:00:02"}, {"eth1", "02:00:00:00:00:03"}},
       "02:00:00:00:00:03"},
      {{{"en0", "00:00:00:00:00:00"}, {"eth0", "02:00:00:00:00:04"}}, "02:00:00:00:00:04"},
      {{{"lo", "00:00:00:00:00:00"}, {"tun0", ""}}, std::nullopt},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(index);
    const std::filesystem::path folder = sandbox.root() / ("net" + std::to_string(index++));
    for (const auto& [name, address] : c.interfaces) {
      std::filesystem::create_directories(folder / name);
      std::ofstream(folder / name / "address") << address << "\n";
    }
    EXPECT_EQ(KVTracker::getMacAddress(folder), c.expected);
  }
}

TEST(KVTrackerTest, CustomDimensionsPerProduct) {
  {
    InstallerTestEnvironment environment;
    KVTracker::customDimension({{"chooseLanguage", "de-CH"}});
    EXPECT_EQ(KVTracker::getInstance().chooseLanguage(), "de-CH");
    EXPECT_EQ(os::Value(KVTracker::getCustomDictionary()),
              os::Value(os::Dictionary{{"cd1", "2.0.0.4"}, {"cd2", "Official-fr"}}));
  }
  InstallerTestEnvironment first({.installProduct = os::Value(1)});
  KVTracker::customDimension({{"chooseLanguage", "ja-JP"}});
  EXPECT_EQ(os::Value(KVTracker::getCustomDictionary()),
            os::Value(os::Dictionary{{"cd8", "2.0.0.4"}, {"cd4", "Official-fr"}}));
}

TEST(KVTrackerTest, WebHitsAreBuiltAsCollectorAddresses) {
  InstallerTestEnvironment environment;
  os::UserDefaults::standard().setObject("cid", "CLIENT-1");
  KVTracker::setupWithTrackingID("UA-7");
  const std::string prefix =
      "https://collect.tessaro.example/collect?v=1&an=Installer&tid=UA-7&av=42&cid=CLIENT-1";
  const std::string agent = "&ua=Mozilla/5.0%20(Macintosh;%20Intel%20Mac%20OS%20X%20" +
                            KVTracker::getMacOSVersion() +
                            ";%20rv:49.0)%20Gecko/20100101%20Firefox/49.0";

  EXPECT_EQ(KVTracker::hitAddress("event", {{"ec", "a b"}, {"z", "ü"}}),
            prefix + "&t=event" + agent + "&ec=a%20b&z=%C3%BC");
  EXPECT_EQ(KVTracker::screenViewAddress("First Screen", {{"cd1", "2.0.0.4"}}),
            prefix + "&t=screenview" + agent + "&cd=First%20Screen&cd1=2.0.0.4");
  EXPECT_EQ(KVTracker::exceptionAddress("bad", true, {}),
            prefix + "&t=exception" + agent + "&exd=bad&exf=1");
  EXPECT_EQ(KVTracker::hitAddress("event", {{"bad", std::string("\xff")}}), std::nullopt);
}

}  // namespace
