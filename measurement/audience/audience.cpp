// Evaluating events and user properties, the session-start clean-up and the results for
// bundling; saving definitions is in audience_definitions.cpp.
#include "measurement/audience/audience.h"

#include <functional>
#include <map>
#include <set>
#include <string>

#include "measurement/audience/result_bits.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/monitor.h"
#include "measurement/model/display_names.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

// The codes and texts that differ between evaluating events and user properties.
struct EvaluationKind {
  int64_t queryFiltersCode;
  const char* queryFiltersMessage;
  int64_t queryResultCode;
  const char* queryResultMessage;
  int64_t saveCode;
  const char* saveMessage;
  int64_t corruptFilterCode;
  const char* corruptFilterMessage;
};

constexpr EvaluationKind kEventEvaluation{
    6000,
    "Unable to query event filters for event. Event will not be evaluated. Event name, error",
    6001,
    "Unable to query filter result for audience. Event will not be evaluated. Event name, error",
    6003,
    "Unable to save updated Audience filter results. Event will not be evaluated. Event name, "
    "error",
    6035,
    "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, "
    "filter ID, audience ID, dynamic"};

constexpr EvaluationKind kPropertyEvaluation{
    6004,
    "Unable to query property filters for property. Property will not be evaluated. Property "
    "name, error",
    6005,
    "Unable to query filter result for audience. Property will not be evaluated. Property name, "
    "error",
    6007,
    "Unable to save updated Audience filter results. User property will not be evaluated. User "
    "property name, error",
    6036,
    "User property filter contains no data or corrupt data. User property will not be "
    "evaluated. User property name, filter ID, audience ID, dynamic"};

// The result's decoded current data; nullopt without a result, for empty bytes and for bytes
// that do not decode.
std::optional<APMPBResultData> storedResultData(const std::optional<FilterResult>& result) {
  if (!result || result->currentResults().empty()) return std::nullopt;
  return APMPBResultData::initWithBuffer(result->currentResults());
}

ResultBits bitsOf(const APMPBResultData* data) {
  return data ? ResultBits::of(*data) : ResultBits();
}

// Whether the `stored` result (decoded as `data`, with its `bits`) says the filter was evaluated
// and held. No result or empty bytes hold nothing; bytes missing either list, or that do not
// decode at all, are logged and hold nothing.
bool storedResultHolds(int32_t audienceID, const std::optional<FilterResult>& stored,
                       const APMPBResultData* data, const ResultBits& bits, int32_t filterID) {
  if (!stored || stored->currentResults().empty()) return false;
  if (!data || bits.status.empty() || bits.results.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 6023,
                  "Audience filter result is non-nil and is missing status or results array. "
                  "Audience result will not be bundled. Audience ID, result data",
                  audienceID, messageContext(data ? *data : APMPBResultData()));
    return false;
  }
  return bits.holds(filterID);
}

// Current results with `bits` and the cache's times of the audience.
APMPBResultData resultDataWithBits(int32_t audienceID, const ResultBits& bits,
                                   const AudienceTimestampsCache& cache) {
  APMPBResultData data;
  bits.writeTo(data);
  APMPBSetArray(data, kResultData_dynamic_filter_timestamps,
                cache.dynamicTimestampsForAudienceID(audienceID));
  if (std::optional<std::vector<APMPBSequenceFilterResultTimestamp>> sequence =
          cache.sequenceTimestampsForAudienceID(audienceID)) {
    APMPBSetArray(data, kResultData_sequence_filter_timestamps, *sequence);
  }
  return data;
}

// One audience while a call works on it: its stored result and, once one of its filters got
// an outcome, its updated bits. Later filters of the audience start from those bits, and the
// result is encoded once at the end: the cache's times of an audience only change when one of
// its filters gets an outcome, so the last encoding is the only one that counts.
struct AudienceInProgress {
  std::optional<FilterResult> stored;
  // The stored current results decoded (nullptr: none that decode).
  std::shared_ptr<const APMPBResultData> storedData;
  ResultBits storedBits;
  std::optional<ResultBits> updatedBits;
};

