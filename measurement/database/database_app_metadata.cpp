// Row 1 of app_metadata: the last bundle's index and times, and the daily counts.
#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/database/database.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/monitor.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

// Every write addresses rowid 1, so the table never holds a second row.
const os::Value kRowOne("1");
constexpr const char* kRowIDColumn = "rowid";

// A stored number as int32 (saturated), or `fallback` for NULL and anything not a number.
int32_t int32Column(const SqliteRecord& row, const char* column, int32_t fallback) {
  const os::Value* value = row.find(column);
  if (!value || !value->isNumber()) return fallback;
  int64_t number = value->integerValue();
  return static_cast<int32_t>(std::clamp<int64_t>(number, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

double doubleColumn(const SqliteRecord& row, const char* column) {
  const os::Value* value = row.find(column);
  return value && value->isNumber() ? value->doubleValue() : 0;
}

}  // namespace

int32_t Database::currentDayNumber() const {
  double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0;
  double day = std::floor((os::clock::now() - offset) / 86400);
  return static_cast<int32_t>(std::clamp<double>(day, std::numeric_limits<int32_t>::min(),
                                                 std::numeric_limits<int32_t>::max()));
}

bool Database::initializeAppMetadata() {
  return performTransaction([&] {
    os::Error failure;
    Lookup<AppMetadata> existing = queryAppMetadata(&failure);
    if (!existing) {
      monitor().log(MonitorLevel::kErrorSampled, 12005, "Failed to query app metadata");
      return false;
    }
    if (*existing) return true;
    SqliteRecord record{{kRowIDColumn, kRowOne},
                        {"last_bundle_index", 0},
                        {"last_bundle_start_timestamp", 0.0},
                        {"last_bundle_end_timestamp", 0.0}};
    if (!upsertDataType(record, kAppMetadataTable, kRowIDColumn, kRowOne, 1, &failure)) {
      monitor().log(MonitorLevel::kErrorSampled, 12006, "Unable to update the app metadata. Error",
                    failure);
      return false;
    }
    return true;
  });
}

Lookup<AppMetadata> Database::queryAppMetadata(os::Error* error) {
  checkQueue();
  auto rows = dataTypesFromTableWithName<AppMetadata>(
      kAppMetadataTable, kRowIDColumn, kRowOne, error,
      [](const SqliteRecord& row, os::Error* rowError) -> std::optional<AppMetadata> {
        if (!requireOrSetError(!row.empty(), rowError, kDatabaseFailure,
                               "Received empty dictionary for getting app metadata")) {
          return std::nullopt;
        }
        return AppMetadata::create(int32Column(row, "last_bundle_index", 0),
                                   doubleColumn(row, "last_bundle_start_timestamp"),
                                   doubleColumn(row, "last_bundle_end_timestamp"));
      });
  if (!rows) return std::nullopt;
  if (rows->empty()) return std::optional<AppMetadata>();
  return std::optional<AppMetadata>(rows->front());
}

bool Database::updateAppMetadata(const AppMetadata& metadata, os::Error* error) {
  checkQueue();
  SqliteRecord record{{kRowIDColumn, kRowOne},
                      {"last_bundle_index", metadata.lastBundleIndex()},
                      {"last_bundle_start_timestamp", metadata.lastBundleStartTimestamp()},
                      {"last_bundle_end_timestamp", metadata.lastBundleEndTimestamp()}};
  return updateAppMetadataRow(record, error);
}

Lookup<DailyCounts> Database::dailyCounts(os::Error* error) {
  checkQueue();
  int32_t today = currentDayNumber();
  auto rows = dataTypesFromTableWithName<DailyCounts>(
      kAppMetadataTable, kRowIDColumn, kRowOne, error,
      [today](const SqliteRecord& row, os::Error* rowError) -> std::optional<DailyCounts> {
        if (!requireOrSetError(!row.empty(), rowError, kDatabaseFailure,
                               "Received empty dictionary for getting daily counts")) {
          return std::nullopt;
        }
        return DailyCounts(int32Column(row, "day", today),
                           int32Column(row, "daily_conversions_count", 0),
                           int32Column(row, "daily_events_count", 0),
                           int32Column(row, "daily_public_events_count", 0),
                           int32Column(row, "daily_error_events_count", 0),
                           int32Column(row, "daily_real_time_conversion_events_count", 0),
                           int32Column(row, "daily_real_time_dcu_events_count", 0));
      });
  if (!rows) return std::nullopt;
  if (rows->empty()) return std::optional<DailyCounts>();
  return std::optional<DailyCounts>(rows->front());
}

bool Database::updateDailyCounts(const DailyCounts& counts, os::Error* error) {
  checkQueue();
  SqliteRecord record{{"day", counts.day()},
                      {"daily_conversions_count", counts.conversionsCount()},
                      {"daily_events_count", counts.allEventsCount()},
                      {"daily_public_events_count", counts.publicEventsCount()},
                      {"daily_error_events_count", counts.errorEventsCount()},
                      {"daily_real_time_conversion_events_count", counts.realtimeCount()},
                      {"daily_real_time_dcu_events_count", counts.dcuRealtimeCount()}};
  return updateAppMetadataRow(record, error);
}

bool Database::updateAppMetadataRow(const SqliteRecord& record, os::Error* error) {
  return updateDataType(record, kAppMetadataTable, kRowIDColumn, kRowOne, error);
}

}  // namespace measurement
