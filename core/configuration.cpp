#include "core/configuration.h"

#include <utility>

#include "core/logger.h"

RVOConfiguration& RVOConfiguration::sharedInstance() {
  static RVOConfiguration* shared = new RVOConfiguration;
  return *shared;
}

void RVOConfiguration::setLoggerLevel(VDULoggerLevel loggerLevel) {
  RVOSetMaxLoggerLevel(loggerLevel);
}

std::shared_ptr<RVOAnalyticsConfiguration> RVOConfiguration::analyticsConfiguration() const {
  os::MutexLock lock(mutex_);
  return analyticsConfiguration_;
}

void RVOConfiguration::setAnalyticsConfiguration(
    std::shared_ptr<RVOAnalyticsConfiguration> configuration) {
  os::MutexLock lock(mutex_);
  analyticsConfiguration_ = std::move(configuration);
}