// Runs the shared evaluation over `filters`: each filter starts from its audience's latest
// result, `match` gives its outcome (nullopt: skip it, already logged), `timestamp` is recorded
// when it holds, and `carry` turns a false outcome into what is stored given the previous truth.
// All changed results are stored at the end.
template <typename Filter, typename Prepared>
bool evaluateStoredFilters(Database& database, const EvaluationKind& kind,
                           const std::string& displayName,
                           const std::vector<StoredFilter<Filter, Prepared>>& filters,
                           DecodedResultsCache& decodedResults, AudienceTimestampsCache& cache,
                           double timestamp, const std::function<Outcome(const Prepared&)>& match,
                           const std::function<bool(const Filter&, bool previous)>& carry) {
  std::map<int32_t, AudienceInProgress> audiences;
  for (const StoredFilter<Filter, Prepared>& stored : filters) {
    const Filter& filter = stored.record;
    const int32_t audienceID = filter.audienceID();
    auto found = audiences.find(audienceID);
    if (found == audiences.end()) {
      os::Error error;
      Lookup<FilterResult> stored = database.filterResultForAudienceID(audienceID, &error);
      if (!stored) {
        monitor().log(MonitorLevel::kErrorSampled, kind.queryResultCode, kind.queryResultMessage,
                      displayName, error);
        return false;
      }
      std::shared_ptr<const APMPBResultData> data = decodedResults.decode(audienceID, *stored);
      ResultBits bits = bitsOf(data.get());
      found = audiences
                  .emplace(audienceID, AudienceInProgress{std::move(*stored), std::move(data),
                                                          std::move(bits), std::nullopt})
                  .first;
    }
    AudienceInProgress& audience = found->second;
    const bool previous =
        audience.updatedBits
            ? audience.updatedBits->holds(filter.filterID())
            : storedResultHolds(audienceID, audience.stored, audience.storedData.get(),
                                audience.storedBits, filter.filterID());
    // A plain filter that held keeps holding; only the flagged kinds are looked at again.
    if (previous && !filter.isDynamic() && !filter.isSequence() && !filter.isSessionScoped()) {
      continue;
    }
    if (!stored.prepared) {
      monitor().log(MonitorLevel::kErrorSampled, kind.corruptFilterCode, kind.corruptFilterMessage,
                    displayName, filter.filterID(), filter.audienceID(), filter.isDynamic());
      continue;
    }
    Outcome outcome = match(*stored.prepared);
    if (!outcome) continue;
    cache.populateCachedTimestamps(audience.storedData.get(), audienceID);
    if (*outcome) {
      cache.addEvaluationTimestamp(timestamp, filter);
    } else {
      outcome = carry(filter, previous);
    }
    if (!audience.updatedBits) audience.updatedBits = audience.storedBits;
    audience.updatedBits->set(filter.filterID(), true, *outcome);
  }
  std::vector<FilterResult> results;
  std::vector<std::shared_ptr<const APMPBResultData>> messages;
  for (const auto& [audienceID, audience] : audiences) {
    if (!audience.updatedBits) continue;
    auto data = std::make_shared<const APMPBResultData>(
        resultDataWithBits(audienceID, *audience.updatedBits, cache));
    results.emplace_back(audienceID, data->protoBuffer().value_or(os::Data()),
                         audience.stored ? audience.stored->previousResults() : std::nullopt);
    messages.push_back(std::move(data));
  }
  if (results.empty()) return true;
  os::Error error;
  if (!database.updateFilterResults(results, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, kind.saveCode, kind.saveMessage, displayName, error);
    return false;
  }
  for (size_t i = 0; i < results.size(); ++i) {
    decodedResults.keep(results[i].audienceID(), results[i].currentResults(),
                        std::move(messages[i]));
  }
  return true;
}

