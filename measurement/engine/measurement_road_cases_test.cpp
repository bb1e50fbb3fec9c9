// The edge cases of the event road, each against an engine started in this process over a fresh
// sandbox with a fake clock: daily limits set through the settings, real-time demotion, the
// distinct-name limit, session expiry, the internal user properties and the first open.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/analytics.h"
#include "measurement/engine/bundle_fields.h"
#include "measurement/engine/deep_link_storage.h"
#include "measurement/engine/measurement.h"
#include "measurement/engine/road_test_support.h"
#include "measurement/engine/screen_view_reporter.h"
#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/model/error_parameters.h"
#include "measurement/runtime/pixie/pixie_asm.h"
#include "measurement/wire/access.h"
#include "os/process/clock.h"
#include "os/sync/mutex.h"
#include "testsupport/sandbox.h"

namespace {

using measurement::Event;
using measurement::RawParameters;
using measurement::Value;
using testsupport::StoredDatabase;
namespace pb = tessaro::measurement;

constexpr double kStartTime = 1700000000.5;

measurement::PurchaseTransaction purchaseWith(int64_t state, std::optional<std::string> id) {
  measurement::PurchaseTransaction transaction;
  transaction.state = state;
  transaction.transactionIdentifier = std::move(id);
  return transaction;
}

class RoadCaseTest : public ::testing::Test {
 protected:
  RoadCaseTest() {
    APMScreenViewReporter::resetForTesting();
    APMAnalytics::setLoadTimestamp(kStartTime);
    measurement::setInternalEventLogger(
        [this](std::string_view, std::string_view name, measurement::Parameters parameters) {
          auto code = parameters.find("_err");
          if (name != "_err" || code == parameters.end()) return;
          os::MutexLock lock(mutex_);
          errorCodes_.push_back(code->second.int64Value());
        });
  }
  ~RoadCaseTest() override {
    if (engine_) onWorker([] {});
    engine_.reset();
    measurement::setInternalEventLogger(nullptr);
    APMScreenViewReporter::resetForTesting();
  }

  void start(measurement::EventEditingFactory editing = nullptr,
             std::optional<std::vector<std::string>> safelist = std::nullopt) {
    APMMeasurement::Parts parts;
    parts.persistedConfig = config_.get();
    parts.scheduler = std::make_shared<measurement::Scheduler>(measurement::kWorkerQueueLabel);
    parts.appID = "1:1:macos:a";
    parts.isAnalyticsCollectionEnabled = true;
    parts.safelistedEvents = std::move(safelist);
    parts.eventEditingFactory = std::move(editing);
    engine_ = APMMeasurement::createWithParts(std::move(parts));
    onWorker([] {});
    ASSERT_TRUE(engine_->didInitializeComponents());
  }
  void onWorker(const std::function<void()>& block) {
    engine_->scheduler().dispatchSyncOnWorkerQueue("RoadCaseTest:1", block);
  }
  void setting(const std::string& key, const std::string& value) {
    onWorker([&] { engine_->remoteConfigInstance()->settings()->cacheValue(value, key); });
  }
  // Handles a public (or internal) event of origin "app" now, as the road's entry does.
  void log(const std::string& name, const RawParameters& parameters = {}, bool isPublic = true) {
    onWorker([&] {
      std::optional<Event> event =
          Event::initWithOrigin("app", isPublic, name, os::clock::now(), 0, parameters);
      ASSERT_TRUE(event) << name;
      engine_->handleEventOnWorkerQueue(*event);
    });
  }
  void setProperty(const std::string& name, Value value) {
    onWorker([&] {
      auto attribute =
          measurement::UserAttribute::create("auto", name, std::move(value), os::clock::now());
      ASSERT_TRUE(attribute);
      engine_->setUserAttributeOnWorkerQueue(*attribute);
    });
  }
  int32_t allEventsToday() {
    int32_t count = -1;
    onWorker([&] {
      os::Error error;
      auto counts = engine_->database()->dailyCounts(&error);
      if (counts && *counts) count = (*counts)->allEventsCount();
    });
    return count;
  }
  // The names stored after the start's own events, in order.
  std::vector<std::string> namesSince(size_t skip) {
    std::vector<std::string> names;
    for (auto& row : StoredDatabase().rows("SELECT name FROM raw_events ORDER BY rowid")) {
      names.push_back(row[0]);
    }
    names.erase(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(skip));
    return names;
  }
  size_t storedCount() { return namesSince(0).size(); }
  // The metadata of the last stored event of `name`.
  pb::MeasurementBundle lastMetadata(const std::string& name) {
    StoredDatabase database;
    std::vector<testsupport::StoredEvent> events = database.events(name);
    pb::MeasurementBundle bundle;
    if (events.empty()) {
      ADD_FAILURE() << "no " << name;
      return bundle;
    }
    EXPECT_TRUE(bundle.ParseFromString(database.metadata(events.back().fingerprint).value_or("")));
    return bundle;
  }
  std::vector<int64_t> errorCodes() {
    os::MutexLock lock(mutex_);
    return errorCodes_;
  }
  size_t logged(int64_t code) {
    size_t count = 0;
    for (const measurement::MonitorRecord& record : capture_.records())
      count += record.code == code;
    return count;
  }

