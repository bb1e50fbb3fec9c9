// The upload road end to end beside plain SQLite and zlib, through the comparison harness:
// 100,000 events logged with the facade's logEventWithName, written by the engine, bundled and
// posted until the local collector (TLS on 127.0.0.1, in this process) has logged every one,
// against one prepared INSERT per event in autocommit into a twin of raw_events on the same file,
// and against gzip at level 6 of the same events' encodings, one after the other.
//
//   measurement_upload_bench [--events=N] [--runs=N] [--filter=TEXT]
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench/harness.h"
#include "bench/raw_event_reference.h"
#include "measurement/database/raw_event_message.h"
#include "measurement/engine/analytics.h"
#include "measurement/engine/facade_test_support.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/wire/schema/cpp/config.pb.h"
#include "os/dispatch/runloop.h"
#include "os/ui/application.h"
#include "os/value/plist.h"
#include "testsupport/sandbox.h"
#include "tools/analytics/gzip_codec.h"
#include "tools/analytics/measurement_collector.h"

namespace {

constexpr const char* kAppID = "1:1:macos:bench";

// The collector's configuration for kAppID: the daily limits and the cap on stored events
// raised past the runs' events.
std::string raisedLimits() {
  tessaro::measurement::MeasurementConfig config;
  config.set_app_id(kAppID);
  for (const char* name :
       {"measurement.upload.max_events_per_day", "measurement.upload.max_public_events_per_day",
        "measurement.store.max_stored_events_per_app"}) {
    tessaro::measurement::Setting* setting = config.add_settings();
    setting->set_name(name);
    setting->set_value("1000000");
  }
  return config.SerializeAsString();
}

// The number of events the collector has logged so far.
size_t loggedEvents(const tools::MeasurementCollector& collector) {
  size_t count = 0;
  for (const nlohmann::json& bundle : collector.logged("bundle")) count += bundle["events"].size();
  return count;
}

// One upload pass, as when the application resigns active, run until it comes to rest.
bool uploadPass(APMMeasurement& engine) {
  engine.handleAppWillResignActiveEvent();
  return os::RunLoop::main().runUntil(
      [] { return os::ui::Application::shared().openBackgroundTasks().empty(); }, 600);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t events = 100'000;
  auto harness = bench::Harness::fromArguments(argc, argv, {{"--events=", &events}});
  if (!harness) return 1;
  testsupport::Sandbox sandbox;
  tools::MeasurementCollector collector;
  collector.setConfiguration(kAppID, raisedLimits());
  sandbox.setEnv("TESSARO_CONNECT_TO", collector.connectTo());
  sandbox.setEnv("TESSARO_CA_FILE", collector.certificatePath().string());
  // An application with an identifier, which every bundle carries.
  const std::filesystem::path app = sandbox.root() / "Bench.app";
  std::filesystem::create_directories(app / "Contents");
  std::ofstream(app / "Contents/Info.plist", std::ios::binary)
      << *os::plist::serialize(os::Dictionary{{"CFBundleIdentifier", "com.tessaro.bench"},
                                              {"CFBundleShortVersionString", "1.0"}},
                               os::plist::Format::Xml);
  sandbox.setEnv("TESSARO_MAIN_BUNDLE", app.string());

  APMAnalytics::startWithAppID(kAppID, "fa", os::Dictionary{});
  testsupport::waitForFacadeAndEngine();
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine || !engine->network()) {
    std::fprintf(stderr, "measurement_upload_bench: the engine did not start\n");
    return 1;
  }
  // The network learns of its reachability only when the routes change: told so here.
  auto checker = VDUReachabilityChecker::initWithReachabilityDelegate({}, "127.0.0.1");
  engine->network()->reachability(*checker, VDUReachabilityStatus::ViaWifi);
  // A first pass fetches the configuration with the raised limits.
  if (!uploadPass(*engine)) {
    std::fprintf(stderr, "measurement_upload_bench: the first upload pass never came to rest\n");
    return 1;
  }

  const std::string path = measurement::measurementDataPath(measurement::kMeasurementDatabaseName);
  bench::RawEventReference reference(path);
  const measurement::Event event = *measurement::Event::initWithOrigin(
      "app", true, "level_up", 1765400000, 0,
      measurement::rawParameters(os::Dictionary{{"seq", int64_t{0}}}));
  const os::Data data = *measurement::rawEventMessageData(event);
  std::string encodings;
  for (uint64_t i = 0; i < events; ++i) encodings.append(data.begin(), data.end());

  const bench::Side ours = {
      "logEventWithName to the collector", {}, [&] {
        size_t before = loggedEvents(collector);
        for (uint64_t i = 0; i < events; ++i) {
          APMAnalytics::logEventWithName(
              "level_up",
              measurement::rawParameters(os::Dictionary{{"seq", static_cast<int64_t>(i)}}));
        }
        testsupport::waitForFacadeAndEngine();
        return uploadPass(*engine) && loggedEvents(collector) >= before + events;
      }};
  // Every run starts on a fresh day's counts, so that no run meets the daily limits.
  auto newDay = [&] {
    engine->scheduler().dispatchSyncOnWorkerQueue("MeasurementUploadBench:1", [&] {
      reference.execute(
          "UPDATE app_metadata SET daily_events_count = 0, daily_public_events_count = 0");
      reference.refill(bench::RawEventReference::kTable, 0);
    });
    return true;
  };
  const std::string count = std::to_string(events);
  harness->compare({
      .path = "log " + count + " events to the collector",
      .ours = ours,
      .reference = {"prepared INSERT, autocommit",
                    {},
                    [&] { return reference.insert(static_cast<int>(events), 1, data); }},
      .prepare = newDay,
      .noWarmUp = true,
  });
  harness->compare({
      .path = "log " + count + " events to the collector",
      .ours = ours,
      .reference = {"zlib gzip level 6", {}, [&] { return !tools::gzip(encodings).empty(); }},
      .prepare = newDay,
      .noWarmUp = true,
  });
  harness->printTable();
  std::_Exit(0);
}
