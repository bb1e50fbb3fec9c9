// Database: the measurement engine's store, typed operations on the tables of one SQLite file
// ("vedodo-app-measurement.sql" in the measurement folder). Opening it brings every table in
// line with its description (database_schema.h) and creates app_metadata's row 1.
//
//   os::Error error;
//   auto database = Database::open(kMeasurementDatabaseName, PersistedConfig::sharedInstance(),
//                                  &error, scheduler.workerQueue());
//   if (!database) return;  // the file stays on disk unless it was no database or corrupt
//   database->performTransaction([&] { return database->updateAppMetadata(metadata, &error); });
//
// Threads. A database belongs to the engine's worker queue: every operation checks that it runs
// there (when a queue was given). It has no lock of its own.
//
// Writing an operation. Each operation lives in a source file of its group of tables
// (database_app_metadata.cpp, ...), declared below in that group's section, and:
//  - checks the queue with checkQueue(), then its arguments, in the documented order, each
//    failing with requireOrSetError() of measurement_error.h (code 1 bad argument, 2 failed
//    operation, 3 empty or unusable record while converting);
//  - reaches SQLite only through the store (store(error) answers nullptr with code 2 "Database
//    not open" when the store is gone), mostly through the generic row access below, with SQL
//    texts fixed in the code and values bound, never written into the text (only typed
//    integers, such as the ids of a multi-row delete, may be);
//  - keeps the error of every failed step it calls in a local os::Error and copies it out, so
//    that its result never depends on whether the caller passed `error`;
//  - reports what the engine monitors with monitor().log(level, code, message, contexts...).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "measurement/database/app_metadata.h"
#include "measurement/database/daily_counts.h"
#include "measurement/database/database_schema.h"
#include "measurement/database/raw_event_data.h"
#include "measurement/database/sqlite_store.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/model/audience_filters.h"
#include "measurement/model/conditional_user_property.h"
#include "measurement/model/event.h"
#include "measurement/model/event_aggregates.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/dispatch/dispatch.h"
#include "os/value/error.h"

namespace measurement {

inline constexpr const char* kMeasurementDatabaseName = "vedodo-app-measurement.sql";

class Database {
 public:
  // Turns one row into a record, or nothing (with `error` set when it is not null) for a row
  // that does not convert.
  template <typename DataType>
  using CreateDataTypeBlock =
      std::function<std::optional<DataType>(const SqliteRecord& row, os::Error* error)>;

  // ---- Opening, reset and transactions (database.cpp) ----

  // Opens measurementDataPath(name): the store (which recreates a file that is no database or
  // is corrupt), every table, row 1 of app_metadata. A table that cannot be reconciled with
  // its description deletes the file, so the next opening starts empty; any other failure
  // keeps it. An empty name fails with code 1 "Received empty database name in init".
  // `persistedConfig` (may be null: midnight offset 0) must outlive the database; `queue`, when
  // given, is the one queue every operation must run on.
  static std::unique_ptr<Database> open(std::string_view name, PersistedConfig* persistedConfig,
                                        os::Error* error,
                                        std::shared_ptr<os::DispatchQueue> queue = nullptr);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Closes and deletes the file with its companions, then opens it anew with every table. When
  // the new opening fails the database stays closed and every operation fails.
  bool reset(os::Error* error);
  // Runs `block` in one exclusive transaction, rolled back when it answers false; a failure is
  // reported to the monitor (12056 "Transaction failed. <description>").
  bool performTransaction(const std::function<bool()>& block);
  // Runs `block` with its queries in one read transaction (SqliteStore::performReads).
  void performReads(const std::function<void()>& block);
  // The file's path; stays the same across reset().
  const std::string& databasePath() const { return databasePath_; }

  // ---- Generic row access (database.cpp): every table operation goes through these ----

