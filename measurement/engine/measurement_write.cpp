// The database side of an event's road: one exclusive transaction per event that applies the
// daily limits, decides whether the row is real-time, keeps the distinct-name limit, stores the
// raw-event metadata once per fingerprint and the event row under it. Any step that fails rolls
// the whole transaction back, so counts, aggregates, metadata and the row commit together.
#include <limits>
#include <string>

#include "measurement/engine/bundle_fields.h"
#include "measurement/engine/kill_point.h"
#include "measurement/engine/lifetime_value.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/lookup.h"
#include "measurement/model/display_names.h"
#include "measurement/model/error_parameters.h"
#include "measurement/model/event_names.h"
#include "measurement/wire/access.h"
#include "os/process/clock.h"

namespace {

using measurement::DailyCounts;
using measurement::Event;
using measurement::MonitorLevel;

constexpr int64_t kEventLimitReached = 8;
constexpr int64_t kPublicEventLimitReached = 16;
// Over-limit messages are logged once per this many refused events.
constexpr int64_t kLimitLogInterval = 1000;

}  // namespace

void APMMeasurement::writeEventTransactionOnWorkerQueue(const Event& event) {
  if (!database_) return;
  Event written = event;
  if (database_->performTransaction([&] { return writeEventInTransaction(written); })) {
    measurement::killPoint("event-committed");
  }
}

bool APMMeasurement::writeEventInTransaction(Event& event) {
  // A lifetime value that cannot be recorded loses only its own update, not the purchase.
  updateLifetimeValueWithEvent(event);
  bool isPublic = measurement::isPublicName(event.name());
  os::Error error;
  measurement::Lookup<DailyCounts> stored = database_->dailyCounts(&error);
  if (!stored || !*stored) {
    monitor().log(MonitorLevel::kErrorSampled, 23054,
                  "Data loss. Unable to query daily event counts. Error", error);
    return false;
  }
  DailyCounts counts = **stored;
  bool process = shouldProcessEvent(event, counts, isPublic);
  bool realtime = isRealtimeEvent(event, counts);
  if (!database_->updateDailyCounts(counts, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 23061,
                  "Data loss. Unable to update daily event counts. Name, error", event.name(),
                  error);
    return false;
  }
  return !process || writeEvent(event, isPublic, realtime);
}

bool APMMeasurement::updateLifetimeValueWithEvent(const Event& event) {
  if (!measurement::isPurchaseEvent(event)) return true;
  if (measurement::recordLifetimeValueToDatabase(
          *database_, event, engineConfig()->settings()->maxTrackedCurrencies())) {
    return true;
  }
  auto text = [&](std::string_view name) {
    auto found = event.parameters().find(name);
    return found == event.parameters().end() ? std::string() : found->second.description();
  };
  monitor().log(MonitorLevel::kErrorSampled, 23053,
                "Cannot record lifetime value of event. Name, currency code, transaction value",
                event.name(), text("currency"), text("value"));
  return false;
}

