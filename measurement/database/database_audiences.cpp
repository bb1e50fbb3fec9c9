// event_filters, property_filters and audience_filter_values: the audience definitions the
// server sent, split into filters by kind, and each audience's evaluation results.
#include <sqlite3.h>

#include <set>
#include <string>
#include <utility>

#include "measurement/database/database.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/monitor.h"

namespace measurement {
namespace {

// What differs between the two kinds of filters: their table, the column of the name they
// apply to, their message and the texts of their errors.
struct FilterKind {
  const char* table;
  const char* nameColumn;
  const char* emptyNameToRead;
  const char* emptyListToUpdate;
  const char* emptyName;
  const char* emptyData;
  const char* emptyListToDelete;
};

constexpr FilterKind kEventFilterKind{
    kEventFiltersTable,
    "event_name",
    "Received empty event name for getting event filters",
    "Received empty event filters to update",
    "Received event filter with empty event name for getting dictionary representation",
    "Received event filter with empty data for getting dictionary representation",
    "Received empty event filters to delete"};

constexpr FilterKind kPropertyFilterKind{
    kPropertyFiltersTable,
    "property_name",
    "Received empty property name for getting property filters",
    "Received empty property filters to update",
    "Received property filter with empty property name for getting dictionary representation",
    "Received property filter with empty data for getting dictionary representation",
    "Received empty property filters to delete"};

const std::string& filterName(const EventFilter& filter) { return filter.eventName(); }
const std::string& filterName(const PropertyFilter& filter) { return filter.propertyName(); }

struct FilterFlags {
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
};

// The flags the filter's message holds; all off for bytes that do not parse.
FilterFlags flagsOf(const EventFilter*, const os::Data& data) {
  std::optional<APMPBEventFilter> message = APMPBEventFilter::initWithBuffer(data);
  if (!message) return {};
  return {APMPBGetBool(*message, kEventFilter_session_scoped),
          APMPBGetBool(*message, kEventFilter_dynamic),
          APMPBGetBool(*message, kEventFilter_sequence)};
}
FilterFlags flagsOf(const PropertyFilter*, const os::Data& data) {
  std::optional<APMPBPropertyFilter> message = APMPBPropertyFilter::initWithBuffer(data);
  if (!message) return {};
  return {APMPBGetBool(*message, kPropertyFilter_session_scoped),
          APMPBGetBool(*message, kPropertyFilter_dynamic),
          APMPBGetBool(*message, kPropertyFilter_sequence)};
}

int32_t int32Column(const SqliteRecord& row, const char* column) {
  const os::Value* value = row.find(column);
  return value && value->isNumber() ? static_cast<int32_t>(value->integerValue()) : 0;
}

// A blob column's bytes; nullopt for NULL (and for empty bytes, which the store reads as no
// column).
std::optional<os::Data> dataColumn(const SqliteRecord& row, const char* column) {
  const os::Value* value = row.find(column);
  if (value == nullptr || value->asData() == nullptr) return std::nullopt;
  return *value->asData();
}

// The integer in the current row's `column`; 0 for one that is no number.
int32_t int32AtColumn(sqlite3_stmt* statement, int column) {
  const int type = sqlite3_column_type(statement, column);
  return type == SQLITE_INTEGER || type == SQLITE_FLOAT
             ? static_cast<int32_t>(sqlite3_column_int64(statement, column))
             : 0;
}

// The bytes of the current row's blob `column` (named `name`); nullopt for NULL, another type
// or no bytes (the last logged as a missing value, as a generic row read does).
std::optional<os::Data> blobAtColumn(sqlite3_stmt* statement, int column, const char* name) {
  if (sqlite3_column_type(statement, column) != SQLITE_BLOB) return std::nullopt;
  const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, column));
  const int length = sqlite3_column_bytes(statement, column);
  if (bytes == nullptr || length == 0) {
    monitor().log(MonitorLevel::kWarningSampled, 34004, "Value is nil for column",
                  std::string(name));
    return std::nullopt;
  }
  return os::Data(bytes, bytes + length);
}

// The filters of the kind whose name column holds `name`, in row order. The columns go straight
// into the records: the evaluator reads every filter of an event at each event, and a generic
// row of named values per filter costs more than the rest of the read.
template <typename Filter>
std::optional<std::vector<Filter>> readFilters(const FilterKind& kind, std::string_view name,
                                               SqliteStore* store, os::Error* error) {
  if (!requireOrSetError(!name.empty(), error, kInvalidInput, kind.emptyNameToRead) ||
      store == nullptr) {
    return std::nullopt;
  }
  const std::string query = std::string("SELECT audience_id, filter_id, data FROM ") + kind.table +
                            " WHERE " + kind.nameColumn + " = ?";
  sqlite3_stmt* statement = store->statementForQuery(query, {os::Value(std::string(name))}, error);
  if (statement == nullptr) return std::nullopt;
  std::vector<Filter> filters;
  bool ok = true;
  for (;;) {
    const int step = sqlite3_step(statement);
    if (step == SQLITE_DONE) break;
    if (step != SQLITE_ROW) {
      store->setDatabaseError(error, "query records");
      ok = false;
      break;
    }
    os::Data data = blobAtColumn(statement, 2, "data").value_or(os::Data());
    FilterFlags flags = flagsOf(static_cast<const Filter*>(nullptr), data);
    filters.emplace_back(int32AtColumn(statement, 0), int32AtColumn(statement, 1),
                         std::string(name), std::move(data), flags.sessionScoped, flags.dynamic,
                         flags.sequence);
  }
  store->cleanUpStatement(statement, query);
  if (!ok) return std::nullopt;
  return filters;
}

