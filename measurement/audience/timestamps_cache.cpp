#include "measurement/audience/timestamps_cache.h"

#include <algorithm>

#include "measurement/foundation/monitor.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

// The stored result's decoded current data; nullopt without a result or for bytes that do not
// decode.
std::optional<APMPBResultData> currentResultData(const std::optional<FilterResult>& result) {
  if (!result) return std::nullopt;
  return APMPBResultData::initWithBuffer(result->currentResults());
}

}  // namespace

std::optional<std::vector<double>> SequenceTimestampsCache::sequenceTimestampsForFilterID(
    int32_t filterID) const {
  auto found = allSequenceTimestampsByFilterID_.find(filterID);
  if (found == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
  return found->second;
}

void SequenceTimestampsCache::addEventFilterTimestamp(double timestamp, int32_t filterID) {
  std::vector<double>& times = allSequenceTimestampsByFilterID_[filterID];
  if (!times.empty() && times.back() > timestamp) {
    monitor().log(MonitorLevel::kWarningSilent, 42000,
                  "Adding a sequence timestamp less than the last added timestamp", times.back(),
                  timestamp);
  }
  if (!times.empty() && saturatingInt64(times.back()) == saturatingInt64(timestamp)) {
    return;
  }
  times.push_back(timestamp);
}

void SequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, int32_t filterID) {
  std::vector<double>& times = allSequenceTimestampsByFilterID_[filterID];
  if (!times.empty() && times.back() > timestamp) {
    monitor().log(MonitorLevel::kWarningSilent, 42001,
                  "Setting a sequence timestamp less than the last set timestamp", times.back(),
                  timestamp);
  }
  times.assign(1, timestamp);
}

std::vector<APMPBSequenceFilterResultTimestamp>
SequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<APMPBSequenceFilterResultTimestamp> entries;
  for (const auto& [filterID, times] : allSequenceTimestampsByFilterID_) {
    APMPBSequenceFilterResultTimestamp entry;
    APMPBSetInt32(entry, kSequenceFilterResultTimestamp_filter_id, filterID);
    if (!times.empty()) {
      std::vector<double> sorted = times;
      std::sort(sorted.begin(), sorted.end());
      os::Array seconds;
      for (double time : sorted) seconds.push_back(saturatingInt64(time));
      APMPBSetArray(entry, kSequenceFilterResultTimestamp_eval_timestamps, seconds);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

void AudienceTimestampsCache::populateCachedTimestamps(const std::optional<FilterResult>& result,
                                                       int32_t audienceID) {
  std::optional<APMPBResultData> data = currentResultData(result);
  populateCachedTimestamps(data ? &*data : nullptr, audienceID);
}

void AudienceTimestampsCache::populateCachedTimestamps(const APMPBResultData* currentData,
                                                       int32_t audienceID) {
  if (!cachedDynamicFilterEvaluationTimestamps_.contains(audienceID)) {
    std::map<int32_t, double>& dynamic = cachedDynamicFilterEvaluationTimestamps_[audienceID];
    if (currentData) {
      for (const APMPBDynamicFilterResultTimestamp& entry :
           APMPBGetArray<APMPBDynamicFilterResultTimestamp>(
               *currentData, kResultData_dynamic_filter_timestamps)) {
        dynamic[APMPBGetInt32(entry, kDynamicFilterResultTimestamp_filter_id)] =
            static_cast<double>(APMPBGetInt64(entry, kDynamicFilterResultTimestamp_eval_timestamp));
      }
    }
  }
  if (!cachedSequenceEvaluationTimestamps_.contains(audienceID)) {
    SequenceTimestampsCache sequence(audienceID);
    if (currentData) {
      // Only the last stored time of each filter is carried on.
      for (const APMPBSequenceFilterResultTimestamp& entry :
           APMPBGetArray<APMPBSequenceFilterResultTimestamp>(
               *currentData, kResultData_sequence_filter_timestamps)) {
        os::Array times = APMPBGetArray(entry, kSequenceFilterResultTimestamp_eval_timestamps);
        if (times.empty()) continue;
        sequence.addEventFilterTimestamp(
            static_cast<double>(times.back().integerValue()),
            APMPBGetInt32(entry, kSequenceFilterResultTimestamp_filter_id));
      }
    }
    cachedSequenceEvaluationTimestamps_.emplace(audienceID, std::move(sequence));
  }
}

void AudienceTimestampsCache::addEvaluationTimestamp(double timestamp,
                                                     const AudienceFilter& filter) {
  const int32_t audienceID = filter.audienceID();
  if (filter.isSequence()) {
    SequenceTimestampsCache& sequence =
        cachedSequenceEvaluationTimestamps_.try_emplace(audienceID, audienceID).first->second;
    if (dynamic_cast<const EventFilter*>(&filter) != nullptr) {
      sequence.addEventFilterTimestamp(timestamp, filter.filterID());
    } else {
      sequence.setUserPropertyTimestamp(timestamp, filter.filterID());
    }
    return;
  }
  if (!filter.isDynamic() && !filter.isSessionScoped()) return;
  auto loaded = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (loaded == cachedDynamicFilterEvaluationTimestamps_.end()) return;
  // An absent entry counts as 0 and stays absent when the candidate is no later.
  auto stored = loaded->second.find(filter.filterID());
  const double storedTime = stored == loaded->second.end() ? 0.0 : stored->second;
  if (timestamp > storedTime) {
    loaded->second.insert_or_assign(filter.filterID(), timestamp);
  } else {
    monitor().log(MonitorLevel::kWarningSilent, 6037,
                  "Candidate evaluation timestamp is earlier than cached evaluation timestamp",
                  timestamp, storedTime);
  }
}

std::vector<APMPBDynamicFilterResultTimestamp>
AudienceTimestampsCache::dynamicTimestampsForAudienceID(int32_t audienceID) const {
  std::vector<APMPBDynamicFilterResultTimestamp> entries;
  auto loaded = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (loaded == cachedDynamicFilterEvaluationTimestamps_.end()) return entries;
  for (const auto& [filterID, time] : loaded->second) {
    APMPBDynamicFilterResultTimestamp entry;
    APMPBSetInt32(entry, kDynamicFilterResultTimestamp_filter_id, filterID);
    APMPBSetInt64(entry, kDynamicFilterResultTimestamp_eval_timestamp, saturatingInt64(time));
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<std::vector<APMPBSequenceFilterResultTimestamp>>
AudienceTimestampsCache::sequenceTimestampsForAudienceID(int32_t audienceID) const {
  auto found = cachedSequenceEvaluationTimestamps_.find(audienceID);
  if (found == cachedSequenceEvaluationTimestamps_.end()) return std::nullopt;
  return found->second.sequenceFilterResultTimestamps();
}

}  // namespace measurement
