// The fetch task manager against the real experiment server on 127.0.0.1, with real SQLite
// files and a fake clock: the schedule, the replies and their faults, start-up, and the whole
// road from a fetch to flags in force.
#include "measurement/experiments/task_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "measurement/config/endpoints.h"
#include "measurement/config/remote_config.h"
#include "measurement/database/database.h"
#include "measurement/experiments/experiments_test_support.h"
#include "measurement/experiments/manager.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/persisted_config.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/wire/schema/cpp/experiment.pb.h"
#include "os/bundle/bundle.h"
#include "os/dispatch/runloop.h"
#include "os/process/clock.h"
#include "testsupport/child_process.h"
#include "testsupport/memory.h"
#include "tools/analytics/experiment_server.h"

namespace measurement {
namespace {

using testing::experimentIDs;
using testing::makeSnapshot;
using ::testing::MatchesRegex;
using testing::rawQuery;
using testing::RawRows;
using testing::RecordingObserver;
using testing::WatchedStore;
using tools::Cut;
using tools::ReplyBody;
namespace reference = tessaro::measurement;

constexpr double kNow = 1'700'000'000;

// Experiments 7 and 3 and the launched experiment 0 for the measurement SDK.
reference::ExperimentResponse sampleResponse() {
  reference::ExperimentResponse response;
  reference::Snapshot* snapshot = response.add_snapshots();
  snapshot->set_sdk_name("zad_odavodivezi");
  for (int id : {7, 3, 0}) {
    reference::Experiment* experiment = snapshot->add_experiments();
    experiment->set_experiment_id(id);
    reference::Flag* shared = experiment->add_flags();
    shared->set_name("shared");
    shared->set_int_value(id);
    reference::Flag* own = experiment->add_flags();
    own->set_name("flag_" + std::to_string(id));
    own->set_string_value("from " + std::to_string(id));
  }
  return response;
}

// What the task manager reports to the manager.
class RecordingDelegate final : public APMETaskManagerDelegate {
 public:
  bool taskManagerShouldFetchExperiments(APMETaskManager&) override { return shouldFetch; }
  void taskManagerDidStart(APMETaskManager&,
                           const std::optional<std::vector<APMESnapshot>>& activated,
                           const std::optional<std::vector<APMESnapshot>>& pending,
                           const std::optional<std::vector<APMESnapshot>>& launched) override {
    started = {activated, pending, launched};
  }
  void taskManagerDidFinishFetching(APMETaskManager&, const std::vector<APMESnapshot>& snapshots,
                                    const std::map<std::string, os::Error>& errors) override {
    fetched.push_back(snapshots);
    fetchErrors.push_back(errors);
  }
  void taskManagerDidUpsertPendingSnapshots(APMETaskManager&,
                                            const std::vector<APMESnapshot>&) override {}

  // Touched on the worker queue; read by the test after a sync on it.
  bool shouldFetch = true;
  std::optional<std::array<std::optional<std::vector<APMESnapshot>>, 3>> started;
  std::vector<std::vector<APMESnapshot>> fetched;
  std::vector<std::map<std::string, os::Error>> fetchErrors;
};

class TaskManagerTest : public ::testing::Test {
 protected:
  TaskManagerTest() {
    sandbox_.setEnv("TESSARO_CONNECT_TO", server_.connectTo());
    sandbox_.setEnv("TESSARO_CA_FILE", server_.certificatePath().string());
    sandbox_.setEnv("LANGUAGE", "en_US");
    server_.setResponse(sampleResponse().SerializeAsString());
  }
  ~TaskManagerTest() override {
    for (const auto& taskManager : made_) {
      taskManager->workerQueue()->sync([&] { alarms_[taskManager.get()]->cancel(); });
    }
    // A fetch still in flight reads the sandbox's folders from the environment on the network's
    // threads: it must be over before the sandbox puts the environment back.
    os::RunLoop::main().runUntil(
        [&] {
          return std::none_of(networks_.begin(), networks_.end(),
                              [](const auto& network) { return network->hasUploadInProgress(); });
        },
        testing::kEventTimeoutSeconds);
    os::Bundle::resetMainForTesting();
  }