std::optional<FilterResult> filterResultFromRow(const SqliteRecord& row, os::Error* error) {
  if (!requireOrSetError(!row.empty(), error, kDatabaseFailure,
                         "Received empty dictionary for getting filter result")) {
    return std::nullopt;
  }
  return FilterResult(int32Column(row, "audience_id"),
                      dataColumn(row, "current_results").value_or(os::Data()),
                      dataColumn(row, "previous_results"));
}

// Writes the filters one by one; the first that is refused or fails ends the work. `store` is
// the database's (nullptr when closed, its error already set).
template <typename Filter>
bool writeFilters(const FilterKind& kind, const std::vector<Filter>& filters, SqliteStore* store,
                  os::Error* error) {
  if (!requireOrSetError(!filters.empty(), error, kInvalidInput, kind.emptyListToUpdate) ||
      store == nullptr) {
    return false;
  }
  for (const Filter& filter : filters) {
    if (!requireOrSetError(!filterName(filter).empty(), error, kDatabaseFailure, kind.emptyName) ||
        !requireOrSetError(!filter.data().empty(), error, kDatabaseFailure, kind.emptyData)) {
      return false;
    }
    SqliteRecord record{{"audience_id", filter.audienceID()},
                        {"filter_id", filter.filterID()},
                        {kind.nameColumn, filterName(filter)},
                        {"data", filter.data()},
                        {"session_scoped", filter.isSessionScoped() ? 1 : 0}};
    if (!store->upsertRecord(record, kind.table, error)) return false;
  }
  return true;
}

// Deletes the filters' rows with one "(audience_id=1 AND filter_id=2) OR ..." condition: the
// ids are typed integers, so writing them into the text lets no caller text into it.
template <typename Filter>
bool deleteFilters(const FilterKind& kind, const std::vector<Filter>& filters, SqliteStore* store,
                   os::Error* error) {
  if (!requireOrSetError(!filters.empty(), error, kInvalidInput, kind.emptyListToDelete) ||
      store == nullptr) {
    return false;
  }
  std::string condition;
  for (const Filter& filter : filters) {
    if (!condition.empty()) condition += " OR ";
    condition += "(audience_id=" + std::to_string(filter.audienceID()) +
                 " AND filter_id=" + std::to_string(filter.filterID()) + ")";
  }
  return store->deleteRecordsFromTableWithName(kind.table, condition, {}, error).has_value();
}

}  // namespace

std::optional<std::vector<int32_t>> Database::allAudienceIDs(os::Error* error) {
  checkQueue();
  std::optional<std::vector<SqliteRecord>> rows = rowsForQuery(
      "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {},
      error);
  if (!rows) return std::nullopt;
  std::vector<int32_t> audienceIDs;
  for (const SqliteRecord& row : *rows) {
    const os::Value* audienceID = row.find("audience_id");
    if (!requireOrSetError(audienceID && audienceID->isNumber(), error, kInvalidInput,
                           "Received nil audience ID for querying all audience IDs")) {
      return std::nullopt;
    }
    audienceIDs.push_back(static_cast<int32_t>(audienceID->integerValue()));
  }
  return audienceIDs;
}

std::optional<std::vector<EventFilter>> Database::eventFiltersForEventName(
    std::string_view eventName, os::Error* error) {
  checkQueue();
  return readFilters<EventFilter>(kEventFilterKind, eventName, store(error), error);
}

std::optional<std::vector<PropertyFilter>> Database::propertyFiltersForPropertyName(
    std::string_view propertyName, os::Error* error) {
  checkQueue();
  return readFilters<PropertyFilter>(kPropertyFilterKind, propertyName, store(error), error);
}

Lookup<FilterResult> Database::filterResultForAudienceID(int32_t audienceID, os::Error* error) {
  checkQueue();
  // Read at every event for each audience it touches: the columns go straight into the result.
  static constexpr const char* kResultOfAudience =
      "SELECT current_results, previous_results FROM audience_filter_values WHERE audience_id = ?";
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  sqlite3_stmt* statement =
      sqlite->statementForQuery(kResultOfAudience, {os::Value(int64_t{audienceID})}, error);
  if (statement == nullptr) return std::nullopt;
  Lookup<FilterResult> found(std::in_place);
  const int step = sqlite3_step(statement);
  if (step == SQLITE_ROW) {
    found->emplace(audienceID, blobAtColumn(statement, 0, "current_results").value_or(os::Data()),
                   blobAtColumn(statement, 1, "previous_results"));
  } else if (step != SQLITE_DONE) {
    sqlite->setDatabaseError(error, "query records");
    found.reset();
  }
  sqlite->cleanUpStatement(statement, kResultOfAudience);
  return found;
}