// `eventName` is the name the filter was stored under. Display names are made only for a log.
Outcome evaluateEventFilter(const PreparedEventFilter& filter, const std::string& eventName,
                            const Parameters& parameters, const EventAggregates& aggregates) {
  if (eventName.empty()) {
    monitor().log(MonitorLevel::kErrorSampled, 7005,
                  "Event name is nil. Audience filter will not be evaluated",
                  messageContext(filter.message));
    return std::nullopt;
  }
  if (filter.eventName != eventName) {
    monitor().log(MonitorLevel::kErrorSampled, 7006,
                  "Event filter name does not match event name. Audience filter will not be "
                  "evaluated",
                  eventDisplayName(eventName));
    return std::nullopt;
  }
  if (!filter.countFilter && filter.parameterFilters.empty()) return true;
  if (filter.countFilter) {
    if (aggregates.name() != eventName) {
      monitor().log(MonitorLevel::kErrorSampled, 7007,
                    "Event aggregates name does not match event name. Audience filter will not "
                    "be evaluated",
                    eventDisplayName(aggregates.name()), eventDisplayName(eventName),
                    messageContext(filter.message));
      return std::nullopt;
    }
    const int32_t count =
        filter.sessionScoped ? aggregates.currentSessionCount() : aggregates.lifetimeCount();
    Outcome outcome = evaluateNumberFilterWithInt64(*filter.countFilter, count);
    if (outcome != true) return outcome;
  }
  for (const ParameterFilterParts& parameterFilter : filter.parameterFilters) {
    if (!parameterFilter.parameterName) {
      monitor().log(MonitorLevel::kErrorSampled, 7008,
                    "Event filter does not have parameter name. Audience filter will not be "
                    "evaluated",
                    eventDisplayName(eventName), messageContext(parameterFilter.message));
      return std::nullopt;
    }
    auto value = parameters.find(*parameterFilter.parameterName);
    if (value == parameters.end()) {
      monitor().log(MonitorLevel::kWarning, 7009,
                    "Event does not have parameter required by filter. Audience filter will not "
                    "be evaluated",
                    eventDisplayName(eventName), dictionaryDescription(parameters),
                    messageContext(parameterFilter.message));
      return std::nullopt;
    }
    if (value->second.isString() && !parameterFilter.hasStringFilter) {
      monitor().log(MonitorLevel::kWarning, 7010,
                    "Event param is a string and the filter does not have a string filter. "
                    "Audience filter will not be evaluated. Event name, event params, filter",
                    eventDisplayName(eventName), dictionaryDescription(parameters),
                    messageContext(parameterFilter.message));
      return std::nullopt;
    }
    Outcome outcome = evaluateParameterFilter(parameterFilter, value->second);
    if (outcome != true) return outcome;
  }
  return true;
}

Outcome evaluatePropertyFilter(const PreparedPropertyFilter& filter,
                               const UserAttribute& property) {
  if (filter.propertyName != property.name()) {
    monitor().log(MonitorLevel::kErrorSampled, 7013,
                  "User property name does not match property filter name. Audience filter will "
                  "not be evaluated",
                  userPropertyDisplayName(property.name()), messageContext(filter.message));
    return std::nullopt;
  }
  if (!filter.valueFilter) {
    monitor().log(MonitorLevel::kErrorSampled, 7014,
                  "Property filter does not have filter. Audience filter will not be evaluated",
                  userPropertyDisplayName(property.name()), messageContext(filter.message));
    return std::nullopt;
  }
  if (property.value().isArray()) {
    monitor().log(MonitorLevel::kErrorSampled, 7015,
                  "Unknown user property type. Audience filter will not be evaluated. Property "
                  "Name",
                  userPropertyDisplayName(property.name()));
    return std::nullopt;
  }
  return evaluateParameterFilter(*filter.valueFilter, property.value());
}