  testsupport::Sandbox sandbox_;
  os::clock::ScopedFakeClock clock_{kStartTime};
  measurement::MonitorCapture capture_;
  std::unique_ptr<measurement::PersistedConfig> config_ =
      measurement::PersistedConfig::create("RoadCaseTest");
  std::shared_ptr<APMMeasurement> engine_;
  os::Mutex mutex_;
  std::vector<int64_t> errorCodes_;
};

TEST_F(RoadCaseTest, DailyLimitsRefuseButCountAndLogOncePerThousand) {
  struct Case {
    const char* name;
    const char* key;
    // The limit above what the start already counted (all events) or absolute (public).
    int32_t limit;
    bool relative;
    std::vector<std::pair<std::string, RawParameters>> events;
    std::vector<std::string> stored;
    // Added to the all-events count of the day.
    int32_t counted;
    std::vector<int64_t> errors;
    size_t logged23055;
    size_t logged23057;
  };
  RawParameters items{
      {"items",
       os::Value(os::Array{os::Dictionary{{"item_id", "a"}}, os::Dictionary{{"item_id", "b"}},
                           os::Dictionary{{"item_id", "c"}}, os::Dictionary{{"item_id", "d"}},
                           os::Dictionary{{"item_id", "e"}}})}};
  const std::vector<Case> cases{
      {"all events: the third and fourth are refused, logged once, still counted",
       "measurement.upload.max_events_per_day",
       2,
       true,
       {{"a", {}}, {"b", {}}, {"c", {}}, {"d", {}}},
       {"a", "b"},
       4,
       {},
       1,
       0},
      {"public events: the second is refused with error 16 and leaves the count as it was",
       "measurement.upload.max_public_events_per_day",
       1,
       false,
       {{"a", {}}, {"b", {}}, {"_x", {}}},
       {"a", "_x"},
       2,
       {16},
       0,
       1},
      {"an items array of five counts six",
       "measurement.upload.max_events_per_day",
       100,
       true,
       {{"add_to_cart", items}},
       {"add_to_cart"},
       6,
       {},
       0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::Sandbox sandbox;
    config_ = measurement::PersistedConfig::create("RoadLimits");
    errorCodes_.clear();
    start();
    size_t before = storedCount();
    int32_t counted = allEventsToday();
    setting(c.key, std::to_string(c.relative ? counted + c.limit : c.limit));
    size_t log23055 = logged(23055), log23057 = logged(23057);
    for (const auto& [name, parameters] : c.events) log(name, parameters, name[0] != '_');
    EXPECT_EQ(namesSince(before), c.stored);
    EXPECT_EQ(allEventsToday() - counted, c.counted);
    EXPECT_EQ(errorCodes(), c.errors);
    EXPECT_EQ(logged(23055) - log23055, c.logged23055);
    EXPECT_EQ(logged(23057) - log23057, c.logged23057);
    onWorker([] {});
    engine_.reset();
  }
}

TEST_F(RoadCaseTest, RealTimeFollowsTheFlagTheDailyLimitAndConversions) {
  start();
  struct Case {
    const char* name;
    const char* limit;
    std::string event;
    RawParameters parameters;
    bool realtime;
  };
  RawParameters flagged{{"_r", Value(int64_t{1})}};
  const std::vector<Case> cases{
      {"flagged under the limit stays real-time", "10", "level_up", flagged, true},
      {"flagged at the limit is demoted", "0", "level_up", flagged, false},
      {"an in-app purchase is never demoted", "0", "_iap", flagged, true},
      {"a conversion below the limit is real-time without the flag", "10", "purchase", {}, true},
      {"a plain event is not real-time", "10", "level_up", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setting("measurement.upload.max_realtime_events_per_day", c.limit);
    size_t demoted = logged(23060);
    // Internal, so that the flag "_r" is kept.
    log(c.event, c.parameters, false);
    auto rows = StoredDatabase().rows(
        "SELECT name, is_realtime FROM raw_events ORDER BY rowid "
        "DESC LIMIT 1");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], c.event);
    EXPECT_EQ(rows[0][1], c.realtime ? "1" : "0");
    bool demotes = c.limit == std::string("0") && c.event == "level_up";
    EXPECT_EQ(logged(23060) - demoted, demotes ? 1u : 0u);
  }
}

TEST_F(RoadCaseTest, TheFiveHundredAndFirstPublicNameIsRefusedButInternalNamesPass) {
  start();
  size_t before = storedCount();
  for (int i = 0; i < 500; ++i) log("name_" + std::to_string(i));
  log("name_500");
  log("_x", {}, false);
  log("name_0");
  std::vector<std::string> names = namesSince(before);
  ASSERT_EQ(names.size(), 502u);
  EXPECT_EQ(names[499], "name_499");
  EXPECT_EQ(names[500], "_x");
  EXPECT_EQ(names[501], "name_0");
  EXPECT_EQ(errorCodes(), std::vector<int64_t>{8});
  EXPECT_EQ(logged(23065), 1u);
}

TEST_F(RoadCaseTest, TheMetadataCarriesTheInternalPropertiesOfItsState) {
  start();
  // "_npa" set by the engine travels with the next event.
  setProperty("_npa", Value(int64_t{1}));
  log("level_up");
  EXPECT_EQ(testsupport::userAttributesOf(lastMetadata("level_up"))["_npa"], "1");

  // A user id and the identity's request: the next event first sets "_lair" = 1, once.
  setProperty("_id", Value(std::string("user-1")));
  engine_->identity()->setShouldSetLastAdvertisingIDResetUserProperty(true);
  log("level_up");
  EXPECT_EQ(testsupport::userAttributesOf(lastMetadata("level_up"))["_lair"], "1");
  EXPECT_FALSE(engine_->identity()->shouldSetLastAdvertisingIDResetUserProperty());

  // Another user id drops "_lair" again.
  setProperty("_id", Value(std::string("user-2")));
  log("level_up");
  EXPECT_FALSE(testsupport::userAttributesOf(lastMetadata("level_up")).contains("_lair"));
}

// The consent fields of the metadata follow the consent the app set through the facade and the
// region and services of the server's configuration.
TEST_F(RoadCaseTest, TheMetadataCarriesTheConsentSetThroughTheFacade) {
  struct Case {
    const char* what;
    os::Dictionary consent;
    bool dmaRegion;
    bool dmaConsentEnabled;
    std::string signals;
    // Absent when nullopt. The app's own consent is source digit 5; a type never set, 9.
    std::optional<std::string> diagnostics;
    std::optional<bool> storedDMARegion;
    std::optional<std::string> services;
  };
  const os::Value granted("granted");
  const os::Value denied("denied");
  const std::vector<Case> cases{
      {"all granted in the region: the services, sorted",
       {{"ad_storage", granted}, {"analytics_storage", granted}, {"ad_user_data", granted}},
       true,
       true,
       "G111",
       "15559",
       true,
       "ab"},
      {"ad user data denied in the region: no service",
       {{"ad_storage", granted}, {"analytics_storage", granted}, {"ad_user_data", denied}},
       true,
       true,
       "G111",
       "15559",
       true,
       "-"},
      {"ad storage denied, ad user data granted: the services",
       {{"ad_storage", denied}, {"analytics_storage", granted}, {"ad_user_data", granted}},
       true,
       true,
       "G101",
       "15559",
       true,
       "ab"},
      {"granted outside the region: no services field",
       {{"ad_storage", granted}, {"analytics_storage", granted}, {"ad_user_data", granted}},
       false,
       true,
       "G111",
       "15559",
       false,
       std::nullopt},
      {"DMA consent off: none of the fields",
       {{"ad_storage", granted}, {"analytics_storage", granted}, {"ad_user_data", denied}},
       true,
       false,
       "G111",
       std::nullopt,
       std::nullopt,
       std::nullopt},
  };
  start();
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    APMAnalytics::clearConsent();
    APMPBConsentConfig consent;
    APMPBSetBool(consent, kConsentConfig_is_dma_region, test.dmaRegion);
    std::vector<APMPBCorePlatformServiceEntry> services(2);
    APMPBSetString(services[0], kCorePlatformServiceEntry_service, "b");
    APMPBSetString(services[1], kCorePlatformServiceEntry_service, "a");
    APMPBSetArray(consent, kConsentConfig_core_platform_services, services);
    APMPBMeasurementConfig config;
    APMPBSetInt64(config, kMeasurementConfig_version, 1);
    APMPBSetString(config, kMeasurementConfig_app_id, "1:1:macos:a");
    APMPBSetMessage(config, kMeasurementConfig_consent_config, &consent);
    onWorker(
        [&] { ASSERT_TRUE(engine_->remoteConfigInstance()->updateMeasurementConfig(config)); });
    setting("measurement.upload.dma_consent_enabled", test.dmaConsentEnabled ? "1" : "0");
    APMAnalytics::setConsent(test.consent);

    log("level_up");

    pb::MeasurementBundle metadata = lastMetadata("level_up");
    EXPECT_EQ(metadata.consent_signals(), test.signals);
    auto present = [](bool has, auto value) { return has ? std::optional(value) : std::nullopt; };
    EXPECT_EQ(present(metadata.has_consent_diagnostics(), metadata.consent_diagnostics()),
              test.diagnostics);
    EXPECT_EQ(present(metadata.has_dma_region(), metadata.dma_region()), test.storedDMARegion);
    EXPECT_EQ(present(metadata.has_core_platform_services(), metadata.core_platform_services()),
              test.services);
  }
  APMAnalytics::clearConsent();
}

