#include "net/reachability_manager.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "os/bundle/bundle.h"
#include "os/dispatch/notifications.h"
#include "os/dispatch/runloop.h"
#include "testsupport/sandbox.h"

namespace {

using Status = NKNetworkReachabilityStatus;

constexpr os::ReachabilityFlags kReachable = os::kReachabilityFlagReachable;
constexpr os::ReachabilityFlags kRequired = os::kReachabilityFlagConnectionRequired;
constexpr os::ReachabilityFlags kOnTraffic = os::kReachabilityFlagConnectionOnTraffic;
constexpr os::ReachabilityFlags kOnDemand = os::kReachabilityFlagConnectionOnDemand;
constexpr os::ReachabilityFlags kIntervention = os::kReachabilityFlagInterventionRequired;

// Flags set by the test. Like the machine's source, it reports changes on the main thread.
class FakeFlagSource : public os::ReachabilityFlagSource {
 public:
  explicit FakeFlagSource(std::optional<os::ReachabilityFlags> flags) : flags_(flags) {}

  std::optional<os::ReachabilityFlags> currentFlags() override {
    std::lock_guard lock(mutex_);
    ++reads_;
    readOnMainThread_ = readOnMainThread_ || os::isMainThread();
    return flags_;
  }
  bool schedule(Callback callback) override {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
    return true;
  }
  void unschedule() override {
    std::lock_guard lock(mutex_);
    callback_ = nullptr;
  }

  // The flags become `flags`; told to the scheduled callback, if any.
  void change(os::ReachabilityFlags flags) {
    Callback callback;
    {
      std::lock_guard lock(mutex_);
      flags_ = flags;
      callback = callback_;
    }
    if (callback) callback(flags);
  }
  bool isScheduled() {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(callback_);
  }
  int reads() {
    std::lock_guard lock(mutex_);
    return reads_;
  }
  bool readOnMainThread() {
    std::lock_guard lock(mutex_);
    return readOnMainThread_;
  }

 private:
  std::mutex mutex_;
  std::optional<os::ReachabilityFlags> flags_;
  Callback callback_;
  int reads_ = 0;
  bool readOnMainThread_ = false;
};

bool turnFor(double seconds) {
  return os::RunLoop::main().runUntil([] { return false; }, seconds);
}

// Records the reachability notifications and a manager's block calls, in the order they come.
class ReachabilityManagerTest : public ::testing::Test {
 protected:
  ReachabilityManagerTest()
      : observing_(center_,
                   center_.addObserver(kNKNetworkingReachabilityDidChangeNotification, nullptr,
                                       [this](const os::Notification& note) { noted(note); })) {}

  void noted(const os::Notification& note) {
    notified_.push_back(note.userInfo);
    int64_t status = note.userInfo[kNKNetworkingReachabilityNotificationStatusItem].integerValue();
    events_.push_back("notification " + std::to_string(status));
    allOnMainThread_ = allOnMainThread_ && os::isMainThread();
    objectsAreNull_ = objectsAreNull_ && note.object == nullptr;
  }

  // Sets a block on `manager` that records its calls.
  void record(NKNetworkReachabilityManager& manager) {
    manager.setReachabilityStatusChangeBlock([this, &manager](Status status) {
      events_.push_back("block " + std::to_string(static_cast<int>(status)));
      allOnMainThread_ = allOnMainThread_ && os::isMainThread();
      // The status is stored before the block runs.
      storedBeforeBlock_ = storedBeforeBlock_ && manager.networkReachabilityStatus() == status;
    });
  }

  // Turns the main run loop until `count` notifications have arrived, then a little longer so
  // that one too many would show.
  bool runUntilNotified(size_t count) {
    bool arrived = os::RunLoop::main().runUntil([&] { return notified_.size() >= count; }, 10.0);
    turnFor(0.1);
    return arrived;
  }

  // The statuses of the notifications so far.
  std::vector<int64_t> notifiedStatuses() const {
    std::vector<int64_t> statuses;
    for (const auto& userInfo : notified_) {
      statuses.push_back(userInfo[kNKNetworkingReachabilityNotificationStatusItem].integerValue());
    }
    return statuses;
  }