  std::string databasePath() const { return (sandbox_.home() / "experiments.sql").string(); }
  std::shared_ptr<APMETaskManager> make(
      std::shared_ptr<ConfigStore> store,
      std::shared_ptr<APMEExperimentRequestBuilder> builder = nullptr) {
    auto queue = os::DispatchQueue::serial("APMExperimentWorkerQueue");
    auto alarm = std::make_shared<Alarm>(queue, "APMExperimentAlarm");
    if (!builder) {
      builder = std::make_shared<APMEExperimentRequestBuilder>([] { return std::string("ab12c"); });
      builder->addSDKProperty({.name = "zad_odavodivezi", .version = 102800});
    }
    auto taskManager = APMETaskManager::create({
        .queue = queue,
        .alarm = alarm,
        .network =
            networks_.emplace_back(VDUNetwork::initWithReachabilityHost(kExperimentServicesHost)),
        .persistedStorage = std::move(store),
        .databasePath = databasePath(),
        .initTimestamp = os::clock::now(),
        .requestBuilder = std::move(builder),
        .fetchURL = experimentFetchURL(),
    });
    alarms_[taskManager.get()] = alarm;
    made_.push_back(taskManager);
    return taskManager;
  }
  // Runs `block` on the task manager's worker queue and returns after it.
  void onWorker(const std::shared_ptr<APMETaskManager>& taskManager,
                const std::function<void()>& block) {
    taskManager->workerQueue()->sync(block);
  }
  std::optional<double> scheduled(const std::shared_ptr<APMETaskManager>& taskManager) {
    std::optional<double> at;
    onWorker(taskManager, [&] { at = alarms_[taskManager.get()]->scheduledTimestamp(); });
    return at;
  }
  // Fetches now and waits for the outcome to be recorded and handled.
  void fetchAndWait(const std::shared_ptr<APMETaskManager>& taskManager, const WatchedStore& store,
                    bool throughTheAlarm = false) {
    size_t before = store.changes();
    std::shared_ptr<Alarm> alarm = alarms_[taskManager.get()];
    taskManager->dispatchAsyncOnWorkerQueue([throughTheAlarm, alarm](APMETaskManager& self) {
      if (!throughTheAlarm) return self.fetchExperiments();
      // What the alarm does when it fires.
      alarm->cancel();
      self.alarmDidFire();
    });
    // The network client delivers through the main run loop.
    ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return store.changes() > before; },
                                             testing::kEventTimeoutSeconds));
    onWorker(taskManager, [] {});
  }

  testing::DatabaseSandbox sandbox_;
  tools::ExperimentServer server_;
  os::clock::ScopedFakeClock clock_{kNow};
  std::vector<std::shared_ptr<APMETaskManager>> made_;
  std::vector<std::shared_ptr<VDUNetwork>> networks_;
  std::map<APMETaskManager*, std::shared_ptr<Alarm>> alarms_;
};

TEST_F(TaskManagerTest, TheFetchTimeFollowsSuccessesAndTheRetryLadder) {
  auto store = std::make_shared<WatchedStore>();
  std::shared_ptr<APMETaskManager> taskManager = make(store);
  // The first computation of a process waits at least 10 s and ignores failures.
  EXPECT_EQ(taskManager->fetchTimeFromLastSuccessfulTimestamp(0, kNow - 5), kNow + 10);
  EXPECT_TRUE(taskManager->hasMadeInitialFetch());

  const double success = kNow - 20000;
  const double due = success + kExperimentFetchInterval;
  struct Case {
    const char* name;
    double success;
    double failure;
    double expected;  // 0: give up
  };
  const Case cases[] = {
      {"a success without failure", success, 0, due},
      {"a success in the future is mirrored", kNow + 100, 0, kNow - 100 + 14400},
      {"the due fetch failed", success, due, due + 1800},
      {"the first retry failed", success, due + 1800, due + 5400},
      {"the second retry failed", success, due + 5400, due + 12600},
      {"the third retry failed", success, due + 12600, due + 27000},
      {"the fourth retry failed", success, due + 27000, due + 55800},
      {"the fifth retry failed", success, due + 55800, due + 113400},
      {"the last retry failed", success, due + 113400, 0},
      {"a failure long after the success", success, due + 113401, 0},
      {"no success: retries from the start", 0, kNow + 1801, kNow + 5400},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(taskManager->fetchTimeFromLastSuccessfulTimestamp(c.success, c.failure), c.expected)
        << c.name;
  }
}