TEST_F(RoadCaseTest, AnExpiredBackgroundSessionLeavesNoSessionPropertiesToTheNextEvent) {
  start();
  log("level_up");
  std::map<std::string, std::string> during =
      testsupport::userAttributesOf(lastMetadata("level_up"));
  EXPECT_TRUE(during.contains("_sid"));
  EXPECT_TRUE(during.contains("_sno"));

  clock_.advance(2 * 3600);
  log("level_up");
  std::map<std::string, std::string> after =
      testsupport::userAttributesOf(lastMetadata("level_up"));
  EXPECT_FALSE(after.contains("_sid"));
  EXPECT_FALSE(after.contains("_sno"));

  // "extend_session" = 1 in the background starts a new session before the event is written.
  log("level_up", {{"extend_session", Value(int64_t{1})}});
  EXPECT_TRUE(testsupport::userAttributesOf(lastMetadata("level_up")).contains("_sid"));
  EXPECT_EQ(logged(23179), 0u);
  log("level_up", {{"extend_session", Value(std::string("1"))}});
  EXPECT_EQ(logged(23179), 1u);
}

TEST_F(RoadCaseTest, FirstOpenIsReportedOnceWithItsProperties) {
  start();
  StoredDatabase database;
  std::vector<testsupport::StoredEvent> firstOpens = database.events("_f");
  ASSERT_EQ(firstOpens.size(), 1u);
  EXPECT_EQ(firstOpens[0].message.timestamp_millis(), 1700000000500);
  std::map<std::string, std::string> parameters = testsupport::parametersOf(firstOpens[0].message);
  EXPECT_EQ(parameters["_pfo"], "i:0");
  EXPECT_EQ(parameters["_uwa"], "i:0");
  EXPECT_FALSE(parameters.contains("_pgmp"));
  EXPECT_EQ(testsupport::userAttributesOf(lastMetadata("_e"))["_fot"], "1700002800000");
  EXPECT_EQ(database.events("_s").size(), 1u);
  EXPECT_EQ(engine_->previousFirstOpenCount(), "1");

  // A second start over the same data sends no first open again.
  onWorker([] {});
  engine_.reset();
  clock_.advance(3 * 3600);
  start();
  EXPECT_EQ(StoredDatabase().events("_f").size(), 1u);
  EXPECT_EQ(StoredDatabase().events("_s").size(), 2u);
}

