// Audience evaluation on the worker queue's hot path:
//  - one event evaluated against 100 audiences of 10 dynamic filters each on its name (a mix of
//    string, number and regular-expression parameter filters), results stored in one
//    transaction, beside the engine's database write of the same event (metadata, cap,
//    aggregate, raw insert in one transaction) and the database's read of the stored filters
//    the evaluation starts with;
//  - one regular-expression string filter matched through the cache of compiled expressions,
//    beside compiling the expression for every match.
//
//   audience_bench [--benchmark_filter=REGEX]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/fixture_main.h"
#include "measurement/audience/audience.h"
#include "measurement/database/database.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/wire/access.h"
#include "testsupport/sandbox.h"

namespace {

using measurement::Audience;
using measurement::Database;

constexpr int kAudiences = 100;
constexpr int kFiltersPerAudience = 10;
constexpr const char* kEventName = "level_up";

struct Fixture {
  testsupport::Sandbox sandbox;
  std::unique_ptr<measurement::PersistedConfig> config =
      measurement::PersistedConfig::create("com.example.bench");
  std::unique_ptr<Database> database;
  std::unique_ptr<Audience> audience;
  measurement::Event event = *measurement::Event::initWithOrigin(
      "app", true, kEventName, 1765400000, 0,
      measurement::rawParameters(
          os::Dictionary{{"level", 7}, {"score", 1234.5}, {"mode", "Hard"}, {"map", "north_12"}}));
  APMPBMeasurementBundle metadata;
  int64_t fingerprint = 0;
  // The time of the latest evaluated event: every run goes on from it, so that no run evaluates
  // at a time before the stored ones (which the evaluator logs).
  double evaluationTimestamp = event.timestamp();

