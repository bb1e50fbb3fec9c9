// The engine's side of the application's life: a stale configuration refreshed when the
// application becomes active, the persisted state flushed and an upload started when it
// resigns. Notifications arrive on the main thread; the handlers hand their work on.
#include <cmath>

#include "measurement/engine/analytics.h"
#include "measurement/engine/measurement.h"
#include "os/process/clock.h"
#include "os/ui/application.h"

using measurement::MonitorLevel;

namespace {

// A configuration older than a week is fetched again when the application becomes active.
constexpr double kStaleConfigurationAge = 604800;

}  // namespace

void APMMeasurement::subscribeForAppForegroundBackgroundNotifications() {
  os::NotificationCenter& center = os::NotificationCenter::defaultCenter();
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  notificationRegistrations_.emplace_back(
      center, center.addObserver(os::kApplicationDidBecomeActiveNotification, nullptr,
                                 [weak](const os::Notification&) {
                                   if (auto engine = weak.lock()) {
                                     engine->handleAppDidBecomeActiveEvent();
                                   }
                                 }));
  notificationRegistrations_.emplace_back(
      center, center.addObserver(os::kApplicationWillResignActiveNotification, nullptr,
                                 [weak](const os::Notification&) {
                                   if (auto engine = weak.lock()) {
                                     engine->handleAppWillResignActiveEvent();
                                   }
                                 }));
}

void APMMeasurement::handleAppDidBecomeActiveEvent() {
  if (!remoteConfig()->settings()->blocklistInternal()) return;
  scheduleWeakly("APMMeasurement:4197", [](APMMeasurement& engine) {
    std::shared_ptr<measurement::RemoteConfig> config = engine.remoteConfigInstance();
    if (!config) return;
    double age = std::fabs(os::clock::now() - config->lastRemoteConfigUpdateTimestamp());
    if (age < kStaleConfigurationAge) return;
    if (engine.isNetworkReadyForRequest()) {
      engine.fetchRemoteConfig();
    } else {
      monitor().log(MonitorLevel::kVerbose, 23143,
                    "Network operation is pending. Ignoring request to fetch configuration");
    }
  });
}

void APMMeasurement::handleAppWillResignActiveEvent() {
  persistedConfig_->synchronizeToDisk();
  monitor().log(MonitorLevel::kVerbose, 23144,
                "App will resign active state. Scheduling data upload");
  // The application waits for the task before it quits, so that the last events leave.
  os::ui::BackgroundTaskID task =
      os::ui::Application::shared().beginBackgroundTask("APMMeasurement upload");
  // Through the facade's operation queue: the upload follows every event logged before.
  APMAnalytics::queueOperationWithBlock([weak = weak_from_this(), task] {
    auto engine = weak.lock();
    if (!engine) {
      os::ui::Application::shared().endBackgroundTask(task);
      return;
    }
    engine->scheduler_->scheduleOnWorkerQueue("APMMeasurement:4250", [weak, task] {
      auto engine = weak.lock();
      if (!engine) {
        os::ui::Application::shared().endBackgroundTask(task);
        return;
      }
      engine->uploadData();
      // The task ends when this pass comes to rest: its request (and any pass it starts) has
      // been answered, so that the last events leave before the application quits.
      engine->restWaiters_.push_back(
          [task] { os::ui::Application::shared().endBackgroundTask(task); });
      engine->notifyRestWaitersIfIdle();
    });
  });
}

void APMMeasurement::terminateBackgroundTask() { persistedConfig_->synchronizeToDisk(); }
