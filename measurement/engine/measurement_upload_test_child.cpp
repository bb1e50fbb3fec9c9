// A program the upload tests start: a new process in the test's sandbox that runs an engine
// against the servers TESSARO_CONNECT_TO names, puts raw events into its database, lets one
// upload pass run to rest (as the application does when it resigns active) and prints what is
// left, one "name=value" line each.
//
//   measurement_upload_child run --events 5        # events seq 0..4, then one upload pass
//   measurement_upload_child run --events 0        # only the pass: what an earlier run left
//   measurement_upload_child run --threads 32 --per-thread 5000   # through the facade at once
//
// Options: --enabled 0 (an engine that never starts: only the reachability change),
// --app-id (the measurement app id), --events, --other-app-events (after those, under the
// application "<application id>-other"), --first-seq, --age (seconds the events lie in the past),
// --names ("a,b": the events' names, in turn), --size (a text parameter of that many
// characters), --upload-pass 0 (insert only), --schedule 1 (schedule instead, after setting the
// last success --success-age seconds ago, the last failure --failure-after seconds after the
// newest event, the last back-off --backoff-age seconds ago), --threads and --per-thread (the
// facade starts the engine, as an application's launch does, and that many threads log that many
// events each through it at once: thread t's i-th event is seq first-seq + t * per-thread + i),
// --file-size-limit (no file of the run grows past that many bytes; SIGXFSZ ignored, so a write
// past it fails as on a full disk), --monitor 0 (the monitor's lines are not kept: an empty
// "codes" line). The engine writes events of its own too (first open, session start,
// engagement); the run's events carry a "seq" parameter. A run whose engine has no database
// prints only "database=0".
#include <signal.h>
#include <sys/resource.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "measurement/config/endpoints.h"
#include "measurement/engine/analytics.h"
#include "measurement/engine/facade_test_support.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/identifiers.h"
#include "measurement/privacy/identity.h"
#include "os/dispatch/runloop.h"
#include "os/process/clock.h"
#include "os/ui/application.h"

