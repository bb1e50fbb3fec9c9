// The remote configuration as the experiment service's SDK: registration, snapshots announced
// from the service's queue and activated on the worker queue, and the flags that override two
// settings.
#include <gtest/gtest.h>

#include <thread>

#include "measurement/config/config_test_support.h"
#include "measurement/config/remote_config.h"
#include "measurement/foundation/monitor_capture.h"

namespace measurement {
namespace {

class FakeClient : public APMEClient {
 public:
  void setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate) override {
    os::MutexLock lock(mutex_);
    delegate_ = std::move(delegate);
  }
  bool activateLatestSnapshot(os::Error* error) override {
    std::function<void()> during;
    {
      os::MutexLock lock(mutex_);
      ++activations_;
      if (failActivation_) {
        *error = os::Error("com.example.experiments", 4, "No snapshot");
        return false;
      }
      during = duringActivation_;
    }
    if (during) during();
    return true;
  }
  std::optional<os::Value> objectForKeyedSubscript(std::string_view flag) override {
    os::MutexLock lock(mutex_);
    auto found = flags_.find(flag);
    if (found == flags_.end()) return std::nullopt;
    return found->second;
  }

  std::shared_ptr<APMEExperimentObserverDelegate> delegate() {
    os::MutexLock lock(mutex_);
    return delegate_.lock();
  }
  void setFlag(const std::string& flag, std::optional<os::Value> value) {
    os::MutexLock lock(mutex_);
    if (value) {
      flags_.insert_or_assign(flag, *value);
    } else {
      flags_.erase(flag);
    }
  }
  void setFailActivation(bool fail) {
    os::MutexLock lock(mutex_);
    failActivation_ = fail;
  }
  void setDuringActivation(std::function<void()> during) {
    os::MutexLock lock(mutex_);
    duringActivation_ = std::move(during);
  }
  int activations() {
    os::MutexLock lock(mutex_);
    return activations_;
  }
  // What the service does when it stores a new snapshot.
  void announceSnapshot() {
    if (auto observer = delegate()) observer->clientDidReceiveNewSnapshot(*this);
  }

 private:
  os::Mutex mutex_;
  std::weak_ptr<APMEExperimentObserverDelegate> delegate_ OS_GUARDED_BY(mutex_);
  os::Dictionary flags_ OS_GUARDED_BY(mutex_);
  bool failActivation_ OS_GUARDED_BY(mutex_) = false;
  std::function<void()> duringActivation_ OS_GUARDED_BY(mutex_);
  int activations_ OS_GUARDED_BY(mutex_) = 0;
};

class FakeManager : public APMEManager {
 public:
  std::shared_ptr<APMEClient> registerSDKProperty(const APMESDKProperty& property,
                                                  const os::Dictionary& defaultFlags) override {
    registered.push_back(property);
    this->defaultFlags = defaultFlags;
    return client;
  }
  std::vector<int64_t> experimentIDs() override { return {3, 17}; }
  void reset() override { ++resets; }

  std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
  std::vector<APMESDKProperty> registered;
  os::Dictionary defaultFlags{{"not", "cleared"}};
  int resets = 0;
};

class RemoteConfigExperimentsTest : public testing::RemoteConfigTestBase {
 protected:
  std::shared_ptr<RemoteConfig> makeWithManager() {
    return make(
        {.experimentManager = manager_, .isMeasurementEnabled = [this] { return enabled_; }});
  }

