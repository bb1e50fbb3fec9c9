// A program the engine's tests start: a new process in the test's sandbox that sets up the
// persisted state of an earlier run, or starts an engine over it and prints what came of it,
// one "name=value" line each. Process-wide state (identity, consent, the facade's suite) is
// fresh in every run, as in a real launch.
//
//   measurement_engine_child seed --persist-gmp A            # a database with a marker row
//   measurement_engine_child start --app-id B --gmp B        # marker=0 when the data was wiped
//   measurement_engine_child request-reset                   # the facade's reset, then SIGKILL
//   measurement_engine_child reset                           # the engine's reset, completed
//   measurement_engine_child start-after-signal ...          # start, wait for SIGUSR1, enable
//   measurement_engine_child create [launch arguments]       # the process's engine's start lines
//   measurement_engine_child order                           # events logged before the start
//   measurement_engine_child log --actions event:a,prop:p=x  # through the facade, then waits
//   measurement_engine_child flood --count 10000 --every 5   # logs; "written=<i>" every 5
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "measurement/engine/analytics.h"
#include "measurement/engine/facade_test_support.h"
#include "measurement/engine/measurement.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/monitor_levels.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/privacy/identifiers.h"
#include "os/dispatch/dispatch.h"
#include "os/process/clock.h"
#include "os/sync/mutex.h"