  // "SELECT rowid, * FROM <table> ORDER BY rowid LIMIT <limit>": the rows `create` turns into
  // objects (rows it refuses are skipped); nullopt when the query failed.
  template <typename DataType>
  std::optional<std::vector<DataType>> allDataTypesFromTableWithName(
      std::string_view table, int64_t tableLimit, os::Error* error,
      const CreateDataTypeBlock<DataType>& create);
  // "SELECT rowid, * FROM <table> WHERE <column> = ?": an empty array without rows; nullopt
  // with code 2 "Failed to initialize data types from dictionaries" when rows were read and
  // none converted.
  template <typename DataType>
  std::optional<std::vector<DataType>> dataTypesFromTableWithName(
      std::string_view table, std::string_view column, const os::Value& value, os::Error* error,
      const CreateDataTypeBlock<DataType>& create);
  bool insertDataType(const SqliteRecord& record, std::string_view table, os::Error* error);
  // Inserts or replaces the row whose `column` is `value`. A table holding `tableLimit` rows
  // refuses a new key (code 2 "Failed to insert data type. Table is full") and still accepts
  // the replacement of an existing one; nothing is evicted.
  bool upsertDataType(const SqliteRecord& record, std::string_view table, std::string_view column,
                      const os::Value& value, int64_t tableLimit, os::Error* error);
  // Writes the record's columns into the existing row whose `column` is `value` (code 2 "Failed
  // to update record. Item doesn't exist" without one).
  bool updateDataType(const SqliteRecord& record, std::string_view table, std::string_view column,
                      const os::Value& value, os::Error* error);

  // ---- App metadata and daily counts, row 1 of app_metadata (database_app_metadata.cpp) ----

  // Creates row 1 (index 0, both timestamps 0) unless it exists, in one transaction.
  bool initializeAppMetadata();
  // Row 1's bundle index and times: nullopt on failure, an empty optional when there is no row.
  Lookup<AppMetadata> queryAppMetadata(os::Error* error);
  // Writes the index and both times into row 1, which must exist.
  bool updateAppMetadata(const AppMetadata& metadata, os::Error* error);
  // Row 1's counters of the day: nullopt on failure, an empty optional when there is no row. A
  // stored day that is NULL or not a number reads as today's day number; the counters are never
  // reset here.
  Lookup<DailyCounts> dailyCounts(os::Error* error);
  // Writes the day and the six counters into row 1, which must exist.
  bool updateDailyCounts(const DailyCounts& counts, os::Error* error);
  // floor((now - midnight offset) / 86400): the day number the daily counts belong to.
  int32_t currentDayNumber() const;

  // ---- Further groups of tables: add their sections here ----

  // ---- Raw events and the upload queue (database_raw_events.cpp) ----
  // The engine writes an event as: the metadata (insert if absent), the cap, the event's
  // aggregate, the raw event, all in one transaction. Fingerprints are apm_64LSBMD5 of the
  // encoded metadata bundle.

