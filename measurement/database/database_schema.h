// The tables of the measurement database: their names and the column lists that describe them
// to SqliteStore at every opening. There is no schema version: the description is the schema.
#pragma once

#include <string>
#include <vector>

#include "measurement/database/sqlite_store.h"
#include "os/value/error.h"

namespace measurement {

inline constexpr const char* kAppMetadataTable = "app_metadata";
inline constexpr const char* kRawEventsMetadataTable = "raw_events_metadata";
inline constexpr const char* kRawEventsTable = "raw_events";
// One row: the number of rows in raw_events (raw_events_count.h).
inline constexpr const char* kRawEventsCountTable = "raw_events_count";
inline constexpr const char* kEventsTable = "events";
inline constexpr const char* kEventsSnapshotTable = "events_snapshot";
inline constexpr const char* kUserAttributesTable = "user_attributes";
inline constexpr const char* kQueueTable = "queue";
inline constexpr const char* kEventFiltersTable = "event_filters";
inline constexpr const char* kPropertyFiltersTable = "property_filters";
inline constexpr const char* kAudienceFilterValuesTable = "audience_filter_values";
inline constexpr const char* kPurchaseTransactionsTable = "purchase_transactions";
inline constexpr const char* kSubscriptionsTable = "subscriptions";
inline constexpr const char* kConditionalPropertiesTable = "conditional_properties";
inline constexpr const char* kMainEventParamsTable = "main_event_params";

struct TableDescription {
  std::string name;
  ColumnInfo elementary;
  ColumnInfo addOn;
  ModifyColumnInfo modify;
};

// The fourteen tables, each with its elementary, add-on and modified columns.
const std::vector<TableDescription>& measurementTables();

// Ensures every table of measurementTables(), then the count of raw events (raw_events_count.h).
// The first table that cannot be ensured ends the work: the monitor hears 12047 with the
// table's name and the error, which is passed out.
bool ensureAllTables(SqliteStore& store, os::Error* error);

}  // namespace measurement
