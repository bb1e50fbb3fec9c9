#include "core/heartbeats/heartbeats_payload.h"

#include <gtest/gtest.h>

namespace heartbeats {
namespace {

constexpr double kDec8 = 1796688000;  // 2026-12-08 00:00:00 UTC
constexpr double kDec9 = kDec8 + 86400;

TEST(HeartbeatsPayload, DocumentHasTheDaysOfEachAgent) {
  HeartbeatsPayload payload{{{"agent/1", {kDec8, kDec9}}}, 2};
  EXPECT_EQ(payload.jsonDocument(),
            R"({"heartbeats":[{"agent":"agent/1","dates":["2026-12-08","2026-12-09"]}],)"
            R"("version":2})");
  EXPECT_EQ(HeartbeatsPayload::emptyPayload().jsonDocument(), R"({"heartbeats":[],"version":2})");
  EXPECT_EQ((HeartbeatsPayload{{{"\xFF", {kDec8}}}, 2}).jsonDocument(), std::nullopt);
}

TEST(HeartbeatsPayload, DaysAreUtcDays) {
  struct Case {
    double date;
    const char* day;
  } cases[] = {
      {kDec9, "2026-12-09"},
      {kDec9 + 86399, "2026-12-09"},  // 23:59:59 UTC, whatever the local zone says
      {kDec9 - 1, "2026-12-08"},
      {0, "1970-01-01"},
      {-1, "1969-12-31"},
      {978307200, "2001-01-01"},
  };
  setenv("TZ", "Pacific/Kiritimati", 1);  // UTC+14: a local day would differ
  for (const Case& c : cases) EXPECT_EQ(utcDayText(c.date), c.day) << c.date;
  unsetenv("TZ");
}

}  // namespace
}  // namespace heartbeats
