#include "platform/utilities/reachability_checker.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/utilities/logger.h"

namespace {

using Status = VDUReachabilityStatus;

class RecordingDelegate : public VDUReachabilityDelegate {
 public:
  void reachability(VDUReachabilityChecker&, VDUReachabilityStatus status) override {
    statuses.push_back(status);
  }
  std::vector<Status> statuses;
};

// A platform table whose handle the test drives by hand, and which can be told to fail.
struct FakeApi {
  bool failCreate = false;
  bool failSchedule = false;
  int scheduled = 0;
  int unscheduled = 0;
  int released = 0;
  std::shared_ptr<VDUReachabilityRef> handle;

  VDUReachabilityApi table() {
    VDUReachabilityApi api;
    api.createWithNameFn = [this](const std::string&) -> std::shared_ptr<VDUReachabilityRef> {
      if (failCreate) return nullptr;
      handle = std::make_shared<VDUReachabilityRef>();
      return handle;
    };
    api.setCallbackFn = [](VDUReachabilityRef& ref, auto callback) {
      ref.callback = std::move(callback);
      return true;
    };
    api.scheduleWithRunLoopFn = [this](VDUReachabilityRef&) {
      ++scheduled;
      return !failSchedule;
    };
    api.unscheduleFromRunLoopFn = [this](VDUReachabilityRef&) { ++unscheduled; };
    api.releaseFn = [this](std::shared_ptr<VDUReachabilityRef>) { ++released; };
    return api;
  }
  // The platform calls back with new flags.
  void deliver(os::ReachabilityFlags flags) { handle->callback(flags); }
};

class VDUReachabilityCheckerTest : public testing::Test {
 protected:
  VDUReachabilityCheckerTest() {
    VDULoggerResetForTesting();
    VDUSetMaxLoggerLevel(kVDULoggerLevelDebug);  // the debug lines are part of what is checked
  }
  ~VDUReachabilityCheckerTest() override { VDULoggerResetForTesting(); }
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  VDULoggerCapture capture_;
};

TEST_F(VDUReachabilityCheckerTest, AnEmptyHostGivesNoChecker) {
  EXPECT_EQ(VDUReachabilityChecker::initWithReachabilityDelegate(delegate_, ""), nullptr);
  EXPECT_TRUE(capture_.contains("[VDUReachability][I-REA902001] Invalid host specified"));
}

TEST_F(VDUReachabilityCheckerTest, FlagsReduceToFourStatuses) {
  using namespace os;
  const ReachabilityFlags reachable = kReachabilityFlagReachable;
  const ReachabilityFlags required = reachable | kReachabilityFlagConnectionRequired;
  const std::pair<ReachabilityFlags, Status> cases[] = {
      {0, Status::NotReachable},
      {kReachabilityFlagConnectionRequired, Status::NotReachable},
      {reachable, Status::ViaWifi},
      {reachable | kReachabilityFlagIsDirect, Status::ViaWifi},
      {required, Status::NotReachable},
      {required | kReachabilityFlagConnectionOnDemand, Status::ViaWifi},
      {required | kReachabilityFlagConnectionOnTraffic, Status::ViaWifi},
      {required | kReachabilityFlagConnectionOnTraffic | kReachabilityFlagInterventionRequired,
       Status::NotReachable},
  };
  for (auto [flags, status] : cases) {
    EXPECT_EQ(VDUReachabilityChecker::statusForFlags(flags), status) << flags;
  }
}

TEST_F(VDUReachabilityCheckerTest, TheDelegateHearsEachChangeOnce) {
  FakeApi api;
  auto checker = VDUReachabilityChecker::initWithReachabilityDelegate(delegate_, "example.test");
  checker->setReachabilityApi(api.table());
  ASSERT_TRUE(checker->start());
  EXPECT_TRUE(checker->isActive());
  api.deliver(os::kReachabilityFlagReachable);
  api.deliver(os::kReachabilityFlagReachable | os::kReachabilityFlagIsDirect);  // still 2
  api.deliver(0);
  api.deliver(0);
  api.deliver(os::kReachabilityFlagReachable);
  EXPECT_EQ(delegate_->statuses,
            (std::vector<Status>{Status::ViaWifi, Status::NotReachable, Status::ViaWifi}));
  EXPECT_TRUE(
      capture_.contains("[I-REA902004] Network status has changed. Code:2, status:Connected"));
  EXPECT_TRUE(capture_.contains("Code:1, status:Disconnected"));
  checker->stop();
  EXPECT_FALSE(checker->isActive());
  EXPECT_EQ(checker->reachabilityStatus(), Status::Unknown);
  EXPECT_EQ(api.unscheduled, 1);
  EXPECT_EQ(api.released, 1);
}

TEST_F(VDUReachabilityCheckerTest, TheTableIsRefusedWhileRunning) {
  FakeApi first;
  FakeApi second;
  auto checker = VDUReachabilityChecker::initWithReachabilityDelegate(delegate_, "example.test");
  checker->setReachabilityApi(first.table());
  ASSERT_TRUE(checker->start());
  ASSERT_TRUE(checker->start());  // already running: no second handle
  EXPECT_EQ(first.scheduled, 1);
  checker->setReachabilityApi(second.table());
  EXPECT_TRUE(
      capture_.contains("[VDUReachability][I-REA902000] Cannot change reachability API "
                        "while reachability is running. Call stop first."));
  checker->stop();
  EXPECT_EQ(first.unscheduled, 1);  // the old table stayed in use
  EXPECT_EQ(second.unscheduled, 0);
}

TEST_F(VDUReachabilityCheckerTest, AFailedStartReleasesTheHandle) {
  FakeApi api;
  api.failSchedule = true;
  auto checker = VDUReachabilityChecker::initWithReachabilityDelegate(delegate_, "example.test");
  checker->setReachabilityApi(api.table());
  EXPECT_FALSE(checker->start());
  EXPECT_FALSE(checker->isActive());
  EXPECT_EQ(api.released, 1);
  EXPECT_TRUE(capture_.contains("[I-REA902002] Failed to start reachability handle"));
  api.failCreate = true;
  EXPECT_FALSE(checker->start());
  EXPECT_EQ(capture_.lines().size(), 1u);  // a handle that cannot be made is not logged
}

TEST_F(VDUReachabilityCheckerTest, TheDefaultTableWatchesTheMachine) {
  auto checker = VDUReachabilityChecker::initWithReachabilityDelegate(delegate_, "127.0.0.1");
  ASSERT_TRUE(checker->start());
  EXPECT_TRUE(checker->isActive());
  EXPECT_TRUE(capture_.contains("[VDUReachability][I-REA902003] Monitoring the network status"));
  checker.reset();  // stops on release
}

TEST(VDUReachabilityStatusString, NamesEachStatus) {
  EXPECT_EQ(VDUReachabilityStatusString(0), "Reachability Unknown");
  EXPECT_EQ(VDUReachabilityStatusString(1), "Not reachable");
  EXPECT_EQ(VDUReachabilityStatusString(2), "Reachable via Wifi");
  EXPECT_EQ(VDUReachabilityStatusString(3), "Reachable via Cellular Data");
  EXPECT_EQ(VDUReachabilityStatusString(7), "Invalid reachability status 7");
}

TEST(VDUNetworkInfo, MobileNetworkQuestionsHaveNoAnswersHere) {
  EXPECT_EQ(VDUNetworkInfo::getNetworkMobileCountryCode(), std::nullopt);
  EXPECT_EQ(VDUNetworkInfo::getNetworkMobileNetworkCode(), std::nullopt);
  EXPECT_EQ(VDUNetworkInfo::getNetworkType(), -1);
  EXPECT_EQ(VDUNetworkInfo::getNetworkRadioType(), "");
  struct Case {
    std::optional<std::string> mcc, mnc, expected;
  };
  const Case cases[] = {
      {"310", "26", "31026"},
      {"310", "260", "310260"},
      {"31", "26", std::nullopt},
      {"310", "2", std::nullopt},
      {"31a", "26", std::nullopt},
      {"310", "2b", std::nullopt},
      {std::nullopt, "26", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(VDUNetworkInfo::formatMcc(c.mcc, c.mnc), c.expected);
}

}  // namespace