TEST_F(TaskManagerTest, AFreshInstallFetchesTenSecondsAfterStartAndStoresTheSnapshots) {
  std::filesystem::path contents = sandbox_.root() / "App.app" / "Contents";
  std::filesystem::create_directories(contents / "MacOS");
  std::ofstream(contents / "Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>CFBundleIdentifier</key><string>com.tessaro.brevalo.installer</string>"
         "</dict></plist>\n";
  sandbox_.setEnv("TESSARO_MAIN_BUNDLE", (sandbox_.root() / "App.app").string());
  os::Bundle::resetMainForTesting();

  auto store = std::make_shared<WatchedStore>();
  // The app instance's own diversion key, as the shared builder uses it.
  auto builder = std::make_shared<APMEExperimentRequestBuilder>();
  builder->addSDKProperty({.name = "zad_odavodivezi", .version = 102800});
  std::shared_ptr<APMETaskManager> taskManager = make(store, builder);
  auto delegate = std::make_shared<RecordingDelegate>();
  taskManager->setDelegate(delegate);
  taskManager->startTaskManager();
  onWorker(taskManager, [] {});
  ASSERT_TRUE(delegate->started);
  for (const auto& list : *delegate->started) {
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->empty());
  }
  EXPECT_EQ(scheduled(taskManager), kNow + 10);

  clock_.advance(10);
  fetchAndWait(taskManager, *store, /*throughTheAlarm=*/true);
  ASSERT_TRUE(server_.waitForRequests(1, std::chrono::seconds(60)));
  nlohmann::json request = server_.logged("request")[0]["request"];
  EXPECT_EQ(request["app_property"]["platform"], "macos");
  EXPECT_EQ(request["app_property"]["language"], "en-us");
  EXPECT_EQ(request["app_property"]["app_id"], "com.tessaro.brevalo.installer");
  EXPECT_EQ(request["app_property"]["manager_version"], "10000");
  ASSERT_EQ(request["client_properties"].size(), 1u);
  EXPECT_THAT(request["client_properties"][0]["diversion_id"].get<std::string>(),
              MatchesRegex("[^-]{5}-zad_odavodivezi"));
  EXPECT_EQ(request["client_properties"][0]["sdk_name"], "zad_odavodivezi");

  EXPECT_EQ(store->doubleForKey(kExperimentFetchSuccessTimestampKey), kNow + 10);
  ASSERT_EQ(delegate->fetched.size(), 1u);
  ASSERT_EQ(delegate->fetched[0].size(), 1u);
  EXPECT_EQ(experimentIDs(delegate->fetched[0][0]), (std::vector<int64_t>{0, 3, 7}));
  EXPECT_EQ(rawQuery(databasePath(),
                     "SELECT sdk_name, timestamp, manually_activated FROM pending_snapshot_table"),
            (RawRows{{"zad_odavodivezi", "1700000010.0", "0"}}));
  EXPECT_EQ(scheduled(taskManager), kNow + 10 + kExperimentFetchInterval);
}