  // Stores the encoded metadata under its fingerprint unless that fingerprint is stored (the
  // bytes are not compared). A table of 100000 fingerprints refuses a new one.
  bool insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata, os::Error* error);
  // nullopt on failure; an empty optional when nothing is stored or the bytes do not parse.
  Lookup<APMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                       os::Error* error);
  bool deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, os::Error* error);
  // Deletes the metadata no raw event points at any more.
  bool deleteUnusedRawEventsMetadata(os::Error* error);

  // Stores the event's upload message without its name (the name has its own column).
  bool insertRawEvent(const Event& event, int64_t metadataFingerprint, bool isRealtime,
                      os::Error* error);
  // The oldest 1000 raw events of the fingerprint that `filter` accepts, in row order; rows
  // that do not convert are left out (nullopt when rows were read and none converted).
  std::optional<std::vector<RawEventData>> rawEventsWithMetadataFingerprint(
      int64_t fingerprint, os::Error* error, const RecordFilter& filter);
  // A raw_events row ("rowid", "data" and "metadata_fingerprint" required) as its event.
  std::optional<RawEventData> rawEventDataFromDictionary(const SqliteRecord& row, os::Error* error);
  // The fingerprint of the oldest raw event; an empty optional for an empty table.
  Lookup<int64_t> nextMetadataFingerprintToProcess(os::Error* error);
  std::optional<bool> containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                              os::Error* error);
  bool deleteRawEventsWithMaxRowID(int64_t maxRowID, os::Error* error);
  // Keeps the maxEventsStored - 1 newest raw events, so that the insert that follows leaves at
  // most maxEventsStored; the number deleted. Reads the kept count of raw events
  // (raw_events_count.h) rather than walking the table, so it costs the same at any size.
  std::optional<int64_t> deleteRawEventsOverAbsoluteLimit(os::Error* error);
  // Deletes raw events more than `maxAge` seconds from now, past or future, then the metadata
  // no longer used.
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, os::Error* error);
  std::optional<bool> isRawEventsTableEmpty(os::Error* error);
  // The latest raw event time; an empty optional for an empty table.
  Lookup<double> queryLatestRawEventTime(os::Error* error);
  std::optional<bool> containsRealtimeRawEventsWithError(os::Error* error);

  // Stores the bundle gzipped, with its end time (seconds) and retry count (after the periodic
  // stale-data deletion). Needs a non-empty encoding, an app id and a positive end time.
  bool insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime, os::Error* error);
  // The oldest bundles, at most `countLimit`, while their encodings' summed sizes stay within
  // `sizeLimit`; the first is always taken. A row that does not convert is skipped.
  std::optional<std::vector<QueuedBundle>> queryBundlesWithCountLimit(int64_t countLimit,
                                                                      int64_t sizeLimit,
                                                                      os::Error* error);
  std::optional<std::vector<QueuedBundle>> queryBundlesWithRowIDs(
      const std::vector<int64_t>& rowIDs, os::Error* error);
  // One more failed upload for each row, never past 2147483647 (12054 when a row is there).
  bool incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs, os::Error* error);
  bool deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, os::Error* error);
  // Once per databaseDeleteStaleBundlesInterval (tracked in the persisted config): deletes raw
  // events and bundles older than maxQueueTime. Whether it ran; nullopt on failure.
  std::optional<bool> maybeDeleteStaleData(os::Error* error);
  bool deleteStaleBundlesOlderThanMaxAge(double maxAge, os::Error* error);
  std::optional<bool> isQueuedBundleTableEmpty(os::Error* error);
  Lookup<double> queryLatestBundleTime(os::Error* error);
  std::optional<bool> containsRealtimeBundlesWithError(os::Error* error);

  // ---- User attributes (database_attributes.cpp) ----

  // Names that do not begin with "_".
  std::optional<int64_t> publicUserAttributeCount(os::Error* error);
  std::optional<int64_t> userAttributeCountForOrigin(std::string_view origin, os::Error* error);
  std::optional<bool> containsUserAttributeWithName(std::string_view name, os::Error* error);
  // nullopt on failure; an empty optional when the name has no row (or its row does not read).
  Lookup<UserAttribute> userAttributeWithName(std::string_view name, os::Error* error);
  // The lifetime values ("_ltv_" and a currency), most recently set first; one row that does not
  // read fails the whole answer.
  std::optional<std::vector<UserAttribute>> allLifetimeValueUserAttributes(os::Error* error);
  // At most 1000 in row order; without `includingInternal`, only the names a caller set itself
  // (no "_", no reserved prefix, no public name of an internal property such as "user_id").
  std::optional<std::vector<UserAttribute>> userAttributesIncludingInternal(bool includingInternal,
                                                                            os::Error* error);
  // Replaces the name's whole row; a table of 1000 names refuses a new one, and an empty string
  // value is refused.
  bool updateUserAttribute(const UserAttribute& attribute, os::Error* error);
  bool deleteUserAttributeWithName(std::string_view name, os::Error* error);

  // ---- Purchases, subscriptions and conditional user properties (database_properties.cpp) ----

  // Stores a purchase fingerprint unless stored (keeping the newest 1000): true for a new one,
  // false for a duplicate or an empty fingerprint; nullopt when a step failed.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint,
                                                              os::Error* error);
  // The same for subscription ids, without pruning (deleteSubscriptionsOverLimit does that).
  std::optional<bool> insertIfNotDuplicateSubscriptionID(std::string_view subscriptionID,
                                                         os::Error* error);
  // Keeps the newest 1000 subscription ids; the number deleted.
  std::optional<int64_t> deleteSubscriptionsOverLimit(os::Error* error);
  // Replaces the property's whole row (a table of 1000 names refuses a new one); needs a name,
  // an origin and a value.
  bool updateConditionalUserProperty(const ConditionalUserProperty& property, os::Error* error);
  Lookup<ConditionalUserProperty> conditionalUserPropertyWithName(std::string_view name,
                                                                  os::Error* error);
  bool deleteConditionalUserPropertyWithName(std::string_view name, os::Error* error);
  // The properties of the rows `condition` selects; one row that does not read (an event blob
  // that does not decode, say) fails the whole answer.
  std::optional<std::vector<ConditionalUserProperty>> conditionalUserPropertiesWithCondition(
      std::string_view condition, const std::vector<os::Value>& values, os::Error* error);
  // Inactive ones whose trigger timeout has passed (strictly).
  std::optional<std::vector<ConditionalUserProperty>> timedOutConditionalUserProperties(
      os::Error* error);
  // Active ones whose time to live has passed.
  std::optional<std::vector<ConditionalUserProperty>> expiredConditionalUserProperties(
      os::Error* error);
  // Inactive ones waiting for `eventName` whose timeout has not passed.
  std::optional<std::vector<ConditionalUserProperty>>
  triggeredConditionalUserPropertiesWithEventName(std::string_view eventName, os::Error* error);
  // Those of `origin` (when not empty) whose names begin with `prefix` (when not empty), both
  // matched literally, ASCII case folded.
  std::optional<std::vector<ConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
      std::string_view prefix, std::string_view origin, os::Error* error);

  // ---- Remote configuration and main events (database_remote_config.cpp) ----
  // The configuration lives in row 1 of app_metadata with the time it was stored or last
  // fetched; a main event waits in main_event_params, under its event id, for the child events
  // of its complex event to be evaluated.

  // Stores the configuration's encoding and the current time as its update time. Refuses a
  // configuration that encodes to nothing (code 1 "Invalid measurement config data") or has no
  // app id (code 1 "Missing Vedodo app ID in measurement configuration").
  bool updateRemoteConfig(const APMPBMeasurementConfig& config, os::Error* error);
  // Records `timestamp` as the time of the last successful fetch, keeping the configuration.
  bool updateRemoteConfigSuccessfulTimestamp(double timestamp, os::Error* error);
  // nullopt on failure, and with code 2 "Remote config data is corrupted" for stored bytes that
  // do not parse (they stay until the next update); an empty optional when nothing is stored.
  Lookup<APMPBMeasurementConfig> queryMeasurementConfig(os::Error* error);
  // nullopt on failure; an empty optional when no time was recorded.
  Lookup<double> lastRemoteConfigUpdateTimestamp(os::Error* error);

  // Stores (or replaces) the main event and its count of child events still to process;
  // code 1 "Cannot create the main event blob" for an event that does not encode.
  bool updateComplexEventForAudienceEvaluationWithEventID(int64_t eventID, int64_t childEventCount,
                                                          const Event& mainEvent, os::Error* error);
  // The main event and its child count: nullopt on failure, an empty optional without a row.
  // A stored event that does not read back fails with code 3 "Main event blob is nil in
  // database", a missing count with code 3 "Complex event does not have children count in
  // database".
  Lookup<std::pair<Event, int64_t>> mainEventAndChildCountPairWithEventID(int64_t eventID,
                                                                          os::Error* error);
  // True also when no row had the id.
  bool deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID, os::Error* error);

  // ---- Audience definitions and results (database_audiences.cpp) ----
  // The evaluator's filters, split by kind into event_filters and property_filters under
  // (audience id, filter id), and one row of results per audience in audience_filter_values.
  // A filter read back takes its three flags from its encoded message, not from the stored
  // session_scoped column, which serves allSessionScopedFilters only. Multi-row writes stop at
  // the first failure, leaving the rows before it written: run them in a transaction.

  // Every audience that has a filter, each once, in the order SQLite gives them.
  std::optional<std::vector<int32_t>> allAudienceIDs(os::Error* error);
  // The filters of one internal name (code 1 for an empty one).
  std::optional<std::vector<EventFilter>> eventFiltersForEventName(std::string_view eventName,
                                                                   os::Error* error);
  std::optional<std::vector<PropertyFilter>> propertyFiltersForPropertyName(
      std::string_view propertyName, os::Error* error);
  // nullopt on failure; an empty optional when the audience has no results.
  Lookup<FilterResult> filterResultForAudienceID(int32_t audienceID, os::Error* error);
  // Every audience's results by audience id; nullopt on failure.
  std::optional<std::map<int32_t, FilterResult>> allFilterResults(os::Error* error);
  // The ids of the session-scoped filters of both kinds by audience id, each list in the order
  // SQLite gives the rows; nullopt on failure.
  std::optional<std::map<int32_t, std::vector<int32_t>>> allSessionScopedFilters(os::Error* error);
  // Stores each filter in turn, replacing one with the same ids; an empty list, or a filter
  // with an empty name or empty data, is refused.
  bool updateEventFilters(const std::vector<EventFilter>& filters, os::Error* error);
  bool updatePropertyFilters(const std::vector<PropertyFilter>& filters, os::Error* error);
  // Stores each audience's results in turn; empty previous results are stored as NULL. A
  // result without current results is refused as an empty record (code 1 "Received empty
  // record for upsert").
  bool updateFilterResults(const std::vector<FilterResult>& results, os::Error* error);
  // Deletes the results of the audiences the list names (each once).
  bool deleteFilterResults(const std::vector<FilterResult>& results, os::Error* error);
  // Delete the rows of the listed (audience id, filter id) pairs in one statement. SQLite
  // refuses a condition of about a thousand pairs (its expression depth), which fails the call.
  bool deleteEventFilters(const std::vector<EventFilter>& filters, os::Error* error);
  bool deletePropertyFilters(const std::vector<PropertyFilter>& filters, os::Error* error);
  bool deleteAllEventFilters(os::Error* error);
  bool deleteAllPropertyFilters(os::Error* error);
  // A number that changes whenever the stored filters may have changed: every write or delete
  // of filters (whether it succeeded or not), a rolled-back transaction, an opening or reset.
  // Filters read while it keeps its value are still the stored ones, so a reader may keep them.
  uint64_t audienceFiltersGeneration() const { return audienceFiltersGeneration_; }

  // ---- Event aggregates and their snapshot (database_aggregates.cpp) ----

  // Names that do not begin with "_".
  std::optional<int64_t> publicEventCount(os::Error* error);
  // At most 1000, in row order.
  std::optional<std::vector<EventAggregates>> allEventAggregates(os::Error* error);
  // nullopt on failure; an empty optional when the name has no row.
  Lookup<EventAggregates> eventAggregatesWithName(std::string_view name, os::Error* error);
  Lookup<EventAggregates> eventAggregatesWithName(std::string_view name, std::string_view table,
                                                  os::Error* error);
  // An empty optional also when no snapshot was taken.
  Lookup<EventAggregates> eventAggregatesSnapshotWithName(std::string_view name, os::Error* error);
  // Replaces the name's whole row; a table of 1000 names refuses a new one.
  bool updateEventAggregates(const EventAggregates& aggregates, os::Error* error);
  bool clearCurrentSessionCounts(os::Error* error);
  bool deleteAllEventAggregates(os::Error* error);
  bool deleteAllEventAggregatesInSnapshot(os::Error* error);
  // Copies events into a fresh events_snapshot.
  bool createEventsSnapshotTable(os::Error* error);
  // Puts a non-empty snapshot back into events (keeping a live "_f" the snapshot lacks) and
  // empties the snapshot.
  bool restoreFromEventsSnapshotTable(os::Error* error);

 private:
  // Checks that the caller runs on the database's queue (when one was given).
  void checkQueue() const;
  // The open store, or nullptr with code 2 "Database not open".
  SqliteStore* store(os::Error* error) const;

  Database(std::string path, PersistedConfig* persistedConfig,
           std::shared_ptr<os::DispatchQueue> queue);

  // Opens the store, ensures the tables and row 1; `context` ("Init", "Reset") names the
  // occasion in the monitor's messages.
  bool initializeDatabaseResourcesWithContext(std::string_view context, os::Error* error);
  // Writes the record's columns into row 1 of app_metadata, which must exist
  // (database_app_metadata.cpp).
  bool updateAppMetadataRow(const SqliteRecord& record, os::Error* error);
  // The number a single-value query ("SELECT count(1) ...", "SELECT EXISTS ...") answers, NULL
  // as 0; nullopt on failure (database_single_values.cpp).
  std::optional<int64_t> integerForQuery(std::string_view query,
                                         const std::vector<os::Value>& values, os::Error* error);
  std::optional<bool> booleanForQuery(std::string_view query, const std::vector<os::Value>& values,
                                      os::Error* error);
  // A number that may be NULL (the maximum over an empty table, a column never written):
  // nullopt on failure, an empty optional for NULL.
  Lookup<double> nullableNumberForQuery(std::string_view query, os::Error* error);
  std::optional<std::vector<SqliteRecord>> rowsForQuery(std::string_view query,
                                                        const std::vector<os::Value>& values,
                                                        os::Error* error);

  // Deletes the raw events `condition` selects and moves their count (raw_events_count.h) in
  // the same transaction: the number deleted (database_raw_events.cpp).
  std::optional<int64_t> deleteRawEventsWhere(std::string_view condition,
                                              const std::vector<os::Value>& values,
                                              os::Error* error);

  // Called before any step that may change the stored filters.
  void audienceFiltersChanged() { ++audienceFiltersGeneration_; }
  // Whether `table` holds filters whose changes audienceFiltersGeneration() must follow.
  static bool isAudienceFiltersTable(std::string_view table);

  std::unique_ptr<SqliteStore> sqliteStore_;
  uint64_t audienceFiltersGeneration_ = 0;
  PersistedConfig* const persistedConfig_;
  const std::string databasePath_;
  const std::shared_ptr<os::DispatchQueue> queue_;
};

