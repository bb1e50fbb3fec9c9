#include "measurement/config/remote_config.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "measurement/config/config_test_support.h"
#include "measurement/database/database_test_support.h"
#include "measurement/foundation/lookup.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/privacy/identifiers.h"
#include "measurement/wire/schema/cpp/config.pb.h"
#include "os/process/clock.h"
#include "testsupport/child_process.h"

namespace measurement {
namespace {

using testing::configWithSettings;
using testing::FakeEditingFactory;
using testing::fixture;
using testing::kAppID;

using Strings = std::vector<std::string>;

// The only context number of the first record with `code`; nullopt without such a record.
std::optional<int64_t> contextOf(const MonitorCapture& capture, int64_t code) {
  for (const MonitorRecord& record : capture.records()) {
    if (record.code != code) continue;
    EXPECT_EQ(record.contexts.size(), 1u);
    const int64_t* number =
        record.contexts.empty() ? nullptr : std::get_if<int64_t>(&record.contexts[0]);
    return number ? std::optional(*number) : std::nullopt;
  }
  return std::nullopt;
}

int64_t countOf(const MonitorCapture& capture, int64_t code) {
  std::vector<MonitorRecord> records = capture.records();
  return std::count_if(records.begin(), records.end(),
                       [code](const MonitorRecord& record) { return record.code == code; });
}

class RemoteConfigTest : public testing::RemoteConfigTestBase {};

TEST_F(RemoteConfigTest, CreationNeedsAnAppIDAndADatabase) {
  MonitorCapture capture;
  EXPECT_FALSE(RemoteConfig::create("", database_.get(), std::nullopt, {}));
  EXPECT_TRUE(capture.contains(29000));
  EXPECT_FALSE(RemoteConfig::create(kAppID, nullptr, std::nullopt, {}));
  EXPECT_TRUE(capture.contains(29001));
}

// The whole road of a configuration: fetched bytes, the checks, the database file, the lookup
// state, and a new process that parses what this one stored.
TEST_F(RemoteConfigTest, AnAcceptedConfigurationIsStoredAndANewProcessParsesItAgain) {
  std::shared_ptr<RemoteConfig> config = make();
  ASSERT_TRUE(config);
  EXPECT_EQ(config->version(), -1);
  MonitorCapture capture;
  ASSERT_TRUE(config->updateMeasurementConfig(fixture("full")));

  EXPECT_EQ(config->version(), 7);
  std::shared_ptr<Settings> settings = config->settings();
  EXPECT_EQ(settings->uploadingInterval(), 7200);  // 7200000 ms
  EXPECT_EQ(settings->maxEventsPerDay(), 500);     // the later entry of a name wins
  EXPECT_TRUE(settings->blocklistPublic());
  // The sign-in setting message wins over the setting text and is read without its bounds.
  EXPECT_EQ(settings->hashPrefixBitLengthEmail(), 30);
  EXPECT_EQ(countOf(capture, 29019), 2);  // a setting without name, one without value
  EXPECT_EQ(countOf(capture, 29013), 1);  // an event configuration without name

  // Event configurations are found by the internal name of a public event.
  EXPECT_FALSE(config->eventConfigWithName("screen_view"));
  EXPECT_EQ(config->samplingRateForEvent("_vs"), 7);
  EXPECT_TRUE(config->isEventCustomConversion("_vs"));
  EXPECT_FALSE(config->isEventCustomConversion("Install_SW"));

  EXPECT_EQ(config->dataControls(), (Strings{"ad_user_data_control", "limited"}));
  EXPECT_EQ(config->consentDefaults(),
            (os::Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "granted"}}));
  EXPECT_EQ(config->consentDelegations(), (os::Dictionary{{"ad_user_data", "ad_storage"}}));
  EXPECT_EQ(config->corePlatformServices(), (std::set<std::string>{"ads"}));
  EXPECT_FALSE(config->isDMARegion());
  EXPECT_EQ(config->regionalDefaults(), (os::Dictionary{{"ad_personalization", "denied"}}));
  EXPECT_EQ(config->uploadSubdomain(), "region1");
  EXPECT_EQ(config->uploadURL().absoluteString(), "https://region1.measurement.tessaro.example/a");
  EXPECT_FALSE(config->eventEditing());
  EXPECT_EQ(contextOf(capture, 29014), 7);  // the version

