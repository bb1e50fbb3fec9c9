#include "measurement/audience/stored_filters.h"

#include <utility>

#include "measurement/audience/result_bits.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

std::optional<std::vector<EventFilter>> readFilters(Database& database, std::string_view name,
                                                    os::Error* error, const EventFilter*) {
  return database.eventFiltersForEventName(name, error);
}

std::optional<std::vector<PropertyFilter>> readFilters(Database& database, std::string_view name,
                                                       os::Error* error, const PropertyFilter*) {
  return database.propertyFiltersForPropertyName(name, error);
}

template <typename Prepared>
std::optional<Prepared> prepared(const FilterRecord& record) {
  if (record.data().empty() || !isFilterIDInRange(record.filterID())) return std::nullopt;
  auto message = decltype(Prepared::message)::initWithBuffer(record.data());
  if (!message) return std::nullopt;
  return Prepared::of(std::move(*message));
}

}  // namespace

PreparedEventFilter PreparedEventFilter::of(APMPBEventFilter message) {
  PreparedEventFilter filter;
  filter.eventName = APMPBGetString(message, kEventFilter_event_name);
  filter.countFilter = APMPBGetMessage<APMPBNumberFilter>(message, kEventFilter_event_count_filter);
  filter.sessionScoped = APMPBGetBool(message, kEventFilter_session_scoped);
  for (APMPBFilter& parameterFilter : APMPBGetArray<APMPBFilter>(message, kEventFilter_filters)) {
    filter.parameterFilters.push_back(ParameterFilterParts::of(std::move(parameterFilter)));
  }
  filter.message = std::move(message);
  return filter;
}

PreparedPropertyFilter PreparedPropertyFilter::of(APMPBPropertyFilter message) {
  PreparedPropertyFilter filter;
  filter.propertyName = APMPBGetString(message, kPropertyFilter_property_name);
  if (std::optional<APMPBFilter> valueFilter =
          APMPBGetMessage<APMPBFilter>(message, kPropertyFilter_filter)) {
    filter.valueFilter = ParameterFilterParts::of(std::move(*valueFilter));
  }
  filter.message = std::move(message);
  return filter;
}

template <typename Filter, typename Prepared>
std::shared_ptr<const typename StoredFiltersCache<Filter, Prepared>::Filters>
StoredFiltersCache<Filter, Prepared>::filtersForName(Database& database, std::string_view name,
                                                     os::Error* error) {
  if (generation_ != database.audienceFiltersGeneration()) {
    filtersByName_.clear();
    generation_ = database.audienceFiltersGeneration();
  }
  if (auto found = filtersByName_.find(name); found != filtersByName_.end()) return found->second;
  std::optional<std::vector<Filter>> records =
      readFilters(database, name, error, static_cast<const Filter*>(nullptr));
  if (!records) return nullptr;
  auto filters = std::make_shared<Filters>();
  filters->reserve(records->size());
  for (Filter& record : *records) {
    std::optional<Prepared> decoded = prepared<Prepared>(record);
    filters->push_back({std::move(record), std::move(decoded)});
  }
  // A read inside a transaction sees the transaction's own writes; those bump the generation
  // before they are made, and a rollback bumps it again, so a kept read is never one undone.
  if (filtersByName_.size() >= kStoredFiltersCacheCapacity) filtersByName_.clear();
  filtersByName_.emplace(std::string(name), filters);
  return filters;
}

template class StoredFiltersCache<EventFilter, PreparedEventFilter>;
template class StoredFiltersCache<PropertyFilter, PreparedPropertyFilter>;

}  // namespace measurement
