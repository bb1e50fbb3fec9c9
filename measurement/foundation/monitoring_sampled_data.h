// The monitor's health sample: a reservoir of one message of the monitorable levels, with a
// count of how many such messages were offered since the sample began. The engine collects it
// once per sample period as a short text for its uploads.
//
// Not thread-safe: the monitor uses it on its own queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "os/value/value.h"

namespace measurement {

class MonitoringSampledData {
 public:
  // A uniform random integer in [0, bound).
  using UniformRandom = std::function<uint32_t(uint32_t bound)>;

  // Starts from `stored` when it is a valid stored sample, else without a sample. `random`
  // decides which offered message the sample keeps (a secure source unless a test gives one).
  explicit MonitoringSampledData(const os::Value& stored = {}, UniformRandom random = {});

  // An array of exactly four elements: string, number, string, date.
  static bool isValidUserDefaultsArrayEntry(const os::Value& value);
  // "population:key:context", or "population:key" for an empty context.
  static std::string monitoringURLParamWithKey(std::string_view key, int32_t population,
                                               std::string_view context);

  // Offers one message. The first starts the sample (population 1, now); each later one adds 1
  // to the population, which stops at INT32_MAX, and replaces the kept key and context with
  // probability 1/population. The start time stays.
  void insertOrUpdateSampledDataWithKey(std::string_view key, std::string_view encodedContext);

  // The upload text when the sample began more than `samplePeriod` seconds ago (the sample is
  // then dropped); without a sample "0:" when `lastSampledTimestamp` is after 1970 and more than
  // a period away from now; else std::nullopt.
  std::optional<std::string> monitoringDataForDispatchWithSamplePeriod(double samplePeriod,
                                                                       double lastSampledTimestamp);

  // The four-element array [context, population, key, start date], or null without a sample.
  const os::Value& sampledData() const { return sampledData_; }

 private:
  os::Value sampledData_;
  UniformRandom random_;
};

}  // namespace measurement
