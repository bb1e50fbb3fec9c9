#include "support/date_extensions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testsupport/sandbox.h"

namespace {

// 2024-07-01 12:00:00 UTC (northern summer) and 2024-01-15 12:00:00 UTC (winter).
constexpr double kSummer = 1719835200;
constexpr double kWinter = 1705320000;

TEST(DateExtensionsTest, ShiftsFollowTheZoneInTZAtEachDate) {
  struct Case {
    const char* zone;
    double date;
    double offset;
  };
  const Case cases[] = {
      {"Asia/Kolkata", kSummer, 19800},
      {"Asia/Kolkata", kWinter, 19800},
      {"UTC", kSummer, 0},
      {"America/New_York", kSummer, -4 * 3600},
      {"America/New_York", kWinter, -5 * 3600},
      {"Europe/Berlin", kSummer, 2 * 3600},
      {"Australia/Adelaide", kSummer, 9.5 * 3600},
  };
  testsupport::Sandbox sandbox;
  for (const Case& c : cases) {
    sandbox.setEnv("TZ", c.zone);
    const os::Date date{c.date + 0.25};
    EXPECT_DOUBLE_EQ(ExtendTool::utcToLocalDate(date).secondsSince1970,
                     date.secondsSince1970 + c.offset)
        << c.zone;
    EXPECT_DOUBLE_EQ(ExtendTool::localToUtcDate(date).secondsSince1970,
                     date.secondsSince1970 - c.offset)
        << c.zone;
    EXPECT_EQ(ExtendTool::toLocalTime(date), ExtendTool::utcToLocalDate(date)) << c.zone;
    EXPECT_EQ(ExtendTool::toGlobalTime(date), ExtendTool::localToUtcDate(date)) << c.zone;
  }
}

TEST(DateExtensionsTest, FixedDates) {
  EXPECT_EQ(ExtendTool::utcSinceDate().secondsSince1970, 0);
  EXPECT_EQ(ExtendTool::getDateTimeFromTimeStamp2001(0).secondsSince1970, 978307200);
  EXPECT_EQ(ExtendTool::getDateTimeFromTimeStamp2001(-0.5).secondsSince1970, 978307199.5);
  EXPECT_EQ(ExtendTool::getDateTimeFromTimeStamp2001(86400).secondsSince1970, 978393600);
}

TEST(DateExtensionsTest, DatesBeyondTheCalendarAreLeftUnshifted) {
  testsupport::Sandbox sandbox;
  sandbox.setEnv("TZ", "Asia/Kolkata");
  for (double seconds : {1e300, -1e300, std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(ExtendTool::utcToLocalDate(os::Date{seconds}).secondsSince1970, seconds);
  }
  EXPECT_TRUE(std::isnan(ExtendTool::utcToLocalDate(os::Date{NAN}).secondsSince1970));
}

}  // namespace