TEST_F(RoadCaseTest, AnAllowListKeepsOnlyItsEventsAndMarksThem) {
  start(nullptr, std::vector<std::string>{"purchase"});
  size_t before = storedCount();
  log("purchase");
  log("level_up");
  log("_e", {}, false);
  EXPECT_EQ(namesSince(before), std::vector<std::string>{"purchase"});
  EXPECT_EQ(
      testsupport::parametersOf(StoredDatabase().events("purchase")[0].message)["ga_safelisted"],
      "i:1");
}

TEST(RoadFunctionsTest, RoundsUpToTheNextWholeHour) {
  const std::vector<std::pair<int64_t, int64_t>> cases{
      {1700000000500, 1700002800000}, {3600000, 7200000}, {0, 3600000}, {3599999, 3600000}};
  for (auto [milliseconds, rounded] : cases) {
    EXPECT_EQ(APMMeasurement::timestampMillisRoundedUpToNextHour(milliseconds), rounded)
        << milliseconds;
  }
}

TEST(RoadFunctionsTest, ReadsTheStorageSignalsOfTheConsentString) {
  const std::vector<std::pair<const char*, bool>> cases{
      {"G111", false}, {"G110", true}, {"G11d", true}, {"G11D", true}, {"G11", false}, {"", false}};
  for (auto [signals, denied] : cases) {
    EXPECT_EQ(measurement::isAnalyticsStorageDenied(signals), denied) << signals;
  }
}

namespace editing {

// A configuration of the engine's app whose first program is `program`.
APMPBMeasurementConfig configWithProgram(const APMPBProgram& program) {
  APMPBMeasurementConfig config;
  APMPBSetInt64(config, kMeasurementConfig_version, 1);
  APMPBSetString(config, kMeasurementConfig_app_id, "1:1:macos:a");
  APMPBSetArray(config, kMeasurementConfig_dynamic_event_editing,
                std::vector<APMPBProgram>{program});
  return config;
}

// A program whose rule registers one edit and one create callback, in the script notation.
std::string program(std::string_view edit, std::string_view create) {
  auto callback = [](std::string_view type, std::string_view body) {
    return R"(("register" 0 ("51" "cb" ("7" "e") )" + std::string(body) + R"() ("8" "type" ")" +
           std::string(type) + R"(")))";
  };
  return std::string(R"(("52" "register" ("require" "internal.registerCallback"))
                        ("52" "log" ("require" "internal.eventLogger"))
                        ("50" "rule" ("7" "o") )") +
         callback("edit", edit) + callback("create", create) + R"() (activity "rule" ("8")))";
}

// Editing that always fails, for the branch the runtime reaches only on broken programs.
class FailingEditing : public measurement::EventEditing {
 public:
  void setModuleCreator(std::string, measurement::EditingModuleCreator) override {}
  void loadProgram(const APMPBProgram&, os::Error*) override {}
  std::optional<measurement::EditOutcome> handleEvent(const measurement::EditEvent&,
                                                      os::Error* error) override {
    *error = os::Error("com.vedodo.gmp.measurement.pixie.ErrorDomain", 18);
    return std::nullopt;
  }
};

}  // namespace editing

