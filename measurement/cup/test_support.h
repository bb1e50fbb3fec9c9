// For the conditional-user-property tests: an engine that records what it writes, over a real
// database on a real worker queue, and a fixture with a fixed clock, a captured monitor and a
// controller of that engine.
//
//   TEST_F(ConditionalUserPropertyTest, ...) {
//     ConditionalUserProperty tier = property("app", "gold");
//     controller_->setConditionalUserProperty(&tier, "tier");
//     logEvent("level_up");
//     EXPECT_EQ(writtenNames(), (std::vector<std::string>{"level_up"}));
//   }
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/cup/conditional_user_property_controller.h"
#include "measurement/cup/conditional_user_property_engine.h"
#include "measurement/database/database_test_support.h"
#include "measurement/database/fault_injection_vfs.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/model/parameter_sanitizer.h"
#include "os/process/clock.h"

namespace measurement::testing {

// The engine as the controller sees it. writeEventOnWorkerQueue does what the engine's does:
// processes conditional user properties for the event, logs 23050 when that fails, then writes
// the event and the triggered events through writeFilteredEventOnWorkerQueue, which records.
class RecordingEngine : public ConditionalUserPropertyEngine {
 public:
  RecordingEngine() {
    scheduler_.dispatchSyncOnWorkerQueue("RecordingEngine:1", [&] {
      os::Error error;
      database_ =
          Database::open(kMeasurementDatabaseName, nullptr, &error, scheduler_.workerQueue());
      EXPECT_TRUE(database_) << error.description;
    });
  }
  ~RecordingEngine() override {
    scheduler_.dispatchSyncOnWorkerQueue("RecordingEngine:2", [&] { database_.reset(); });
  }

  void setController(std::weak_ptr<ConditionalUserPropertyController> controller) {
    controller_ = std::move(controller);
  }
  void setEnabled(bool enabled) { enabled_ = enabled; }

  bool isEnabled() const override { return enabled_; }
  Database* database() override { return database_.get(); }
  Scheduler& scheduler() override { return scheduler_; }

  void writeEventOnWorkerQueue(const Event& event) override {
    OS_CHECK_ON(scheduler_.workerQueue());
    std::optional<std::vector<Event>> triggered;
    if (auto controller = controller_.lock()) {
      triggered = controller->processEventOnWorkerQueue(&event);
    }
    if (!triggered) {
      monitor().log(MonitorLevel::kWarningSampled, 23050,
                    "Unable to process conditional user property. Event name, origin", event.name(),
                    event.origin());
    }
    writeFilteredEventOnWorkerQueue(event);
    for (const Event& triggeredEvent : triggered.value_or(std::vector<Event>())) {
      writeFilteredEventOnWorkerQueue(triggeredEvent);
    }
  }
  void writeFilteredEventOnWorkerQueue(const Event& event) override {
    OS_CHECK_ON(scheduler_.workerQueue());
    written_.push_back(event);
  }

  // The events written so far, in order (worker queue only).
  const std::vector<Event>& written() const { return written_; }

 private:
  Scheduler scheduler_{kWorkerQueueLabel};
  std::unique_ptr<Database> database_;
  std::atomic<bool> enabled_{true};
  std::weak_ptr<ConditionalUserPropertyController> controller_;
  std::vector<Event> written_;  // on the worker queue
};

inline constexpr double kStartTime = 1700000000;

// Monitor codes and event names, in order.
using Codes = std::vector<int64_t>;
using Names = std::vector<std::string>;

class ConditionalUserPropertyTest : public ::testing::Test {
 protected:
  // `onFaultyDisk`: the database goes through a FaultInjectionVfs, vfs_.
  explicit ConditionalUserPropertyTest(bool onFaultyDisk = false)
      : vfs_(onFaultyDisk ? std::make_unique<FaultInjectionVfs>() : nullptr),
        engine_(std::make_shared<RecordingEngine>()),
        controller_(ConditionalUserPropertyController::create(engine_)) {
    engine_->setController(controller_);
  }
  ~ConditionalUserPropertyTest() override {
    onWorker([] {});
    controller_.reset();
    engine_.reset();
    monitor().drain();
  }

  // Runs `block` on the worker queue and waits for it (and for everything queued before it).
  void onWorker(const std::function<void()>& block) {
    engine_->scheduler().dispatchSyncOnWorkerQueue("ConditionalUserPropertyTest:1", block);
  }
  // Logs an event through the engine, as the public interface would.
  void logEvent(const std::string& name, const std::string& origin = "app") {
    std::optional<Event> event = Event::initWithOrigin(origin, false, name, clock_.now(), 0, {});
    ASSERT_TRUE(event) << name;
    onWorker([&] { engine_->writeEventOnWorkerQueue(*event); });
  }
  // Sets through the public operation and waits for the worker queue.
  void set(const ConditionalUserProperty& property, const std::string& name) {
    controller_->setConditionalUserProperty(&property, name);
    onWorker([] {});
  }
  void clear(const std::string& name, const std::optional<Event>& clearEvent = std::nullopt) {
    controller_->clearConditionalUserPropertyWithClearEvent(clearEvent, name);
    onWorker([] {});
  }

  // The names of the events written so far, in order, and forgets them.
  std::vector<std::string> takeWrittenNames() {
    std::vector<std::string> names;
    onWorker([&] {
      for (const Event& event : engine_->written()) names.push_back(event.name());
    });
    std::vector<std::string> fresh(names.begin() + static_cast<long>(taken_), names.end());
    taken_ = names.size();
    return fresh;
  }
  // Every event written so far.
  std::vector<Event> written() {
    std::vector<Event> events;
    onWorker([&] { events = engine_->written(); });
    return events;
  }

  // The codes of the 10000s and 11000s logged so far, in order.
  std::vector<int64_t> codes() const {
    std::vector<int64_t> found;
    for (const MonitorRecord& record : capture_.records()) {
      if (record.code >= 10000 && record.code < 12000) found.push_back(record.code);
    }
    return found;
  }

  // What is on disk, read by another connection.
  RawRows properties(const std::string& columns = "name, origin, value, active") const {
    return rawQuery(path_, "SELECT " + columns + " FROM conditional_properties ORDER BY name");
  }
  RawRows attributes(const std::string& columns = "name, origin, value") const {
    return rawQuery(path_, "SELECT " + columns + " FROM user_attributes ORDER BY name");
  }

  // A property with a string value, valid bounds and no trigger event.
  static ConditionalUserProperty property(const std::string& origin,
                                          std::optional<std::string> value) {
    ConditionalUserProperty property;
    property.setOrigin(origin);
    if (value) property.setValue(Value(*value));
    property.setTriggerTimeout(3600);
    property.setTimeToLive(86400);
    return property;
  }
  static Event eventTemplate(const std::string& name) {
    return *Event::initWithOrigin("template", false, name, 1, 0,
                                  rawParameters(os::Dictionary{{"step", int64_t{1}}}));
  }

  DatabaseSandbox sandbox_;
  os::clock::ScopedFakeClock clock_{kStartTime};
  MonitorCapture capture_;
  std::unique_ptr<FaultInjectionVfs> vfs_;
  std::shared_ptr<RecordingEngine> engine_;
  std::shared_ptr<ConditionalUserPropertyController> controller_;
  std::string path_ = measurementDataPath(kMeasurementDatabaseName);

 private:
  size_t taken_ = 0;
};

}  // namespace measurement::testing
