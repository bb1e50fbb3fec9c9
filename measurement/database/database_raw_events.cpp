// raw_events_metadata, raw_events and queue: where every logged event waits for its bundle, and
// every bundle for its upload.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "measurement/database/database.h"
#include "measurement/database/queue_bundle.h"
#include "measurement/database/raw_event_message.h"
#include "measurement/database/raw_events_count.h"
#include "measurement/database/sql_conditions.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/settings.h"
#include "measurement/wire/access.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

constexpr int64_t kRawEventsMetadataLimit = 100000;
constexpr int64_t kRawEventsReadLimit = 1000;
constexpr int64_t kRetryCountLimit = 2147483647;
constexpr int64_t kOneRow = 1;

// A copied error that a step left, or nothing when the step left none.
void keepError(const os::Error& failure, os::Error* error) {
  if (error != nullptr) *error = failure;
}

std::vector<os::Value> rowIDValues(const std::vector<int64_t>& rowIDs) {
  return std::vector<os::Value>(rowIDs.begin(), rowIDs.end());
}

bool requireRowIDs(const std::vector<int64_t>& rowIDs, os::Error* error) {
  return requireOrSetError(!rowIDs.empty(), error, kDatabaseFailure,
                           "Received empty row IDs to process");
}

// A queue row as a bundle and its row id.
std::optional<QueuedBundle> queuedBundleFromRow(const SqliteRecord& row, os::Error* error) {
  if (!requireOrSetError(!row.empty(), error, kDatabaseFailure, "Cannot process empty rowData")) {
    return std::nullopt;
  }
  const os::Value* data = row.find("data");
  const os::Data* bytes = data ? data->asData() : nullptr;
  std::optional<int64_t> retries;
  if (const os::Value* retry = row.find("retry_count"); retry && retry->isNumber()) {
    retries = retry->integerValue();
  }
  std::optional<APMPBMeasurementBundle> bundle = bundleFromQueueData(
      bytes ? std::span<const uint8_t>(*bytes) : std::span<const uint8_t>(), retries, error);
  if (!bundle) return std::nullopt;
  const os::Value* rowID = row.find("rowid");
  if (rowID == nullptr || !rowID->isNumber()) return std::nullopt;
  return QueuedBundle{std::move(*bundle), rowID->integerValue()};
}

}  // namespace

bool Database::insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata,
                                                 os::Error* error) {
  checkQueue();
  std::optional<os::Data> encoded = metadata.protoBuffer();
  int64_t fingerprint = apm_64LSBMD5(encoded ? *encoded : os::Data());
  // Equal fingerprints count as equal metadata; a failed lookup only means "write it".
  os::Error lookupFailure;
  Lookup<APMPBMeasurementBundle> stored =
      queryRawEventsMetadataWithFingerprint(fingerprint, &lookupFailure);
  if (stored && *stored) return true;
  if (!requireOrSetError(encoded && !encoded->empty(), error, kDatabaseFailure,
                         "Received empty measurement bundle metadata for getting dictionary "
                         "representation")) {
    return false;
  }
  SqliteRecord record{{"metadata_fingerprint", fingerprint}, {"metadata", *encoded}};
  return upsertDataType(record, kRawEventsMetadataTable, "metadata_fingerprint", fingerprint,
                        kRawEventsMetadataLimit, error);
}

Lookup<APMPBMeasurementBundle> Database::queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                               os::Error* error) {
  checkQueue();
  std::optional<std::vector<SqliteRecord>> rows = dataTypesFromTableWithName<SqliteRecord>(
      kRawEventsMetadataTable, "metadata_fingerprint", fingerprint, error,
      [](const SqliteRecord& row, os::Error*) { return std::optional<SqliteRecord>(row); });
  if (!rows) return std::nullopt;
  if (rows->empty()) return std::optional<APMPBMeasurementBundle>();
  const os::Value* metadata = rows->front().find("metadata");
  const os::Data* bytes = metadata ? metadata->asData() : nullptr;
  if (!requireOrSetError(bytes && !bytes->empty(), error, kDatabaseFailure,
                         "Event metadata should not be empty for getting measurement bundle")) {
    return std::nullopt;
  }
  return APMPBMeasurementBundle::initWithBuffer(*bytes);
}

bool Database::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint,
                                                             os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->deleteRecordsFromTableWithName(
                       kRawEventsMetadataTable, "metadata_fingerprint == ?", {fingerprint}, error);
}

