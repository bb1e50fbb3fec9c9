// The times at which dynamic, session-scoped and sequence audience filters last held, while the
// evaluator works through the events and user properties of one upload bundle. Each audience is
// loaded from its stored result the first time it is touched, gets new times as its filters hold,
// and is written back out with every result the evaluator stores for it.
//
//   AudienceTimestampsCache cache;
//   cache.populateCachedTimestamps(storedResult, audienceID);
//   cache.addEvaluationTimestamp(eventTimestamp, filter);
//   APMPBSetArray(resultData, kResultData_dynamic_filter_timestamps,
//                 cache.dynamicTimestampsForAudienceID(audienceID));
//
// Times are seconds since 1970; written into messages they lose their fraction. Used by one
// evaluation on the worker queue at a time; no locking.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "measurement/model/audience_filters.h"
#include "measurement/wire/schema/apmpb.h"

namespace measurement {

// The sequence-filter times of one audience, by filter id, in the order they were added.
class SequenceTimestampsCache {
 public:
  explicit SequenceTimestampsCache(int32_t audienceID) : audienceID_(audienceID) {}

  int32_t audienceID() const { return audienceID_; }
  // A copy of the filter's times; nullopt for a filter it does not hold.
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(int32_t filterID) const;
  // An event filter held: appended unless the last time has the same whole second (an earlier
  // time than the last is logged, 42000, and still appended).
  void addEventFilterTimestamp(double timestamp, int32_t filterID);
  // A property filter held: its times become exactly this one (an earlier time than the last is
  // logged, 42001).
  void setUserPropertyTimestamp(double timestamp, int32_t filterID);
  // One entry per filter, in ascending filter id, its times sorted and truncated.
  std::vector<APMPBSequenceFilterResultTimestamp> sequenceFilterResultTimestamps() const;

 private:
  int32_t audienceID_;
  std::map<int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
};

class AudienceTimestampsCache {
 public:
  // Loads the audience's stored times once: every dynamic entry, and the last time of each
  // sequence entry. A later call for the same audience changes nothing.
  void populateCachedTimestamps(const std::optional<FilterResult>& result, int32_t audienceID);
  // The same from the result's decoded current data (nullptr: no result, or bytes that do not
  // decode).
  void populateCachedTimestamps(const APMPBResultData* currentData, int32_t audienceID);
  // Records that `filter` held at `timestamp`: sequence filters keep their times (see
  // SequenceTimestampsCache); dynamic and session-scoped ones keep the latest, and only once
  // their audience is loaded (an earlier or equal time is logged, 6037); others keep nothing.
  void addEvaluationTimestamp(double timestamp, const AudienceFilter& filter);
  // In ascending filter id; empty for an audience not loaded.
  std::vector<APMPBDynamicFilterResultTimestamp> dynamicTimestampsForAudienceID(
      int32_t audienceID) const;
  // nullopt when the audience has no sequence part.
  std::optional<std::vector<APMPBSequenceFilterResultTimestamp>> sequenceTimestampsForAudienceID(
      int32_t audienceID) const;

 private:
  std::map<int32_t, std::map<int32_t, double>> cachedDynamicFilterEvaluationTimestamps_;
  std::map<int32_t, SequenceTimestampsCache> cachedSequenceEvaluationTimestamps_;
};

}  // namespace measurement
