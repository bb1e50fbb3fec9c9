// The remote configuration in row 1 of app_metadata, and main_event_params: the main event of a
// complex event kept while its child events wait for audience evaluation.
#include <string>
#include <utility>

#include "measurement/database/database.h"
#include "measurement/database/event_blob.h"
#include "measurement/foundation/lookup.h"
#include "os/process/clock.h"

namespace measurement {

bool Database::updateRemoteConfig(const APMPBMeasurementConfig& config, os::Error* error) {
  checkQueue();
  std::optional<os::Data> bytes = config.protoBuffer();
  std::optional<std::string> appID = APMPBGetString(config, kMeasurementConfig_app_id);
  if (!requireOrSetError(bytes && !bytes->empty(), error, kInvalidInput,
                         "Invalid measurement config data") ||
      !requireOrSetError(appID && !appID->empty(), error, kInvalidInput,
                         "Missing Vedodo app ID in measurement configuration")) {
    return false;
  }
  return updateAppMetadataRow(SqliteRecord{{"remote_config_data", std::move(*bytes)},
                                           {"remote_config_timestamp", os::clock::now()}},
                              error);
}

bool Database::updateRemoteConfigSuccessfulTimestamp(double timestamp, os::Error* error) {
  checkQueue();
  return updateAppMetadataRow(SqliteRecord{{"remote_config_timestamp", timestamp}}, error);
}

Lookup<APMPBMeasurementConfig> Database::queryMeasurementConfig(os::Error* error) {
  checkQueue();
  std::optional<std::vector<SqliteRecord>> rows =
      rowsForQuery("SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
  if (!rows) return std::nullopt;
  // NULL and empty bytes (which the store reads as no column) both mean nothing stored yet.
  const os::Value* stored = rows->empty() ? nullptr : rows->front().find("remote_config_data");
  const os::Data* bytes = stored ? stored->asData() : nullptr;
  if (bytes == nullptr || bytes->empty()) return std::optional<APMPBMeasurementConfig>();
  std::optional<APMPBMeasurementConfig> config = APMPBMeasurementConfig::initWithBuffer(*bytes);
  if (!requireObjectOrSetError(config, error, kOperationFailed,
                               "Remote config data is corrupted")) {
    return std::nullopt;
  }
  return config;
}

Lookup<double> Database::lastRemoteConfigUpdateTimestamp(os::Error* error) {
  return nullableNumberForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1", error);
}

bool Database::updateComplexEventForAudienceEvaluationWithEventID(int64_t eventID,
                                                                  int64_t childEventCount,
                                                                  const Event& mainEvent,
                                                                  os::Error* error) {
  checkQueue();
  // An empty blob would be stored, then read back as no event at all.
  std::optional<os::Data> blob = eventBlob(mainEvent);
  if (!requireOrSetError(blob && !blob->empty(), error, kInvalidInput,
                         "Cannot create the main event blob")) {
    return false;
  }
  SqliteStore* sqlite = store(error);
  return sqlite && sqlite->upsertRecord(SqliteRecord{{"event_id", eventID},
                                                     {"children_to_process", childEventCount},
                                                     {"main_event", std::move(*blob)}},
                                        kMainEventParamsTable, error);
}

Lookup<std::pair<Event, int64_t>> Database::mainEventAndChildCountPairWithEventID(
    int64_t eventID, os::Error* error) {
  checkQueue();
  std::optional<std::vector<SqliteRecord>> rows =
      rowsForQuery("SELECT * FROM main_event_params WHERE event_id=? LIMIT 1", {eventID}, error);
  if (!rows) return std::nullopt;
  if (rows->empty()) return std::optional<std::pair<Event, int64_t>>();
  const SqliteRecord& row = rows->front();
  const os::Value* blob = row.find("main_event");
  std::optional<Event> event = blob ? eventFromBlob(*blob, nullptr) : std::nullopt;
  if (!requireObjectOrSetError(event, error, kDatabaseFailure,
                               "Main event blob is nil in database")) {
    return std::nullopt;
  }
  const os::Value* count = row.find("children_to_process");
  if (!requireOrSetError(count && count->isNumber(), error, kDatabaseFailure,
                         "Complex event does not have children count in database")) {
    return std::nullopt;
  }
  return std::optional<std::pair<Event, int64_t>>(std::in_place, std::move(*event),
                                                  count->integerValue());
}

bool Database::deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID,
                                                                  os::Error* error) {
  checkQueue();
  SqliteStore* sqlite = store(error);
  return sqlite &&
         sqlite
             ->deleteRecordsFromTableWithName(kMainEventParamsTable, "event_id=?", {eventID}, error)
             .has_value();
}

}  // namespace measurement
