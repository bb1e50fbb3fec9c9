// events and events_snapshot: one tally per event name, and the copy taken while analytics
// storage is denied.
#include <string>

#include "measurement/database/database.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/monitor.h"

namespace measurement {
namespace {

constexpr int64_t kEventsTableLimit = 1000;

int32_t int32Value(const SqliteRecord& row, const char* column, int32_t fallback) {
  const os::Value* value = row.find(column);
  return value && value->isNumber() ? static_cast<int32_t>(value->integerValue()) : fallback;
}

double doubleValue(const SqliteRecord& row, const char* column) {
  const os::Value* value = row.find(column);
  return value && value->isNumber() ? value->doubleValue() : 0;
}

std::optional<EventAggregates> aggregatesFromRow(const SqliteRecord& row, os::Error*) {
  const os::Value* name = row.find("name");
  if (name == nullptr || name->asString() == nullptr) return std::nullopt;
  std::optional<EventAggregates> aggregates = EventAggregates::initWithName(
      *name->asString(), int32Value(row, "lifetime_count", 0),
      int32Value(row, "current_bundle_count", 0), int32Value(row, "current_session_count", 0),
      doubleValue(row, "last_fire_timestamp"));
  if (!aggregates) return std::nullopt;
  aggregates->setLastBundledTimestamp(doubleValue(row, "last_bundled_timestamp"));
  const os::Value* complexID = row.find("last_sampled_complex_event_id");
  if (complexID && complexID->isNumber()) {
    aggregates->setLastSampledComplexEventID(complexID->integerValue());
  }
  aggregates->setLastSamplingRate(int32Value(row, "last_sampling_rate", 1));
  aggregates->setLastExemptFromSampling(int32Value(row, "last_exempt_from_sampling", 0) != 0);
  aggregates->setLastBundledDay(int32Value(row, "last_bundled_day", 0));
  return aggregates;
}

}  // namespace

std::optional<int64_t> Database::publicEventCount(os::Error* error) {
  return integerForQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%%' ESCAPE '!'", {},
                         error);
}

std::optional<std::vector<EventAggregates>> Database::allEventAggregates(os::Error* error) {
  return allDataTypesFromTableWithName<EventAggregates>(kEventsTable, kEventsTableLimit, error,
                                                        aggregatesFromRow);
}

Lookup<EventAggregates> Database::eventAggregatesWithName(std::string_view name, os::Error* error) {
  return eventAggregatesWithName(name, kEventsTable, error);
}

Lookup<EventAggregates> Database::eventAggregatesWithName(std::string_view name,
                                                          std::string_view table,
                                                          os::Error* error) {
  std::optional<std::vector<EventAggregates>> found = dataTypesFromTableWithName<EventAggregates>(
      table, "name", os::Value(std::string(name)), error, aggregatesFromRow);
  if (!found) return std::nullopt;
  if (found->empty()) return std::optional<EventAggregates>();
  return std::optional<EventAggregates>(std::move(found->front()));
}

Lookup<EventAggregates> Database::eventAggregatesSnapshotWithName(std::string_view name,
                                                                  os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  if (!sqlite->tableExists(kEventsSnapshotTable, nullptr).value_or(false)) {
    return std::optional<EventAggregates>();
  }
  return eventAggregatesWithName(name, kEventsSnapshotTable, error);
}

bool Database::updateEventAggregates(const EventAggregates& aggregates, os::Error* error) {
  checkQueue();
  if (!requireOrSetError(!aggregates.name().empty(), error, kInvalidInput,
                         "Received event aggregates object with empty name for getting "
                         "dictionary representation")) {
    return false;
  }
  SqliteRecord record{{"name", aggregates.name()},
                      {"lifetime_count", aggregates.lifetimeCount()},
                      {"current_bundle_count", aggregates.currentBundleCount()},
                      {"last_fire_timestamp", aggregates.lastFireTimestamp()},
                      {"last_bundled_timestamp", aggregates.lastBundledTimestamp()},
                      {"last_sampling_rate", aggregates.lastSamplingRate()},
                      {"last_exempt_from_sampling", aggregates.lastExemptFromSampling() ? 1 : 0},
                      {"last_bundled_day", aggregates.lastBundledDay()},
                      {"current_session_count", aggregates.currentSessionCount()}};
  if (aggregates.lastSampledComplexEventID()) {
    record.set("last_sampled_complex_event_id", *aggregates.lastSampledComplexEventID());
  }
  return upsertDataType(record, kEventsTable, "name", os::Value(aggregates.name()),
                        kEventsTableLimit, error);
}

bool Database::clearCurrentSessionCounts(os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  return sqlite &&
         sqlite->updateAllRecordsInTableWithName(kEventsTable, "current_session_count", 0, error);
}

bool Database::deleteAllEventAggregates(os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->deleteAllRecordsFromTableWithName(kEventsTable, error);
}

bool Database::deleteAllEventAggregatesInSnapshot(os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->deleteAllRecordsFromTableWithName(kEventsSnapshotTable, error);
}

bool Database::createEventsSnapshotTable(os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return false;
  if (sqlite->tableExists(kEventsSnapshotTable, nullptr).value_or(false)) {
    sqlite->dropTableWithName(kEventsSnapshotTable, nullptr);
  }
  if (!sqlite->createEmptyTable(kEventsSnapshotTable, kEventsTable, error)) {
    monitor().log(MonitorLevel::kWarningSampled, 12058, "Failed to ensure event snapshot table");
    return false;
  }
  return sqlite->copyContentsFromTable(kEventsTable, kEventsSnapshotTable, error);
}

bool Database::restoreFromEventsSnapshotTable(os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return false;
  if (!sqlite->tableExists(kEventsSnapshotTable, nullptr).value_or(false)) return true;
  std::optional<int64_t> rows = sqlite->rowCountForTableWithName(kEventsSnapshotTable, error);
  if (!rows) return false;
  if (*rows == 0) return true;
  // A first open counted while storage was denied survives when the snapshot has none.
  Lookup<EventAggregates> liveFirstOpen = eventAggregatesWithName("_f", nullptr);
  if (!deleteAllEventAggregates(error) ||
      !sqlite->copyContentsFromTable(kEventsSnapshotTable, kEventsTable, error)) {
    return false;
  }
  Lookup<EventAggregates> snapshotFirstOpen =
      eventAggregatesWithName("_f", kEventsSnapshotTable, nullptr);
  bool snapshotHasFirstOpen =
      snapshotFirstOpen && *snapshotFirstOpen && (*snapshotFirstOpen)->lifetimeCount() != 0;
  if (!snapshotHasFirstOpen && liveFirstOpen && *liveFirstOpen) {
    updateEventAggregates(**liveFirstOpen, nullptr);
  }
  return deleteAllEventAggregatesInSnapshot(error);
}

}  // namespace measurement
