// Bundling: the oldest group of raw events that share one metadata fingerprint becomes one
// upload bundle, stored gzipped in the queue in the same transaction that deletes the group.
// Along the way the daily conversion and real-time limits apply, blocklisted events drop out,
// the per-event aggregates, audiences and engagement totals move on, and events are sampled.
// Worker queue only; every failure rolls the whole transaction back.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "measurement/audience/audience.h"
#include "measurement/audience/timestamps_cache.h"
#include "measurement/engine/aeu.h"
#include "measurement/engine/event_sampling.h"
#include "measurement/engine/kill_point.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/event_names.h"
#include "measurement/foundation/lookup.h"
#include "measurement/model/display_names.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/identity.h"
#include "os/bundle/bundle.h"
#include "os/process/clock.h"

namespace {

using measurement::Database;
using measurement::Event;
using measurement::MonitorLevel;
using measurement::RawEventData;

// A group's bounds beyond the configured ones: one clock hour of event time.
constexpr int64_t kSecondsPerHour = 3600;

// Whether a consent-signals string denies analytics storage.
bool signalsDenyAnalyticsStorage(const std::optional<std::string>& signals) {
  return signals && signals->size() >= 4 &&
         ((*signals)[3] == '0' || (*signals)[3] == 'd' || (*signals)[3] == 'D');
}

std::optional<int64_t> integerParameter(const Event& event, std::string_view name) {
  auto found = event.parameters().find(name);
  if (found == event.parameters().end() || !found->second.isInt64()) return std::nullopt;
  return found->second.int64Value();
}

bool hasParameter(const Event& event, std::string_view name) {
  return event.parameters().contains(name);
}

// Deletes the group's raw events and, once no raw event uses it, its metadata.
bool deleteBundledRawEvents(Database& database, int64_t maxRowID, int64_t fingerprint) {
  os::Error error;
  if (!database.deleteRawEventsWithMaxRowID(maxRowID, &error)) return false;
  std::optional<bool> used = database.containsRawEventWithMetadataFingerprint(fingerprint, &error);
  if (!used) return false;
  return *used || database.deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error);
}

// Real-time events the daily limit does not apply to.
bool isExemptFromRealtimeLimit(const std::string& name) {
  return name == "_iap" || name == "_f" || name == "_dcu" || name == "_fx";
}

}  // namespace

