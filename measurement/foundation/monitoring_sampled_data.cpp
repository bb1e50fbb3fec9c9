#include "measurement/foundation/monitoring_sampled_data.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "measurement/foundation/numeric.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

enum Index : size_t { kContext = 0, kPopulation = 1, kKey = 2, kStart = 3 };

// A stored count read from disk may lie outside the 32-bit counter's range.
int32_t storedPopulation(const os::Array& array) {
  return static_cast<int32_t>(std::clamp<int64_t>(array[kPopulation].integerValue(), 0,
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace

MonitoringSampledData::MonitoringSampledData(const os::Value& stored, UniformRandom random)
    : sampledData_(isValidUserDefaultsArrayEntry(stored) ? stored : os::Value()),
      random_(random ? std::move(random) : UniformRandom(uniformRandom)) {}

bool MonitoringSampledData::isValidUserDefaultsArrayEntry(const os::Value& value) {
  const os::Array* array = value.asArray();
  return array && array->size() == 4 && (*array)[kContext].isString() &&
         (*array)[kPopulation].isNumber() && (*array)[kKey].isString() && (*array)[kStart].isDate();
}

std::string MonitoringSampledData::monitoringURLParamWithKey(std::string_view key,
                                                             int32_t population,
                                                             std::string_view context) {
  if (context.empty()) return fmt::format("{}:{}", population, key);
  return fmt::format("{}:{}:{}", population, key, context);
}

void MonitoringSampledData::insertOrUpdateSampledDataWithKey(std::string_view key,
                                                             std::string_view encodedContext) {
  if (sampledData_.isNull()) {
    sampledData_ = os::Array{encodedContext, 1, key, os::Date{os::clock::now()}};
    return;
  }
  os::Array array = *sampledData_.asArray();
  const int32_t previous = storedPopulation(array);
  const int32_t population =
      previous == std::numeric_limits<int32_t>::max() ? previous : previous + 1;
  array[kPopulation] = population;
  if (random_(static_cast<uint32_t>(population)) == 0) {
    array[kKey] = key;
    array[kContext] = encodedContext;
  }
  sampledData_ = std::move(array);
}

std::optional<std::string> MonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  const double now = os::clock::now();
  if (sampledData_.isNull()) {
    if (lastSampledTimestamp > 0 && std::fabs(now - lastSampledTimestamp) > samplePeriod) {
      return "0:";
    }
    return std::nullopt;
  }
  const os::Array& array = *sampledData_.asArray();
  if (!(array[kStart].asDate()->secondsSince1970 < now - samplePeriod)) return std::nullopt;
  std::string text = monitoringURLParamWithKey(*array[kKey].asString(), storedPopulation(array),
                                               *array[kContext].asString());
  sampledData_ = os::Value();
  return text;
}

}  // namespace measurement
