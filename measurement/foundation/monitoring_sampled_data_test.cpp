#include "measurement/foundation/monitoring_sampled_data.h"

#include <gtest/gtest.h>

#include <limits>

#include "os/process/clock.h"

namespace measurement {
namespace {

constexpr double kStart = 1700000000;

// A draw of 0 replaces the kept message; anything else keeps it.
MonitoringSampledData::UniformRandom draws(bool replace) {
  return [replace](uint32_t) { return replace ? 0u : 1u; };
}

TEST(MonitoringSampledData, TheFirstMessageStartsTheSampleAndLaterOnesCount) {
  os::clock::ScopedFakeClock clock(kStart);
  MonitoringSampledData sample({}, draws(false));
  sample.insertOrUpdateSampledDataWithKey("1W_80100:Upload failed", "-,100...999");
  for (int i = 1; i < 200; ++i) {
    clock.advance(1);
    sample.insertOrUpdateSampledDataWithKey("1E_80100:Other", "");
  }
  EXPECT_EQ(sample.sampledData(),
            os::Value(os::Array{"-,100...999", 200, "1W_80100:Upload failed", os::Date{kStart}}));
}

TEST(MonitoringSampledData, ADrawOfZeroReplacesTheKeptMessage) {
  os::clock::ScopedFakeClock clock(kStart);
  MonitoringSampledData sample({}, draws(true));
  sample.insertOrUpdateSampledDataWithKey("1W_1:first", "a");
  sample.insertOrUpdateSampledDataWithKey("1E_1:second", "b");
  EXPECT_EQ(sample.sampledData(), os::Value(os::Array{"b", 2, "1E_1:second", os::Date{kStart}}));
}

TEST(MonitoringSampledData, PopulationStopsAtTheCountersLimit) {
  os::clock::ScopedFakeClock clock(kStart);
  const int32_t kMax = std::numeric_limits<int32_t>::max();
  for (int64_t stored : {int64_t{kMax} - 1, int64_t{kMax}, int64_t{1} << 40}) {
    MonitoringSampledData sample(os::Array{"c", stored, "k", os::Date{kStart}}, draws(false));
    sample.insertOrUpdateSampledDataWithKey("k", "c");
    EXPECT_EQ((*sample.sampledData().asArray())[1].integerValue(), kMax) << stored;
  }
}

TEST(MonitoringSampledData, OnlyAFourElementArrayOfTheRightTypesIsKept) {
  const os::Date date{kStart};
  const struct {
    os::Value stored;
    bool valid;
  } cases[] = {
      {os::Array{"c", 3, "k", date}, true},
      {os::Array{"c", 3.0, "k", date}, true},
      {os::Array{"c", 3, "k"}, false},
      {os::Array{"c", 3, "k", date, 1}, false},
      {os::Array{"c", "3", "k", date}, false},
      {os::Array{"c", 3, "k", kStart}, false},
      {os::Array{1, 3, "k", date}, false},
      {os::Dictionary{}, false},
      {os::Value(), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MonitoringSampledData::isValidUserDefaultsArrayEntry(c.stored), c.valid) << c.stored;
    EXPECT_EQ(MonitoringSampledData(c.stored).sampledData(), c.valid ? c.stored : os::Value());
  }
}

TEST(MonitoringSampledData, CollectionAfterOnePeriod) {
  os::clock::ScopedFakeClock clock(kStart);
  MonitoringSampledData sample(
      os::Array{"-,100...999", 3, "1W_80100:Upload failed", os::Date{kStart}});
  EXPECT_EQ(sample.monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
  clock.advance(3600);
  EXPECT_EQ(sample.monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
  clock.advance(1);
  EXPECT_EQ(sample.monitoringDataForDispatchWithSamplePeriod(3600, 0),
            "3:1W_80100:Upload failed:-,100...999");
  EXPECT_TRUE(sample.sampledData().isNull());

  // Without a sample: "0:" once the last collection is more than a period away, either way.
  const double now = os::clock::now();
  struct Case {
    double lastSampled;
    std::optional<std::string> answer;
  };
  for (const Case& c : {Case{0, std::nullopt}, Case{now - 3600, std::nullopt},
                        Case{now - 3601, "0:"}, Case{now + 3601, "0:"}}) {
    EXPECT_EQ(sample.monitoringDataForDispatchWithSamplePeriod(3600, c.lastSampled), c.answer)
        << c.lastSampled;
  }
}

TEST(MonitoringSampledData, AnEmptyContextLeavesItsFieldOut) {
  EXPECT_EQ(MonitoringSampledData::monitoringURLParamWithKey("1E_5:x", 1, ""), "1:1E_5:x");
  EXPECT_EQ(MonitoringSampledData::monitoringURLParamWithKey("1E_5:x", 2, "-"), "2:1E_5:x:-");
}

}  // namespace
}  // namespace measurement