bool Database::deleteUnusedRawEventsMetadata(os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->deleteRecordsFromTableWithName(
                       kRawEventsMetadataTable,
                       "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM "
                       "raw_events)",
                       {}, error);
}

bool Database::insertRawEvent(const Event& event, int64_t metadataFingerprint, bool isRealtime,
                              os::Error* error) {
  checkQueue();
  std::optional<os::Data> data = rawEventMessageData(event);
  if (!requireObjectOrSetError(data, error, kDatabaseFailure,
                               "Received empty raw event data for getting dictionary "
                               "representation")) {
    return false;
  }
  SqliteRecord record{{"name", event.name()},
                      {"timestamp", event.timestamp()},
                      {"metadata_fingerprint", metadataFingerprint},
                      {"data", std::move(*data)},
                      {"is_realtime", isRealtime ? 1 : 0}};
  SqliteStore* sqlite = store(error);
  return sqlite && changeRawEvents(*sqlite, error, [&]() -> std::optional<int64_t> {
           if (!insertDataType(record, kRawEventsTable, error)) return std::nullopt;
           return 1;
         });
}

std::optional<int64_t> Database::deleteRawEventsWhere(std::string_view condition,
                                                      const std::vector<os::Value>& values,
                                                      os::Error* error) {
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  std::optional<int64_t> deleted;
  bool counted =
      changeRawEvents(*sqlite, error, [&]() -> std::optional<int64_t> {
        deleted = sqlite->deleteRecordsFromTableWithName(kRawEventsTable, condition, values, error);
        if (!deleted) return std::nullopt;
        return -*deleted;
      }).has_value();
  return counted ? deleted : std::nullopt;
}

std::optional<RawEventData> Database::rawEventDataFromDictionary(const SqliteRecord& row,
                                                                 os::Error* error) {
  auto present = [&](const char* column) {
    const os::Value* value = row.find(column);
    return value != nullptr && !value->isNull() ? value : nullptr;
  };
  const os::Value* rowID = present("rowid");
  const os::Value* data = present("data");
  const os::Value* fingerprint = present("metadata_fingerprint");
  if (!requireOrSetError(!row.empty(), error, kInvalidInput,
                         "Received empty dictionary for getting raw event data") ||
      !requireOrSetError(rowID != nullptr, error, kInvalidInput,
                         "Unable to find row ID in the database dictionary") ||
      !requireOrSetError(data != nullptr, error, kInvalidInput,
                         "Unable to find event data in the database dictionary") ||
      !requireOrSetError(fingerprint != nullptr, error, kInvalidInput,
                         "Unable to find event metadata in the database dictionary")) {
    return std::nullopt;
  }
  const os::Value* name = present("name");
  const os::Value* timestamp = present("timestamp");
  const os::Data* bytes = data->asData();
  std::optional<Event> event = eventFromRawEventMessage(
      name && name->asString() ? *name->asString() : "", timestamp ? timestamp->doubleValue() : 0,
      bytes ? std::span<const uint8_t>(*bytes) : std::span<const uint8_t>(), error);
  if (!event) return std::nullopt;
  std::optional<RawEventData> raw =
      RawEventData::make(std::move(*event), rowID->integerValue(), fingerprint->integerValue());
  requireObjectOrSetError(raw, error, kOperationFailed,
                          "Failed to initialize raw event data from dictionary");
  return raw;
}

std::optional<std::vector<RawEventData>> Database::rawEventsWithMetadataFingerprint(
    int64_t fingerprint, os::Error* error, const RecordFilter& filter) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  std::optional<std::vector<SqliteRecord>> rows = sqlite->recordsForQuery(
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
      {fingerprint, kRawEventsReadLimit}, error, filter);
  if (!rows) return std::nullopt;
  std::vector<RawEventData> events;
  for (const SqliteRecord& row : *rows) {
    if (std::optional<RawEventData> raw = rawEventDataFromDictionary(row, error)) {
      events.push_back(std::move(*raw));
    }
  }
  if (!rows->empty() && events.empty()) return std::nullopt;
  return events;
}

Lookup<int64_t> Database::nextMetadataFingerprintToProcess(os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  std::optional<std::vector<SqliteRecord>> rows =
      sqlite->recordsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!rows) return std::nullopt;
  if (!requireOrSetError(rows->size() == 1, error, kOperationFailed,
                         "Only one event metadata should be processed")) {
    return std::nullopt;
  }
  const os::Value* fingerprint = rows->front().find("metadata_fingerprint");
  if (fingerprint == nullptr || !fingerprint->isNumber()) return std::optional<int64_t>();
  return std::optional<int64_t>(fingerprint->integerValue());
}

