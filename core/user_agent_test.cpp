#include "core/user_agent.h"

#include <gtest/gtest.h>

#include "core/core_test_fixture.h"
#include "platform/utilities/app_environment_util.h"

namespace {

using core_testing::CoreTest;

os::Dictionary fixtureEnvironment() {
  return {{"apple-platform", "macos"}, {"appstore", "false"},  {"deploy", "zip"},
          {"device", "ThinkPad X1"},   {"os-version", "12.0"}, {"xcode", "15A240d"}};
}

TEST(RVORiveravoUserAgent, PairsAreSortedIgnoringCaseAndJoinedByBlanks) {
  RVORiveravoUserAgent agent(fixtureEnvironment);
  agent.setValue("10.29.0", "rvo-ios");
  agent.setValue("10.29.0", "rvo-install");
  agent.setValue("10.28.0", "rvo-analytics");
  agent.setValue("1", "Zeta-lib");
  agent.setValue("ignored", "device");  // an environment fact wins over a library of its name
  EXPECT_EQ(agent.riveravoUserAgent(),
            "apple-platform/macos appstore/false deploy/zip device/ThinkPad X1 os-version/12.0 "
            "rvo-analytics/10.28.0 rvo-install/10.29.0 rvo-ios/10.29.0 xcode/15A240d Zeta-lib/1");
}

TEST(RVORiveravoUserAgent, TheTextIsKeptUntilSomethingChanges) {
  int reads = 0;
  RVORiveravoUserAgent agent([&] {
    ++reads;
    return os::Dictionary{{"os-version", std::to_string(reads)}};
  });
  EXPECT_EQ(agent.riveravoUserAgent(), "os-version/1");
  EXPECT_EQ(agent.riveravoUserAgent(), "os-version/1");
  agent.setValue("2.0", "lib");
  EXPECT_EQ(agent.riveravoUserAgent(), "lib/2.0 os-version/1");
  EXPECT_EQ(reads, 1);
  // A reset reads the environment again and keeps the libraries.
  agent.reset();
  EXPECT_EQ(agent.riveravoUserAgent(), "lib/2.0 os-version/2");
}

class UserAgentEnvironmentTest : public CoreTest {};

TEST_F(UserAgentEnvironmentTest, EnvironmentFactsComeFromTheHostAndInfoPlist) {
  os::Dictionary expected{{"apple-platform", VDUAppEnvironmentUtil::applePlatform()},
                          {"appstore", "false"},
                          {"deploy", VDUAppEnvironmentUtil::deploymentType()},
                          {"device", VDUAppEnvironmentUtil::deviceModel()},
                          {"os-version", VDUAppEnvironmentUtil::systemVersion()}};
  // Without "DTSDKBuild" and "DTXcodeBuild" there is no "apple-sdk" and no "xcode".
  EXPECT_EQ(RVORiveravoUserAgent::environmentComponents(), expected);
  writeInfoPlist({{"DTSDKBuild", "23A334"}, {"DTXcodeBuild", "15A240d"}});
  expected["apple-sdk"] = "23A334";
  expected["xcode"] = "15A240d";
  EXPECT_EQ(RVORiveravoUserAgent::environmentComponents(), expected);
}

}  // namespace