TEST_F(TaskManagerTest, RepliesAndTheirFaults) {
  enum class Outcome { Success, Failure };
  struct Case {
    const char* name;
    tools::ScriptedFault fault;
    Outcome outcome;
    size_t snapshots;    // delivered with a success
    double nextFetchIn;  // seconds from now to the next alarm
    int64_t loggedCode;  // also logged, 0 for none
  };
  const Case cases[] = {
      {"200", {}, Outcome::Success, 1, kExperimentFetchInterval, 820003},
      {"204 without body", {.status = 204}, Outcome::Success, 0, kExperimentFetchInterval, 0},
      {"500 takes the ladder", {.status = 500}, Outcome::Failure, 0, 1800, 820002},
      {"429 backs off", {.status = 429}, Outcome::Failure, 0, kExperimentBackoffInterval, 0},
      {"503 backs off", {.status = 503}, Outcome::Failure, 0, kExperimentBackoffInterval, 0},
      {"a body that is not gzip", {.body = ReplyBody::NotGzip}, Outcome::Failure, 0, 1800, 820023},
      {"gzip of bytes that are no message",
       {.body = ReplyBody::GzipOfGarbage},
       Outcome::Failure,
       0,
       1800,
       820015},
      {"a gzip bomb", {.body = ReplyBody::GzipBomb}, Outcome::Failure, 0, 1800, 820023},
      {"cut mid-body", {.cut = Cut::MidResponse}, Outcome::Failure, 0, 1800, 820002},
      {"Content-Encoding sent as well",
       {.contentEncoding = true},
       Outcome::Success,
       1,
       kExperimentFetchInterval,
       0},
  };
  tools::ExperimentServer::gzipBomb();  // made before memory is measured
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = std::make_shared<WatchedStore>();
    std::shared_ptr<APMETaskManager> taskManager = make(store);
    auto delegate = std::make_shared<RecordingDelegate>();
    taskManager->setDelegate(delegate);
    // Past the first computation of the process, which ignores failures.
    taskManager->fetchTimeFromLastSuccessfulTimestamp(0, 0);
    server_.appendFault(c.fault);
    MonitorCapture capture;
    const size_t before = testsupport::residentBytes();
    const bool peakReset = testsupport::resetPeakResidentBytes();
    fetchAndWait(taskManager, *store);
    if (testsupport::residentMemoryIsMeaningful()) {
      // Never the whole bomb in memory, and nothing of it left afterwards.
      if (peakReset) {
        EXPECT_LT(testsupport::peakResidentBytes(),
                  before + tools::ExperimentServer::kBombInflatedBytes);
      }
      EXPECT_LT(testsupport::residentBytes(), before + (size_t{16} << 20));
    }

    const bool success = c.outcome == Outcome::Success;
    EXPECT_EQ(store->doubleForKey(kExperimentFetchSuccessTimestampKey), success ? kNow : 0);
    EXPECT_EQ(store->doubleForKey(kExperimentFetchFailureTimestampKey), success ? 0 : kNow);
    const bool backoff = c.fault.status == 429 || c.fault.status == 503;
    EXPECT_EQ(store->doubleForKey(kExperimentFetchBackoffTimestampKey), backoff ? kNow : 0);
    ASSERT_EQ(delegate->fetched.size(), success ? 1u : 0u);
    if (success) {
      EXPECT_EQ(delegate->fetched[0].size(), c.snapshots);
      EXPECT_TRUE(delegate->fetchErrors[0].empty());
    }
    EXPECT_EQ(scheduled(taskManager), kNow + c.nextFetchIn);
    if (c.loggedCode != 0) {
      EXPECT_TRUE(capture.contains(c.loggedCode));
    }
  }
}

TEST_F(TaskManagerTest, ErrorsAndSnapshotsOfTheSDKResponses) {
  reference::ExperimentResponse response;
  for (auto [name, code] : std::vector<std::pair<std::string, int>>{
           {"one", 1}, {"two", 2}, {"three", 3}, {"nine", 9}, {"fine", 0}, {"", 1}}) {
    reference::SdkResponse* sdk = response.add_sdk_responses();
    sdk->set_sdk_name(name);
    sdk->set_error_code(code);
    if (name == "fine") sdk->mutable_snapshot()->add_experiments()->set_experiment_id(4);
  }
  server_.setResponse(response.SerializeAsString());
  auto store = std::make_shared<WatchedStore>();
  std::shared_ptr<APMETaskManager> taskManager = make(store);
  auto delegate = std::make_shared<RecordingDelegate>();
  taskManager->setDelegate(delegate);
  fetchAndWait(taskManager, *store);
  ASSERT_EQ(delegate->fetched.size(), 1u);
  // The snapshot of an SDK response takes the response's SDK name.
  ASSERT_EQ(delegate->fetched[0].size(), 1u);
  EXPECT_EQ(delegate->fetched[0][0].SDKName(), "fine");
  EXPECT_EQ(experimentIDs(delegate->fetched[0][0]), (std::vector<int64_t>{4}));
  std::map<std::string, int64_t> codes;
  for (const auto& [name, error] : delegate->fetchErrors[0]) {
    EXPECT_EQ(error.domain, kExperimentErrorDomain);
    codes[name] = error.code;
  }
  EXPECT_EQ(codes, (std::map<std::string, int64_t>{
                       {"one", -2}, {"two", -3}, {"three", -4}, {"nine", -1}}));
}