std::optional<std::vector<Event>> APMMeasurement::processRawEvents(
    const std::vector<RawEventData>& rawEvents) {
  std::shared_ptr<measurement::RemoteConfig> config = configuration();
  std::shared_ptr<measurement::Settings> settings = config->settings();
  int64_t lastRowID = rawEvents.back().rowID();
  int64_t fingerprint = rawEvents.back().metadataFingerprint();
  const measurement::NameTable& adNames = measurement::allowedPublicAdEventNames();
  std::vector<RawEventData> kept;
  for (const RawEventData& raw : rawEvents) {
    const std::string& name = raw.rawEvent().name();
    auto internal = adNames.find(name);
    bool isAdEvent = internal != adNames.end();
    if (isAdEvent && settings->blocklistInternal() && !settings->blocklistPublic()) {
      kept.push_back(raw);
      continue;
    }
    if (config->isEventBlocklisted(name) ||
        (isAdEvent && config->isEventBlocklisted(internal->second))) {
      monitor().log(MonitorLevel::kWarningSampled, 23099, "Rejected event. Event name", name);
      continue;
    }
    if (settings->redundantEngagementRemovalEnabled() && name == "_e" &&
        integerParameter(raw.rawEvent(), "_fr") == 1) {
      continue;
    }
    kept.push_back(raw);
  }
  if (kept.empty()) {
    if (!deleteBundledRawEvents(*database_, lastRowID, fingerprint)) return std::nullopt;
    monitor().log(MonitorLevel::kWarningSampled, 23100, "Rejected all events.");
    return std::vector<Event>();
  }
  os::Error error;
  measurement::Lookup<measurement::DailyCounts> stored = database_->dailyCounts(&error);
  if (!stored) {
    monitor().log(MonitorLevel::kErrorSampled, 23101, "Failed to query daily event counts. Error",
                  error);
    return std::nullopt;
  }
  measurement::DailyCounts counts =
      stored->value_or(measurement::DailyCounts(database_->currentDayNumber(), 0, 0, 0, 0, 0, 0));
  int32_t day = database_->currentDayNumber();
  bool debug = monitor().isDebugModeEnabled();
  bool changed = false;
  std::vector<Event> events;
  for (const RawEventData& raw : kept) {
    Event event = raw.rawEvent();
    if (auto internal = adNames.find(event.name()); internal != adNames.end()) {
      std::optional<Event> renamed = Event::initWithOrigin(
          event.origin(), false, internal->second, event.timestamp(), event.previousTimestamp(),
          measurement::rawParameters(event.parameters()));
      if (renamed) event = std::move(*renamed);
    }
    // Conversions, within the daily limit.
    if (config->isEventCustomConversion(event.name())) event.setConversion(true);
    bool isPublic = !event.name().empty() && event.name()[0] != '_';
    if (isPublic && event.isConversion()) {
      if (counts.conversionsCount() < settings->maxConversionsPerDay()) {
        counts.incrementCountsForCurrentDay(day, false, true, 1);
        counts.decrementAllEventsCount();
        changed = true;
      } else {
        event.setConversion(false);
        monitor().log(MonitorLevel::kWarning, 23102,
                      "Too many conversion events. Not logging event as conversion. Name, limit",
                      measurement::eventDisplayName(event.name()),
                      static_cast<int64_t>(settings->maxConversionsPerDay()));
      }
    }
    // Real-time marks, within their daily limits.
    if (event.isRealtime() || event.isConversion()) {
      if (!debug && !isExemptFromRealtimeLimit(event.name())) {
        if (counts.realtimeCount() >= settings->maxRealtimeEventCountPerDay()) {
          event.setRealtime(false);
          monitor().log(MonitorLevel::kWarningSampled, 23104,
                        "Number of real-time events is over the real-time event count daily "
                        "limit. Event is no longer real-time. Event name, parameters",
                        event.name());
        } else {
          counts.incrementRealtimeCountsForCurrentDay(day);
          event.setRealtime(true);
          changed = true;
          monitor().log(MonitorLevel::kDebug, 23103,
                        "Event is under real-time event count daily limit. Marking the event as "
                        "real-time. Event name, parameters",
                        event.name());
        }
      } else if (!debug && event.name() == "_dcu") {
        if (counts.dcuRealtimeCount() >= settings->maxRealtimeDCUEventCountPerDay()) {
          event.setRealtime(false);
        } else {
          counts.incrementDCURealtimeCountsForCurrentDay(day);
          event.setRealtime(true);
          changed = true;
        }
      } else {
        event.setRealtime(true);
        monitor().log(MonitorLevel::kDebug, 23105,
                      "Event is not subject to real-time event count daily limit. Marking an "
                      "event as real-time. Event name, parameters",
                      event.name());
      }
    }
    // A purchase the engine reports itself is marked validated.
    if (event.name() == "_iap") {
      measurement::RawParameters parameters = measurement::rawParameters(event.parameters());
      if (APMAEU::isASRS()) parameters["sandbox"] = measurement::Value(int64_t{1});
      parameters["validated"] = measurement::Value(int64_t{1});
      if (std::optional<Event> validated = event.copyWithParameters(parameters)) {
        event = std::move(*validated);
      }
    }
    events.push_back(std::move(event));
  }
  if (changed && !database_->updateDailyCounts(counts, &error)) {
    monitor().log(MonitorLevel::kErrorSilent, 23106,
                  "Failed to update daily event counts. Name, error", error);
    return std::nullopt;
  }
  return events;
}

namespace {

// The engine's side of bundling that needs no engine members: engagement totals in the bundle.
void putUserAttribute(APMPBMeasurementBundle& bundle, const measurement::UserAttribute& attribute) {
  std::vector<APMPBUserAttribute> attributes =
      APMPBGetArray<APMPBUserAttribute>(bundle, kMeasurementBundle_user_attributes);
  auto nowMs = static_cast<int64_t>(attribute.lastSetTimestamp() * 1000);
  bool found = false;
  for (APMPBUserAttribute& existing : attributes) {
    if (APMPBGetString(existing, kUserAttribute_name) == attribute.name()) {
      APMPBSetInt64(existing, kUserAttribute_int_value, attribute.value().int64Value());
      APMPBSetInt64(existing, kUserAttribute_set_timestamp_millis, nowMs);
      found = true;
      break;
    }
  }
  if (!found) attributes.push_back(attribute.protoUserAttribute());
  APMPBSetArray(bundle, kMeasurementBundle_user_attributes, attributes);
}

}  // namespace

