// Audience: keeps, for every audience the server defined, which of its filters have been
// evaluated and which currently hold, and hands those records to each upload bundle as
// `AudienceLeafFilterResult` messages. Definitions and results live in the measurement database
// (event_filters, property_filters, audience_filter_values); this class keeps only decoded copies
// of the stored filters, which it reads again whenever they may have changed, and of the results
// it last read or wrote, used only for exactly the bytes they were decoded from.
//
//   Audience audience(database, scheduler.workerQueue());
//   audience.updateAudiences(configurationAudiences);             // a new configuration
//   AudienceTimestampsCache cache;                                // one per bundle
//   audience.evaluateFiltersForEvent(event, aggregates, &cache);  // every bundled event
//   audience.evaluateFiltersForNanoUserProperty(attribute, &cache, bundleTime);
//   std::vector<APMPBAudienceLeafFilterResult> leaves;
//   audience.resultsForBundling(&leaves);
//
// Every operation answers false when a database step failed (after logging it); the engine runs
// them in its bundling or configuration transaction and gives the work up on false. A filter
// that cannot be evaluated is logged and keeps its bits and times.
//
// Threads: the engine's worker queue only (checked when a queue is given).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "measurement/audience/decoded_results.h"
#include "measurement/audience/filter_matching.h"
#include "measurement/audience/stored_filters.h"
#include "measurement/audience/timestamps_cache.h"
#include "measurement/database/database.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/foundation/value.h"
#include "measurement/model/event.h"
#include "measurement/model/event_aggregates.h"
#include "os/dispatch/dispatch.h"
#include "os/value/error.h"

namespace measurement {

class Audience {
 public:
  // `database` must outlive the evaluator.
  explicit Audience(Database& database, std::shared_ptr<os::DispatchQueue> queue = nullptr);

  // ---- Saving definitions (audience_definitions.cpp) ----

  // Validates each audience on its own, translates names to internal ones and replaces every
  // stored filter. False when a store step failed; true also when the audiences were refused as
  // more than the server allows (logged 6008, nothing changed).
  bool updateAudiences(const std::vector<APMPBAudience>& audiences);
  // When more results are stored than the server allows, deletes those of audiences that
  // neither the stored filters nor `audienceIDs` name. True when nothing needed deleting.
  bool maybeDeleteStaleFilterResults(const std::set<int32_t>& audienceIDs);
  // The first rule `audience` breaks goes to `error` (measurement domain, code 9, 10 or 11);
  // `acceptedIDs` are the ids already accepted in this configuration.
  static bool validateAudience(const APMPBAudience& audience, const std::set<int32_t>& acceptedIDs,
                               os::Error* error);

  // ---- Evaluation (audience.cpp) ----

  // With the event's name, parameters and timestamp.
  bool evaluateFiltersForEvent(const Event& event, const EventAggregates& eventAggregates,
                               AudienceTimestampsCache* audienceTimestampsCache);
  // Evaluates the stored event filters of `eventName` (`eventAggregates` already count this
  // event) and stores every changed result at once. Without a cache a fresh one is used.
  bool evaluateFiltersForEventName(std::string_view eventName, const Parameters& eventParameters,
                                   const EventAggregates& eventAggregates, double eventTimestamp,
                                   AudienceTimestampsCache* audienceTimestampsCache);
  // A bundle's user attribute; the evaluation time defaults to the attribute's set time.
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                          AudienceTimestampsCache* audienceTimestampsCache,
                                          std::optional<double> evaluationTime);
  bool evaluateFiltersForUserProperty(const UserAttribute& property,
                                      AudienceTimestampsCache* audienceTimestampsCache,
                                      double evaluationTimestamp);
  // At a session start: clears the bits and times of every session-scoped filter, deleting a
  // result left without any evaluated filter.
  bool clearEvaluationResultsForSessionScopedFilters();
  // Every audience with an evaluated filter, in audience id order; the reported data becomes
  // each audience's previous results. `results` is emptied on failure.
  bool resultsForBundling(std::vector<APMPBAudienceLeafFilterResult>* results);

  // Whether `result` says the filter was evaluated and held.
  static bool isFilterResultTrueForFilterID(const std::optional<FilterResult>& result,
                                            int32_t filterID);
  // `currentFilterResult` with the filter's bits set from `newEvaluationResult` (unknown clears
  // the status bit) and the cache's times of the audience; its previous results unchanged.
  static FilterResult updatedFilterResultWithFilterID(
      int32_t filterID, int32_t audienceID, const std::optional<FilterResult>& currentFilterResult,
      Outcome newEvaluationResult, const AudienceTimestampsCache& audienceTimestampsCache);

 private:
  void checkQueue() const;

  Database& database_;
  const std::shared_ptr<os::DispatchQueue> queue_;
  // The stored filters of the names met so far, decoded, while the stored filters stay the same.
  StoredEventFilters storedEventFilters_;
  StoredPropertyFilters storedPropertyFilters_;
  // The audiences' current results last read or written, decoded.
  DecodedResultsCache decodedResults_;
};

}  // namespace measurement