TEST_F(TaskManagerTest, ADeclinedFetchIsPostponedAndClearsFailures) {
  auto store = std::make_shared<WatchedStore>();
  store->setDouble(kNow - 100, kExperimentFetchFailureTimestampKey);
  store->setDouble(kNow - 100, kExperimentFetchBackoffTimestampKey);
  std::shared_ptr<APMETaskManager> taskManager = make(store);
  auto delegate = std::make_shared<RecordingDelegate>();
  delegate->shouldFetch = false;
  taskManager->setDelegate(delegate);
  taskManager->fetchTimeFromLastSuccessfulTimestamp(0, 0);
  onWorker(taskManager, [&] { taskManager->alarmDidFire(); });
  EXPECT_EQ(store->doubleForKey(kExperimentFetchSuccessTimestampKey), kNow);
  EXPECT_EQ(store->doubleForKey(kExperimentFetchFailureTimestampKey), 0);
  EXPECT_EQ(store->doubleForKey(kExperimentFetchBackoffTimestampKey), 0);
  EXPECT_EQ(scheduled(taskManager), kNow + kExperimentFetchInterval);
  EXPECT_TRUE(server_.logged("request").empty());
}

TEST_F(TaskManagerTest, APendingAlarmIsKeptUnlessTheNewTimeIsEarlier) {
  auto store = std::make_shared<WatchedStore>();
  std::shared_ptr<APMETaskManager> taskManager = make(store);
  MonitorCapture capture;
  onWorker(taskManager, [&] { taskManager->scheduleFetchingExperimentsOnWorkerQueue(); });
  EXPECT_EQ(scheduled(taskManager), kNow + 10);
  // Later than the pending alarm: kept.
  store->setDouble(kNow, kExperimentFetchSuccessTimestampKey);
  onWorker(taskManager, [&] { taskManager->scheduleFetchingExperimentsOnWorkerQueue(); });
  EXPECT_EQ(scheduled(taskManager), kNow + 10);
  EXPECT_TRUE(capture.contains(820017));
  // Long overdue: re-armed to fire at once.
  store->setDouble(kNow - 2 * kExperimentFetchInterval, kExperimentFetchSuccessTimestampKey);
  std::optional<double> rearmed;
  // Read in the same block: the alarm fires for real a millisecond later.
  onWorker(taskManager, [&] {
    taskManager->scheduleFetchingExperimentsOnWorkerQueue();
    rearmed = alarms_[taskManager.get()]->scheduledTimestamp();
  });
  EXPECT_EQ(rearmed, kNow + 0.001);
  // The ladder exhausted: no alarm, and the success time goes.
  store->setDouble(kNow - 200000, kExperimentFetchSuccessTimestampKey);
  store->setDouble(kNow, kExperimentFetchFailureTimestampKey);
  onWorker(taskManager, [&] {
    alarms_[taskManager.get()]->cancel();
    taskManager->scheduleFetchingExperimentsOnWorkerQueue();
  });
  EXPECT_EQ(scheduled(taskManager), std::nullopt);
  EXPECT_TRUE(capture.contains(820024));
  EXPECT_EQ(store->doubleForKey(kExperimentFetchSuccessTimestampKey), 0);
}

TEST_F(TaskManagerTest, AFileHeldByAnotherProcessAtStartSurvivesAndLoadsNextTime) {
  {
    std::unique_ptr<APMEDatabase> database = APMEDatabase::initWithPath(databasePath());
    ASSERT_TRUE(database);
    os::Error error;
    ASSERT_TRUE(database->upsertSnapshot(makeSnapshot("sdk", {{5, {}}}).proto(),
                                         kActivatedSnapshotTable, kNow - 60, std::nullopt, &error));
  }
  {
    testsupport::Child holder({DATABASE_CHILD, "hold-exclusive", databasePath()},
                              testsupport::ChildOutput::StandardOutput);
    ASSERT_EQ(holder.readLine(), "locked");
    std::shared_ptr<APMETaskManager> held = make(std::make_shared<WatchedStore>());
    auto delegate = std::make_shared<RecordingDelegate>();
    held->setDelegate(delegate);
    held->startTaskManager();
    onWorker(held, [] {});
    EXPECT_FALSE(delegate->started);
    holder.signal(SIGKILL);
    holder.wait();
  }
  ASSERT_TRUE(std::filesystem::exists(databasePath()));
  std::shared_ptr<APMETaskManager> next = make(std::make_shared<WatchedStore>());
  auto delegate = std::make_shared<RecordingDelegate>();
  next->setDelegate(delegate);
  next->startTaskManager();
  onWorker(next, [] {});
  ASSERT_TRUE(delegate->started);
  ASSERT_TRUE((*delegate->started)[0]);
  ASSERT_EQ((*delegate->started)[0]->size(), 1u);
  EXPECT_EQ(experimentIDs((*delegate->started)[0]->front()), (std::vector<int64_t>{5}));
}