bool APMMeasurement::bundleRawEvents() {
  measurement::Scheduler::checkOnBackgroundThread("bundleRawEvents");
  if (!database_) return false;
  Database& database = *database_;
  std::shared_ptr<measurement::RemoteConfig> config = configuration();
  std::shared_ptr<measurement::Settings> settings = config->settings();
  bool more = false;

  auto body = [&]() -> bool {
    os::Error error;
    measurement::Lookup<int64_t> next = database.nextMetadataFingerprintToProcess(&error);
    if (!next) {
      monitor().log(MonitorLevel::kErrorSampled, 23095,
                    "Unable to fetch next event metadata. Error", error);
      return false;
    }
    if (!*next) return true;
    int64_t fingerprint = **next;

    // The group: consecutive rows of one clock hour within the count and size limits. The
    // first row is always taken, so that one event larger than the limit goes out alone
    // instead of holding back everything behind it.
    int64_t maxEvents = settings->uploadMaxEventsPerBundle();
    int64_t maxSize = settings->uploadMaxSizeLimitBytes();
    int64_t firstHour = 0;
    int64_t previousRowID = 0;
    int64_t runningSize = 0;
    std::optional<int64_t> unreadableHead;
    auto filter = [&](size_t index, const measurement::SqliteRecord& row) {
      if (index > 0 && static_cast<int64_t>(index) >= maxEvents) return false;
      os::Error rowError;
      std::optional<RawEventData> raw = database.rawEventDataFromDictionary(row, &rowError);
      if (!raw) {
        monitor().log(MonitorLevel::kWarningSampled, 23096, "Failed to filter raw event. Error",
                      rowError);
        const os::Value* rowID = row.find("rowid");
        if (index == 0 && rowID != nullptr && rowID->isNumber()) {
          unreadableHead = rowID->integerValue();
        }
        return false;
      }
      int64_t hour =
          static_cast<int64_t>(std::floor(raw->rawEvent().timestamp())) / kSecondsPerHour;
      if (index == 0) {
        firstHour = hour;
      } else if (hour != firstHour || raw->rowID() != previousRowID + 1) {
        return false;
      }
      std::optional<os::Data> encoded = raw->rawEvent().protoEvent().protoBuffer();
      int64_t size = encoded ? static_cast<int64_t>(encoded->size()) : 0;
      if (index > 0 && runningSize + size >= maxSize) return false;
      runningSize += size;
      previousRowID = raw->rowID();
      return true;
    };
    std::optional<std::vector<RawEventData>> rawEvents =
        database.rawEventsWithMetadataFingerprint(fingerprint, &error, filter);
    if (!rawEvents) {
      monitor().log(MonitorLevel::kErrorSampled, 23097,
                    "Inconsistent state, raw event is expected. Error", error);
      return false;
    }
    if (rawEvents->empty()) {
      // A row at the head that cannot be read would stop every later group: it goes.
      if (!unreadableHead) return true;
      if (!deleteBundledRawEvents(database, *unreadableHead, fingerprint)) return false;
      more = true;
      return true;
    }

    measurement::Lookup<APMPBMeasurementBundle> stored =
        database.queryRawEventsMetadataWithFingerprint(fingerprint, &error);
    if (!stored) {
      monitor().log(MonitorLevel::kErrorSampled, 23098,
                    "Unable to fetch event metadata. Metadata fingerprint, error", fingerprint,
                    error);
      return false;
    }
    APMPBMeasurementBundle bundle = stored->value_or(APMPBMeasurementBundle());

    std::optional<std::vector<Event>> events = processRawEvents(*rawEvents);
    if (!events) return false;
    // A group rejected whole is gone already; bundling stops for this pass.
    if (events->empty()) return true;

    bool storageDenied = measurement::ConsentSettings::isAnalyticsStorageDenied();
    if (!evaluationTimeFromRawEvents(*rawEvents, bundle)) return false;
    handleAnalyticsStorageConsentTransitions(bundle);

    measurement::AudienceTimestampsCache cache;
    std::optional<std::vector<Event>> counted =
        eventsAfterUpdatingEventAggregates(*events, &cache, !storageDenied);
    if (!counted) return false;
    bool isRealtime = std::any_of(counted->begin(), counted->end(),
                                  [](const Event& e) { return e.isRealtime(); });
    std::vector<APMPBEvent> messages;
    messages.reserve(counted->size());
    for (const Event& event : *counted) messages.push_back(event.protoEvent());

    if (settings->isEventSamplingEnabled() && !monitor().isDebugModeEnabled()) {
      std::optional<std::vector<APMPBEvent>> sampled = measurement::sampleEvents(
          std::move(messages), database, *config,
          samplingRoll_ ? samplingRoll_ : measurement::secureSamplingRoll, &error);
      if (!sampled) return false;
      messages = std::move(*sampled);
    }
    int64_t lastRowID = rawEvents->back().rowID();
    if (messages.empty()) {
      monitor().log(MonitorLevel::kWarningSilent, 23159,
                    "No events left after sampling. Dropping bundle");
      if (!deleteBundledRawEvents(database, lastRowID, fingerprint)) return false;
      more = true;
      return true;
    }
    APMPBSetArray(bundle, kMeasurementBundle_events, messages);

    double start = std::numeric_limits<double>::max();
    double end = std::numeric_limits<double>::min();
    for (const RawEventData& raw : *rawEvents) {
      start = std::min(start, raw.rawEvent().timestamp());
      end = std::max(end, raw.rawEvent().timestamp());
    }
    if (!updateAppMetadataForBundle(bundle, start, end)) return false;

    if (settings->DMAConsentEnabled() && shouldUpdateNPAUserProperty_) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      shouldUpdateNPAUserProperty_ = false;
    }
    if (!storageDenied && audience_) {
      for (const APMPBUserAttribute& attribute :
           APMPBGetArray<APMPBUserAttribute>(bundle, kMeasurementBundle_user_attributes)) {
        if (!audience_->evaluateFiltersForNanoUserProperty(attribute, &cache, start)) return false;
      }
      std::vector<APMPBAudienceLeafFilterResult> results;
      if (!audience_->resultsForBundling(&results)) {
        monitor().log(MonitorLevel::kErrorSampled, 23113,
                      "Unable to read audience evaluation results");
        return false;
      }
      if (!results.empty()) {
        APMPBSetArray(bundle, kMeasurementBundle_audience_evaluation_results, results);
      }
    }
    addBundleMetadataIntoBundle(bundle, start, end);
    if ((!config->sessionStitchingTokenFeatureEnabled() || storageDenied) &&
        APMPBHasField(bundle, kMeasurementBundle_session_stitching_token)) {
      APMPBClearField(bundle, kMeasurementBundle_session_stitching_token);
    }
    if (!database.insertBundle(bundle, isRealtime, &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 23115, "Unable to insert bundle. Error", error);
      return false;
    }
    monitor().log(MonitorLevel::kVerbose, 23221, measurement::ConsentSettings::description());
    monitor().log(
        MonitorLevel::kDebug, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
        static_cast<int64_t>(APMPBGetInt32(bundle, kMeasurementBundle_bundle_sequential_index)),
        APMPBGetInt64(bundle, kMeasurementBundle_end_timestamp_millis));
    if (!deleteBundledRawEvents(database, lastRowID, fingerprint)) return false;
    measurement::killPoint("bundling-transaction");
    more = true;
    return true;
  };
  if (!database.performTransaction(body)) return false;
  if (more) suspendedUploadTimestamp_ = 0;
  return more;
}