bool APMMeasurement::shouldProcessEvent(const Event& event, DailyCounts& counts,
                                        bool isPublicEvent) {
  int32_t today = database_->currentDayNumber();
  if (counts.day() != today) counts.resetWithNewDay(today);
  std::shared_ptr<measurement::Settings> settings = engineConfig()->settings();

  int64_t all = int64_t{counts.allEventsCount()} - settings->maxEventsPerDay();
  bool over = all >= 0;
  if (over && all % kLimitLogInterval == 0) {
    monitor().log(MonitorLevel::kErrorSampled, 23055,
                  "Data loss. Too many events logged. Name, limit", event.name(),
                  int64_t{settings->maxEventsPerDay()});
  }
  bool isError = event.name() == "_err";
  if (!over && isError) {
    int64_t errors = int64_t{counts.errorEventsCount()} - settings->maxErrorEventsPerDay();
    over = errors >= 0;
    if (over && errors % kLimitLogInterval == 0) {
      auto code = event.parameters().find("_err");
      monitor().log(MonitorLevel::kErrorSampled, 23056,
                    "Too many error events logged. Error code, limit",
                    code == event.parameters().end() ? int64_t{0} : code->second.int64Value(),
                    int64_t{settings->maxErrorEventsPerDay()});
    }
  }
  if (!over && !isError && isPublicEvent) {
    int64_t publics = int64_t{counts.publicEventsCount()} - settings->maxPublicEventsPerDay();
    if (publics >= 0) {
      over = true;
      measurement::logErrorEvent(kPublicEventLimitReached);
      if (publics % kLimitLogInterval == 0) {
        monitor().log(MonitorLevel::kErrorSampled, 23057,
                      "Data loss. Too many public events logged. Name, limit", event.name(),
                      int64_t{settings->maxPublicEventsPerDay()});
      }
    }
  }
  if (isError) {
    counts.incrementErrorEventsCountForCurrentDay(today);
  } else {
    int32_t effective = 1 + measurement::arrayParameterElementCount(event.parameters());
    counts.incrementCountsForCurrentDay(today, isPublicEvent, false, effective);
  }
  if (over && all < 0) counts.decrementAllEventsCount();
  return !over;
}

bool APMMeasurement::isRealtimeEvent(Event& event, DailyCounts& counts) {
  std::shared_ptr<measurement::RemoteConfig> config = engineConfig();
  std::shared_ptr<measurement::Settings> settings = config->settings();
  bool limited = measurement::isRealtimeLimitedEvent(event);
  bool conversionRealtime = false;
  if (event.isConversion() || config->isEventCustomConversion(event.name())) {
    conversionRealtime =
        !limited || counts.realtimeCount() < settings->maxRealtimeEventCountPerDay();
  }
  if (event.isRealtime() && limited &&
      counts.realtimeCount() >= settings->maxRealtimeEventCountPerDay()) {
    event.setRealtime(false);
    monitor().log(MonitorLevel::kWarningSampled, 23060,
                  "Too many real-time events. Event is no longer real-time. Event name, parameters",
                  event.name(), measurement::dictionaryDescription(event.parameters()));
  }
  if (event.isRealtime() && measurement::isRealtimeDCUEvent(event) &&
      counts.dcuRealtimeCount() >= settings->maxRealtimeDCUEventCountPerDay()) {
    event.setRealtime(false);
  }
  maybeAddDebugAndRealtimeParameters(event);
  return event.isRealtime() || conversionRealtime;
}

void APMMeasurement::maybeAddDebugAndRealtimeParameters(Event& event) {
  if (!monitor().isDebugModeEnabled()) return;
  event.setRealtime(true);
  event.setDebug(true);
  monitor().log(MonitorLevel::kDebug, 23073,
                "Debug mode is enabled. Marking event as debug and real-time. Event name, "
                "parameters",
                event.name(), measurement::dictionaryDescription(event.parameters()));
}

