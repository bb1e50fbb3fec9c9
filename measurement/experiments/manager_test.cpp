// The manager: registration, flag resolution, activation, status, reset to defaults, the
// reported ids and what it tells the clients' delegates. The task manager is not started:
// these tests feed the manager its reports directly.
#include "measurement/experiments/manager.h"

#include <gtest/gtest.h>

#include "measurement/experiments/experiments_test_support.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/wire/access.h"
#include "os/dispatch/runloop.h"
#include "os/process/clock.h"

namespace measurement {
namespace {

using testing::experimentIDs;
using testing::makeFlag;
using testing::makeSnapshot;
using testing::RecordingObserver;

constexpr double kNow = 1'700'000'000;

class ManagerTest : public ::testing::Test {
 protected:
  ManagerTest() {
    auto queue = os::DispatchQueue::serial("APMExperimentWorkerQueue");
    taskManager_ = APMETaskManager::create({
        .queue = queue,
        .alarm = std::make_shared<Alarm>(queue, "APMExperimentAlarm"),
        .network = nullptr,
        .persistedStorage = std::make_shared<testing::WatchedStore>(),
        .databasePath = (sandbox_.root() / "experiments.sql").string(),
        .initTimestamp = kNow,
        .requestBuilder =
            std::make_shared<APMEExperimentRequestBuilder>([] { return std::string("ab12c"); }),
        .fetchURL = *os::URL::parse("https://127.0.0.1/sdk-exp"),
    });
    manager_ = ExperimentManager::initWithTaskManager(taskManager_);
  }

  std::shared_ptr<ExperimentClient> registerSDK(const std::string& name,
                                                const os::Dictionary& defaults = {}) {
    auto client = std::dynamic_pointer_cast<ExperimentClient>(
        manager_->registerSDKProperty({.name = name}, defaults));
    EXPECT_TRUE(client) << name;
    return client;
  }
  // What a successful fetch reports.
  void fetched(std::vector<APMESnapshot> snapshots, std::map<std::string, os::Error> errors = {}) {
    manager_->taskManagerDidFinishFetching(*taskManager_, snapshots, errors);
  }

  testing::DatabaseSandbox sandbox_;
  os::clock::ScopedFakeClock clock_{kNow};
  std::shared_ptr<APMETaskManager> taskManager_;
  std::shared_ptr<ExperimentManager> manager_;
};

TEST_F(ManagerTest, RegistrationRefusesBadInputAndReplacesEarlierRegistrations) {
  MonitorCapture capture;
  EXPECT_EQ(manager_->registerSDKProperty({.name = ""}, {}), nullptr);
  EXPECT_TRUE(capture.contains(800001));
  // A default that is neither a string nor a number refuses the whole registration.
  EXPECT_EQ(manager_->registerSDKProperty({.name = "sdk"}, {{"ok", 1}, {"date", os::Date{5}}}),
            nullptr);
  EXPECT_TRUE(capture.contains(800002));
  EXPECT_EQ(manager_->clientForSDKName("sdk"), nullptr);

  std::shared_ptr<ExperimentClient> first = registerSDK("sdk", {{"f", "one"}, {"g", 2.5}});
  // Seen by a lookup made right after the registration returned.
  EXPECT_EQ(first->objectForKeyedSubscript("f"), os::Value("one"));
  EXPECT_EQ(first->objectForKeyedSubscript("g"), os::Value(2.5));
  std::shared_ptr<ExperimentClient> second = registerSDK("sdk", {{"f", "two"}});
  EXPECT_EQ(second->objectForKeyedSubscript("f"), os::Value("two"));
  EXPECT_EQ(second->objectForKeyedSubscript("g"), std::nullopt);
  EXPECT_TRUE(capture.contains(800003));
  EXPECT_EQ(manager_->clientForSDKName("sdk"), second);
  EXPECT_EQ(first->valueForFlag(""), std::nullopt);
  EXPECT_TRUE(capture.contains(830002));
}

TEST_F(ManagerTest, FlagsResolveActivatedThenLaunchedThenDefault) {
  std::shared_ptr<ExperimentClient> client =
      registerSDK("sdk", {{"a", "default"}, {"b", "default"}, {"d", 4}, {"e", "default"}});
  APMESnapshot pending =
      makeSnapshot("sdk", {{7, {{"a", 7}}}, {3, {}}, {0, {{"a", 0}, {"b", "launched"}, {"e", 1}}}});
  // A flag that names itself and holds no value falls through to the next source.
  APMPBFlag empty;
  APMPBSetString(empty, kFlag_name, "e");
  pending.addFlag(empty, 3);
  fetched({pending});

  struct Case {
    const char* flag;
    std::optional<os::Value> beforeActivation;
    std::optional<os::Value> afterActivation;
  };
  const Case cases[] = {
      {"a", os::Value("default"), os::Value(7)}, {"b", os::Value("default"), os::Value("launched")},
      {"d", os::Value(4), os::Value(4)},         {"e", os::Value("default"), os::Value(1)},
      {"missing", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(client->objectForKeyedSubscript(c.flag), c.beforeActivation) << c.flag;
  }
  EXPECT_TRUE(manager_->experimentIDs().empty());

  os::Error error;
  ASSERT_TRUE(client->activateLatestSnapshot(&error));
  for (const Case& c : cases) {
    EXPECT_EQ(client->objectForKeyedSubscript(c.flag), c.afterActivation) << c.flag;
  }
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{3, 7}));
  // The pending snapshot was used up.
  EXPECT_FALSE(client->activateLatestSnapshot(&error));
}

TEST_F(ManagerTest, ActivationEdgeCases) {
  std::shared_ptr<ExperimentClient> client = registerSDK("sdk", {{"g", "default"}});
  MonitorCapture capture;
  os::Error untouched("untouched", 99);
  EXPECT_FALSE(client->activateLatestSnapshot(&untouched));
  EXPECT_EQ(untouched, os::Error("untouched", 99));
  EXPECT_TRUE(capture.contains(800023));

  os::Error error;
  EXPECT_FALSE(manager_->activateSnapshotOfSDK("", &error));
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.description, "SDK name cannot be empty");

