// Saving a configuration's audience definitions: validation, translation to internal names,
// replacement of the stored filters and the clean-up of results of audiences that are gone.
#include <string>
#include <utility>

#include "measurement/audience/audience.h"
#include "measurement/foundation/event_names.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric.h"
#include "measurement/foundation/settings.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

bool fail(os::Error* error, int64_t code, std::string_view description) {
  setErrorOutParameter(error, code, description);
  return false;
}

// The limits of one save, read once from the server settings.
struct AudienceLimits {
  int32_t maxFiltersPerAudience;
  int32_t maxParametersPerFilter;
};

// Claims `filterID` for the audience; false when it is out of range or taken.
enum class FilterIDCheck { kValid, kOutOfRange, kDuplicate };
FilterIDCheck claimFilterID(int32_t filterID, int32_t limit, std::set<int32_t>& used) {
  if (filterID < 0 || filterID >= limit) return FilterIDCheck::kOutOfRange;
  return used.insert(filterID).second ? FilterIDCheck::kValid : FilterIDCheck::kDuplicate;
}

bool hasName(const NANOMessageBase& message, int32_t index) {
  std::optional<std::string> name = APMPBGetString(message, index);
  return name && !name->empty();
}

bool validateEventFilter(const APMPBEventFilter& filter, const AudienceLimits& limits,
                         std::set<int32_t>& usedIDs, os::Error* error) {
  if (!hasName(filter, kEventFilter_event_name)) {
    return fail(error, kInvalidEventFilter, "Event filter missing event name");
  }
  if (!APMPBHasField(filter, kEventFilter_filter_id)) {
    return fail(error, kInvalidEventFilter, "Missing event filter ID");
  }
  switch (claimFilterID(APMPBGetInt32(filter, kEventFilter_filter_id), limits.maxFiltersPerAudience,
                        usedIDs)) {
    case FilterIDCheck::kOutOfRange:
      return fail(error, kInvalidEventFilter, "Event filter ID is out of range");
    case FilterIDCheck::kDuplicate:
      return fail(error, kInvalidEventFilter, "Duplicate event filter ID");
    case FilterIDCheck::kValid:
      break;
  }
  if (std::optional<APMPBNumberFilter> count =
          APMPBGetMessage<APMPBNumberFilter>(filter, kEventFilter_event_count_filter)) {
    if (APMPBGetBool(*count, kNumberFilter_float_comparison)) {
      return fail(error, kInvalidEventFilter, "Event filter has float event count filter");
    }
    if (!isValidNumberFilter(*count)) {
      return fail(error, kInvalidEventFilter, "Event filter has invalid event count filter");
    }
  }
  std::vector<APMPBFilter> parameters = APMPBGetArray<APMPBFilter>(filter, kEventFilter_filters);
  if (parameters.size() > static_cast<size_t>(limits.maxParametersPerFilter)) {
    return fail(error, kInvalidEventFilter, "Event filter parameters filters count out of range");
  }
  for (const APMPBFilter& parameter : parameters) {
    if (!hasName(parameter, kFilter_parameter_name)) {
      return fail(error, kInvalidEventFilter, "Event filter missing parameter name");
    }
    std::optional<APMPBNumberFilter> number =
        APMPBGetMessage<APMPBNumberFilter>(parameter, kFilter_number_filter);
    std::optional<APMPBStringFilter> string =
        APMPBGetMessage<APMPBStringFilter>(parameter, kFilter_string_filter);
    if (number.has_value() == string.has_value()) {
      return fail(error, kInvalidEventFilter,
                  "Event filter must have exactly one of number or string filter");
    }
    if (number && !isValidNumberFilter(*number)) {
      return fail(error, kInvalidEventFilter, "Event filter has invalid number filter");
    }
    if (string && !isValidStringFilter(*string)) {
      return fail(error, kInvalidEventFilter, "Event filter has invalid string filter");
    }
  }
  return true;
}