std::optional<bool> Database::containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                                      os::Error* error) {
  checkQueue();
  return booleanForQuery(
      "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
      {fingerprint}, error);
}

bool Database::deleteRawEventsWithMaxRowID(int64_t maxRowID, os::Error* error) {
  checkQueue();
  return deleteRawEventsWhere("rowid <= ?", {maxRowID}, error).has_value();
}

std::optional<int64_t> Database::deleteRawEventsOverAbsoluteLimit(os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  // A limit of 0 keeps nothing, as 1 does.
  const int64_t keep = std::max(remoteSettings()->maxEventsStored() - 1, 0);
  // The kept count, not a walk of the table: this runs before every stored event, and once the
  // table is full every one of them deletes the oldest row.
  std::optional<int64_t> stored = rawEventsCount(*sqlite, error);
  if (!stored) return std::nullopt;
  if (*stored <= keep) return 0;
  return deleteRawEventsWhere("rowid IN (SELECT rowid FROM raw_events ORDER BY rowid ASC LIMIT ?)",
                              {*stored - keep}, error);
}

bool Database::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, os::Error* error) {
  checkQueue();
  if (!requireOrSetError(maxAge >= 0, error, kInvalidInput,
                         "Cannot delete stale raw events given negative time period")) {
    return false;
  }
  std::optional<int64_t> deleted = deleteRawEventsWhere(
      "abs(timestamp - cast(? as REAL)) > cast(? as REAL)", {os::clock::now(), maxAge}, error);
  if (!deleted) return false;
  return *deleted == 0 || deleteUnusedRawEventsMetadata(error);
}

std::optional<bool> Database::isRawEventsTableEmpty(os::Error* error) {
  checkQueue();
  return booleanForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

Lookup<double> Database::queryLatestRawEventTime(os::Error* error) {
  checkQueue();
  return nullableNumberForQuery("SELECT MAX(timestamp) FROM raw_events", error);
}

std::optional<bool> Database::containsRealtimeRawEventsWithError(os::Error* error) {
  checkQueue();
  // The limit is bound so that the statement stays prepared (the store keeps only texts with
  // placeholders or without a WHERE clause); the literal 1 keeps the partial index usable.
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT ?)",
                         {kOneRow}, error);
}

bool Database::insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime,
                            os::Error* error) {
  checkQueue();
  std::optional<os::Data> encoded = bundle.protoBuffer();
  std::optional<std::string> appID = APMPBGetString(bundle, kMeasurementBundle_app_id);
  int64_t endMillis = APMPBGetInt64(bundle, kMeasurementBundle_end_timestamp_millis);
  if (!requireOrSetError(encoded && !encoded->empty(), error, kInvalidInput,
                         "Failed to insert nil bundle") ||
      !requireOrSetError(appID && !appID->empty(), error, kInvalidInput,
                         "Failed to insert bundle without App ID") ||
      !requireOrSetError(endMillis > 0, error, kInvalidInput,
                         "Failed to insert bundle without valid timestamp")) {
    return false;
  }
  if (!maybeDeleteStaleData(error)) return false;
  const double end = static_cast<double>(endMillis) / 1000.0;
  if (std::fabs(os::clock::now() - end) > remoteSettings()->maxQueueTime()) {
    monitor().log(MonitorLevel::kWarningSampled, 12016,
                  "Storing bundle outside of the max uploading time span");
  }
  std::optional<os::Data> compressed = queueDataFromBundleBytes(*encoded, error);
  if (!compressed) return false;
  monitor().log(MonitorLevel::kDebug, 12018, "Saving bundle. size (bytes)",
                std::to_string(compressed->size()));
  SqliteRecord record{{"bundle_end_timestamp", end},
                      {"data", std::move(*compressed)},
                      {"is_realtime", isRealtime ? 1 : 0},
                      {"retry_count", APMPBGetInt32(bundle, kMeasurementBundle_retry_count)}};
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->upsertRecord(record, kQueueTable, error);
}