  // The file holds the message, as an independent decoder reads it.
  testing::RawRows stored =
      testing::rawQuery(path_, "SELECT hex(remote_config_data) FROM app_metadata");
  ASSERT_EQ(stored.size(), 1u);
  std::string bytes;
  for (size_t i = 0; i + 1 < stored[0][0].size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(stored[0][0].substr(i, 2), nullptr, 16)));
  }
  tessaro::measurement::MeasurementConfig decoded;
  ASSERT_TRUE(decoded.ParseFromString(bytes));
  EXPECT_EQ(decoded.app_id(), kAppID);
  EXPECT_EQ(decoded.version(), 7);
  EXPECT_EQ(decoded.psm_setting().psm_prefix_email(), 30);

  testsupport::ChildRun run = testsupport::runChild({CONFIG_CHILD, kAppID});
  ASSERT_TRUE(run.succeeded()) << run.output;
  EXPECT_EQ(run.output,
            "version=7\n"
            "uploadingInterval=7200\n"
            "maxEventsPerDay=500\n"
            "hashPrefixBitLengthEmail=30\n"
            "samplingRate(_vs)=7\n"
            "dataControls=ad_user_data_control,limited\n"
            "consentDefaults={\n    ad_storage = denied;\n    analytics_storage = granted;\n}\n"
            "isDMARegion=0\n"
            "uploadURL=https://region1.measurement.tessaro.example/a\n");

  // Another application's process finds nothing of it.
  run = testsupport::runChild({CONFIG_CHILD, "1:999:ios:other"});
  ASSERT_TRUE(run.succeeded()) << run.output;
  EXPECT_EQ(run.output.substr(0, run.output.find("samplingRate")),
            "version=-1\nuploadingInterval=3600\nmaxEventsPerDay=100000\n"
            "hashPrefixBitLengthEmail=14\n");
  EXPECT_NE(run.output.find("uploadURL=https://measurement.tessaro.example/a\n"), std::string::npos)
      << run.output;
}

// What the platform says when the user authorized tracking.
class TrackingAuthorizedSupport : public IdentitySupport {
 public:
  bool hasLimitedAdTracking() const override { return true; }
  bool limitedAdTracking() const override { return false; }
  bool hasAppDataConsentStatus() const override { return true; }
  int64_t appDataConsentStatus() const override { return 3; }
  std::optional<std::string> resettableDeviceID() const override { return std::nullopt; }
};

// A configuration given at creation is checked and stored as a fetched one is; uploads move to
// the tracking-authorized host once the user authorized tracking.
TEST_F(RemoteConfigTest, AConfigurationGivenAtCreationIsAppliedAndUploadsFollowTracking) {
  RemoteConfigServices services;
  services.identitySupport = std::make_shared<TrackingAuthorizedSupport>();
  std::shared_ptr<RemoteConfig> config =
      RemoteConfig::create(kAppID, database_.get(), fixture("full"), services);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->version(), 7);
  EXPECT_EQ(config->uploadURL().absoluteString(),
            "https://region1.measurement-authorized.tessaro.example/a");
  Lookup<APMPBMeasurementConfig> stored = database_->queryMeasurementConfig(nullptr);
  ASSERT_TRUE(stored && *stored);
  EXPECT_EQ(APMPBGetInt64(**stored, kMeasurementConfig_version), 7);

  MonitorCapture capture;
  config = RemoteConfig::create(kAppID, database_.get(), fixture("other_app"), services);
  ASSERT_TRUE(config);
  EXPECT_TRUE(capture.contains(29004));
  EXPECT_EQ(config->version(), -1);
  EXPECT_EQ(config->uploadURL().absoluteString(),
            "https://measurement-authorized.tessaro.example/a");
}