template <typename DataType>
std::optional<std::vector<DataType>> Database::allDataTypesFromTableWithName(
    std::string_view table, int64_t tableLimit, os::Error* error,
    const CreateDataTypeBlock<DataType>& create) {
  checkQueue();
  if (!requireOrSetError(static_cast<bool>(create), error, kInvalidInput,
                         "Received nil block to get all data types")) {
    return std::nullopt;
  }
  std::optional<std::vector<SqliteRecord>> rows =
      rowsForQuery("SELECT rowid, * FROM " + std::string(table) + " ORDER BY rowid LIMIT " +
                       std::to_string(tableLimit),
                   {}, error);
  if (!rows) return std::nullopt;
  std::vector<DataType> objects;
  for (const SqliteRecord& row : *rows) {
    if (std::optional<DataType> object = create(row, error)) objects.push_back(std::move(*object));
  }
  return objects;
}

template <typename DataType>
std::optional<std::vector<DataType>> Database::dataTypesFromTableWithName(
    std::string_view table, std::string_view column, const os::Value& value, os::Error* error,
    const CreateDataTypeBlock<DataType>& create) {
  checkQueue();
  if (!requireOrSetError(!table.empty(), error, kInvalidInput,
                         "Received empty table name to create data type from table") ||
      !requireOrSetError(!column.empty(), error, kInvalidInput,
                         "Received empty column name to create data type from table") ||
      !requireOrSetError(!value.isNull(), error, kInvalidInput,
                         "Received nil column value to create data type from table") ||
      !requireOrSetError(static_cast<bool>(create), error, kOperationFailed,
                         "Received nil block to create data type from table")) {
    return std::nullopt;
  }
  std::optional<std::vector<SqliteRecord>> rows = rowsForQuery(
      "SELECT rowid, * FROM " + std::string(table) + " WHERE " + std::string(column) + " = ?",
      {value}, error);
  if (!rows) return std::nullopt;
  std::vector<DataType> objects;
  for (const SqliteRecord& row : *rows) {
    if (std::optional<DataType> object = create(row, error)) objects.push_back(std::move(*object));
  }
  if (!rows->empty() && objects.empty()) {
    setErrorOutParameter(error, kOperationFailed,
                         "Failed to initialize data types from dictionaries");
    return std::nullopt;
  }
  return objects;
}

}  // namespace measurement