namespace {

using measurement::PersistedConfig;

std::map<std::string, std::string> options(int argc, char** argv) {
  std::map<std::string, std::string> values;
  for (int i = 2; i + 1 < argc; i += 2) values[argv[i]] = argv[i + 1];
  return values;
}

std::string option(const std::map<std::string, std::string>& values, const std::string& name,
                   const std::string& fallback) {
  auto found = values.find(name);
  return found == values.end() ? fallback : found->second;
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream stream(text);
  for (std::string part; std::getline(stream, part, ',');) parts.push_back(part);
  return parts;
}

void onWorkerQueue(APMMeasurement& engine, const std::function<void()>& block) {
  engine.scheduler().dispatchSyncOnWorkerQueue("APMMeasurementTest:1", block);
}

// Stores the metadata of events of the application `appID` measured under `gmpAppID`; its
// fingerprint. Its own metadata, not the engine's: the run's events form groups of their own.
std::optional<int64_t> insertMetadata(measurement::Database& database, const std::string& appID,
                                      const std::string& gmpAppID) {
  APMPBMeasurementBundle metadata;
  APMPBSetString(metadata, kMeasurementBundle_app_id, appID);
  APMPBSetString(metadata, kMeasurementBundle_gmp_app_id, gmpAppID);
  APMPBSetString(metadata, kMeasurementBundle_platform, "macos");
  os::Error error;
  if (!database.insertIfNotExistsRawEventMetadata(metadata, &error)) return std::nullopt;
  std::optional<os::Data> encoded = metadata.protoBuffer();
  return measurement::apm_64LSBMD5(*encoded);
}

// The run's events: --events under the engine's application, then --other-app-events under
// another ("<application id>-other"). Their rows follow one another: one worker-queue block.
bool insertEvents(measurement::Database& database, const std::map<std::string, std::string>& values,
                  const std::string& gmpAppID) {
  const std::string& appID = measurement::Identity::sharedInstance()->appID();
  std::optional<int64_t> own = insertMetadata(database, appID, gmpAppID);
  std::optional<int64_t> other = insertMetadata(database, appID + "-other", gmpAppID);
  if (!own || !other) return false;
  os::Error error;
  int64_t ownCount = std::stoll(option(values, "--events", "0"));
  int64_t count = ownCount + std::stoll(option(values, "--other-app-events", "0"));
  if (count == 0) return true;
  int64_t firstSeq = std::stoll(option(values, "--first-seq", "0"));
  // The run's events share one clock hour: a run that would straddle one starts just after it.
  double timestamp = os::clock::now() - std::stod(option(values, "--age", "60"));
  double last = timestamp + static_cast<double>(count) * 0.001;
  if (std::floor(timestamp / 3600) != std::floor(last / 3600)) {
    timestamp = std::floor(last / 3600) * 3600 + 0.001;
  }
  std::vector<std::string> names = split(option(values, "--names", "level_up"));
  size_t size = std::stoul(option(values, "--size", "0"));
  for (int64_t i = 0; i < count; ++i) {
    measurement::RawParameters parameters{{"seq", os::Value(firstSeq + i)}};
    if (size > 0) parameters.emplace("text", os::Value(std::string(size, 'x')));
    std::optional<measurement::Event> event = measurement::Event::initWithOrigin(
        "app", true, names[static_cast<size_t>(i) % names.size()], timestamp + i * 0.001, 0,
        parameters);
    int64_t fingerprint = i < ownCount ? *own : *other;
    if (!event || !database.insertRawEvent(*event, fingerprint, false, &error)) return false;
  }
  return true;
}

// The engine the facade starts for `appID`, once it exists.
std::shared_ptr<APMMeasurement> startThroughFacade(const std::string& appID) {
  APMAnalytics::startWithAppID(appID, "fa", os::Dictionary{});
  // The facade creates its engine on its serial queue.
  testsupport::waitForFacadeAndEngine();
  return APMMeasurement::sharedInstance();
}

// --threads threads log --per-thread events each through the facade, all at once; returns when
// the engine has handled every one.
void logThroughFacade(const std::map<std::string, std::string>& values) {
  int64_t threadCount = std::stoll(option(values, "--threads", "0"));
  int64_t perThread = std::stoll(option(values, "--per-thread", "0"));
  int64_t firstSeq = std::stoll(option(values, "--first-seq", "0"));
  std::vector<std::thread> threads;
  for (int64_t t = 0; t < threadCount; ++t) {
    threads.emplace_back([=] {
      for (int64_t i = 0; i < perThread; ++i) {
        APMAnalytics::logEventWithName(
            "level_up",
            measurement::rawParameters(os::Dictionary{{"seq", firstSeq + t * perThread + i}}));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  testsupport::waitForFacadeAndEngine();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) != "run") {
    std::cerr << "usage: measurement_upload_child run [--option value]...\n";
    return 2;
  }
  std::map<std::string, std::string> values = options(argc, argv);
  if (values.contains("--file-size-limit")) {
    signal(SIGXFSZ, SIG_IGN);
    rlim_t bytes = std::stoull(values.at("--file-size-limit"));
    struct rlimit limit = {bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  std::string appID = option(values, "--app-id", "1:1:macos:a");
  measurement::Identifiers::sharedInstance().setOrigin("fa");
  // Every monitor line of the run, for the "codes" line and the diagnosis of a pass that never
  // comes to rest; a few kilobytes an event, which a run of many may do without.
  std::optional<measurement::MonitorCapture> capture;
  if (option(values, "--monitor", "1") == "1") capture.emplace();
  measurement::Identity::sharedInstance()->setAppIDFromGMP(appID);

  bool throughFacade = values.contains("--threads");
  std::shared_ptr<APMMeasurement> engine;
  if (throughFacade) {
    engine = startThroughFacade(appID);
    if (!engine) {
      std::cerr << "the facade started no engine\n";
      return 1;
    }
  } else {
    APMMeasurement::Parts parts;
    parts.persistedConfig = PersistedConfig::sharedInstance();
    parts.scheduler = std::make_shared<measurement::Scheduler>(measurement::kWorkerQueueLabel);
    parts.network = VDUNetwork::initWithReachabilityHost(measurement::uploadReachabilityHost());
    parts.appID = appID;
    parts.isAnalyticsCollectionEnabled = option(values, "--enabled", "1") == "1";
    engine = APMMeasurement::createWithParts(std::move(parts));
  }
  // The network reports its reachability only when the routes change, which they do not
  // here: this program tells it that it is connected.
  auto checker = VDUReachabilityChecker::initWithReachabilityDelegate({}, "127.0.0.1");
  engine->network()->reachability(*checker, VDUReachabilityStatus::ViaWifi);

  // An engine that never started (disabled), or whose database would not open (another
  // process holds it), has nothing to report: the reachability change above found no database
  // to schedule from.
  bool hasDatabase = false;
  onWorkerQueue(*engine, [&] { hasDatabase = engine->database() != nullptr; });
  if (!hasDatabase) {
    std::cout << "database=0" << std::endl;
    std::_Exit(0);
  }
  if (throughFacade) logThroughFacade(values);
  bool inserted = false;
  onWorkerQueue(*engine, [&] {
    if (measurement::Database* database = engine->database()) {
      // The schedule starts from the run's events alone: the engine's first open, written at
      // start-up, is a real-time event and would shorten every interval.
      os::Error error;
      inserted = (!values.contains("--schedule") ||
                  database->deleteRawEventsWithMaxRowID(INT64_MAX, &error)) &&
                 insertEvents(*database, values, appID);
    }
  });
  if (!inserted) {
    std::cerr << "cannot insert the events\n";
    return 1;
  }
  // The upload history the schedule starts from, relative to the newest event and to now.
  PersistedConfig* persisted = engine->persistedConfig();
  if (values.contains("--schedule")) {
    onWorkerQueue(*engine, [&] {
      os::Error error;
      auto latest = engine->database()->queryLatestRawEventTime(&error);
      double newest = latest && *latest ? **latest : 0;
      double now = os::clock::now();
      if (values.contains("--success-age")) {
        persisted->setLastSuccessfulUploadTimestamp(now - std::stod(values.at("--success-age")));
      }
      if (values.contains("--failure-after")) {
        persisted->setLastFailedUploadTimestamp(newest + std::stod(values.at("--failure-after")));
      }
      if (values.contains("--backoff-age")) {
        persisted->setLastBackoffTimestamp(now - std::stod(values.at("--backoff-age")));
      }
      // The engine's own events armed the alarm already; an earlier alarm would be kept.
      engine->alarm().cancel();
      engine->updateSchedule();
    });
  }
  if (option(values, "--upload-pass", "1") == "1") {
    // The facade's operation queue starts held until the facade has started; none runs here.
    APMAnalytics::unsuspendOperationQueue();
    engine->handleAppWillResignActiveEvent();
    // The pass ends its background task when it comes to rest.
    if (!os::RunLoop::main().runUntil(
            [] { return os::ui::Application::shared().openBackgroundTasks().empty(); }, 300)) {
      std::cerr << "the upload pass never came to rest; monitor codes:";
      for (const measurement::MonitorRecord& record :
           capture ? capture->records() : std::vector<measurement::MonitorRecord>()) {
        std::cerr << " " << record.code;
      }
      std::cerr << "\n";
      return 1;
    }
  }
  onWorkerQueue(*engine, [&] {
    measurement::Database* database = engine->database();
    os::Error error;
    auto bundles = database->queryBundlesWithCountLimit(1000, 100000000, &error);
    std::cout << "databasePath=" << database->databasePath() << "\n"
              << "appInstanceID="
              << measurement::Identity::sharedInstance()->appInstanceID().value_or("") << "\n"
              << "consentSignals=" << measurement::ConsentSettings::consentSignals() << "\n";
    auto aggregates = database->eventAggregatesWithName("level_up", &error);
    std::cout << "lifetimeCount="
              << (aggregates && *aggregates ? (*aggregates)->lifetimeCount() : 0) << "\n";
    std::cout << "rawEventsEmpty=" << database->isRawEventsTableEmpty(&error).value_or(false)
              << "\n"
              << "queued=" << (bundles ? bundles->size() : 0) << "\n";
    std::cout << "retryCounts=";
    for (size_t i = 0; bundles && i < bundles->size(); ++i) {
      std::cout << (i ? "," : "")
                << APMPBGetInt32((*bundles)[i].bundle, kMeasurementBundle_retry_count);
    }
    std::cout << "\n";
    auto latestRaw = database->queryLatestRawEventTime(&error);
    auto latestBundle = database->queryLatestBundleTime(&error);
    double latest = std::max(latestRaw && *latestRaw ? **latestRaw : 0,
                             latestBundle && *latestBundle ? **latestBundle : 0);
    std::cout.precision(17);
    std::cout << "latest=" << latest << "\n"
              << "lastSuccess=" << persisted->lastSuccessfulUploadTimestamp() << "\n"
              << "lastFailure=" << persisted->lastFailedUploadTimestamp() << "\n"
              << "lastBackoff=" << persisted->lastBackoffTimestamp() << "\n"
              << "etag=" << persisted->configServerETag().value_or("") << "\n"
              << "nextUpload=" << engine->nextUploadingTime() << "\n"
              << "now=" << os::clock::now() << "\n"
              << "alarm=" << engine->alarm().scheduledTimestamp().value_or(0) << "\n"
              << "suspended=" << engine->suspendedUploadTimestamp() << "\n";
    // What the schedule makes of the persisted history alone: an alarm armed earlier (by the
    // engine's own events, before an answer) is kept as long as it is the sooner one.
    engine->alarm().cancel();
    engine->updateSchedule();
    std::cout << "rescheduled=" << engine->alarm().scheduledTimestamp().value_or(0) << "\n";
  });
  // The distinct monitor codes of the run, in order of their first line.
  std::set<int64_t> seen;
  std::cout << "codes=,";
  for (const measurement::MonitorRecord& record :
       capture ? capture->records() : std::vector<measurement::MonitorRecord>()) {
    if (seen.insert(record.code).second) std::cout << record.code << ",";
  }
  std::cout << "\n";
  measurement::monitor().drain();
  engine->persistedConfig()->synchronizeToDisk();
  std::cout.flush();
  std::_Exit(0);
}