  os::NotificationCenter& center_ = os::NotificationCenter::defaultCenter();
  std::vector<os::Value> notified_;
  std::vector<std::string> events_;
  bool allOnMainThread_ = true;
  bool objectsAreNull_ = true;
  bool storedBeforeBlock_ = true;
  // Last, so that it goes first: no notification arrives at a half-destroyed fixture.
  os::ObserverRegistration observing_;
};

TEST(NKNetworkReachabilityManagerStatus, FlagsReduceToAStatusAsTheTableSays) {
  struct Case {
    const char* label;
    os::ReachabilityFlags flags;
    Status status;
  } cases[] = {
      {"nothing", 0, Status::NotReachable},
      {"reachable", kReachable, Status::ReachableViaWiFi},
      {"local and direct",
       kReachable | os::kReachabilityFlagIsLocalAddress | os::kReachabilityFlagIsDirect,
       Status::ReachableViaWiFi},
      {"transient", kReachable | os::kReachabilityFlagTransientConnection,
       Status::ReachableViaWiFi},
      {"required alone", kReachable | kRequired, Status::NotReachable},
      {"required, on demand", kReachable | kRequired | kOnDemand, Status::ReachableViaWiFi},
      {"required, on traffic", kReachable | kRequired | kOnTraffic, Status::ReachableViaWiFi},
      {"required, on demand, intervention", kReachable | kRequired | kOnDemand | kIntervention,
       Status::NotReachable},
      {"required, on traffic, intervention", kReachable | kRequired | kOnTraffic | kIntervention,
       Status::NotReachable},
      {"intervention without required", kReachable | kIntervention, Status::ReachableViaWiFi},
      {"everything but reachable", 0xFFFFFFFFu & ~kReachable, Status::NotReachable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(NKNetworkReachabilityManager::statusForFlags(c.flags), c.status);
  }
}

TEST(NKNetworkReachabilityManagerStatus, NoFlagsEverGiveWWANOrUnknown) {
  const os::ReachabilityFlags kFlags[] = {
      os::kReachabilityFlagTransientConnection,  os::kReachabilityFlagReachable,
      os::kReachabilityFlagConnectionRequired,   os::kReachabilityFlagConnectionOnTraffic,
      os::kReachabilityFlagInterventionRequired, os::kReachabilityFlagConnectionOnDemand,
      os::kReachabilityFlagIsLocalAddress,       os::kReachabilityFlagIsDirect,
  };
  for (unsigned combination = 0; combination < (1u << std::size(kFlags)); ++combination) {
    os::ReachabilityFlags flags = 0;
    for (size_t bit = 0; bit < std::size(kFlags); ++bit) {
      if (combination & (1u << bit)) flags |= kFlags[bit];
    }
    Status status = NKNetworkReachabilityManager::statusForFlags(flags);
    EXPECT_TRUE(status == Status::NotReachable || status == Status::ReachableViaWiFi)
        << "flags " << flags;
  }
}

TEST_F(ReachabilityManagerTest, BeforeStartNothingIsReadOrTold) {
  auto source = std::make_shared<FakeFlagSource>(kReachable);
  auto manager = NKNetworkReachabilityManager::managerWithReachability(source);
  record(*manager);
  turnFor(0.1);
  EXPECT_EQ(manager->networkReachabilityStatus(), Status::Unknown);
  EXPECT_EQ(manager->localizedNetworkReachabilityStatusString(), "Unknown");
  EXPECT_FALSE(manager->isReachable());
  EXPECT_EQ(source->reads(), 0);
  EXPECT_FALSE(source->isScheduled());
  EXPECT_TRUE(events_.empty());
}

TEST_F(ReachabilityManagerTest, StartDeliversTheCurrentStatusOnceOnTheMainThread) {
  auto source = std::make_shared<FakeFlagSource>(kReachable | kRequired | kOnDemand);
  auto manager = NKNetworkReachabilityManager::managerWithReachability(source);
  record(*manager);
  manager->startMonitoring();
  EXPECT_TRUE(source->isScheduled());

  ASSERT_TRUE(runUntilNotified(1));
  EXPECT_EQ(events_, (std::vector<std::string>{"block 2", "notification 2"}))
      << "the block runs first, then the notification, each once";
  EXPECT_EQ(notified_.at(0),
            (os::Value(os::Dictionary{{kNKNetworkingReachabilityNotificationStatusItem, 2}})));
  EXPECT_TRUE(allOnMainThread_);
  EXPECT_TRUE(objectsAreNull_);
  EXPECT_TRUE(storedBeforeBlock_);
  EXPECT_FALSE(source->readOnMainThread());
  EXPECT_EQ(manager->networkReachabilityStatus(), Status::ReachableViaWiFi);
}

TEST_F(ReachabilityManagerTest, StatusTextAndPredicatesFollowTheDeliveredStatus) {
  struct Case {
    os::ReachabilityFlags flags;
    Status status;
    const char* text;
  } cases[] = {
      {0, Status::NotReachable, "Not Reachable"},
      {kReachable, Status::ReachableViaWiFi, "Reachable via WiFi"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    notified_.clear();
    auto manager = NKNetworkReachabilityManager::managerWithReachability(
        std::make_shared<FakeFlagSource>(c.flags));
    manager->startMonitoring();
    ASSERT_TRUE(runUntilNotified(1));
    EXPECT_EQ(manager->networkReachabilityStatus(), c.status);
    EXPECT_EQ(manager->localizedNetworkReachabilityStatusString(), c.text);
    EXPECT_EQ(manager->isReachable(), c.status == Status::ReachableViaWiFi);
    EXPECT_EQ(manager->isReachableViaWiFi(), c.status == Status::ReachableViaWiFi);
    EXPECT_FALSE(manager->isReachableViaWWAN());
  }
}

TEST_F(ReachabilityManagerTest, ChangesArriveInOrder) {
  auto source = std::make_shared<FakeFlagSource>(kReachable);
  auto manager = NKNetworkReachabilityManager::managerWithReachability(source);
  record(*manager);
  manager->startMonitoring();
  ASSERT_TRUE(runUntilNotified(1));

  source->change(0);
  source->change(kReachable | kRequired | kOnTraffic);
  source->change(kReachable | kRequired);
  source->change(kReachable);
  ASSERT_TRUE(runUntilNotified(5));
  EXPECT_EQ(notifiedStatuses(), (std::vector<int64_t>{2, 0, 2, 0, 2}));
  std::vector<std::string> blocks;
  for (const auto& event : events_) {
    if (event.rfind("block", 0) == 0) blocks.push_back(event);
  }
  EXPECT_EQ(blocks,
            (std::vector<std::string>{"block 2", "block 0", "block 2", "block 0", "block 2"}));
  EXPECT_TRUE(allOnMainThread_);
  EXPECT_TRUE(storedBeforeBlock_);
}

TEST_F(ReachabilityManagerTest, StopStopsAndStartReadsAgain) {
  auto source = std::make_shared<FakeFlagSource>(kReachable);
  auto manager = NKNetworkReachabilityManager::managerWithReachability(source);
  manager->startMonitoring();
  ASSERT_TRUE(runUntilNotified(1));

  manager->stopMonitoring();
  EXPECT_FALSE(source->isScheduled());
  source->change(0);
  turnFor(0.2);
  EXPECT_EQ(notifiedStatuses(), std::vector<int64_t>{2});
  EXPECT_EQ(manager->networkReachabilityStatus(), Status::ReachableViaWiFi);

  manager->startMonitoring();
  ASSERT_TRUE(runUntilNotified(2));
  EXPECT_EQ(notifiedStatuses(), (std::vector<int64_t>{2, 0}));
  EXPECT_EQ(source->reads(), 2);

  manager.reset();  // destruction stops monitoring too
  EXPECT_FALSE(source->isScheduled());
}

TEST_F(ReachabilityManagerTest, StartingTwiceTellsEachChangeOnce) {
  auto source = std::make_shared<FakeFlagSource>(kReachable);
  auto manager = NKNetworkReachabilityManager::managerWithReachability(source);
  manager->startMonitoring();
  manager->startMonitoring();
  ASSERT_TRUE(runUntilNotified(2));  // one reading per start
  source->change(0);
  ASSERT_TRUE(runUntilNotified(3));
  EXPECT_EQ(notifiedStatuses(), (std::vector<int64_t>{2, 2, 0}));
}

TEST_F(ReachabilityManagerTest, AChangeUnderWayIsStillPostedAfterItsManagerIsGone) {
  auto source = std::make_shared<FakeFlagSource>(kReachable);
  auto manager = NKNetworkReachabilityManager::managerWithReachability(source);
  record(*manager);
  manager->startMonitoring();
  ASSERT_TRUE(runUntilNotified(1));

  source->change(0);  // queued on the main queue
  manager.reset();
  ASSERT_TRUE(runUntilNotified(2));
  EXPECT_EQ(notifiedStatuses(), (std::vector<int64_t>{2, 0}));
  EXPECT_EQ(events_.size(), 3u) << "the gone manager's block is not called";
}

TEST_F(ReachabilityManagerTest, UnreadableFlagsAndMissingSourcesTellNothing) {
  auto unreadable = std::make_shared<FakeFlagSource>(std::nullopt);
  auto manager = NKNetworkReachabilityManager::managerWithReachability(unreadable);
  manager->startMonitoring();
  ASSERT_TRUE(os::RunLoop::main().runUntil([&] { return unreadable->reads() == 1; }, 10.0));
  turnFor(0.1);

  sockaddr local{};
  local.sa_family = AF_UNIX;
  auto withoutSources = {NKNetworkReachabilityManager::managerForAddress(&local),
                         NKNetworkReachabilityManager::managerForDomain(""),
                         NKNetworkReachabilityManager::managerWithReachability(nullptr)};
  for (const auto& sourceless : withoutSources) {
    sourceless->startMonitoring();
    sourceless->stopMonitoring();
    sourceless->startMonitoring();
  }
  turnFor(0.1);
  EXPECT_TRUE(notified_.empty());
  EXPECT_EQ(manager->networkReachabilityStatus(), Status::Unknown);
  for (const auto& sourceless : withoutSources) {
    EXPECT_EQ(sourceless->networkReachabilityStatus(), Status::Unknown);
  }
}

TEST_F(ReachabilityManagerTest, StatusTextsComeFromTheNKNetworkingTable) {
  testsupport::Sandbox sandbox;
  auto bundle = sandbox.root() / "Bundle.app";
  std::filesystem::create_directories(bundle / "Contents/Resources/en.lproj");
  std::ofstream(bundle / "Contents/Resources/en.lproj/NKNetworking.strings")
      << "\"Not Reachable\" = \"Hors ligne\";\n";
  sandbox.setEnv("TESSARO_MAIN_BUNDLE", bundle.string());
  os::Bundle::resetMainForTesting();

  auto manager =
      NKNetworkReachabilityManager::managerWithReachability(std::make_shared<FakeFlagSource>(0));
  EXPECT_EQ(manager->localizedNetworkReachabilityStatusString(), "Unknown");  // not in the table
  manager->startMonitoring();
  ASSERT_TRUE(runUntilNotified(1));
  EXPECT_EQ(manager->localizedNetworkReachabilityStatusString(), "Hors ligne");

  manager.reset();
  sandbox.setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
  os::Bundle::resetMainForTesting();
}

TEST(NKNetworkReachabilityManagerShared, OneManagerForTheProcessThatNobodyStarted) {
  std::shared_ptr<NKNetworkReachabilityManager> fromThread;
  std::thread other([&] { fromThread = NKNetworkReachabilityManager::sharedManager(); });
  const auto& shared = NKNetworkReachabilityManager::sharedManager();
  other.join();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(fromThread, shared);
  EXPECT_NE(NKNetworkReachabilityManager::manager(), shared);
  EXPECT_EQ(shared->networkReachabilityStatus(), Status::Unknown);
}

TEST_F(ReachabilityManagerTest, TheMachinesSourcesAnswerThroughTheManager) {
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct Case {
    const char* label;
    std::shared_ptr<NKNetworkReachabilityManager> manager;
    bool mustBeReachable;
  } cases[] = {
      {"address 127.0.0.1",
       NKNetworkReachabilityManager::managerForAddress(reinterpret_cast<sockaddr*>(&loopback)),
       true},
      {"domain 127.0.0.1", NKNetworkReachabilityManager::managerForDomain("127.0.0.1"), true},
      // This machine may or may not have a default route.
      {"the network", NKNetworkReachabilityManager::manager(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    notified_.clear();
    c.manager->startMonitoring();
    ASSERT_TRUE(runUntilNotified(1));
    EXPECT_EQ(notified_.size(), 1u);
    Status status = c.manager->networkReachabilityStatus();
    if (c.mustBeReachable) {
      EXPECT_EQ(status, Status::ReachableViaWiFi);
    } else {
      EXPECT_TRUE(status == Status::NotReachable || status == Status::ReachableViaWiFi);
    }
    c.manager->stopMonitoring();
  }
  EXPECT_TRUE(allOnMainThread_);
}

}  // namespace
