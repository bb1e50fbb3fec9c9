// The application core's shared configuration: the logger level, and the analytics collection
// switch of the measurement library, which the default app turns when its data-collection switch
// changes.
//
//   RVOConfiguration::sharedInstance().setLoggerLevel(kVDULoggerLevelDebug);
//
// The measurement library hands its switch over from its registration function
// (setAnalyticsConfiguration); until then there is none, and nothing is turned. Thread-safe.
#pragma once

#include <memory>

#include "os/sync/mutex.h"
#include "platform/utilities/logger.h"

// What the application core tells the analytics collection switch of the measurement library.
class RVOAnalyticsConfiguration {
 public:
  virtual ~RVOAnalyticsConfiguration() = default;
  // Turns analytics collection on or off; `persistSetting` keeps the choice across launches.
  virtual void setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) = 0;
};

class RVOConfiguration {
 public:
  static RVOConfiguration& sharedInstance();

  // RVOSetMaxLoggerLevel.
  void setLoggerLevel(VDULoggerLevel loggerLevel);

  std::shared_ptr<RVOAnalyticsConfiguration> analyticsConfiguration() const;
  void setAnalyticsConfiguration(std::shared_ptr<RVOAnalyticsConfiguration> configuration);

 private:
  RVOConfiguration() = default;

  mutable os::Mutex mutex_;
  std::shared_ptr<RVOAnalyticsConfiguration> analyticsConfiguration_ OS_GUARDED_BY(mutex_);
};