TEST_F(RemoteConfigTest, AnotherApplicationsConfigurationIsRefusedAndADirectParseIgnoresIt) {
  std::shared_ptr<RemoteConfig> config = make();
  ASSERT_TRUE(config->updateMeasurementConfig(fixture("full")));
  MonitorCapture capture;
  APMPBMeasurementConfig other = fixture("other_app");
  EXPECT_FALSE(config->updateMeasurementConfig(other));
  EXPECT_TRUE(capture.contains(29004));
  config->parseRemoteConfigFromMeasurementConfig(&other);

  EXPECT_EQ(config->version(), 7);
  EXPECT_EQ(config->settings()->uploadingInterval(), 7200);
  EXPECT_EQ(config->dataControls(), (Strings{"ad_user_data_control", "limited"}));
  Lookup<APMPBMeasurementConfig> stored = database_->queryMeasurementConfig(nullptr);
  ASSERT_TRUE(stored && *stored);
  EXPECT_EQ(APMPBGetInt64(**stored, kMeasurementConfig_version), 7);
  EXPECT_EQ(countOf(capture, 29004), 1);  // the parse stays silent
}

TEST_F(RemoteConfigTest, WithTheOriginAmBothApplicationIDsMustMatch) {
  struct Case {
    const char* origin;
    const char* fixture;
    bool accepted;
    int64_t refusal;
  } cases[] = {
      {"am", "full", false, 29022},       // its ZeZud app id is another
      {"am", "other_app", false, 29004},  // ZeZud app id matches, app id does not
      {"am", "zezud_match", true, 0},
      {"fa", "full", true, 0},  // other origins do not look at the ZeZud app id
      {"fa", "other_app", false, 29004},
  };
  std::shared_ptr<RemoteConfig> config = make();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.origin) + " " + c.fixture);
    Identifiers::sharedInstance().setOrigin(c.origin);
    MonitorCapture capture;
    EXPECT_EQ(config->updateMeasurementConfig(fixture(c.fixture)), c.accepted);
    if (c.refusal != 0) {
      EXPECT_TRUE(capture.contains(c.refusal));
    }
  }
  Identifiers::sharedInstance().setOrigin("fa");
  EXPECT_EQ(config->version(), 7);
}

TEST_F(RemoteConfigTest, NothingOrTheDefaultInstanceIsRefused) {
  std::shared_ptr<RemoteConfig> config = make();
  MonitorCapture capture;
  EXPECT_FALSE(config->updateMeasurementConfig(std::nullopt));
  EXPECT_TRUE(capture.contains(29003));
  config->parseRemoteConfigFromMeasurementConfig(nullptr);
  EXPECT_TRUE(capture.contains(29012));
  EXPECT_FALSE(RemoteConfig::defaultInstance()->updateMeasurementConfig(fixture("full")));
  EXPECT_TRUE(capture.contains(29002));
  EXPECT_EQ(config->version(), -1);
}

// The database refuses the write (its table is gone): nothing of the new configuration applies.
TEST_F(RemoteConfigTest, AConfigurationTheDatabaseDoesNotStoreIsNotApplied) {
  std::shared_ptr<RemoteConfig> config = make();
  ASSERT_TRUE(config->updateMeasurementConfig(fixture("full")));
  testing::rawExecute(path_, "DROP TABLE app_metadata");
  MonitorCapture capture;
  EXPECT_FALSE(config->updateMeasurementConfig(configWithSettings(8, {})));
  EXPECT_TRUE(capture.contains(29005));
  EXPECT_EQ(config->version(), 7);
  EXPECT_EQ(config->settings()->uploadingInterval(), 7200);
}