TEST_F(RoadCaseTest, EditsAndCreatedEventsAreWrittenInOrderAndBadOnesLeftOut) {
  start();
  std::string created = R"(("log" "made_one" 1700000001 ("8" "kind" "a"))
                           ("log" "made_two" 1700000002 ("8" "_o" "am"))
                           ("log" "made_bad" 1700000003 ("8" "_o" "no origin!")) 0)";
  std::string edit = R"(("2" ("15" "e") "setEventName" ("46" "renamed")) 0)";
  APMPBMeasurementConfig config =
      editing::configWithProgram(measurement::pixie::program(editing::program(edit, created)));
  onWorker([&] { ASSERT_TRUE(engine_->remoteConfigInstance()->updateMeasurementConfig(config)); });
  ASSERT_TRUE(engine_->remoteConfigInstance()->eventEditing());
  size_t before = storedCount();
  log("level_up");
  EXPECT_EQ(namesSince(before), (std::vector<std::string>{"renamed", "made_one", "made_two"}));
  StoredDatabase database;
  EXPECT_EQ(testsupport::parametersOf(database.events("made_one")[0].message)["_o"], "s:app");
  EXPECT_EQ(testsupport::parametersOf(database.events("made_two")[0].message)["_o"], "s:am");
  EXPECT_EQ(database.events("made_one")[0].message.timestamp_millis(), 1700000001000);
  EXPECT_EQ(logged(23223), 1u);
}

TEST_F(RoadCaseTest, AFailedEditWritesTheUneditedEventAlone) {
  start([] { return std::make_shared<editing::FailingEditing>(); });
  onWorker([&] {
    ASSERT_TRUE(engine_->remoteConfigInstance()->updateMeasurementConfig(
        editing::configWithProgram(APMPBProgram())));
  });
  size_t before = storedCount();
  log("level_up", {{"level", Value(int64_t{3})}});
  EXPECT_EQ(namesSince(before), std::vector<std::string>{"level_up"});
  EXPECT_EQ(testsupport::parametersOf(StoredDatabase().events("level_up")[0].message)["level"],
            "i:3");
  EXPECT_EQ(logged(23223), 1u);
}

TEST_F(RoadCaseTest, DefaultEventParametersAreCheckedStoredAndMergedUnderTheEventsOwn) {
  start();
  struct Case {
    const char* name;
    std::optional<os::Dictionary> given;
    os::Dictionary stored;
    std::vector<int64_t> errors;
  };
  os::Dictionary thirty;
  for (int i = 10; i < 40; ++i) thirty["p" + std::to_string(i)] = int64_t{i};
  os::Dictionary firstTwentyFive;
  for (int i = 10; i < 35; ++i) firstTwentyFive["p" + std::to_string(i)] = int64_t{i};
  const std::vector<Case> cases{
      {"valid values are stored as given",
       os::Dictionary{{"a", "x"}, {"b", int64_t{2}}},
       {{"a", "x"}, {"b", int64_t{2}}},
       {}},
      {"null removes only its key", os::Dictionary{{"a", os::Value()}}, {{"b", int64_t{2}}}, {}},
      {"an array is refused with error 27, a dictionary without one",
       os::Dictionary{{"list", os::Array{int64_t{1}}}, {"map", os::Dictionary{{"k", "v"}}}},
       {{"b", int64_t{2}}},
       {27}},
      {"a reserved name is refused",
       os::Dictionary{{"_x", "y"}, {"ga_x", "y"}},
       {{"b", int64_t{2}}},
       {}},
      {"nothing clears all", std::nullopt, {}, {}},
      {"beyond the limit the last names go, with error 26", thirty, firstTwentyFive, {26}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    errorCodes_.clear();
    engine_->setDefaultEventParameters(c.given);
    onWorker([] {});
    EXPECT_EQ(config_->defaultEventParameters().value_or(os::Dictionary{}), c.stored);
    EXPECT_EQ(errorCodes(), c.errors);
  }

  engine_->setDefaultEventParameters(os::Dictionary{{"a", "x"}, {"b", int64_t{2}}});
  auto logThroughEntry = [&](const char* origin, bool isPublic, const char* name,
                             RawParameters parameters) {
    engine_->logEventWithOrigin(origin, isPublic, name, std::move(parameters), os::clock::now(),
                                true, false, false, nullptr, {});
    onWorker([] {});
  };
  logThroughEntry("app", true, "level_up", {{"b", Value(int64_t{3})}});
  logThroughEntry("auto", false, "_err", {{"_err", Value(int64_t{5})}});
  StoredDatabase database;
  std::map<std::string, std::string> merged =
      testsupport::parametersOf(database.events("level_up").back().message);
  EXPECT_EQ(merged["a"], "s:x");
  EXPECT_EQ(merged["b"], "i:3");
  std::map<std::string, std::string> error =
      testsupport::parametersOf(database.events("_err").back().message);
  EXPECT_FALSE(error.contains("a"));
}

TEST_F(RoadCaseTest, AnInterceptorTakesPublicEventsInsteadOfTheDatabase) {
  start();
  engine_->setDefaultEventParameters(os::Dictionary{{"a", "x"}});
  onWorker([] {});
  struct Call {
    std::string origin;
    std::string name;
    std::vector<std::string> keys;
  };
  std::vector<Call> calls;
  APMLogEventInterceptor interceptor = [&](const std::string& origin, const std::string& name,
                                           const RawParameters& parameters, double) {
    Call& call = calls.emplace_back(Call{origin, name, {}});
    for (const auto& entry : parameters) call.keys.push_back(entry.first);
  };
  measurement::Parameters screen{{"_si", Value(int64_t{7})}};
  size_t before = storedCount();
  struct Case {
    const char* name;
    const char* origin;
    bool isPublic;
    bool enabled;
    bool ignoreInterceptor;
    bool intercepted;
  };
  const std::vector<Case> cases{
      {"level_up", "app", true, true, false, true},
      {"ignored", "app", true, true, true, false},
      {"internal", "app", false, true, false, false},
      {"disabled", "app", true, false, false, false},
      {"ad_event", "am", true, true, false, false},
  };
  std::vector<std::string> stored;
  for (const Case& c : cases) {
    engine_->logEventWithOrigin(c.origin, c.isPublic, c.name, {{"v", Value(int64_t{1})}},
                                os::clock::now(), c.enabled, false, c.ignoreInterceptor,
                                interceptor, screen);
    onWorker([] {});
    if (!c.intercepted) stored.push_back(c.name);
  }
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].name, "level_up");
  EXPECT_EQ(calls[0].keys, (std::vector<std::string>{"_si", "a", "v"}));
  // With the facade's switch off the event still takes the road, where the engine's own switch
  // decides; ad events never go to the interceptor.
  EXPECT_EQ(namesSince(before), stored);
}

