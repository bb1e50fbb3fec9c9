// The facade's process-wide state, shared by the files of APMAnalytics. Internal to the facade.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>

#include "measurement/engine/analytics.h"
#include "os/dispatch/notifications.h"
#include "os/process/clock.h"
#include "os/sync/mutex.h"

struct AnalyticsState {
  os::Mutex loadTimestampMutex;
  // The first use of the facade in this process stands for the library's load.
  double loadTimestamp OS_GUARDED_BY(loadTimestampMutex) = os::clock::now();
  // The start block has run (once per process).
  std::atomic<bool> started{false};
  std::atomic<APMAnalytics::ListenerToken> lastListenerToken{0};
  // The configuration's enable notifications, observed from the start.
  os::ObserverRegistration configurationObserver;

  // Touched on APMAnalytics::queue() only.
  bool isCollectionDeactivated = false;
  bool isAnalyticsEnabled = false;
  APMAnalytics::EventInterceptor interceptor;
  APMAnalytics::OpenURLListener openURLListener;
  // Created on the first registration.
  std::optional<std::map<APMAnalytics::ListenerToken, APMAnalytics::EventListener>> listeners;
};

// Created on first use; never destroyed.
AnalyticsState& analyticsState();