bool validatePropertyFilter(const APMPBPropertyFilter& filter, const AudienceLimits& limits,
                            std::set<int32_t>& usedIDs, os::Error* error) {
  if (!hasName(filter, kPropertyFilter_property_name)) {
    return fail(error, kInvalidPropertyFilter, "Property filter missing property name");
  }
  if (!APMPBHasField(filter, kPropertyFilter_filter_id)) {
    return fail(error, kInvalidPropertyFilter, "Missing property filter ID");
  }
  switch (claimFilterID(APMPBGetInt32(filter, kPropertyFilter_filter_id),
                        limits.maxFiltersPerAudience, usedIDs)) {
    case FilterIDCheck::kOutOfRange:
      return fail(error, kInvalidPropertyFilter, "Property filter ID is out of range");
    case FilterIDCheck::kDuplicate:
      return fail(error, kInvalidPropertyFilter, "Duplicate property filter ID");
    case FilterIDCheck::kValid:
      break;
  }
  std::optional<APMPBFilter> valueFilter =
      APMPBGetMessage<APMPBFilter>(filter, kPropertyFilter_filter);
  if (!valueFilter) return fail(error, kInvalidPropertyFilter, "Property filter has no filter");
  std::optional<APMPBNumberFilter> number =
      APMPBGetMessage<APMPBNumberFilter>(*valueFilter, kFilter_number_filter);
  std::optional<APMPBStringFilter> string =
      APMPBGetMessage<APMPBStringFilter>(*valueFilter, kFilter_string_filter);
  // An invalid number filter is reported with the same description as a missing one.
  if (number.has_value() == string.has_value() || (number && !isValidNumberFilter(*number))) {
    return fail(error, kInvalidPropertyFilter,
                "Property filter must have exactly one of number or string filter");
  }
  if (string && !isValidStringFilter(*string)) {
    return fail(error, kInvalidPropertyFilter, "Property filter has invalid string filter");
  }
  return true;
}

// Replaces the name in field `index` by its internal name; whether the table had one.
bool translateName(NANOMessageBase& message, int32_t index, const NameTable& table) {
  std::optional<std::string> name = APMPBGetString(message, index);
  if (!name) return false;
  auto internal = table.find(*name);
  if (internal == table.end()) return false;
  APMPBSetString(message, index, internal->second);
  return true;
}

EventFilter eventFilterRecord(int32_t audienceID, APMPBEventFilter filter) {
  translateName(filter, kEventFilter_event_name, publicToInternalEventNames());
  std::vector<APMPBFilter> parameters = APMPBGetArray<APMPBFilter>(filter, kEventFilter_filters);
  bool translated = false;
  for (APMPBFilter& parameter : parameters) {
    translated |=
        translateName(parameter, kFilter_parameter_name, publicToInternalParameterNames());
  }
  if (translated) APMPBSetArray(filter, kEventFilter_filters, parameters);
  return EventFilter(
      audienceID, APMPBGetInt32(filter, kEventFilter_filter_id),
      APMPBGetString(filter, kEventFilter_event_name).value_or(""),
      filter.protoBuffer().value_or(os::Data()), APMPBGetBool(filter, kEventFilter_session_scoped),
      APMPBGetBool(filter, kEventFilter_dynamic), APMPBGetBool(filter, kEventFilter_sequence));
}

PropertyFilter propertyFilterRecord(int32_t audienceID, APMPBPropertyFilter filter) {
  translateName(filter, kPropertyFilter_property_name, userPropertyInternalNames());
  return PropertyFilter(audienceID, APMPBGetInt32(filter, kPropertyFilter_filter_id),
                        APMPBGetString(filter, kPropertyFilter_property_name).value_or(""),
                        filter.protoBuffer().value_or(os::Data()),
                        APMPBGetBool(filter, kPropertyFilter_session_scoped),
                        APMPBGetBool(filter, kPropertyFilter_dynamic),
                        APMPBGetBool(filter, kPropertyFilter_sequence));
}

}  // namespace

bool Audience::validateAudience(const APMPBAudience& audience, const std::set<int32_t>& acceptedIDs,
                                os::Error* error) {
  std::shared_ptr<Settings> settings = remoteSettings();
  const AudienceLimits limits{settings->maxFiltersPerAudience(),
                              settings->maxParametersPerFilter()};
  if (!APMPBHasField(audience, kAudience_audience_id)) {
    return fail(error, kInvalidAudience, "Missing audience ID");
  }
  const int32_t audienceID = APMPBGetInt32(audience, kAudience_audience_id);
  if (audienceID < 0) return fail(error, kInvalidAudience, "Audience ID is negative");
  if (acceptedIDs.contains(audienceID)) {
    return fail(error, kInvalidAudience, "Duplicate audience ID");
  }
  std::vector<APMPBEventFilter> eventFilters =
      APMPBGetArray<APMPBEventFilter>(audience, kAudience_event_filters);
  std::vector<APMPBPropertyFilter> propertyFilters =
      APMPBGetArray<APMPBPropertyFilter>(audience, kAudience_property_filters);
  const size_t filterCount = eventFilters.size() + propertyFilters.size();
  if (filterCount < 1 || filterCount > static_cast<size_t>(limits.maxFiltersPerAudience)) {
    return fail(error, kInvalidAudience, "Audience filter count out of range");
  }
  // Event and property filters share one space of filter ids.
  std::set<int32_t> usedIDs;
  for (const APMPBEventFilter& filter : eventFilters) {
    if (!validateEventFilter(filter, limits, usedIDs, error)) return false;
  }
  for (const APMPBPropertyFilter& filter : propertyFilters) {
    if (!validatePropertyFilter(filter, limits, usedIDs, error)) return false;
  }
  return true;
}