  std::shared_ptr<FakeManager> manager_ = std::make_shared<FakeManager>();
  std::shared_ptr<FakeClient> client_ = manager_->client;
  bool enabled_ = false;
};

TEST_F(RemoteConfigExperimentsTest, TheLibraryRegistersAndActivatesAStaleSnapshotAtCreation) {
  client_->setFailActivation(true);
  client_->setFlag("regional_defaults_enabled", os::Value(false));
  MonitorCapture capture;
  std::shared_ptr<RemoteConfig> config = makeWithManager();

  ASSERT_EQ(manager_->registered.size(), 1u);
  const APMESDKProperty& property = manager_->registered[0];
  EXPECT_EQ(property.name, "zad_odavodivezi");
  EXPECT_EQ(property.version, 102800);
  EXPECT_EQ(property.delegate.lock(), config);
  ASSERT_TRUE(property.delegate.lock());
  EXPECT_FALSE(property.delegate.lock()->dynamicCustomPropertiesForSDKProperty(property));
  EXPECT_TRUE(manager_->defaultFlags.empty());
  EXPECT_EQ(client_->delegate(), config);
  EXPECT_EQ(client_->activations(), 1);
  EXPECT_TRUE(capture.contains(29023));
  // The flags are copied even so.
  EXPECT_FALSE(config->regionalDefaultsEnabled());
  EXPECT_EQ(config->experimentIDs(), (std::vector<int64_t>{3, 17}));
  config->reset();
  EXPECT_EQ(manager_->resets, 1);
}

TEST_F(RemoteConfigExperimentsTest,
       RegionalDefaultsFollowTheActivatedSnapshotStitchingTheLiveFlag) {
  std::shared_ptr<RemoteConfig> config = makeWithManager();
  ASSERT_TRUE(config->updateMeasurementConfig(
      testing::configWithSettings(1, {{"measurement.regional_defaults_enabled", "0"},
                                      {"measurement.session_stitching_token_enabled", "1"}})));
  EXPECT_FALSE(config->regionalDefaultsEnabled());  // no flag: the setting
  EXPECT_TRUE(config->sessionStitchingTokenFeatureEnabled());

  client_->setFlag("regional_defaults_enabled", os::Value(true));
  client_->setFlag("session_stitching_token_feature_enabled", os::Value(0));
  EXPECT_FALSE(config->regionalDefaultsEnabled());              // not activated yet
  EXPECT_FALSE(config->sessionStitchingTokenFeatureEnabled());  // asked at every read
  EXPECT_FALSE(config->settings()->regionalDefaultsEnabled());

  client_->announceSnapshot();
  ASSERT_TRUE(config->activateNewSnapshot());
  EXPECT_TRUE(config->regionalDefaultsEnabled());
  EXPECT_TRUE(config->settings()->regionalDefaultsEnabled());  // what the engine reads

  client_->setFlag("regional_defaults_enabled", std::nullopt);
  client_->announceSnapshot();
  ASSERT_TRUE(config->activateNewSnapshot());
  EXPECT_FALSE(config->regionalDefaultsEnabled());  // the setting again
}

TEST_F(RemoteConfigExperimentsTest, OnlyAnAnnouncedSnapshotIsActivatedAndAFailureKeepsIt) {
  std::shared_ptr<RemoteConfig> config = makeWithManager();
  int created = client_->activations();
  EXPECT_FALSE(config->activateNewSnapshot());
  EXPECT_EQ(client_->activations(), created);

  client_->announceSnapshot();
  client_->setFailActivation(true);
  MonitorCapture capture;
  EXPECT_FALSE(config->activateNewSnapshot());
  EXPECT_TRUE(capture.contains(29024));
  client_->setFailActivation(false);
  EXPECT_TRUE(config->activateNewSnapshot());
  EXPECT_FALSE(config->activateNewSnapshot());
}

// A snapshot stored while the previous one is being activated is activated by the next call.
TEST_F(RemoteConfigExperimentsTest, ASnapshotAnnouncedDuringActivationIsNotLost) {
  std::shared_ptr<RemoteConfig> config = makeWithManager();
  client_->setDuringActivation([this] {
    client_->setDuringActivation(nullptr);
    client_->announceSnapshot();
  });
  client_->announceSnapshot();
  EXPECT_TRUE(config->activateNewSnapshot());
  EXPECT_TRUE(config->activateNewSnapshot());
  EXPECT_FALSE(config->activateNewSnapshot());
}

// The service announces from its own queue while the worker queue activates (run under TSan).
TEST_F(RemoteConfigExperimentsTest, AnnouncementsFromAnotherThreadAreAllActivated) {
  std::shared_ptr<RemoteConfig> config = makeWithManager();
  std::atomic<bool> done{false};
  std::thread service([&] {
    for (int i = 0; i < 2000; ++i) client_->announceSnapshot();
    done = true;
  });
  int activated = 0;
  while (!done) activated += config->activateNewSnapshot() ? 1 : 0;
  service.join();
  activated += config->activateNewSnapshot() ? 1 : 0;
  EXPECT_GE(activated, 1);
  EXPECT_FALSE(config->activateNewSnapshot());
}

TEST_F(RemoteConfigExperimentsTest, FetchErrorsAreLoggedAndFetchesWaitForAnEnabledEngine) {
  std::shared_ptr<RemoteConfig> config = makeWithManager();
  MonitorCapture capture;
  config->clientDidReceiveFetchError(*client_, nullptr);
  EXPECT_FALSE(capture.contains(29025));
  os::Error error("com.example.experiments", 7, "Offline");
  config->clientDidReceiveFetchError(*client_, &error);
  EXPECT_TRUE(capture.contains(29025));

  EXPECT_FALSE(config->shouldFetchExperimentsForClient(*client_));
  enabled_ = true;
  EXPECT_TRUE(config->shouldFetchExperimentsForClient(*client_));
  EXPECT_FALSE(make()->shouldFetchExperimentsForClient(*client_));  // no engine
}

}  // namespace
}  // namespace measurement
