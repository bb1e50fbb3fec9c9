// For the experiment service's tests: snapshots written as short tables of experiment ids and
// flags, and a sandbox whose monitor work stays inside it.
//
//   APMESnapshot snapshot = makeSnapshot("sdk", {{7, {{"f", 7}}}, {0, {{"g", "launched"}}}});
//   WatchedStore store;                     // the fetch timestamps, counting their changes
//   os::RunLoop::main().runUntil([&] { return store.changes() > before; }, kEventTimeoutSeconds);
//   RecordingObserver observer;             // what a client's delegate is told
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "measurement/config/experiment_service.h"
#include "measurement/database/database_test_support.h"
#include "measurement/experiments/snapshot.h"
#include "measurement/foundation/config_store.h"
#include "measurement/wire/flag_conversion.h"
#include "os/sync/mutex.h"

namespace measurement::testing {

using FlagList = std::vector<std::pair<std::string, os::Value>>;
using ExperimentList = std::vector<std::pair<int64_t, FlagList>>;

inline APMPBFlag makeFlag(const std::string& name, const os::Value& value) {
  std::optional<APMPBFlag> flag = flagProtoWithNameAndValue(name, value);
  EXPECT_TRUE(flag) << name;
  return flag.value_or(APMPBFlag());
}

inline APMEExperiment makeExperiment(int64_t id, const FlagList& flags) {
  std::vector<APMPBFlag> protos;
  for (const auto& [name, value] : flags) protos.push_back(makeFlag(name, value));
  return APMEExperiment(id, protos);
}

inline APMESnapshot makeSnapshot(const std::string& SDKName, const ExperimentList& experiments) {
  std::vector<APMEExperiment> list;
  for (const auto& [id, flags] : experiments) list.push_back(makeExperiment(id, flags));
  std::optional<APMESnapshot> snapshot = APMESnapshot::initWithSDKName(SDKName, list);
  EXPECT_TRUE(snapshot) << SDKName;
  return snapshot.value_or(*APMESnapshot::initWithSDKName("invalid", {}));
}

// The experiment ids of `snapshot`, ascending.
inline std::vector<int64_t> experimentIDs(const APMESnapshot& snapshot) {
  std::vector<int64_t> ids;
  for (const APMEExperiment& experiment : snapshot.experiments()) {
    ids.push_back(experiment.experimentID());
  }
  return ids;
}

// Long enough for a loaded machine; only a hang reaches it.
inline constexpr double kEventTimeoutSeconds = 60;

// Preferences in memory that count their changes, so that a test waits for the outcome of a
// fetch (the success or failure time being written) instead of for time to pass.
class WatchedStore final : public ConfigStore {
 public:
  os::Value objectForKey(std::string_view key) const override {
    std::lock_guard lock(mutex_);
    auto found = values_.find(key);
    return found == values_.end() ? os::Value() : found->second;
  }
  void setObject(os::Value value, std::string_view key) override {
    {
      std::lock_guard lock(mutex_);
      if (value.isNull()) {
        values_.erase(std::string(key));
      } else {
        values_.insert_or_assign(std::string(key), std::move(value));
      }
      ++changes_;
    }
  }
  void clearAllData() override {
    std::lock_guard lock(mutex_);
    values_.clear();
  }
  void synchronize() override {}

  size_t changes() const {
    std::lock_guard lock(mutex_);
    return changes_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, os::Value, std::less<>> values_;
  size_t changes_ = 0;
};

// A client's delegate that records what it is told.
class RecordingObserver final : public APMEExperimentObserverDelegate {
 public:
  explicit RecordingObserver(std::shared_ptr<os::DispatchQueue> queue = nullptr,
                             bool shouldFetch = true)
      : queue_(std::move(queue)), shouldFetch_(shouldFetch) {}

  void clientDidReceiveNewSnapshot(APMEClient&) override {
    std::lock_guard lock(mutex_);
    ++newSnapshots_;
    toldOnMainThread_ = os::isMainThread();
    changed_.notify_all();
  }
  void clientDidReceiveFetchError(APMEClient&, const os::Error* error) override {
    std::lock_guard lock(mutex_);
    if (error) errors_.push_back(*error);
    changed_.notify_all();
  }
  bool shouldFetchExperimentsForClient(APMEClient&) override { return shouldFetch_; }
  std::shared_ptr<os::DispatchQueue> queue() override { return queue_; }

  int newSnapshots() const {
    std::lock_guard lock(mutex_);
    return newSnapshots_;
  }
  bool toldOnMainThread() const {
    std::lock_guard lock(mutex_);
    return toldOnMainThread_;
  }
  std::vector<os::Error> errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
  }
  // Waits until `count` new snapshots were announced; false after kEventTimeoutSeconds.
  bool waitForNewSnapshots(int count) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(kEventTimeoutSeconds),
                             [&] { return newSnapshots_ >= count; });
  }

 private:
  const std::shared_ptr<os::DispatchQueue> queue_;
  const bool shouldFetch_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int newSnapshots_ = 0;
  bool toldOnMainThread_ = false;
  std::vector<os::Error> errors_;
};

}  // namespace measurement::testing