TEST_F(RoadCaseTest, TheSessionIDIsTheCurrentSessionsStartUntilItExpires) {
  start();
  auto ask = [&] {
    std::pair<int64_t, std::string> answer;
    engine_->sessionIDWithCompletion([&](int64_t id, std::optional<os::Error> error) {
      answer = {id, error ? error->description : ""};
    });
    onWorker([] {});
    return answer;
  };
  // The start's session began at the load time: its whole seconds.
  EXPECT_EQ(ask(), (std::pair<int64_t, std::string>{1700000000, ""}));
  engine_->setSessionTimeoutInterval(60);
  onWorker([] {});
  clock_.advance(61);
  EXPECT_EQ(ask(), (std::pair<int64_t, std::string>{0, "Session expired"}));
}

// A step that fails inside the write takes the whole event back: the day's counts do not move for
// an event that was not stored.
TEST_F(RoadCaseTest, AFailedStepRollsBackTheCountsWithTheEvent) {
  start();
  onWorker([&] {
    measurement::Database& database = *engine_->database();
    database.performTransaction([&] {
      for (int i = 0;; ++i) {
        auto aggregates =
            measurement::EventAggregates::initWithName("_n" + std::to_string(i), 0, 0, 0, 0);
        os::Error error;
        if (!database.updateEventAggregates(*aggregates, &error)) return true;
      }
    });
  });
  size_t before = storedCount();
  int32_t counted = allEventsToday();
  log("_new", {}, false);
  EXPECT_EQ(storedCount(), before);
  EXPECT_EQ(allEventsToday(), counted);
  EXPECT_EQ(logged(23066), 1u);
  // A name already known still goes through.
  log("_n0", {}, false);
  EXPECT_EQ(storedCount(), before + 1);
  EXPECT_EQ(allEventsToday(), counted + 1);
}