// The settings cache: the first typed read keeps the number; a new configuration starts from
// its own texts.
TEST_F(RemoteConfigTest, SettingsReadTheNewConfigurationsTextsAfterAnUpdate) {
  struct Case {
    const char* text;
    double seconds;
  } cases[] = {
      {"7200000", 7200}, {"20", 3600},  // 0.02 s lies below the minimum 15
      {"15000", 15},     {"86400001", 3600}, {"abc", 3600},
  };
  std::shared_ptr<RemoteConfig> config = make();
  int64_t version = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(config->updateMeasurementConfig(
        configWithSettings(version++, {{"measurement.upload.interval", c.text}})));
    EXPECT_EQ(config->settings()->cachedValue("measurement.upload.interval"),
              os::Value(std::string(c.text)));
    EXPECT_EQ(config->settings()->uploadingInterval(), c.seconds);
    EXPECT_EQ(config->settings()->cachedValue("measurement.upload.interval"), os::Value(c.seconds));
  }
}

TEST_F(RemoteConfigTest, SamplingRatesOutsideTwoTo65535ReadAsOne) {
  struct Case {
    std::optional<int32_t> rate;
    int32_t read;
  } cases[] = {{0, 1}, {1, 1}, {2, 2}, {65535, 65535}, {65536, 1}, {-5, 1}, {std::nullopt, 1}};
  std::shared_ptr<RemoteConfig> config = make();
  APMPBMeasurementConfig message = configWithSettings(1, {});
  std::vector<APMPBEventConfig> events;
  for (size_t i = 0; i < std::size(cases); ++i) {
    APMPBEventConfig& event = events.emplace_back();
    APMPBSetString(event, kEventConfig_name, "e" + std::to_string(i));
    if (cases[i].rate) APMPBSetInt32(event, kEventConfig_sampling_rate, *cases[i].rate);
  }
  APMPBSetArray(message, kMeasurementConfig_event_config, events);
  ASSERT_TRUE(config->updateMeasurementConfig(message));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(config->samplingRateForEvent("e" + std::to_string(i)), cases[i].read);
    EXPECT_EQ(config->eventHasSamplingRate("e" + std::to_string(i)), cases[i].rate.has_value());
  }
  EXPECT_EQ(config->samplingRateForEvent("unknown"), 1);
  MonitorCapture capture;
  EXPECT_FALSE(config->eventConfigWithName(""));
  EXPECT_TRUE(capture.contains(29006));
}

TEST_F(RemoteConfigTest, BlocklistingByEventOrByTheSwitchOfItsNameKind) {
  std::shared_ptr<RemoteConfig> config = make();
  ASSERT_TRUE(config->updateMeasurementConfig(fixture("full")));  // public names blocked
  const std::pair<const char*, bool> cases[] = {
      {"Install_SW", true},   // its own switch
      {"other_event", true},  // public
      {"_x", false},          // internal
      {"_vs", false},         // has a configuration without the switch
  };
  for (const auto& [name, blocked] : cases)
    EXPECT_EQ(config->isEventBlocklisted(name), blocked) << name;
  ASSERT_TRUE(config->updateMeasurementConfig(
      configWithSettings(8, {{"measurement.upload.blacklist_internal", "1"}})));
  EXPECT_TRUE(config->isEventBlocklisted("_x"));
  EXPECT_FALSE(config->isEventBlocklisted("other_event"));
  EXPECT_FALSE(config->isEventBlocklisted("Install_SW"));  // its configuration is gone
}