TEST_F(TaskManagerTest, ASnapshotFlowsFromTheServerToFlagsInForce) {
  auto store = std::make_shared<WatchedStore>();
  std::shared_ptr<APMETaskManager> taskManager = make(
      store, std::make_shared<APMEExperimentRequestBuilder>([] { return std::string("ab12c"); }));
  std::shared_ptr<ExperimentManager> manager = ExperimentManager::initWithTaskManager(taskManager);
  std::shared_ptr<APMEClient> client = manager->registerSDKProperty(
      {.name = "zad_odavodivezi", .version = 102800}, {{"shared", -1}, {"only_default", "d"}});
  // Without a queue of its own the observer is told on the main queue.
  auto observer = std::make_shared<RecordingObserver>();
  client->setDelegate(observer);
  taskManager->startTaskManager();
  onWorker(taskManager, [] {});

  fetchAndWait(taskManager, *store, /*throughTheAlarm=*/true);
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return observer->newSnapshots() == 1; },
                                           testing::kEventTimeoutSeconds));
  EXPECT_TRUE(observer->toldOnMainThread());
  // Stored again marked: start-up leaves it to the client.
  EXPECT_EQ(rawQuery(databasePath(),
                     "SELECT sdk_name, manually_activated FROM "
                     "pending_snapshot_table"),
            (RawRows{{"zad_odavodivezi", "1"}}));
  EXPECT_EQ(client->objectForKeyedSubscript("shared"), os::Value(-1));

  os::Error error;
  ASSERT_TRUE(client->activateLatestSnapshot(&error));
  struct Case {
    const char* flag;
    std::optional<os::Value> value;
  };
  const Case cases[] = {
      {"flag_7", os::Value("from 7")},   // activated
      {"flag_0", os::Value("from 0")},   // launched
      {"only_default", os::Value("d")},  // default
      {"missing", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(client->objectForKeyedSubscript(c.flag), c.value) << c.flag;
  EXPECT_THAT(client->objectForKeyedSubscript("shared"),
              ::testing::AnyOf(os::Value(3), os::Value(7)));
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{3, 7}));

  onWorker(taskManager, [] {});
  EXPECT_EQ(rawQuery(databasePath(), "SELECT count(*) FROM pending_snapshot_table"),
            (RawRows{{"0"}}));
  EXPECT_EQ(rawQuery(databasePath(), "SELECT sdk_name FROM activated_snapshot_table"),
            (RawRows{{"zad_odavodivezi"}}));
  EXPECT_EQ(rawQuery(databasePath(), "SELECT sdk_name FROM launched_snapshot_table"),
            (RawRows{{"zad_odavodivezi"}}));
}

TEST_F(TaskManagerTest, TheMeasurementConfigurationActivatesWhatItIsToldOf) {
  std::unique_ptr<PersistedConfig> persisted = PersistedConfig::create("com.example.config");
  os::Error error;
  std::unique_ptr<Database> database =
      Database::open(kMeasurementDatabaseName, persisted.get(), &error);
  ASSERT_TRUE(database) << error.description;
  auto store = std::make_shared<WatchedStore>();
  std::shared_ptr<APMETaskManager> taskManager = make(
      store, std::make_shared<APMEExperimentRequestBuilder>([] { return std::string("ab12c"); }));
  std::shared_ptr<ExperimentManager> manager = ExperimentManager::initWithTaskManager(taskManager);
  std::shared_ptr<RemoteConfig> config = RemoteConfig::create(
      "1:123:ios:abc", database.get(), std::nullopt,
      {.experimentManager = manager, .isMeasurementEnabled = [] { return true; }});
  ASSERT_TRUE(config);
  taskManager->startTaskManager();
  onWorker(taskManager, [] {});
  EXPECT_EQ(config->experimentIDs(), std::vector<int64_t>());

  fetchAndWait(taskManager, *store, /*throughTheAlarm=*/true);
  // The configuration implements no queue: it hears of the snapshot on the main queue, and
  // activates it when the engine asks.
  EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return config->activateNewSnapshot(); },
                                           testing::kEventTimeoutSeconds));
  EXPECT_EQ(config->experimentIDs(), (std::vector<int64_t>{3, 7}));
  EXPECT_EQ(manager->clientForSDKName(kExperimentSDKName)->objectForKeyedSubscript("flag_0"),
            os::Value("from 0"));
}