bool APMMeasurement::evaluationTimeFromRawEvents(const std::vector<RawEventData>& rawEvents,
                                                 APMPBMeasurementBundle& bundle) {
  bool sessionStarted = std::any_of(rawEvents.begin(), rawEvents.end(),
                                    [](const auto& raw) { return raw.rawEvent().name() == "_s"; });
  os::Error error;
  if (sessionStarted && audience_) {
    audience_->clearEvaluationResultsForSessionScopedFilters();
    for (const APMPBUserAttribute& attribute :
         APMPBGetArray<APMPBUserAttribute>(bundle, kMeasurementBundle_user_attributes)) {
      if (!audience_->evaluateFiltersForNanoUserProperty(attribute, nullptr, std::nullopt)) {
        return true;
      }
    }
    if (!database_->clearCurrentSessionCounts(&error)) {
      monitor().log(MonitorLevel::kErrorSampled, 23185,
                    "Failed to clear event session counts. Error", error);
      return true;
    }
  }
  int64_t engagement = 0;
  for (const RawEventData& raw : rawEvents) {
    const Event& event = raw.rawEvent();
    if (!hasParameter(event, "_et") || hasParameter(event, "_fr")) continue;
    std::optional<int64_t> time = integerParameter(event, "_et");
    if (!time) {
      monitor().log(MonitorLevel::kErrorSampled, 23165,
                    "User engagement event doesn't contain any user engagement time");
      continue;
    }
    engagement += *time;
  }
  if (!updateUserEngagement(engagement, bundle, false)) return true;
  if (sessionStarted && !database_->deleteUserAttributeWithName("_se", &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 23188,
                  "Unable to delete session engagement property on session start. Error", error);
    return true;
  }
  updateUserEngagement(engagement, bundle, true);
  return true;
}