  // Experiments in force, then a snapshot of the launched experiment alone: nothing stays in
  // force, the launched values answer.
  fetched({makeSnapshot("sdk", {{9, {{"g", 9}}}})});
  ASSERT_TRUE(client->activateLatestSnapshot(&error));
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{9}));
  fetched({makeSnapshot("sdk", {{0, {{"g", "launched"}}}})});
  ASSERT_TRUE(client->activateLatestSnapshot(&error));
  EXPECT_TRUE(manager_->experimentIDs().empty());
  EXPECT_EQ(client->objectForKeyedSubscript("g"), os::Value("launched"));
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), kSnapshotStatusFresh);
}

TEST_F(ManagerTest, StatusTellsWhetherTheActivatedSnapshotIsStale) {
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), kSnapshotStatusUnregistered);
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName(""), kSnapshotStatusUnregistered);
  std::shared_ptr<ExperimentClient> client = registerSDK("sdk");
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), kSnapshotStatusNoActivatedSnapshot);

  // Loaded at start-up: fresh from the moment of loading, whatever the stored time.
  APMESnapshot stored = makeSnapshot("sdk", {{5, {}}});
  stored.setTimestamp(kNow - 200000);
  manager_->taskManagerDidStart(*taskManager_, std::vector<APMESnapshot>{stored}, std::nullopt,
                                std::nullopt);
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), kSnapshotStatusFresh);
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{5}));
  clock_.advance(kStaleActivatedSnapshotAge);
  EXPECT_FALSE(client->hasStaleSnapshot());
  clock_.advance(1);
  EXPECT_TRUE(client->hasStaleSnapshot());
}

TEST_F(ManagerTest, ResetToDefaultsDropsOnlyTheActivatedSnapshot) {
  std::shared_ptr<ExperimentClient> client = registerSDK("sdk", {{"a", "default"}, {"b", "d"}});
  fetched({makeSnapshot("sdk", {{7, {{"a", 7}, {"b", 7}}}, {0, {{"a", 0}}}})});
  os::Error error;
  ASSERT_TRUE(client->activateLatestSnapshot(&error));
  fetched({makeSnapshot("sdk", {{8, {}}})});
  client->resetToDefaults();
  EXPECT_EQ(client->objectForKeyedSubscript("a"), os::Value(0));
  EXPECT_EQ(client->objectForKeyedSubscript("b"), os::Value("d"));
  EXPECT_TRUE(manager_->experimentIDs().empty());
  // The pending snapshot stayed.
  EXPECT_TRUE(client->activateLatestSnapshot(&error));
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{8}));

  MonitorCapture capture;
  manager_->resetToDefaultsOfSDKName("other");
  EXPECT_TRUE(capture.contains(800026));
}