TEST_F(TaskManagerTest, ResetStartsAfreshAndClearAndDeleteLeavesNothing) {
  auto store = std::make_shared<WatchedStore>();
  std::shared_ptr<APMETaskManager> taskManager = make(store);
  std::shared_ptr<ExperimentManager> manager = ExperimentManager::initWithTaskManager(taskManager);
  std::shared_ptr<APMEClient> client = manager->registerSDKProperty({.name = "sdk"}, {});
  taskManager->startTaskManager();
  fetchAndWait(taskManager, *store);
  ASSERT_EQ(rawQuery(databasePath(), "SELECT count(*) FROM pending_snapshot_table"),
            (RawRows{{"1"}}));
  store->setDouble(kNow, kExperimentFetchFailureTimestampKey);

  // Reset: an empty file and no timestamps (the next fetch is due at once).
  manager->reset();
  manager->experimentIDs();  // the manager's queue has handed the reset on
  onWorker(taskManager, [] {});
  EXPECT_EQ(rawQuery(databasePath(), "SELECT count(*) FROM pending_snapshot_table"),
            (RawRows{{"0"}}));
  EXPECT_EQ(store->doubleForKey(kExperimentFetchFailureTimestampKey), 0);
  EXPECT_EQ(store->doubleForKey(kExperimentFetchSuccessTimestampKey), 0);

  manager->clearAndDelete();
  manager->experimentIDs();
  onWorker(taskManager, [] {});
  EXPECT_FALSE(std::filesystem::exists(databasePath()));
  os::Error error;
  EXPECT_FALSE(client->activateLatestSnapshot(&error));
}

TEST_F(TaskManagerTest, ARestartReloadsWhatIsStored) {
  os::clock::ScopedFakeClock realTime(std::time(nullptr));  // the child runs on the real clock
  const double now = os::clock::now();
  const std::string path = measurementDataPath(kExperimentDatabaseFileName);
  {
    std::unique_ptr<APMEDatabase> database = APMEDatabase::initWithPath(path);
    ASSERT_TRUE(database);
    os::Error error;
    struct Row {
      const char* table;
      APMESnapshot snapshot;
      double age;
      std::optional<bool> manuallyActivated;
    };
    const Row rows[] = {
        {kActivatedSnapshotTable, makeSnapshot("zad_odavodivezi", {{3, {}}, {7, {}}}), 60,
         std::nullopt},
        {kActivatedSnapshotTable, makeSnapshot("old", {{9, {}}}), kStaleActivatedSnapshotAge + 60,
         std::nullopt},
        {kPendingSnapshotTable, makeSnapshot("auto", {{5, {}}, {0, {}}}), 30, false},
        {kPendingSnapshotTable, makeSnapshot("manual", {{6, {}}}), 30, true},
    };
    for (const Row& row : rows) {
      ASSERT_TRUE(database->upsertSnapshot(row.snapshot.proto(), row.table, now - row.age,
                                           row.manuallyActivated, &error));
    }
  }
  testsupport::ChildRun run =
      testsupport::runChild({EXPERIMENTS_CHILD, "zad_odavodivezi", "old", "auto", "manual"},
                            testsupport::ChildOutput::StandardOutput);
  ASSERT_TRUE(run.succeeded()) << run.output;
  EXPECT_EQ(run.output, "zad_odavodivezi 0\nold -2\nauto 0\nmanual -2\nids 3 5 7\n");
  EXPECT_EQ(rawQuery(path, "SELECT sdk_name FROM activated_snapshot_table ORDER BY sdk_name"),
            (RawRows{{"auto"}, {"zad_odavodivezi"}}));
  EXPECT_EQ(rawQuery(path, "SELECT sdk_name FROM launched_snapshot_table"), (RawRows{{"auto"}}));
  EXPECT_EQ(rawQuery(path, "SELECT sdk_name FROM pending_snapshot_table"), (RawRows{{"manual"}}));
}

}  // namespace
}  // namespace measurement
