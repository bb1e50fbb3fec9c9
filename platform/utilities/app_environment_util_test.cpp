#include "platform/utilities/app_environment_util.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <fstream>

namespace {

using vdu_environment_internal::versionFromText;
using vdu_environment_internal::versionIdFromOSRelease;

TEST(VDUAppEnvironmentUtil, VersionTextShowsThePatchOnlyWhenNonZero) {
  struct Case {
    const char* text;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"10.15.7", "10.15.7"},     {"11.0.0", "11.0"},        {"12", "12.0"},
      {"22.04", "22.4"},          {"6.1.0-18-amd64", "6.1"}, {"5.15.90.1-microsoft", "5.15.90"},
      {"bookworm", std::nullopt}, {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(versionFromText(c.text), c.expected);
  }
}

TEST(VDUAppEnvironmentUtil, VersionIdIsReadFromOSRelease) {
  EXPECT_EQ(versionIdFromOSRelease("NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n"),
            "12");
  EXPECT_EQ(versionIdFromOSRelease("VERSION_ID=22.04"), "22.04");
  EXPECT_EQ(versionIdFromOSRelease("NAME=Arch\nBUILD_ID=rolling\n"), std::nullopt);
}

TEST(VDUAppEnvironmentUtil, SystemVersionIsMajorDotMinor) {
  std::string version = VDUAppEnvironmentUtil::systemVersion();
  EXPECT_EQ(versionFromText(version), version);
}

TEST(VDUAppEnvironmentUtil, KernelValuesByDottedName) {
  EXPECT_EQ(VDUAppEnvironmentUtil::getSysctlEntry("kernel.ostype"), "Linux");
  for (const char* name : {"kernel.no_such_value", "", "kernel..ostype", "../etc/passwd",
                           "kernel/ostype", ".kernel"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(VDUAppEnvironmentUtil::getSysctlEntry(name), std::nullopt);
  }
}

TEST(VDUAppEnvironmentUtil, DeviceModelIsTheDmiProductElseTheMachine) {
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  std::optional<std::string> product = VDUAppEnvironmentUtil::getSysctlEntry("hw.model");
  EXPECT_EQ(VDUAppEnvironmentUtil::deviceModel(), product ? *product : names.machine);
  EXPECT_EQ(VDUAppEnvironmentUtil::deviceSimulatorModel(), product.value_or(""));
}

TEST(VDUAppEnvironmentUtil, FixedAnswersOfThisHost) {
  EXPECT_FALSE(VDUAppEnvironmentUtil::isFromAppStore());
  EXPECT_FALSE(VDUAppEnvironmentUtil::isAppStoreReceiptSandbox());
  EXPECT_FALSE(VDUAppEnvironmentUtil::isSimulator());
  EXPECT_FALSE(VDUAppEnvironmentUtil::isAppExtension());
  EXPECT_TRUE(VDUAppEnvironmentUtil::isIOS7OrHigher());
  EXPECT_FALSE(VDUAppEnvironmentUtil::hasSwiftRuntime());
  EXPECT_EQ(VDUAppEnvironmentUtil::applePlatform(), "macos");
  EXPECT_EQ(VDUAppEnvironmentUtil::appleDevicePlatform(), "macos");
  EXPECT_EQ(VDUAppEnvironmentUtil::deploymentType(), "zip");
  VDUAppEnvironmentUtil::setFromAppStoreForTesting(true);
  EXPECT_TRUE(VDUAppEnvironmentUtil::isFromAppStore());
  VDUAppEnvironmentUtil::setFromAppStoreForTesting(std::nullopt);
  EXPECT_FALSE(VDUAppEnvironmentUtil::isFromAppStore());
}

}  // namespace
