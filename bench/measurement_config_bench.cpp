// The remote configuration on the worker queue's hot paths:
//  - the per-event answers the engine asks for every event (blocklisted, sampling rate,
//    custom conversion) on a configuration of 100 event configurations, beside the same answers
//    read from a copy of the event's configuration, as a caller of eventConfigWithName gets it;
//  - a typed setting read, the other question of every event;
//  - accepting a configuration of 100 settings and 100 event configurations (checks, database
//    write, parse), beside its parse alone.
//
//   measurement_config_bench [--benchmark_filter=REGEX]
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/fixture_main.h"
#include "measurement/config/remote_config.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/wire/access.h"
#include "testsupport/sandbox.h"

namespace {

using measurement::RemoteConfig;

constexpr const char* kAppID = "1:123:ios:abc";
constexpr int kEntries = 100;

APMPBMeasurementConfig configuration(int64_t version) {
  APMPBMeasurementConfig config;
  APMPBSetInt64(config, kMeasurementConfig_version, version);
  APMPBSetString(config, kMeasurementConfig_app_id, kAppID);
  std::vector<APMPBSetting> settings(kEntries);
  std::vector<APMPBEventConfig> events(kEntries);
  for (int i = 0; i < kEntries; ++i) {
    APMPBSetString(settings[i], kSetting_name, "measurement.setting_" + std::to_string(i));
    APMPBSetString(settings[i], kSetting_value, std::to_string(i * 1000));
    APMPBSetString(events[i], kEventConfig_name, "event_" + std::to_string(i));
    APMPBSetInt32(events[i], kEventConfig_sampling_rate, i);
    APMPBSetBool(events[i], kEventConfig_blocklisted, i % 7 == 0);
  }
  APMPBSetArray(config, kMeasurementConfig_settings, settings);
  APMPBSetArray(config, kMeasurementConfig_event_config, events);
  return config;
}

struct Fixture {
  testsupport::Sandbox sandbox;
  std::unique_ptr<measurement::PersistedConfig> persisted =
      measurement::PersistedConfig::create("com.example.bench");
  std::unique_ptr<measurement::Database> database;
  std::shared_ptr<RemoteConfig> config;
  ~Fixture() {
    config.reset();
    database.reset();
    measurement::monitor().drain();
  }
};

std::unique_ptr<Fixture> makeFixture() {
  auto fixture = std::make_unique<Fixture>();
  fixture->database = measurement::Database::open(measurement::kMeasurementDatabaseName,
                                                  fixture->persisted.get(), nullptr);
  if (!fixture->database) return nullptr;
  fixture->config = RemoteConfig::create(kAppID, fixture->database.get(), configuration(1), {});
  if (!fixture->config) return nullptr;
  return fixture;
}

// Made by runBenchmarksWithFixture() in main().
Fixture* gFixture = nullptr;

void PerEventAnswers(benchmark::State& state) {
  if (!gFixture) return state.SkipWithError("no fixture");
  RemoteConfig& config = *gFixture->config;
  int i = 0;
  for (auto _ : state) {
    std::string name = "event_" + std::to_string(i++ % kEntries);
    benchmark::DoNotOptimize(config.isEventBlocklisted(name));
    benchmark::DoNotOptimize(config.samplingRateForEvent(name));
    benchmark::DoNotOptimize(config.isEventCustomConversion(name));
  }
}
BENCHMARK(PerEventAnswers);

void PerEventAnswersFromACopy(benchmark::State& state) {
  if (!gFixture) return state.SkipWithError("no fixture");
  RemoteConfig& config = *gFixture->config;
  measurement::Settings& settings = *config.settings();
  int i = 0;
  for (auto _ : state) {
    std::string name = "event_" + std::to_string(i++ % kEntries);
    std::optional<APMPBEventConfig> event = config.eventConfigWithName(name);
    bool blocked = event && APMPBHasField(*event, kEventConfig_blocklisted) &&
                   APMPBGetBool(*event, kEventConfig_blocklisted);
    benchmark::DoNotOptimize(blocked || settings.blocklistPublic());
    event = config.eventConfigWithName(name);
    benchmark::DoNotOptimize(event ? APMPBGetInt32(*event, kEventConfig_sampling_rate) : 1);
    event = config.eventConfigWithName(name);
    benchmark::DoNotOptimize(event && APMPBGetBool(*event, kEventConfig_custom_conversion));
  }
}
BENCHMARK(PerEventAnswersFromACopy);

void TypedSettingRead(benchmark::State& state) {
  if (!gFixture) return state.SkipWithError("no fixture");
  std::shared_ptr<measurement::Settings> settings = gFixture->config->settings();
  for (auto _ : state) benchmark::DoNotOptimize(settings->uploadingInterval());
}
BENCHMARK(TypedSettingRead);

void AcceptConfiguration(benchmark::State& state) {
  if (!gFixture) return state.SkipWithError("no fixture");
  int64_t version = 2;
  APMPBMeasurementConfig next = configuration(version);
  for (auto _ : state) {
    APMPBSetInt64(next, kMeasurementConfig_version, ++version);
    if (!gFixture->config->updateMeasurementConfig(next)) return state.SkipWithError("refused");
  }
}
BENCHMARK(AcceptConfiguration)->Unit(benchmark::kMicrosecond);

void ParseConfiguration(benchmark::State& state) {
  if (!gFixture) return state.SkipWithError("no fixture");
  APMPBMeasurementConfig next = configuration(2);
  for (auto _ : state) gFixture->config->parseRemoteConfigFromMeasurementConfig(&next);
}
BENCHMARK(ParseConfiguration)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarksWithFixture(argc, argv, &makeFixture, gFixture);
}