std::optional<std::map<int32_t, FilterResult>> Database::allFilterResults(os::Error* error) {
  // A failed read is a failure, not "no results": an evaluator that took it for an empty
  // table would start every audience afresh.
  std::optional<std::vector<FilterResult>> all = allDataTypesFromTableWithName<FilterResult>(
      kAudienceFilterValuesTable, -1, error, filterResultFromRow);
  if (!all) return std::nullopt;
  std::map<int32_t, FilterResult> byAudience;
  for (FilterResult& result : *all) {
    int32_t audienceID = result.audienceID();
    byAudience.insert_or_assign(audienceID, std::move(result));
  }
  return byAudience;
}

std::optional<std::map<int32_t, std::vector<int32_t>>> Database::allSessionScopedFilters(
    os::Error* error) {
  checkQueue();
  std::optional<std::vector<SqliteRecord>> rows = rowsForQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT "
      "audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!rows) return std::nullopt;
  std::map<int32_t, std::vector<int32_t>> filtersByAudience;
  for (const SqliteRecord& row : *rows) {
    filtersByAudience[int32Column(row, "audience_id")].push_back(int32Column(row, "filter_id"));
  }
  return filtersByAudience;
}

bool Database::updateEventFilters(const std::vector<EventFilter>& filters, os::Error* error) {
  checkQueue();
  audienceFiltersChanged();
  return writeFilters(kEventFilterKind, filters, store(error), error);
}

bool Database::updatePropertyFilters(const std::vector<PropertyFilter>& filters, os::Error* error) {
  checkQueue();
  audienceFiltersChanged();
  return writeFilters(kPropertyFilterKind, filters, store(error), error);
}

bool Database::updateFilterResults(const std::vector<FilterResult>& results, os::Error* error) {
  checkQueue();
  if (!requireOrSetError(!results.empty(), error, kInvalidInput,
                         "Received empty filter results to update")) {
    return false;
  }
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return false;
  // One prepared statement for every result: the evaluator stores up to one per audience at
  // each event.
  static constexpr const char* kUpsertResults =
      "INSERT OR REPLACE INTO audience_filter_values (audience_id, current_results, "
      "previous_results) VALUES (?, ?, ?)";
  for (const FilterResult& result : results) {
    // Results without current results make no record; the store's refusal of the empty
    // record is what the caller hears.
    if (result.currentResults().empty()) {
      sqlite->upsertRecord(SqliteRecord(), kAudienceFilterValuesTable, error);
      return false;
    }
    const std::optional<os::Data>& previous = result.previousResults();
    const std::vector<os::Value> values{
        os::Value(int64_t{result.audienceID()}), os::Value(result.currentResults()),
        previous && !previous->empty() ? os::Value(*previous) : os::Value()};
    sqlite3_stmt* statement = sqlite->statementForQuery(kUpsertResults, values, error);
    if (statement == nullptr) return false;
    const bool done = sqlite3_step(statement) == SQLITE_DONE;
    if (!done) sqlite->setDatabaseError(error, "execute statement");
    sqlite->cleanUpStatement(statement, kUpsertResults);
    if (!done) return false;
  }
  return true;
}

bool Database::deleteFilterResults(const std::vector<FilterResult>& results, os::Error* error) {
  checkQueue();
  if (!requireOrSetError(!results.empty(), error, kInvalidInput,
                         "Received empty filter results to delete")) {
    return false;
  }
  // "audience_id IN (3,7)", each audience once; the ids are typed integers.
  std::set<int32_t> audienceIDs;
  for (const FilterResult& result : results) audienceIDs.insert(result.audienceID());
  std::string ids;
  for (int32_t audienceID : audienceIDs) {
    ids += (ids.empty() ? "" : ",") + std::to_string(audienceID);
  }
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite
                       ->deleteRecordsFromTableWithName(kAudienceFilterValuesTable,
                                                        "audience_id IN (" + ids + ")", {}, error)
                       .has_value();
}

bool Database::deleteEventFilters(const std::vector<EventFilter>& filters, os::Error* error) {
  checkQueue();
  audienceFiltersChanged();
  return deleteFilters(kEventFilterKind, filters, store(error), error);
}

bool Database::deletePropertyFilters(const std::vector<PropertyFilter>& filters, os::Error* error) {
  checkQueue();
  audienceFiltersChanged();
  return deleteFilters(kPropertyFilterKind, filters, store(error), error);
}

bool Database::deleteAllEventFilters(os::Error* error) {
  checkQueue();
  audienceFiltersChanged();
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->deleteAllRecordsFromTableWithName(kEventFiltersTable, error);
}

bool Database::deleteAllPropertyFilters(os::Error* error) {
  checkQueue();
  audienceFiltersChanged();
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->deleteAllRecordsFromTableWithName(kPropertyFiltersTable, error);
}

}  // namespace measurement