// The first program does not load: the settings and event configurations are the new ones, the
// consent state, data controls and sign-in settings the previous ones, and there is no editing.
// Once with the fake loader, once with the script runtime itself (an entity of no known type).
TEST_F(RemoteConfigTest, AFailingFirstProgramKeepsThePreviousConsentDataControlsAndSignInSettings) {
  for (bool runtime : {false, true}) {
    SCOPED_TRACE(runtime ? "script runtime" : "fake loader");
    ASSERT_TRUE(database_->reset(nullptr));
    FakeEditingFactory editing;
    RemoteConfigServices services;
    if (!runtime) services.eventEditingFactory = editing.factory();
    std::shared_ptr<RemoteConfig> config = make(services);
    ASSERT_TRUE(config->updateMeasurementConfig(fixture("with_program")));
    ASSERT_TRUE(config->eventEditing());
    ASSERT_TRUE(config->updateMeasurementConfig(fixture("full")));
    editing.failFirstProgram = true;

    MonitorCapture capture;
    EXPECT_TRUE(config->updateMeasurementConfig(fixture("failing_program")));
    EXPECT_TRUE(capture.contains(29026));
    EXPECT_FALSE(config->eventEditing());
    EXPECT_EQ(config->version(), 9);
    EXPECT_EQ(config->settings()->uploadingInterval(), 3600);  // "20", below the minimum
    EXPECT_EQ(config->samplingRateForEvent("_f"), 2);
    EXPECT_FALSE(config->eventConfigWithName("_vs"));
    EXPECT_EQ(config->dataControls(), (Strings{"ad_user_data_control", "limited"}));
    EXPECT_EQ(config->consentDefaults(),
              (os::Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "granted"}}));
    EXPECT_FALSE(config->isDMARegion());
    EXPECT_EQ(config->settings()->hashPrefixBitLengthEmail(), 30);
    EXPECT_EQ(config->settings()->maxSignInDelayInDays(), 60);
    if (!runtime) {
      ASSERT_EQ(editing.made.size(), 2u);
      EXPECT_EQ(editing.made.back()->loaded.size(), 1u);  // the second program is not tried
    }
  }
}

TEST_F(RemoteConfigTest, TheFirstProgramLoadsWithTheHostModulesAndStaysWithoutNewPrograms) {
  FakeEditingFactory editing;
  std::shared_ptr<RemoteConfig> config = make({.eventEditingFactory = editing.factory()});
  ASSERT_TRUE(config->updateMeasurementConfig(
      configWithSettings(1, {{"measurement.upload.interval", "7200000"}})));
  MonitorCapture capture;
  APMPBMeasurementConfig withProgram = fixture("with_program");
  ASSERT_TRUE(config->updateMeasurementConfig(withProgram));

  ASSERT_EQ(editing.made.size(), 1u);
  std::shared_ptr<testing::FakeEventEditing> loaded = editing.made[0];
  EXPECT_EQ(config->eventEditing(), loaded);
  EXPECT_EQ(loaded->moduleNames,
            (Strings{"internal.remoteConfig", "internal.appMetadata", "internal.logger"}));
  ASSERT_EQ(loaded->loaded.size(), 1u);
  EXPECT_EQ(loaded->loaded[0].protoBuffer(),
            APMPBGetArray<APMPBProgram>(withProgram, kMeasurementConfig_dynamic_event_editing)[0]
                .protoBuffer());
  EXPECT_EQ(contextOf(capture, 29027), 2);  // programs counted, one loaded
  EXPECT_EQ(config->dataControls(), (Strings{"after_program"}));

  // The settings module reads the cache live: the server's text until a typed read, then the
  // number; nothing for a missing key.
  ASSERT_TRUE(config->updateMeasurementConfig(
      configWithSettings(11, {{"measurement.upload.interval", "7200000"}})));
  EXPECT_EQ(config->eventEditing(), loaded);  // no programs: the instance stays
  auto store = std::get<KeyValueStoreModule>(loaded->modules["internal.remoteConfig"]());
  EXPECT_EQ(store.getValue("measurement.upload.interval"), "7200000");
  config->settings()->uploadingInterval();
  EXPECT_EQ(store.getValue("measurement.upload.interval"), "7200");
  EXPECT_EQ(store.getValue("measurement.missing"), std::nullopt);

  auto metadata = std::get<ObjectProviderModule>(loaded->modules["internal.appMetadata"]());
  EXPECT_EQ(metadata.object(), os::Value(os::Dictionary{{"gmp_version", 102800},
                                                        {"package_name", kTestBundleIdentifier},
                                                        {"platform", "macos"}}));
  EXPECT_TRUE(std::holds_alternative<MessageLoggerModule>(loaded->modules["internal.logger"]()));
}