// The user attribute a bundle's message describes; nullopt without a value.
std::optional<UserAttribute> userAttributeFromNanoUserProperty(const APMPBUserAttribute& message) {
  std::optional<Value> value;
  if (std::optional<std::string> text = APMPBGetString(message, kUserAttribute_string_value)) {
    value = Value(std::move(*text));
  } else if (APMPBHasField(message, kUserAttribute_double_value)) {
    value = Value(APMPBGetDouble(message, kUserAttribute_double_value));
  } else if (APMPBHasField(message, kUserAttribute_int_value)) {
    value = Value(APMPBGetInt64(message, kUserAttribute_int_value));
  }
  if (!value) return std::nullopt;
  return UserAttribute::create(
      "", APMPBGetString(message, kUserAttribute_name).value_or(""), std::move(*value),
      static_cast<double>(APMPBGetInt64(message, kUserAttribute_set_timestamp_millis)) / 1000.0);
}

// Drops the timestamp entries of `filterIDs` from the message's repeated field `index`.
template <typename Entry>
void removeTimestamps(APMPBResultData& data, int32_t index, int32_t filterIDIndex,
                      const std::set<int32_t>& filterIDs) {
  std::vector<Entry> kept;
  for (Entry& entry : APMPBGetArray<Entry>(data, index)) {
    if (!filterIDs.contains(APMPBGetInt32(entry, filterIDIndex))) kept.push_back(std::move(entry));
  }
  APMPBSetArray(data, index, kept);
}

}  // namespace

Audience::Audience(Database& database, std::shared_ptr<os::DispatchQueue> queue)
    : database_(database), queue_(std::move(queue)) {}

void Audience::checkQueue() const {
  if (queue_) OS_CHECK_ON(queue_);
}

bool Audience::evaluateFiltersForEvent(const Event& event, const EventAggregates& eventAggregates,
                                       AudienceTimestampsCache* audienceTimestampsCache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates,
                                     event.timestamp(), audienceTimestampsCache);
}

bool Audience::evaluateFiltersForEventName(std::string_view eventName,
                                           const Parameters& eventParameters,
                                           const EventAggregates& eventAggregates,
                                           double eventTimestamp,
                                           AudienceTimestampsCache* audienceTimestampsCache) {
  checkQueue();
  const std::string name(eventName);
  const std::string displayName = eventDisplayName(name);
  os::Error error;
  std::shared_ptr<const StoredEventFilters::Filters> filters =
      storedEventFilters_.filtersForName(database_, eventName, &error);
  if (!filters) {
    monitor().log(MonitorLevel::kErrorSampled, kEventEvaluation.queryFiltersCode,
                  kEventEvaluation.queryFiltersMessage, displayName, error);
    return false;
  }
  AudienceTimestampsCache fresh;
  AudienceTimestampsCache& cache = audienceTimestampsCache ? *audienceTimestampsCache : fresh;
  return evaluateStoredFilters<EventFilter, PreparedEventFilter>(
      database_, kEventEvaluation, displayName, *filters, decodedResults_, cache, eventTimestamp,
      [&](const PreparedEventFilter& filter) {
        return evaluateEventFilter(filter, name, eventParameters, eventAggregates);
      },
      // An event filter that once held keeps holding.
      [](const EventFilter&, bool previous) { return previous; });
}

bool Audience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                  AudienceTimestampsCache* audienceTimestampsCache,
                                                  std::optional<double> evaluationTime) {
  checkQueue();
  std::optional<UserAttribute> attribute = userAttributeFromNanoUserProperty(property);
  if (!attribute) {
    monitor().log(MonitorLevel::kErrorSilent, 6039,
                  "Could not convert user property from nano format.");
    return false;
  }
  return evaluateFiltersForUserProperty(*attribute, audienceTimestampsCache,
                                        evaluationTime.value_or(attribute->lastSetTimestamp()));
}