bool APMMeasurement::updateUserEngagement(int64_t milliseconds, APMPBMeasurementBundle& bundle,
                                          bool sessionScoped) {
  measurement::Scheduler::checkOnBackgroundThread("updateUserEngagement");
  if (milliseconds < 0) {
    monitor().log(MonitorLevel::kErrorSilent, 23186, "User engagement time is negative.");
    return false;
  }
  if (milliseconds == 0) return true;
  const char* name = sessionScoped ? "_se" : "_lte";
  os::Error error;
  measurement::Lookup<measurement::UserAttribute> stored =
      database_->userAttributeWithName(name, &error);
  if (!stored) {
    monitor().log(MonitorLevel::kErrorSampled, 23187,
                  "Failed to query for user engagement user property. Name, error", name, error);
    return false;
  }
  int64_t total = milliseconds;
  if (*stored && (*stored)->value().isInt64()) total += (*stored)->value().int64Value();
  std::optional<measurement::UserAttribute> attribute =
      measurement::UserAttribute::create("auto", name, measurement::Value(total), os::clock::now());
  if (!attribute || !database_->updateUserAttribute(*attribute, &error)) return false;
  putUserAttribute(bundle, *attribute);
  return true;
}

void APMMeasurement::handleAnalyticsStorageConsentTransitions(
    const APMPBMeasurementBundle& bundle) {
  std::optional<std::string> previous = persistedConfig_->previousBundledConsentSignals();
  std::optional<std::string> current = APMPBGetString(bundle, kMeasurementBundle_consent_signals);
  if (previous == current) return;
  bool wasDenied = signalsDenyAnalyticsStorage(previous);
  bool isDenied = signalsDenyAnalyticsStorage(current);
  os::Error error;
  if (!wasDenied && isDenied) {
    if (!database_->createEventsSnapshotTable(&error)) {
      monitor().log(MonitorLevel::kWarningSampled, 23266, "Unable to create table snapshot. Error",
                    error);
    }
  } else if (wasDenied && !isDenied) {
    if (!database_->restoreFromEventsSnapshotTable(&error)) {
      monitor().log(MonitorLevel::kWarningSampled, 23267,
                    "Unable to restore from table snapshot. Error", error);
    }
  }
  persistedConfig_->setPreviousBundledConsentSignals(current);
}

std::optional<std::vector<Event>> APMMeasurement::eventsAfterUpdatingEventAggregates(
    const std::vector<Event>& events, measurement::AudienceTimestampsCache* cache,
    bool allowEventFilterEvaluation) {
  // Each name's row is read once and written once per group: the same rows as an update per
  // event, inside the same transaction, without two statements per event.
  std::map<std::string, std::optional<measurement::EventAggregates>, std::less<>> rows;
  std::vector<std::string> order;
  std::vector<Event> updated;
  updated.reserve(events.size());
  for (const Event& original : events) {
    auto found = rows.find(original.name());
    if (found == rows.end()) {
      os::Error error;
      measurement::Lookup<measurement::EventAggregates> stored =
          database_->eventAggregatesWithName(original.name(), &error);
      if (!stored) {
        monitor().log(MonitorLevel::kErrorSampled, 23107,
                      "Failed to query event aggregates. Name, error", original.name(), error);
        return std::nullopt;
      }
      found = rows.emplace(original.name(), *stored).first;
      order.push_back(original.name());
    }
    std::optional<measurement::EventAggregates>& aggregates = found->second;
    Event event = original;
    if (aggregates) {
      if (std::optional<Event> copy =
              original.copyWithPreviousTimestamp(aggregates->lastFireTimestamp())) {
        event = std::move(*copy);
      }
      aggregates->incrementCurrentBundleCount();
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentSessionCount();
      aggregates->setLastFireTimestamp(event.timestamp());
    } else {
      aggregates = measurement::EventAggregates::initWithName(original.name(), 1, 1, 1,
                                                              original.timestamp());
    }
    if (allowEventFilterEvaluation && audience_ && aggregates &&
        !audience_->evaluateFiltersForEvent(event, *aggregates, cache)) {
      return std::nullopt;
    }
    updated.push_back(std::move(event));
  }
  for (const std::string& name : order) {
    const std::optional<measurement::EventAggregates>& aggregates = rows.at(name);
    os::Error error;
    if (aggregates && !database_->updateEventAggregates(*aggregates, &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 23108, "Failed to update event aggregates. Error",
                    error);
      return std::nullopt;
    }
  }
  return updated;
}