namespace {

using measurement::PersistedConfig;

constexpr const char* kMarker = "marker";

std::map<std::string, std::string> options(int argc, char** argv) {
  std::map<std::string, std::string> values;
  for (int i = 2; i + 1 < argc; i += 2) values[argv[i]] = argv[i + 1];
  return values;
}

std::string option(const std::map<std::string, std::string>& values, const std::string& name,
                   const std::string& fallback = "") {
  auto found = values.find(name);
  return found == values.end() ? fallback : found->second;
}

// Runs `block` on the engine's worker queue after everything queued there before.
void onWorkerQueue(APMMeasurement& engine, const std::function<void()>& block) {
  engine.scheduler().dispatchSyncOnWorkerQueue("APMMeasurementTest:1", block);
}

std::shared_ptr<APMMeasurement> makeEngine(const std::map<std::string, std::string>& values) {
  PersistedConfig* persisted = PersistedConfig::sharedInstance();
  if (values.contains("--state")) {
    persisted->setMeasurementEnabledState(std::stoll(option(values, "--state")));
  }
  auto identity = measurement::Identity::sharedInstance();
  if (values.contains("--gmp")) identity->setAppIDFromGMP(option(values, "--gmp"));
  if (values.contains("--zezud")) identity->setAppIDFromZeZud(option(values, "--zezud"));
  if (values.contains("--retry"))
    APMAnalytics::setResetRetryCount(std::stoll(values.at("--retry")));
  APMMeasurement::Parts parts;
  parts.persistedConfig = persisted;
  parts.scheduler = std::make_shared<measurement::Scheduler>(measurement::kWorkerQueueLabel);
  parts.appID = option(values, "--app-id", "1:1:macos:a");
  parts.isAnalyticsCollectionEnabled = option(values, "--enabled", "1") == "1";
  parts.isAnalyticsCollectionDeactivated = option(values, "--deactivated", "0") == "1";
  return APMMeasurement::createWithParts(std::move(parts));
}

// Every monitor line of the run, for the "codes" line.
measurement::MonitorCapture* gCapture = nullptr;

// The engine's state once the scheduled switches have run (a failed start schedules one more).
void printState(APMMeasurement& engine) {
  onWorkerQueue(engine, [] {});
  onWorkerQueue(engine, [&] {
    std::cout << "enabled=" << engine.isEnabled() << "\n"
              << "initialized=" << engine.didInitializeComponents() << "\n";
    if (measurement::Database* database = engine.database()) {
      os::Error error;
      auto marker = database->userAttributeWithName(kMarker, &error);
      auto fot = database->userAttributeWithName("_fot", &error);
      std::cout << "marker=" << (marker && *marker) << "\n"
                << "fot=" << (fot && *fot) << "\n"
                << "fotValue=" << (fot && *fot ? (*fot)->value().description() : "") << "\n";
    }
    auto identity = engine.identity();
    std::cout << "appInstanceID=" << (identity ? identity->appInstanceID().value_or("") : "")
              << "\n"
              << "persistedGMP=" << engine.persistedConfig()->appIDFromGMP().value_or("") << "\n"
              << "retryCount=" << APMAnalytics::resetRetryCount() << "\n";
  });
  std::cout << "codes=,";
  for (const measurement::MonitorRecord& record : gCapture->records()) {
    std::cout << record.code << ",";
  }
  std::cout << "\n";
  measurement::monitor().drain();
}

// Creates the engine as the facade does and prints each of its start lines as
// "log<code>=<level> <console text>".
int create() {
  auto engine = APMMeasurement::create("1:1:macos:a", true, false, std::nullopt);
  if (!engine) return 1;
  for (const measurement::MonitorRecord& record : gCapture->records()) {
    std::cout << "log" << record.code << "=" << record.level << " "
              << measurement::stringWithLogMessage(record.message, record.contexts, false) << "\n";
  }
  std::cout << "fromAppStore=" << measurement::Identity::sharedInstance()->isFromAppStore() << "\n";
  std::cout.flush();
  std::_Exit(0);
}

// Eight threads log a thousand events each before the facade starts; once the engine's logging
// entry has seen all of them, prints how many it saw and whether each thread's events came in
// the order it logged them, with timestamps that never go back.
int order() {
  constexpr int kThreads = 8;
  constexpr int kEventsPerThread = 1000;
  os::Mutex mutex;
  std::vector<APMLogEventCall> calls;
  os::DispatchSemaphore all;
  APMMeasurement::setLogEventObserverForTesting([&](const APMLogEventCall& call) {
    os::MutexLock lock(mutex);
    calls.push_back(call);
    if (calls.size() == kThreads * kEventsPerThread) all.signal();
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEventsPerThread; ++i) {
        APMAnalytics::logEventWithName(
            "level_up", measurement::rawParameters(
                            os::Dictionary{{"thread", int64_t{t}}, {"sequence", int64_t{i}}}));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  APMAnalytics::startWithAppID("1:1:macos:a", "fa", {});
  const bool complete = all.wait(120);

  os::MutexLock lock(mutex);
  std::vector<int64_t> next(kThreads, 0);
  bool perThreadInOrder = true;
  bool timestampsInOrder = true;
  for (size_t i = 0; i < calls.size(); ++i) {
    const os::Value thread = std::get<os::Value>(calls[i].parameters.at("thread"));
    const os::Value sequence = std::get<os::Value>(calls[i].parameters.at("sequence"));
    perThreadInOrder &= sequence.integerValue() == next[thread.integerValue()]++;
    if (i > 0) timestampsInOrder &= calls[i].timestamp >= calls[i - 1].timestamp;
  }
  std::cout << "complete=" << complete << "\n"
            << "calls=" << calls.size() << "\n"
            << "perThreadInOrder=" << perThreadInOrder << "\n"
            << "timestampsInOrder=" << timestampsInOrder << "\n";
  std::cout.flush();
  std::_Exit(0);
}

// A database of an earlier run with a marker row and the persisted app ids of that run.
int seed(const std::map<std::string, std::string>& values) {
  PersistedConfig* persisted = PersistedConfig::sharedInstance();
  os::Error error;
  auto database =
      measurement::Database::open(measurement::kMeasurementDatabaseName, persisted, &error);
  auto marker = measurement::UserAttribute::create("auto", kMarker, measurement::Value(int64_t{1}),
                                                   os::clock::now());
  if (!database || !marker || !database->updateUserAttribute(*marker, &error)) {
    std::cerr << "cannot seed: " << error.description << "\n";
    return 1;
  }
  if (values.contains("--persist-gmp")) persisted->setAppIDFromGMP(values.at("--persist-gmp"));
  if (values.contains("--persist-zezud")) {
    persisted->setAppIDFromZeZud(values.at("--persist-zezud"));
  }
  persisted->synchronizeToDisk();
  // Killed with the database open, the marker lives on in the write-ahead log only.
  if (values.contains("--kill")) raise(SIGKILL);
  return 0;
}

// The parameters of every event the facade commands log.
measurement::RawParameters eventParameters() {
  return measurement::rawParameters(
      os::Dictionary{{"level", int64_t{3}}, {"score", 1.5}, {"hero", std::string("ada")}});
}

void startThroughFacade() { APMAnalytics::startWithAppID("1:1:macos:a", "fa", os::Dictionary{}); }

// Runs "event:<name>" (a public event) and "prop:<name>=<value>" (a user property) in order.
int logThroughFacade(const std::map<std::string, std::string>& values) {
  startThroughFacade();
  std::istringstream actions(option(values, "--actions"));
  for (std::string action; std::getline(actions, action, ',');) {
    if (action.starts_with("event:")) {
      APMAnalytics::logEventWithName(action.substr(6), eventParameters());
    } else if (action.starts_with("prop:")) {
      std::string assignment = action.substr(5);
      size_t equals = assignment.find('=');
      APMAnalytics::setUserPropertyString(assignment.substr(equals + 1),
                                          assignment.substr(0, equals));
    }
    // Each action reaches the database before the next one starts.
    testsupport::waitForFacadeAndEngine();
  }
  // Twice: what the start-up hands back to the facade (the update events) goes round once more.
  testsupport::waitForFacadeAndEngine();
  testsupport::waitForFacadeAndEngine();
  return 0;
}

// Logs events and tells, after every 50 were written, how many are: the test kills it on a line
// of its choice, while the following events are on their way to the database.
int flood(const std::map<std::string, std::string>& values) {
  startThroughFacade();
  int64_t count = std::stoll(option(values, "--count", "10000"));
  int64_t every = std::max<int64_t>(1, std::stoll(option(values, "--every", "50")));
  for (int64_t i = 1; i <= count; ++i) {
    APMAnalytics::logEventWithName("level_up", eventParameters());
    if (i % every == 0) {
      testsupport::waitForFacadeAndEngine();
      // The child goes on logging at once, so a kill on this line lands among later writes.
      std::cout << "written=" << i << std::endl;
    }
  }
  testsupport::waitForFacadeAndEngine();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: measurement_engine_child <command> [--option value]...\n";
    return 2;
  }
  std::string command = argv[1];
  std::map<std::string, std::string> values = options(argc, argv);
  // Blocked before any thread starts, so that only sigwait takes it.
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
  measurement::Identifiers::sharedInstance().setOrigin("fa");
  measurement::MonitorCapture capture;
  gCapture = &capture;

  if (command == "seed") return seed(values);
  if (command == "create") return create();
  if (command == "order") return order();
  if (command == "log" || command == "flood") {
    int status = command == "log" ? logThroughFacade(values) : flood(values);
    PersistedConfig::sharedInstance()->synchronizeToDisk();
    measurement::monitor().drain();
    std::cout.flush();
    std::_Exit(status);
  }
  if (command == "request-reset") {
    // What the facade records of a reset it requests; the process dies before the engine
    // completes it.
    APMAnalytics::setResetRetryCount(APMAnalytics::resetRetryCount() + 1);
    APMAnalytics::setNeedFirstOpenAfterReset(true);
    std::string newID = measurement::Identity::randomAppInstanceID();
    APMAnalytics::setAppInstanceIDAfterReset(newID);
    std::cout << "appInstanceID=" << newID << std::endl;
    raise(SIGKILL);
  }
  std::shared_ptr<APMMeasurement> engine = makeEngine(values);
  if (command == "start") {
    printState(*engine);
  } else if (command == "start-after-signal") {
    printState(*engine);
    std::cout << "waiting" << std::endl;
    int signal = 0;
    sigwait(&usr1, &signal);
    engine->setEnabled(true);
    printState(*engine);
  } else if (command == "reset") {
    onWorkerQueue(*engine, [&] {
      auto fot = measurement::UserAttribute::create("auto", "_fot", measurement::Value(int64_t{1}),
                                                    os::clock::now());
      engine->setUserAttributeOnWorkerQueue(*fot);
    });
    printState(*engine);
    std::string newID = measurement::Identity::randomAppInstanceID();
    std::cout << "newID=" << newID << "\n"
              << "reset=" << engine->resetAnalyticsDataWithAppInstanceID(newID) << "\n";
    printState(*engine);
  } else {
    std::cerr << "unknown command " << command << "\n";
    return 2;
  }
  measurement::monitor().drain();
  engine->persistedConfig()->synchronizeToDisk();
  std::cout.flush();
  // The engine lives as long as the process, as in the application.
  std::_Exit(0);
}
