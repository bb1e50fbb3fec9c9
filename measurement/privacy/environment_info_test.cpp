#include "measurement/privacy/environment_info.h"

#include <gtest/gtest.h>

#include "measurement/privacy/test_support.h"
#include "os/process/clock.h"
#include "os/process/process.h"
#include "platform/utilities/app_environment_util.h"

namespace measurement {
namespace {

TEST(EnvironmentInfoTest, TimeZoneOffsetFollowsTheZoneAndTheDate) {
  PrivacySandbox sandbox;
  struct Case {
    const char* zone;
    double when;
    int32_t minutes;
  };
  constexpr double kJanuary = 1705320000;  // 2024-01-15 12:00 UTC
  constexpr double kJuly = 1721044800;     // 2024-07-15 12:00 UTC
  const Case cases[] = {
      {"Asia/Kolkata", kJanuary, 330},
      {"XYZ+3:30", kJanuary, -210},
      {"UTC", kJuly, 0},
      {"America/New_York", kJanuary, -300},
      {"America/New_York", kJuly, -240},
      {"Asia/Kathmandu", kJuly, 345},
      {"America/St_Johns", kJanuary, -210},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    sandbox.setEnv("TZ", c.zone);
    os::clock::ScopedFakeClock clock(c.when);
    EXPECT_EQ(EnvironmentInfo::sharedInstance().timeZoneOffsetMinutes(), c.minutes);
  }
}

TEST(EnvironmentInfoTest, LanguageIsTheFirstPreferredOneLowerCased) {
  PrivacySandbox sandbox;
  sandbox.setEnv("LANGUAGE", "pt_BR:en");
  EXPECT_EQ(EnvironmentInfo::sharedInstance().userDefaultLanguage(), "pt-br");
}

TEST(EnvironmentInfoTest, ModelAndVersionComeFromTheHost) {
  PrivacySandbox sandbox;
  EnvironmentInfo& environment = EnvironmentInfo::sharedInstance();
  EXPECT_EQ(environment.deviceModel(), os::process::machineModel());
  EXPECT_FALSE(environment.deviceModel().empty());
  EXPECT_EQ(environment.deviceOSVersion(), VDUAppEnvironmentUtil::systemVersion());
}

}  // namespace
}  // namespace measurement