bool APMMeasurement::updateAppMetadataForBundle(APMPBMeasurementBundle& bundle, double start,
                                                double end) {
  os::Error error;
  measurement::Lookup<measurement::AppMetadata> stored = database_->queryAppMetadata(&error);
  if (!stored || !*stored) {
    monitor().log(MonitorLevel::kErrorSampled, 23111,
                  "Unable to fetch app metadata for bundling events. Error", error);
    return false;
  }
  measurement::AppMetadata metadata = **stored;
  double previousEnd = metadata.lastBundleEndTimestamp();
  double previousStart = metadata.lastBundleStartTimestamp();
  if (previousEnd > 0) {
    APMPBSetInt64(bundle, kMeasurementBundle_previous_bundle_end_timestamp_millis,
                  static_cast<int64_t>(previousEnd * 1000));
  }
  double previousStartOrEnd = previousStart != 0 ? previousStart : previousEnd;
  if (previousStartOrEnd > 0) {
    APMPBSetInt64(bundle, kMeasurementBundle_previous_bundle_start_timestamp_millis,
                  static_cast<int64_t>(previousStartOrEnd * 1000));
  }
  metadata.incrementLastBundleIndex();
  metadata.setLastBundleStartTimestamp(start);
  metadata.setLastBundleEndTimestamp(end);
  APMPBSetInt32(bundle, kMeasurementBundle_bundle_sequential_index, metadata.lastBundleIndex());
  if (!database_->updateAppMetadata(metadata, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 23112, "Unable to update the app metadata. Error",
                  error);
    return false;
  }
  return true;
}

void APMMeasurement::addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle, double start,
                                                 double end) {
  std::shared_ptr<measurement::RemoteConfig> config = configuration();
  if (std::optional<std::vector<int64_t>> ids = config->experimentIDs(); ids && !ids->empty()) {
    std::vector<int64_t> sorted = *ids;
    std::sort(sorted.begin(), sorted.end());
    os::Array values;
    for (int64_t id : sorted) values.emplace_back(static_cast<uint64_t>(static_cast<uint32_t>(id)));
    APMPBSetArray(bundle, kMeasurementBundle_experiment_ids, values);
  }
  std::optional<std::string> monitoring = monitor().monitoringDataForDispatchWithSamplePeriod(
      config->settings()->monitoringSamplePeriod(),
      persistedConfig_->lastMonitorDataSampledTimestamp());
  if (monitoring && !monitoring->empty()) {
    APMPBSetString(bundle, kMeasurementBundle_monitoring_data, *monitoring);
    persistedConfig_->setLastMonitorDataSampledTimestamp(os::clock::now());
  }
  if (remoteConfigInstance() && config->version() >= 0) {
    APMPBSetInt64(bundle, kMeasurementBundle_config_version, config->version());
  }
  if (APMPBGetString(bundle, kMeasurementBundle_app_id).value_or("").empty()) {
    auto identity = this->identity();
    std::string appIdentifier = identity ? identity->appID() : std::string();
    if (appIdentifier.empty()) appIdentifier = os::Bundle::main().bundleIdentifier();
    APMPBSetString(bundle, kMeasurementBundle_app_id, appIdentifier);
  }
  APMPBSetInt64(bundle, kMeasurementBundle_start_timestamp_millis,
                static_cast<int64_t>(start * 1000));
  APMPBSetInt64(bundle, kMeasurementBundle_end_timestamp_millis, static_cast<int64_t>(end * 1000));
}
