// The stored filters of one event or user-property name, decoded once for evaluation, and a
// cache of them by name. The evaluator meets the same names at every event, and reading and
// decoding every filter again each time costs more than evaluating them: the cache keeps what
// it read while the database's audienceFiltersGeneration() stays the same, and reads afresh
// after any change of the stored filters (saved or deleted definitions, a rolled-back
// transaction, a reset).
//
//   StoredFiltersCache<EventFilter, PreparedEventFilter> cache;
//   std::shared_ptr<const StoredFiltersCache<...>::Filters> filters =
//       cache.filtersForName(database, "level_up", &error);   // nullptr: the read failed
//   for (const auto& filter : *filters) if (filter.prepared) ...;  // nullopt: corrupt record
//
// A cache belongs to one evaluator and its queue; the filters it hands out are never changed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/audience/filter_matching.h"
#include "measurement/database/database.h"
#include "measurement/model/audience_filters.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/value/error.h"

namespace measurement {

// An event filter message with the parts its evaluation reads.
struct PreparedEventFilter {
  APMPBEventFilter message;
  std::optional<std::string> eventName;
  std::optional<APMPBNumberFilter> countFilter;
  bool sessionScoped = false;
  std::vector<ParameterFilterParts> parameterFilters;

  static PreparedEventFilter of(APMPBEventFilter message);
};

// A user-property filter message with the parts its evaluation reads.
struct PreparedPropertyFilter {
  APMPBPropertyFilter message;
  std::optional<std::string> propertyName;
  std::optional<ParameterFilterParts> valueFilter;

  static PreparedPropertyFilter of(APMPBPropertyFilter message);
};

// A stored record and its decoded message; nullopt for a record without data, with bytes that
// do not decode, or with an id outside the range saved definitions use (which would index far
// past the result bits).
template <typename Filter, typename Prepared>
struct StoredFilter {
  Filter record;
  std::optional<Prepared> prepared;
};

// At most this many names are kept; a full cache is emptied before the next one is added.
inline constexpr size_t kStoredFiltersCacheCapacity = 1024;

template <typename Filter, typename Prepared>
class StoredFiltersCache {
 public:
  using Filters = std::vector<StoredFilter<Filter, Prepared>>;

  // The stored filters of `name` in the database's order; nullptr with `error` when the read
  // failed.
  std::shared_ptr<const Filters> filtersForName(Database& database, std::string_view name,
                                                os::Error* error);

 private:
  std::optional<uint64_t> generation_;
  std::map<std::string, std::shared_ptr<const Filters>, std::less<>> filtersByName_;
};

using StoredEventFilters = StoredFiltersCache<EventFilter, PreparedEventFilter>;
using StoredPropertyFilters = StoredFiltersCache<PropertyFilter, PreparedPropertyFilter>;

}  // namespace measurement