bool Audience::updateAudiences(const std::vector<APMPBAudience>& audiences) {
  checkQueue();
  const int32_t maxAudienceCount = remoteSettings()->maxAudienceCount();
  if (audiences.size() > static_cast<size_t>(maxAudienceCount)) {
    monitor().log(MonitorLevel::kErrorSilent, 6008,
                  "Configuration contains too many audiences. Audiences will not be saved. "
                  "Audience count",
                  audiences.size());
    return true;
  }
  std::vector<EventFilter> eventFilters;
  std::vector<PropertyFilter> propertyFilters;
  std::set<int32_t> acceptedIDs;
  for (const APMPBAudience& audience : audiences) {
    os::Error invalid;
    if (!validateAudience(audience, acceptedIDs, &invalid)) {
      monitor().log(MonitorLevel::kErrorSilent, 6009,
                    "Audience definition is invalid. Audience will not be saved. Audience, error",
                    messageContext(audience), invalid);
      continue;
    }
    const int32_t audienceID = APMPBGetInt32(audience, kAudience_audience_id);
    acceptedIDs.insert(audienceID);
    for (APMPBEventFilter& filter :
         APMPBGetArray<APMPBEventFilter>(audience, kAudience_event_filters)) {
      eventFilters.push_back(eventFilterRecord(audienceID, std::move(filter)));
    }
    for (APMPBPropertyFilter& filter :
         APMPBGetArray<APMPBPropertyFilter>(audience, kAudience_property_filters)) {
      propertyFilters.push_back(propertyFilterRecord(audienceID, std::move(filter)));
    }
  }
  if (!maybeDeleteStaleFilterResults(acceptedIDs)) return false;
  os::Error error;
  if (!database_.deleteAllEventFilters(&error)) {
    monitor().log(MonitorLevel::kErrorSampled, 6010,
                  "Unable to delete existing Audience event filters. Audiences will not be saved. "
                  "Error",
                  error);
    return false;
  }
  if (!database_.deleteAllPropertyFilters(&error)) {
    monitor().log(MonitorLevel::kErrorSampled, 6011,
                  "Unable to delete existing Audience user property filters. Audiences will not "
                  "be saved. Error",
                  error);
    return false;
  }
  if (!eventFilters.empty() && !database_.updateEventFilters(eventFilters, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 6012,
                  "Unable to save Audience event filters. Audiences will not be saved. Error",
                  error);
    return false;
  }
  if (!propertyFilters.empty() && !database_.updatePropertyFilters(propertyFilters, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 6013,
                  "Unable to save Audience user property filters. Audiences will not be saved. "
                  "Error",
                  error);
    return false;
  }
  return true;
}

bool Audience::maybeDeleteStaleFilterResults(const std::set<int32_t>& audienceIDs) {
  checkQueue();
  std::map<int32_t, FilterResult> stored =
      database_.allFilterResults(nullptr).value_or(std::map<int32_t, FilterResult>());
  const int32_t maxFilterResultCount = remoteSettings()->maxFilterResultCount();
  if (stored.size() <= static_cast<size_t>(maxFilterResultCount)) return true;
  monitor().log(MonitorLevel::kWarning, 6016,
                "Too many Audience filter results. Deleting filter results for deleted "
                "Audiences. Filter result count, max filter result count",
                stored.size(), maxFilterResultCount);
  os::Error error;
  std::optional<std::vector<int32_t>> definedIDs = database_.allAudienceIDs(&error);
  if (!definedIDs) {
    monitor().log(MonitorLevel::kErrorSampled, 6017,
                  "Unable to query current Audience IDs. Audiences will not be saved. Error",
                  error);
    return false;
  }
  const std::set<int32_t> defined(definedIDs->begin(), definedIDs->end());
  std::vector<FilterResult> stale;
  for (const auto& [audienceID, result] : stored) {
    if (!defined.contains(audienceID) && !audienceIDs.contains(audienceID)) {
      stale.push_back(result);
    }
  }
  // Nothing stale is nothing to do: the store refuses an empty delete, and failing here would
  // roll back every new configuration while the results stay over the limit.
  if (stale.empty()) return true;
  if (!database_.deleteFilterResults(stale, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 6018,
                  "Unable to delete stale Audience filter results. Audiences will not be saved. "
                  "Error",
                  error);
    return false;
  }
  return true;
}

}  // namespace measurement
