#include "measurement/engine/event_sampling.h"

#include <map>
#include <mutex>
#include <random>
#include <string>

#include "measurement/foundation/lookup.h"
#include "measurement/foundation/monitor.h"

namespace measurement {
namespace {

constexpr double kSecondsPerDay = 86400;

int32_t dayNumber(int64_t milliseconds, int32_t offsetMinutes) {
  return static_cast<int32_t>((static_cast<double>(milliseconds) / 1000 + offsetMinutes * 60) /
                              kSecondsPerDay);
}

bool hasParameterNamed(const std::vector<APMPBEventParam>& parameters, std::string_view name) {
  for (const APMPBEventParam& parameter : parameters) {
    if (APMPBGetString(parameter, kEventParam_name) == name) {
      monitor().log(MonitorLevel::kWarningSampled, 23156,
                    "Event parameter already exists. Parameter name", name);
      return true;
    }
  }
  return false;
}

// Appends the integer parameter `name` unless one of that name exists.
void addIntegerParameter(APMPBEvent& event, std::string_view name, int64_t value) {
  std::vector<APMPBEventParam> parameters = APMPBGetArray<APMPBEventParam>(event, kEvent_params);
  if (hasParameterNamed(parameters, name)) return;
  APMPBEventParam parameter;
  APMPBSetString(parameter, kEventParam_name, name);
  APMPBSetInt64(parameter, kEventParam_int_value, value);
  parameters.push_back(std::move(parameter));
  APMPBSetArray(event, kEvent_params, parameters);
}

std::optional<int64_t> integerParameter(const APMPBEvent& event, std::string_view name) {
  for (const APMPBEventParam& parameter : APMPBGetArray<APMPBEventParam>(event, kEvent_params)) {
    if (APMPBGetString(parameter, kEventParam_name) == name &&
        APMPBHasField(parameter, kEventParam_int_value)) {
      return APMPBGetInt64(parameter, kEventParam_int_value);
    }
  }
  return std::nullopt;
}

bool canEventBeSampled(const std::string& name, const RemoteConfig& config) {
  if (!config.settings()->isEventSamplingEnabled() || !config.eventHasSamplingRate(name)) {
    return false;
  }
  if (config.samplingRateForEvent(name) <= 1) {
    monitor().log(MonitorLevel::kWarningSilent, 23154, "Invalid sampling rate provided");
    return false;
  }
  return true;
}

}  // namespace

uint32_t secureSamplingRoll(uint32_t rate) {
  static std::mutex mutex;
  static std::mt19937 generator{std::random_device{}()};
  std::lock_guard lock(mutex);
  return std::uniform_int_distribution<uint32_t>(0, rate - 1)(generator);
}

std::optional<std::vector<APMPBEvent>> sampleEvents(std::vector<APMPBEvent> events,
                                                    Database& database, const RemoteConfig& config,
                                                    const SamplingRoll& roll, os::Error* error) {
  os::Error scratch;
  if (error == nullptr) error = &scratch;
  std::optional<std::vector<EventAggregates>> all = database.allEventAggregates(error);
  if (!all) {
    monitor().log(MonitorLevel::kErrorSampled, 23157,
                  "Unable to query all event aggregates for cache. error", *error);
    return std::nullopt;
  }
  std::map<std::string, EventAggregates, std::less<>> cache;
  for (EventAggregates& aggregates : *all) cache.emplace(aggregates.name(), std::move(aggregates));
  int32_t offsetMinutes = config.settings()->analyticsAccountTimeZoneOffsetMinutes();

  std::vector<APMPBEvent> kept;
  for (APMPBEvent& event : events) {
    std::string name = APMPBGetString(event, kEvent_name).value_or("");
    if (name.empty()) {
      monitor().log(MonitorLevel::kErrorSilent, 23155,
                    "Dropping event at sampling. Event has no name");
      continue;
    }
    int64_t timestampMs = APMPBGetInt64(event, kEvent_timestamp_millis);
    double timestamp = static_cast<double>(timestampMs) / 1000;
    int32_t day = dayNumber(timestampMs, offsetMinutes);
    auto found = cache.find(name);
    EventAggregates* aggregates = found == cache.end() ? nullptr : &found->second;
    auto markBundled = [&] {
      if (!aggregates) return;
      aggregates->setLastBundledTimestamp(timestamp);
      aggregates->setLastBundledDay(day);
    };
    if (!canEventBeSampled(name, config)) {
      markBundled();
      kept.push_back(std::move(event));
      continue;
    }
    int32_t rate = config.samplingRateForEvent(name);
    if (roll(static_cast<uint32_t>(rate)) == 0) {
      if (aggregates) {
        aggregates->setLastSamplingRate(rate);
        aggregates->setLastSampledComplexEventID(std::nullopt);
      }
      markBundled();
      addIntegerParameter(event, "_sr", rate);
      kept.push_back(std::move(event));
      continue;
    }
    int32_t lastDay = aggregates ? aggregates->lastBundledDay() : 0;
    if (lastDay == 0) {
      lastDay = dayNumber(APMPBGetInt64(event, kEvent_previous_timestamp_millis), offsetMinutes);
    }
    if (aggregates) aggregates->setLastSamplingRate(rate);
    if (lastDay != day) {
      // The first event of its name today is kept whatever the roll said.
      markBundled();
      addIntegerParameter(event, "_sr", rate);
      addIntegerParameter(event, "_efs", 1);
      if (aggregates) aggregates->setLastExemptFromSampling(true);
      kept.push_back(std::move(event));
      continue;
    }
    if (aggregates) {
      if (std::optional<int64_t> id = integerParameter(event, "_eid")) {
        aggregates->setLastSampledComplexEventID(*id);
      }
    }
  }

  for (const auto& [name, cached] : cache) {
    Lookup<EventAggregates> stored = database.eventAggregatesWithName(name, error);
    if (!stored || !*stored) {
      monitor().log(MonitorLevel::kErrorSampled, 23151,
                    "Unable to query event aggregates to update database. Name, error", name,
                    *error);
      return std::nullopt;
    }
    EventAggregates row = **stored;
    if (cached.lastBundledTimestamp() != 0)
      row.setLastBundledTimestamp(cached.lastBundledTimestamp());
    row.setLastSamplingRate(cached.lastSamplingRate());
    row.setLastSampledComplexEventID(cached.lastSampledComplexEventID());
    row.setLastExemptFromSampling(cached.lastExemptFromSampling());
    row.setLastBundledDay(cached.lastBundledDay());
    if (!database.updateEventAggregates(row, error)) {
      monitor().log(MonitorLevel::kErrorSampled, 23152,
                    "Failed to update event aggregates after removing removing events due to "
                    "sampling. Error",
                    *error);
      return std::nullopt;
    }
  }
  return kept;
}

}  // namespace measurement