bool Audience::evaluateFiltersForUserProperty(const UserAttribute& property,
                                              AudienceTimestampsCache* audienceTimestampsCache,
                                              double evaluationTimestamp) {
  checkQueue();
  const std::string displayName = userPropertyDisplayName(property.name());
  os::Error error;
  std::shared_ptr<const StoredPropertyFilters::Filters> filters =
      storedPropertyFilters_.filtersForName(database_, property.name(), &error);
  if (!filters) {
    monitor().log(MonitorLevel::kErrorSampled, kPropertyEvaluation.queryFiltersCode,
                  kPropertyEvaluation.queryFiltersMessage, displayName, error);
    return false;
  }
  AudienceTimestampsCache fresh;
  AudienceTimestampsCache& cache = audienceTimestampsCache ? *audienceTimestampsCache : fresh;
  return evaluateStoredFilters<PropertyFilter, PreparedPropertyFilter>(
      database_, kPropertyEvaluation, displayName, *filters, decodedResults_, cache,
      evaluationTimestamp,
      [&](const PreparedPropertyFilter& filter) {
        return evaluatePropertyFilter(filter, property);
      },
      // Only a dynamic filter that is not session-scoped turns false again.
      [](const PropertyFilter& filter, bool previous) {
        return filter.isDynamic() && !filter.isSessionScoped() ? false : previous;
      });
}

bool Audience::clearEvaluationResultsForSessionScopedFilters() {
  checkQueue();
  os::Error error;
  std::optional<std::map<int32_t, std::vector<int32_t>>> sessionScoped =
      database_.allSessionScopedFilters(&error);
  if (!sessionScoped) {
    monitor().log(MonitorLevel::kErrorSampled, 6040,
                  "Unable to query all session scoped filters. Session scoped results will not "
                  "be cleared. Error",
                  error);
    return false;
  }
  std::map<int32_t, FilterResult> stored =
      database_.allFilterResults(nullptr).value_or(std::map<int32_t, FilterResult>());
  for (const auto& [audienceID, filterIDs] : *sessionScoped) {
    auto result = stored.find(audienceID);
    if (result == stored.end()) continue;
    // Bytes that do not decode hold no bit: the result is deleted below like any emptied one,
    // instead of being refused at every bundle from then on.
    std::optional<APMPBResultData> data =
        APMPBResultData::initWithBuffer(result->second.currentResults());
    ResultBits bits = bitsOf(data ? &*data : nullptr);
    for (int32_t filterID : filterIDs) bits.clear(filterID);
    if (!bits.hasAnyBitSet()) {
      if (!database_.deleteFilterResults({result->second}, &error)) {
        monitor().log(MonitorLevel::kErrorSampled, 6042,
                      "Unable to delete filter results. Session scoped results will not be "
                      "cleared. Error",
                      error);
        return false;
      }
      continue;
    }
    bits.writeTo(*data);
    const std::set<int32_t> ids(filterIDs.begin(), filterIDs.end());
    removeTimestamps<APMPBDynamicFilterResultTimestamp>(
        *data, kResultData_dynamic_filter_timestamps, kDynamicFilterResultTimestamp_filter_id, ids);
    removeTimestamps<APMPBSequenceFilterResultTimestamp>(
        *data, kResultData_sequence_filter_timestamps, kSequenceFilterResultTimestamp_filter_id,
        ids);
    FilterResult cleared(audienceID, data->protoBuffer().value_or(os::Data()),
                         result->second.currentResults());
    if (!database_.updateFilterResults({cleared}, &error)) {
      monitor().log(MonitorLevel::kErrorSilent, 6043,
                    "Unable to update filter results. Session scoped results will not be cleared. "
                    "Error",
                    error);
      return false;
    }
  }
  return true;
}