bool APMMeasurement::writeEvent(const Event& event, bool isPublicEvent, bool isRealtime) {
  os::Error error;
  measurement::Lookup<measurement::EventAggregates> aggregates =
      database_->eventAggregatesWithName(event.name(), &error);
  if (!aggregates) {
    monitor().log(MonitorLevel::kErrorSampled, 23063, "Cannot query event aggregates. Name, error",
                  event.name(), error);
    return false;
  }
  if (!*aggregates) {
    if (isPublicEvent) {
      std::optional<int64_t> names = database_->publicEventCount(&error);
      if (!names) {
        monitor().log(MonitorLevel::kErrorSampled, 23064, "Cannot query event count. Error", error);
        return false;
      }
      if (*names >= engineConfig()->settings()->maxEventNameCardinality()) {
        monitor().log(MonitorLevel::kErrorSampled, 23065,
                      "Cannot set event. Reached limit on set events. Name", event.name());
        measurement::logErrorEvent(kEventLimitReached);
        return false;
      }
    }
    std::optional<measurement::EventAggregates> created =
        measurement::EventAggregates::initWithName(event.name(), 0, 0, 0, 0);
    if (!created || !database_->updateEventAggregates(*created, &error)) {
      monitor().log(MonitorLevel::kErrorSampled, 23066,
                    "Data loss. Cannot record event aggregates. Error", error);
      return false;
    }
  }
  std::shared_ptr<measurement::Identity> identity = this->identity();
  if (identity && identity->shouldSetLastAdvertisingIDResetUserProperty()) {
    setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  }
  std::optional<std::vector<measurement::UserAttribute>> attributes =
      database_->userAttributesIncludingInternal(true, &error);
  if (!attributes) {
    monitor().log(MonitorLevel::kErrorSampled, 23067,
                  "Data loss. Cannot query user properties. Error", error);
    return false;
  }
  APMPBMeasurementBundle metadata = createRawEventMetadataWithUserAttributes(*attributes);
  if (APMPBHasField(metadata, kMeasurementBundle_resettable_device_id)) {
    if (persistedConfig_->unmatchedFirstOpenWithoutIDFA()) {
      logFirstOpenConsentedEvent(event.timestamp());
    }
  } else if (event.name() == "_f") {
    persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(true);
  }
  if (!database_->insertIfNotExistsRawEventMetadata(metadata, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 23068,
                  "Data loss. Cannot record event metadata. Error", error);
    return false;
  }
  std::optional<int64_t> deleted = database_->deleteRawEventsOverAbsoluteLimit(&error);
  if (!deleted) {
    monitor().log(MonitorLevel::kErrorSampled, 23069,
                  "Data loss. Unable to check raw event storage limit. Error", error);
    return false;
  }
  if (*deleted != 0) {
    monitor().log(MonitorLevel::kWarningSampled, 23070,
                  "Data loss. Too many events stored on disk. Deleted count", *deleted);
  }
  std::optional<os::Data> bytes = metadata.protoBuffer();
  int64_t fingerprint = measurement::apm_64LSBMD5(bytes.value_or(os::Data{}));
  if (!database_->insertRawEvent(event, fingerprint, isRealtime, &error)) {
    monitor().log(MonitorLevel::kErrorSampled, 23071, "Data loss. Cannot record raw event. Error",
                  error);
    return false;
  }
  if (event.name() == "_f") {
    int64_t count = os::Value(previousFirstOpenCount().value_or("0")).integerValue();
    if (count < 0) count = 0;
    if (count < std::numeric_limits<int64_t>::max()) ++count;
    setPreviousFirstOpenCount(std::to_string(count));
  }
  monitor().log(MonitorLevel::kDebug, 23072, "Event logged. Event name, event params", event.name(),
                measurement::dictionaryDescription(event.parameters()));
  return true;
}

void APMMeasurement::logFirstOpenConsentedEvent(double timestamp) {
  persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(false);
  int64_t previous = os::Value(previousFirstOpenCount().value_or("0")).integerValue();
  int64_t unwanted = 0;
  os::Error error;
  measurement::Lookup<measurement::UserAttribute> fi =
      database_->userAttributeWithName("_fi", &error);
  if (fi && *fi && (*fi)->value().int64Value() <= 0) unwanted = 1;
  measurement::RawParameters parameters{
      {"_pfo", measurement::Value(std::max<int64_t>(previous, 1) - 1)},
      {"_uwa", measurement::Value(unwanted)}};
  scheduleWeakly("APMMeasurement:988", [timestamp, parameters](APMMeasurement& engine) {
    std::optional<Event> consented =
        Event::initWithOrigin("auto", false, "_fx", timestamp, 0, parameters);
    if (!consented) return;
    consented->setRealtime(true);
    engine.writeEventOnWorkerQueue(*consented);
    engine.updateSchedule();
  });
}