std::optional<std::vector<QueuedBundle>> Database::queryBundlesWithCountLimit(int64_t countLimit,
                                                                              int64_t sizeLimit,
                                                                              os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  std::optional<std::vector<SqliteRecord>> rows = sqlite->recordsForQuery(
      "SELECT rowid, data, retry_count FROM queue ORDER BY rowid ASC LIMIT ?", {countLimit}, error);
  if (!rows) return std::nullopt;
  std::vector<QueuedBundle> bundles;
  int64_t total = 0;
  for (const SqliteRecord& row : *rows) {
    std::optional<QueuedBundle> queued = queuedBundleFromRow(row, error);
    if (!queued) continue;
    std::optional<os::Data> encoded = queued->bundle.protoBuffer();
    int64_t length = encoded ? static_cast<int64_t>(encoded->size()) : 0;
    // The first bundle is always taken, even alone over the limit.
    if (!bundles.empty() && total + length > sizeLimit) break;
    bundles.push_back(std::move(*queued));
    total += length;
    if (total > sizeLimit) break;
  }
  return bundles;
}

std::optional<std::vector<QueuedBundle>> Database::queryBundlesWithRowIDs(
    const std::vector<int64_t>& rowIDs, os::Error* error) {
  checkQueue();
  if (!requireRowIDs(rowIDs, error)) return std::nullopt;
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return std::nullopt;
  std::optional<std::vector<SqliteRecord>> rows = sqlite->recordsForQuery(
      "SELECT rowid, data, retry_count FROM queue WHERE " + rowIDCondition(rowIDs.size()),
      rowIDValues(rowIDs), error);
  if (!rows) return std::nullopt;
  std::vector<QueuedBundle> bundles;
  for (const SqliteRecord& row : *rows) {
    if (std::optional<QueuedBundle> queued = queuedBundleFromRow(row, error)) {
      bundles.push_back(std::move(*queued));
    }
  }
  return bundles;
}

bool Database::incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs,
                                                      os::Error* error) {
  checkQueue();
  if (!requireOrSetError(!rowIDs.empty(), error, kInvalidInput,
                         "Failed to increment retry counter")) {
    return false;
  }
  SqliteStore* sqlite = store(error);
  if (sqlite == nullptr) return false;
  os::Error limitFailure;
  std::optional<bool> atLimit =
      booleanForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                      {kRetryCountLimit}, &limitFailure);
  if (!atLimit) keepError(limitFailure, error);
  if (atLimit.value_or(false)) {
    monitor().log(MonitorLevel::kErrorSampled, 12054,
                  "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  std::vector<os::Value> values = rowIDValues(rowIDs);
  values.emplace_back(kRetryCountLimit);
  return sqlite->increaseColumn("retry_count", 1, kQueueTable,
                                rowIDCondition(rowIDs.size()) + " AND retry_count < ?", values,
                                error);
}

bool Database::deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, os::Error* error) {
  checkQueue();
  if (!requireRowIDs(rowIDs, error)) return false;
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->deleteRecordsFromTableWithName(
                       kQueueTable, rowIDCondition(rowIDs.size()), rowIDValues(rowIDs), error);
}

std::optional<bool> Database::maybeDeleteStaleData(os::Error* error) {
  checkQueue();
  const double now = os::clock::now();
  const double last = persistedConfig_ ? persistedConfig_->lastDeleteStaleBundlesTimestamp() : 0;
  std::shared_ptr<Settings> settings = remoteSettings();
  if (std::fabs(now - last) <= settings->databaseDeleteStaleBundlesInterval()) return false;
  const double maxAge = settings->maxQueueTime();
  if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error) ||
      !deleteStaleBundlesOlderThanMaxAge(maxAge, error)) {
    return std::nullopt;
  }
  if (persistedConfig_) persistedConfig_->setLastDeleteStaleBundlesTimestamp(now);
  return true;
}

bool Database::deleteStaleBundlesOlderThanMaxAge(double maxAge, os::Error* error) {
  checkQueue();
  if (!requireOrSetError(maxAge >= 0, error, kInvalidInput,
                         "Cannot delete stale bundles after negative time period")) {
    return false;
  }
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->deleteRecordsFromTableWithName(
                       kQueueTable, "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
                       {os::clock::now(), maxAge}, error);
}

std::optional<bool> Database::isQueuedBundleTableEmpty(os::Error* error) {
  checkQueue();
  return booleanForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
}

Lookup<double> Database::queryLatestBundleTime(os::Error* error) {
  checkQueue();
  return nullableNumberForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", error);
}

std::optional<bool> Database::containsRealtimeBundlesWithError(os::Error* error) {
  checkQueue();
  // Bound for the same reason as containsRealtimeRawEventsWithError's.
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT ?)",
                         {kOneRow}, error);
}

}  // namespace measurement