  ~Fixture() { measurement::monitor().drain(); }
};

APMPBFilter stringParameter(const char* name, int32_t matchType, const char* expression) {
  APMPBStringFilter string;
  APMPBSetInt32(string, kStringFilter_match_type, matchType);
  APMPBSetString(string, kStringFilter_expression, expression);
  APMPBFilter filter;
  APMPBSetString(filter, kFilter_parameter_name, name);
  APMPBSetMessage(filter, kFilter_string_filter, &string);
  return filter;
}

APMPBFilter numberParameter(const char* name, int32_t type, const char* value) {
  APMPBNumberFilter number;
  APMPBSetInt32(number, kNumberFilter_comparison_type, type);
  APMPBSetString(number, kNumberFilter_comparison_value, value);
  APMPBFilter filter;
  APMPBSetString(filter, kFilter_parameter_name, name);
  APMPBSetMessage(filter, kFilter_number_filter, &number);
  return filter;
}

// Filter f of audience a: by f % 5, an exact string, a contained string, an integer, a double and
// a regular expression (one pattern per audience, so the cache holds 100 of them).
APMPBFilter parameterFilter(int audience, int filter) {
  switch (filter % 5) {
    case 0:
      return stringParameter("mode", measurement::kExact, "hard");
    case 1:
      return stringParameter("map", measurement::kContains, "NORTH");
    case 2:
      return numberParameter("level", measurement::kGreaterThan,
                             std::to_string(audience % 10).c_str());
    case 3:
      return numberParameter("score", measurement::kLessThan, "2000.25");
    default:
      return stringParameter(
          "map", measurement::kRegexp,
          ("^(north|south)_[0-9]{1," + std::to_string(1 + audience % 3) + "}$").c_str());
  }
}

std::unique_ptr<Fixture> makeFixture() {
  auto fixture = std::make_unique<Fixture>();
  os::Error error;
  fixture->database =
      Database::open(measurement::kMeasurementDatabaseName, fixture->config.get(), &error);
  if (!fixture->database) {
    std::fprintf(stderr, "audience_bench: %s\n", error.description.c_str());
    return nullptr;
  }
  fixture->audience = std::make_unique<Audience>(*fixture->database);
  std::vector<APMPBAudience> audiences;
  for (int a = 0; a < kAudiences; ++a) {
    APMPBAudience audience;
    APMPBSetInt32(audience, kAudience_audience_id, a);
    std::vector<APMPBEventFilter> filters;
    for (int f = 0; f < kFiltersPerAudience; ++f) {
      APMPBEventFilter filter;
      APMPBSetInt32(filter, kEventFilter_filter_id, f);
      APMPBSetString(filter, kEventFilter_event_name, kEventName);
      // Dynamic: evaluated at every event, held or not.
      APMPBSetBool(filter, kEventFilter_dynamic, true);
      APMPBSetArray(filter, kEventFilter_filters, std::vector<APMPBFilter>{parameterFilter(a, f)});
      filters.push_back(std::move(filter));
    }
    APMPBSetArray(audience, kAudience_event_filters, filters);
    audiences.push_back(std::move(audience));
  }
  if (!fixture->audience->updateAudiences(audiences)) return nullptr;
  APMPBSetString(fixture->metadata, kMeasurementBundle_app_id, "1:123:ios:abc");
  fixture->fingerprint = measurement::apm_64LSBMD5(*fixture->metadata.protoBuffer());
  return fixture;
}

// Made by runBenchmarksWithFixture() in main().
Fixture* gFixture = nullptr;
Fixture* fixture() { return gFixture; }

void EvaluateEventAgainst100Audiences(benchmark::State& state) {
  Fixture* f = fixture();
  if (!f) return state.SkipWithError("no fixture");
  const measurement::EventAggregates aggregates =
      *measurement::EventAggregates::initWithName(kEventName, 1, 1, 1, f->event.timestamp());
  double& timestamp = f->evaluationTimestamp;
  for (auto _ : state) {
    timestamp += 1;
    bool ok = f->database->performTransaction([&] {
      return f->audience->evaluateFiltersForEventName(kEventName, f->event.parameters(), aggregates,
                                                      timestamp, nullptr);
    });
    if (!ok) return state.SkipWithError("evaluation failed");
  }
}
BENCHMARK(EvaluateEventAgainst100Audiences)->Unit(benchmark::kMicrosecond);

// The part of the evaluation that is the database's read of the 1000 stored filters.
void ReadFiltersOfTheEvent(benchmark::State& state) {
  Fixture* f = fixture();
  if (!f) return state.SkipWithError("no fixture");
  for (auto _ : state) {
    auto filters = f->database->eventFiltersForEventName(kEventName, nullptr);
    if (!filters || filters->size() != kAudiences * kFiltersPerAudience) {
      return state.SkipWithError("read failed");
    }
  }
}
BENCHMARK(ReadFiltersOfTheEvent)->Unit(benchmark::kMicrosecond);

void DatabaseWriteOfTheEvent(benchmark::State& state) {
  Fixture* f = fixture();
  if (!f) return state.SkipWithError("no fixture");
  Database& database = *f->database;
  for (auto _ : state) {
    bool ok = database.performTransaction([&] {
      os::Error failure;
      if (!database.insertIfNotExistsRawEventMetadata(f->metadata, &failure) ||
          !database.deleteRawEventsOverAbsoluteLimit(&failure)) {
        return false;
      }
      auto found = database.eventAggregatesWithName(kEventName, &failure);
      if (!found) return false;
      measurement::EventAggregates tally = *found ? **found
                                                  : *measurement::EventAggregates::initWithName(
                                                        kEventName, 0, 0, 0, f->event.timestamp());
      tally.incrementLifetimeCount();
      tally.incrementCurrentBundleCount();
      tally.incrementCurrentSessionCount();
      return database.updateEventAggregates(tally, &failure) &&
             database.insertRawEvent(f->event, f->fingerprint, false, &failure);
    });
    if (!ok) return state.SkipWithError("write failed");
  }
}
BENCHMARK(DatabaseWriteOfTheEvent)->Unit(benchmark::kMicrosecond);

constexpr const char* kPattern = "^(north|south)_[0-9]{1,3}$";

void RegexCacheHit(benchmark::State& state) {
  const std::string value = "north_12";
  for (auto _ : state) {
    benchmark::DoNotOptimize(measurement::cachedRegex(kPattern, false, nullptr)->firstMatch(value));
  }
}
BENCHMARK(RegexCacheHit);

void RegexCompileEachTime(benchmark::State& state) {
  const std::string value = "north_12";
  for (auto _ : state) {
    auto regex = measurement::CompiledRegex::compile(kPattern, false, nullptr);
    benchmark::DoNotOptimize(regex->firstMatch(value));
  }
}
BENCHMARK(RegexCompileEachTime);

}  // namespace

int main(int argc, char** argv) {
  return bench::runBenchmarksWithFixture(argc, argv, &makeFixture, gFixture);
}