TEST_F(RemoteConfigTest, ResetForgetsTheDerivedStateButKeepsTheEditing) {
  FakeEditingFactory editing;
  std::shared_ptr<RemoteConfig> config = make({.eventEditingFactory = editing.factory()});
  ASSERT_TRUE(config->updateMeasurementConfig(fixture("with_program")));
  ASSERT_TRUE(config->updateMeasurementConfig(fixture("full")));
  config->settings()->uploadingInterval();
  config->reset();

  EXPECT_EQ(config->version(), -1);
  EXPECT_EQ(config->settings()->cachedValue("measurement.upload.interval"), std::nullopt);
  EXPECT_EQ(config->settings()->hashPrefixBitLengthEmail(), 14);
  EXPECT_FALSE(config->eventConfigWithName("_vs"));
  EXPECT_TRUE(config->dataControls().empty());
  EXPECT_TRUE(config->consentDefaults().empty());
  EXPECT_TRUE(config->consentDelegations().empty());
  EXPECT_TRUE(config->regionalDefaults().empty());
  EXPECT_TRUE(config->corePlatformServices().empty());
  EXPECT_TRUE(config->isDMARegion());
  EXPECT_EQ(config->uploadSubdomain(), std::nullopt);
  EXPECT_EQ(config->eventEditing(), editing.made[0]);
}

TEST_F(RemoteConfigTest, ExpiryCountsTheCacheTimeFromTheLastFetchEitherWay) {
  constexpr double kFetched = 1765400000;
  std::shared_ptr<RemoteConfig> config = make();
  os::clock::ScopedFakeClock clock(kFetched);
  EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_TRUE(config->isExpired());  // never fetched

  ASSERT_TRUE(config->updateMeasurementConfig(configWithSettings(1, {})));
  EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), kFetched);
  const std::pair<double, bool> cases[] = {
      {0, false}, {3599, false}, {3600, true}, {-3599, false}, {-3600, true}};
  for (const auto& [offset, expired] : cases) {
    clock.setNow(kFetched + offset);
    EXPECT_EQ(config->isExpired(), expired) << offset;
  }
  clock.setNow(kFetched);
  ASSERT_TRUE(config->updateMeasurementConfig(
      configWithSettings(2, {{"measurement.config.cache_time", "60000"}})));
  clock.setNow(kFetched + 59);
  EXPECT_FALSE(config->isExpired());
  clock.setNow(kFetched + 60);
  EXPECT_TRUE(config->isExpired());
}

TEST_F(RemoteConfigTest, TheDefaultInstanceAnswersDefaults) {
  MonitorCapture capture;
  const std::shared_ptr<RemoteConfig>& config = RemoteConfig::defaultInstance();
  EXPECT_EQ(config.get(), RemoteConfig::defaultInstance().get());
  EXPECT_EQ(config->settings(), Settings::defaultInstance());
  EXPECT_EQ(config->version(), -1);
  EXPECT_FALSE(config->isExpired());
  EXPECT_TRUE(capture.contains(29007));
  EXPECT_EQ(config->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_TRUE(capture.contains(29008));
  EXPECT_FALSE(config->measurementConfigFromDatabase());
  EXPECT_TRUE(capture.contains(29015));
  EXPECT_EQ(config->settings()->uploadingInterval(), 3600);
  EXPECT_EQ(config->settings()->hashPrefixBitLengthEmail(), 14);
  EXPECT_TRUE(config->regionalDefaultsEnabled());
  EXPECT_FALSE(config->sessionStitchingTokenFeatureEnabled());
  EXPECT_FALSE(config->isEventBlocklisted("event"));
  EXPECT_TRUE(config->isDMARegion());
  EXPECT_EQ(config->uploadURL().absoluteString(), "https://measurement.tessaro.example/a");
  EXPECT_EQ(config->experimentIDs(), std::nullopt);
}

TEST_F(RemoteConfigTest, AnEmptyDatabaseHasNoStoredConfiguration) {
  MonitorCapture capture;
  std::shared_ptr<RemoteConfig> config = make();
  EXPECT_TRUE(capture.contains(29017));
  EXPECT_EQ(config->version(), -1);
  testing::rawExecute(path_, "UPDATE app_metadata SET remote_config_data = x'ff'");
  EXPECT_FALSE(config->measurementConfigFromDatabase());
  EXPECT_TRUE(capture.contains(29016));
}

}  // namespace
}  // namespace measurement