bool Audience::resultsForBundling(std::vector<APMPBAudienceLeafFilterResult>* results) {
  checkQueue();
  results->clear();
  std::map<int32_t, FilterResult> stored =
      database_.allFilterResults(nullptr).value_or(std::map<int32_t, FilterResult>());
  std::vector<FilterResult> reported;
  for (const auto& [audienceID, result] : stored) {
    std::optional<APMPBResultData> current =
        APMPBResultData::initWithBuffer(result.currentResults());
    if (!current) {
      monitor().log(MonitorLevel::kErrorSilent, 6020,
                    "Current result data is nil. Audience result will not be bundled. Audience ID",
                    audienceID);
      continue;
    }
    if (!ResultBits::of(*current).hasAnyBitSet()) {
      monitor().log(MonitorLevel::kErrorSilent, 6021,
                    "Current result status is 0. Audience result will not be bundled. Audience ID",
                    audienceID);
      continue;
    }
    APMPBAudienceLeafFilterResult leaf;
    APMPBSetInt32(leaf, kAudienceLeafFilterResult_audience_id, audienceID);
    APMPBSetMessage(leaf, kAudienceLeafFilterResult_current_results, &*current);
    const os::Data previousBytes = result.previousResults().value_or(os::Data());
    APMPBSetBool(leaf, kAudienceLeafFilterResult_first_report, previousBytes.empty());
    if (!previousBytes.empty()) {
      std::optional<APMPBResultData> previous = APMPBResultData::initWithBuffer(previousBytes);
      if (previous && previous->protoBuffer() == current->protoBuffer()) {
        // Unchanged since the last report: only the latest time of the first sequence filter
        // is sent and kept.
        std::vector<APMPBSequenceFilterResultTimestamp> sequence =
            APMPBGetArray<APMPBSequenceFilterResultTimestamp>(
                *current, kResultData_sequence_filter_timestamps);
        if (!sequence.empty()) {
          os::Array times =
              APMPBGetArray(sequence.front(), kSequenceFilterResultTimestamp_eval_timestamps);
          if (times.size() >= 2) {
            APMPBSetArray(sequence.front(), kSequenceFilterResultTimestamp_eval_timestamps,
                          os::Array{times.back()});
            APMPBSetArray(*current, kResultData_sequence_filter_timestamps, sequence);
            APMPBSetMessage(leaf, kAudienceLeafFilterResult_current_results, &*current);
          }
        }
      } else if (previous) {
        APMPBSetMessage(leaf, kAudienceLeafFilterResult_previous_results, &*previous);
      }
    }
    results->push_back(std::move(leaf));
    reported.emplace_back(audienceID, current->protoBuffer().value_or(os::Data()),
                          result.currentResults());
  }
  if (reported.empty()) return true;
  os::Error error;
  if (!database_.updateFilterResults(reported, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 6022,
                  "Unable to save updated Audience filter results. Audience results will not be "
                  "bundled. Error",
                  error);
    results->clear();
    return false;
  }
  return true;
}

bool Audience::isFilterResultTrueForFilterID(const std::optional<FilterResult>& result,
                                             int32_t filterID) {
  std::optional<APMPBResultData> data = storedResultData(result);
  const APMPBResultData* decoded = data ? &*data : nullptr;
  return storedResultHolds(result ? result->audienceID() : 0, result, decoded, bitsOf(decoded),
                           filterID);
}

FilterResult Audience::updatedFilterResultWithFilterID(
    int32_t filterID, int32_t audienceID, const std::optional<FilterResult>& currentFilterResult,
    Outcome newEvaluationResult, const AudienceTimestampsCache& audienceTimestampsCache) {
  std::optional<APMPBResultData> data = storedResultData(currentFilterResult);
  ResultBits bits = bitsOf(data ? &*data : nullptr);
  bits.set(filterID, newEvaluationResult.has_value(), newEvaluationResult.value_or(false));
  return FilterResult(audienceID,
                      resultDataWithBits(audienceID, bits, audienceTimestampsCache)
                          .protoBuffer()
                          .value_or(os::Data()),
                      currentFilterResult ? currentFilterResult->previousResults() : std::nullopt);
}

}  // namespace measurement
