#include "measurement/database/database_schema.h"

#include "measurement/database/raw_events_count.h"
#include "measurement/foundation/monitor.h"

namespace measurement {
namespace {

std::string compositeKey(const char* first, const char* second) {
  return std::string("(") + first + ", " + second + ")";
}

std::vector<TableDescription> makeTables() {
  return {
      {kAppMetadataTable,
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"},
        {"daily_real_time_dcu_events_count", "INTEGER"}},
       {}},
      {kRawEventsMetadataTable,
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      {kRawEventsTable,
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}},
       {{"is_realtime", "INTEGER"}},
       {{"timestamp", "REAL NOT NULL"}}},
      {kRawEventsCountTable,
       {{"row_count", "INTEGER NOT NULL"}, {"first_rowid", "INTEGER"}, {"last_rowid", "INTEGER"}},
       {},
       {}},
      {kEventsTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}},
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}},
       {}},
      {kUserAttributesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"set_timestamp", "REAL NOT NULL"},
        {"value", "BLOB NOT NULL"}},
       {{"origin", "TEXT"}},
       {}},
      {kQueueTable,
       {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
       {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
       {}},
      {kEventFiltersTable,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {kPrimaryKeyPseudoColumn, compositeKey("audience_id", "filter_id")}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kPropertyFiltersTable,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {kPrimaryKeyPseudoColumn, compositeKey("audience_id", "filter_id")}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kAudienceFilterValuesTable,
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"current_results", "BLOB"},
        {"previous_results", "BLOB"}},
       {},
       {}},
      {kPurchaseTransactionsTable, {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kSubscriptionsTable, {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kConditionalPropertiesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}},
       {},
       {}},
      {kMainEventParamsTable,
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {},
       {}},
  };
}

// Indexes for what the upload schedule asks after every event written: the newest event's time
// and whether any event is real-time. Without them both walk the whole table (9 ms an event at
// 100,000 stored events). A rebuilt table loses its indexes, so they are made at every opening.
struct Index {
  const char* name;
  const char* create;
};
constexpr Index kRawEventIndexes[] = {
    {"raw_events_timestamp", "CREATE INDEX raw_events_timestamp ON raw_events (timestamp)"},
    {"raw_events_realtime",
     "CREATE INDEX raw_events_realtime ON raw_events (is_realtime) WHERE is_realtime = 1"},
};

// Makes each missing index; a current file is only read.
bool ensureRawEventIndexes(SqliteStore& store, os::Error* error) {
  for (const Index& index : kRawEventIndexes) {
    std::optional<os::Value> found =
        store.numberForQuery("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = ?",
                             {index.name}, error);
    if (!found) return false;
    if (found->integerValue() == 0 && !store.executeSQL(index.create, error)) return false;
  }
  return true;
}

}  // namespace

const std::vector<TableDescription>& measurementTables() {
  static const std::vector<TableDescription> tables = makeTables();
  return tables;
}

bool ensureAllTables(SqliteStore& store, os::Error* error) {
  for (const TableDescription& table : measurementTables()) {
    os::Error failure;
    if (store.ensureTableWithName(table.name, table.elementary, table.addOn, table.modify,
                                  &failure)) {
      continue;
    }
    // Every failure of the store carries its error, so none is passed over.
    monitor().log(MonitorLevel::kErrorSampled, 12047, "Failed to ensure table. Table, error",
                  table.name, failure);
    if (error) *error = failure;
    return false;
  }
  return ensureRawEventIndexes(store, error) && ensureRawEventsCount(store, error);
}

}  // namespace measurement