TEST_F(ManagerTest, OnlySDKsWithoutTheirOwnDiversionKeyReportIds) {
  auto own = std::dynamic_pointer_cast<ExperimentClient>(
      manager_->registerSDKProperty({.name = "own", .diversionKey = "zz999"}, {}));
  std::shared_ptr<ExperimentClient> shared = registerSDK("shared");
  fetched({makeSnapshot("own", {{11, {}}}), makeSnapshot("shared", {{4, {}}, {2, {}}})});
  os::Error error;
  ASSERT_TRUE(own->activateLatestSnapshot(&error));
  ASSERT_TRUE(shared->activateLatestSnapshot(&error));
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{2, 4}));
}

TEST_F(ManagerTest, AFetchGoesAheadWhenAnyClientAgrees) {
  struct Case {
    const char* name;
    std::vector<std::optional<bool>> clients;  // nullopt: a client without a delegate
    bool expected;
  };
  const Case cases[] = {
      {"no client", {}, false},
      {"a client without delegate", {std::nullopt}, true},
      {"every delegate declines", {false, false}, false},
      {"one delegate agrees", {false, true}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::shared_ptr<ExperimentManager> manager =
        ExperimentManager::initWithTaskManager(taskManager_);
    std::vector<std::shared_ptr<RecordingObserver>> observers;
    int index = 0;
    for (std::optional<bool> answer : c.clients) {
      std::shared_ptr<APMEClient> client =
          manager->registerSDKProperty({.name = "sdk" + std::to_string(index++)}, {});
      if (!answer) continue;
      observers.push_back(std::make_shared<RecordingObserver>(nullptr, *answer));
      client->setDelegate(observers.back());
    }
    manager->experimentIDs();  // the registrations have run
    EXPECT_EQ(manager->taskManagerShouldFetchExperiments(*taskManager_), c.expected);
  }
}

TEST_F(ManagerTest, DelegatesHearOfErrorsAndNewSnapshotsOnTheirQueue) {
  std::shared_ptr<ExperimentClient> client = registerSDK("sdk");
  auto queue = os::DispatchQueue::serial("observer");
  auto observer = std::make_shared<RecordingObserver>(queue);
  client->setDelegate(observer);
  auto mainObserver = std::make_shared<RecordingObserver>();
  std::shared_ptr<ExperimentClient> mainClient = registerSDK("main");
  mainClient->setDelegate(mainObserver);

  fetched({}, {{"sdk", os::Error(kExperimentErrorDomain, -3)}, {"unknown", os::Error("x", 1)}});
  manager_->experimentIDs();  // the report has been handled
  ASSERT_EQ(observer->errors().size(), 1u);
  EXPECT_EQ(observer->errors()[0], os::Error(kExperimentErrorDomain, -3));

  MonitorCapture capture;
  manager_->taskManagerDidUpsertPendingSnapshots(
      *taskManager_, {makeSnapshot("sdk", {{1, {}}}), makeSnapshot("main", {{1, {}}}),
                      makeSnapshot("unregistered", {{1, {}}})});
  EXPECT_TRUE(capture.contains(800021));
  EXPECT_TRUE(observer->waitForNewSnapshots(1));
  EXPECT_FALSE(observer->toldOnMainThread());
  // Without a queue of its own, a delegate is told on the main queue.
  EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return mainObserver->newSnapshots() == 1; },
                                           testing::kEventTimeoutSeconds));
  EXPECT_TRUE(mainObserver->toldOnMainThread());
}

TEST_F(ManagerTest, ResetEmptiesTheSnapshotsAndKeepsTheClients) {
  std::shared_ptr<ExperimentClient> client = registerSDK("sdk", {{"a", "default"}});
  fetched({makeSnapshot("sdk", {{7, {{"a", 7}}}, {0, {{"a", 0}}}})});
  os::Error error;
  ASSERT_TRUE(client->activateLatestSnapshot(&error));
  fetched({makeSnapshot("sdk", {{8, {}}})});
  manager_->reset();
  EXPECT_EQ(client->objectForKeyedSubscript("a"), os::Value("default"));
  EXPECT_TRUE(manager_->experimentIDs().empty());
  EXPECT_FALSE(client->activateLatestSnapshot(&error));
  EXPECT_EQ(manager_->clientForSDKName("sdk"), client);
}

}  // namespace
}  // namespace measurement