TEST_F(RoadCaseTest, ThePurchaseFilterPassesEachCompletedPurchaseOnce) {
  start();
  using measurement::PurchaseTransaction;
  auto purchase = [](const char* id, int64_t state = measurement::kPurchaseStatePurchased) {
    PurchaseTransaction transaction = purchaseWith(state, id);
    transaction.productIdentifier = std::string("product-") + id;
    return transaction;
  };
  auto filter = [&](std::vector<PurchaseTransaction> transactions) {
    std::promise<std::vector<std::string>> passed;
    engine_->filterPurchaseTransactions(std::move(transactions),
                                        [&passed](std::vector<PurchaseTransaction> result) {
                                          std::vector<std::string> products;
                                          for (const PurchaseTransaction& t : result)
                                            products.push_back(t.productIdentifier);
                                          passed.set_value(products);
                                        });
    return passed.get_future().get();
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(filter({}), Names{});
  // Restored (3) and failed (2) transactions never pass; zeroes have no fingerprint and pass.
  EXPECT_EQ(
      filter({purchase("1000000123"), purchase("77", 3), purchase("78", 2), purchase("0000-0000")}),
      (Names{"product-1000000123", "product-0000-0000"}));
  EXPECT_EQ(logged(23139), 1u);
  EXPECT_EQ(filter({purchase("1000000123"), purchase("1000000124")}), Names{"product-1000000124"});
  EXPECT_EQ(logged(23141), 1u);

  // A fingerprint that cannot be stored lets the purchase through rather than drop it.
  {
    std::string path = measurement::measurementDataPath(measurement::kMeasurementDatabaseName);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE purchase_transactions", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  EXPECT_EQ(filter({purchase("1000000123")}), Names{"product-1000000123"});
  EXPECT_EQ(logged(23140), 1u);
}

TEST(RoadFunctionsTest, APurchaseFingerprintIsTheMD5OfItsIdentifier) {
  // The monitor stores the refusals' lines: in a sandbox, never in the real preferences.
  testsupport::Sandbox sandbox;
  using measurement::PurchaseTransaction;
  const std::vector<std::pair<PurchaseTransaction, std::optional<std::string>>> cases{
      {purchaseWith(1, "1000000123"), "afccd9bcc0e95ca4e2f2f0a95a2f0087"},
      {purchaseWith(1, "0000-0000"), std::nullopt},
      {purchaseWith(1, ""), std::nullopt},
      {purchaseWith(1, std::nullopt), std::nullopt},
      {purchaseWith(3, "1000000123"), std::nullopt},
  };
  for (const auto& [transaction, expected] : cases) {
    EXPECT_EQ(measurement::transactionFingerprint(&transaction), expected)
        << transaction.transactionIdentifier.value_or("(none)");
  }
  EXPECT_EQ(measurement::transactionFingerprint(nullptr), std::nullopt);
}

TEST_F(RoadCaseTest, PurchasesAddToTheLifetimeValueOfTheirCurrency) {
  start();
  auto ltv = [&]() {
    std::map<std::string, int64_t> totals;
    onWorker([&] {
      os::Error error;
      auto attributes = engine_->database()->allLifetimeValueUserAttributes(&error);
      for (const auto& attribute : attributes.value_or(std::vector<measurement::UserAttribute>{})) {
        totals[attribute.name()] = attribute.value().int64Value();
      }
    });
    return totals;
  };
  auto purchase = [](const char* currency, Value value) {
    return RawParameters{{"currency", Value(std::string(currency))}, {"value", std::move(value)}};
  };
  struct Case {
    const char* name;
    const char* event;
    RawParameters parameters;
    std::map<std::string, int64_t> totals;
    size_t failures;
  };
  const std::vector<Case> cases{
      {"a purchase in units", "purchase", purchase("usd", Value(9.99)), {{"_ltv_USD", 9990000}}, 0},
      {"a refund subtracts",
       "refund",
       purchase("EUR", Value(2.5)),
       {{"_ltv_USD", 9990000}, {"_ltv_EUR", -2500000}},
       0},
      {"an in-app purchase is in micro-units already",
       "_iap",
       purchase("EUR", Value(int64_t{2970000})),
       {{"_ltv_USD", 9990000}, {"_ltv_EUR", 470000}},
       0},
      {"a two-letter currency records nothing",
       "purchase",
       purchase("US", Value(1.0)),
       {{"_ltv_USD", 9990000}, {"_ltv_EUR", 470000}},
       0},
      {"out of range: the purchase is kept, its value is not",
       "purchase",
       purchase("USD", Value(1e13)),
       {{"_ltv_USD", 9990000}, {"_ltv_EUR", 470000}},
       1},
      {"a third and a fourth currency",
       "purchase",
       purchase("GBP", Value(int64_t{1})),
       {{"_ltv_USD", 9990000}, {"_ltv_EUR", 470000}, {"_ltv_GBP", 1000000}},
       0},
      {"",
       "purchase",
       purchase("JPY", Value(int64_t{100})),
       {{"_ltv_USD", 9990000},
        {"_ltv_EUR", 470000},
        {"_ltv_GBP", 1000000},
        {"_ltv_JPY", 100000000}},
       0},
      {"a fifth evicts the one set longest ago",
       "purchase",
       purchase("CHF", Value(int64_t{2})),
       {{"_ltv_EUR", 470000},
        {"_ltv_GBP", 1000000},
        {"_ltv_JPY", 100000000},
        {"_ltv_CHF", 2000000}},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = storedCount();
    size_t failures = logged(23053);
    // Distinct set times, so that "longest ago" is well defined.
    clock_.advance(1);
    log(c.event, c.parameters, c.event[0] != '_');
    EXPECT_EQ(namesSince(before), std::vector<std::string>{c.event});
    EXPECT_EQ(ltv(), c.totals);
    EXPECT_EQ(logged(23053) - failures, c.failures);
  }
}

TEST_F(RoadCaseTest, UserDataIsRefusedForTheMissingMeasurementClient) {
  start();
  struct Case {
    const char* name;
    os::Dictionary userData;
    std::vector<int64_t> codes;
  };
  const std::vector<Case> cases{
      {"an address", {{"email_address", "a@example.com"}}, {23233}},
      {"every identifier tried",
       {{"email_address", "a@example.com"},
        {"phone_number", "+1555"},
        {"hashed_email_address", "ab"},
        {"hashed_phone_number", "cd"}},
       {23233, 23233, 23233, 23233}},
      {"empty ones say so", {{"email_address", ""}, {"hashed_phone_number", ""}}, {23234, 23264}},
      {"nothing given", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t first = capture_.records().size();
    engine_->setUserData(c.userData);
    onWorker([] {});
    std::vector<int64_t> codes;
    std::vector<measurement::MonitorRecord> records = capture_.records();
    for (size_t i = first; i < records.size(); ++i) {
      if (records[i].code >= 23225 && records[i].code <= 23265) codes.push_back(records[i].code);
    }
    EXPECT_EQ(codes, c.codes);
  }
  // A match stored by an earlier client expires after 90 days, with its counters.
  setProperty("_psmvalue", Value(std::string("match")));
  setProperty("_psmcount", Value(int64_t{2}));
  clock_.advance(7776000);
  onWorker([&] { engine_->maybeDeleteExpiredPSMValueOnWorkerQueue(); });
  onWorker([&] {
    os::Error error;
    EXPECT_FALSE(*engine_->database()->containsUserAttributeWithName("_psmvalue", &error));
    EXPECT_FALSE(*engine_->database()->containsUserAttributeWithName("_psmcount", &error));
  });
}

TEST_F(RoadCaseTest, LinksWithCampaignParametersBecomeCampaignEvents) {
  start();
  struct Case {
    const char* name;
    const char* link;
    double time;
    // The event stored ("" for none) and its parameters without "_o".
    std::string event;
    std::map<std::string, std::string> parameters;
    int64_t millis;
  };
  const std::vector<Case> cases{
      {"source and medium",
       "app://open?utm_source=news&utm_medium=mail",
       kStartTime + 10,
       "_cmp",
       {{"source", "s:news"}, {"medium", "s:mail"}},
       1700000010500},
      {"a term alone is no campaign", "app://open?utm_term=shoes", kStartTime + 10, "", {}, 0},
      {"no query", "app://open", kStartTime + 10, "", {}, 0},
      {"click ids need an advertising id or authorization",
       "app://open?gclid=abc&utm_source=ads",
       kStartTime + 10,
       "_cmp",
       {{"source", "s:ads"}},
       1700000010500},
      {"a key given twice keeps its first value",
       "app://open?utm_source=a&utm_source=b",
       kStartTime + 10,
       "_cmp",
       {{"source", "s:a"}},
       1700000010500},
      {"never before the first open",
       "app://open?utm_campaign=spring",
       1600000000,
       "_cmp",
       {{"campaign", "s:spring"}},
       1700000000500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = storedCount();
    engine_->handleNonFirstOpenEventURL(*os::URL::parse(c.link), c.time);
    onWorker([] {});
    std::vector<std::string> names = namesSince(before);
    if (c.event.empty()) {
      EXPECT_TRUE(names.empty());
      continue;
    }
    ASSERT_EQ(names, std::vector<std::string>{c.event});
    testsupport::StoredEvent stored = StoredDatabase().events(c.event).back();
    std::map<std::string, std::string> parameters = testsupport::parametersOf(stored.message);
    parameters.erase("_o");
    EXPECT_EQ(parameters, c.parameters);
    EXPECT_EQ(stored.message.timestamp_millis(), c.millis);
  }
}

TEST_F(RoadCaseTest, AStoredLaunchLinkIsReportedOnceFreshOrExpired) {
  start();
  measurement::ConfigStore& defaults = measurement::MeasurementUserDefaults::shared();
  struct Case {
    const char* name;
    double age;
    std::string event;
    std::map<std::string, std::string> parameters;
  };
  const std::vector<Case> cases{
      {"fresh: the hour before the stored time",
       3600,
       "_cmp",
       {{"source", "s:news"},
        {"medium", "s:mail"},
        {"_cc", "i:1699995600000"},
        {"click_timestamp", "i:42"}}},
      {"older than the attribution window",
       604801,
       "_cmpx",
       {{"source", "s:(not set)"},
        {"medium", "s:(not set)"},
        {"_cc", "i:1"},
        {"click_timestamp", "i:42"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clock_.setNow(kStartTime);
    measurement::storeDeepLink(defaults, "app://open?utm_source=news&utm_medium=mail");
    clock_.advance(c.age);
    size_t before = storedCount();
    onWorker([&] { engine_->reportStoredCampaignEventOnWorkerQueue(42); });
    ASSERT_EQ(namesSince(before), std::vector<std::string>{c.event});
    std::map<std::string, std::string> parameters =
        testsupport::parametersOf(StoredDatabase().events(c.event).back().message);
    parameters.erase("_o");
    EXPECT_EQ(parameters, c.parameters);
    EXPECT_TRUE(defaults.objectForKey(measurement::kStoredDeepLinkKey).isNull());
    // Reported once: the link is gone.
    onWorker([&] { engine_->reportStoredCampaignEventOnWorkerQueue(42); });
    EXPECT_EQ(namesSince(before).size(), 1u);
  }
}

TEST_F(RoadCaseTest, RepeatedSubscriptionsAndRolloutStartsAreDropped) {
  start();
  struct Case {
    const char* name;
    const char* event;
    RawParameters parameters;
    bool stored;
  };
  const std::vector<Case> cases{
      {"a renewal", "_assr", {{"_did", Value(int64_t{77})}}, true},
      {"the same renewal again", "_assr", {{"_did", Value(int64_t{77})}}, false},
      {"a subscription purchase with the same id",
       "_iap",
       {{"subscription", Value(int64_t{1})}, {"_did", Value(int64_t{77})}},
       false},
      {"another id", "_assc", {{"_did", Value(int64_t{78})}}, true},
      {"no id", "_assr", {}, true},
      {"an id that is text", "_assr", {{"_did", Value(std::string("77"))}}, true},
      {"rollouts without a value while none is stored", "_ssr", {}, false},
      {"new rollouts", "_ssr", {{"_ffr", Value(std::string("r1"))}}, true},
      {"the same rollouts", "_ssr", {{"_ffr", Value(std::string("r1"))}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t before = storedCount();
    log(c.event, c.parameters, false);
    EXPECT_EQ(namesSince(before).size(), c.stored ? 1u : 0u);
  }
  // With rollouts stored, a session start writes "_ssr" first, an exception carries them.
  size_t before = storedCount();
  log("_s", {}, false);
  log("_ae", {}, false);
  EXPECT_EQ(namesSince(before), (std::vector<std::string>{"_ssr", "_s", "_ae"}));
  EXPECT_EQ(testsupport::parametersOf(StoredDatabase().events("_ae").back().message)["_ffr"],
            "s:r1");
}

}  // namespace
