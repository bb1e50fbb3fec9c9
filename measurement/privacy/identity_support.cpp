#include "measurement/privacy/identity_support.h"

#include "measurement/foundation/monitor.h"

namespace measurement {

const std::shared_ptr<DefaultIdentitySupport>& DefaultIdentitySupport::sharedInstance() {
  static const std::shared_ptr<DefaultIdentitySupport> shared = create(nullptr);
  return shared;
}

std::shared_ptr<DefaultIdentitySupport> DefaultIdentitySupport::create(
    std::shared_ptr<IdentitySupport> platform) {
  if (platform) {
    monitor().log(MonitorLevel::kDebug, 44000,
                  "VedodoZadOdavodiveziIdentitySupport dependency is linked.");
    if (platform->hasLimitedAdTracking()) {
      monitor().log(MonitorLevel::kDebug, 44001, "The AdSupport Framework is linked.");
    } else {
      monitor().log(MonitorLevel::kWarningSampled, 44002,
                    "The AdSupport Framework is not currently linked. Some features will not "
                    "function properly. See https://analytics.tessaro.example/docs/identity");
    }
  } else {
    monitor().log(MonitorLevel::kWarningSampled, 44003,
                  "VedodoZadOdavodiveziIdentitySupport dependency is not currently linked. IDFA "
                  "will not be accessible.");
  }
  return std::make_shared<DefaultIdentitySupport>(Private(), std::move(platform));
}

DefaultIdentitySupport::DefaultIdentitySupport(Private, std::shared_ptr<IdentitySupport> platform)
    : platform_(std::move(platform)),
      queue_(os::DispatchQueue::serial("APMDefaultIdentitySupport")) {}

bool DefaultIdentitySupport::hasAppDataConsentStatus() const {
  return platform_ && platform_->hasAppDataConsentStatus();
}

int64_t DefaultIdentitySupport::appDataConsentStatus() const {
  return platform_ ? platform_->appDataConsentStatus() : -1;
}

bool DefaultIdentitySupport::hasLimitedAdTracking() const {
  return platform_ && platform_->hasLimitedAdTracking();
}

bool DefaultIdentitySupport::limitedAdTracking() const {
  std::optional<std::string> identifier = resettableDeviceID();
  return !identifier || *identifier == kZeroAdvertisingIdentifier;
}

std::optional<std::string> DefaultIdentitySupport::resettableDeviceID() const {
  if (!platform_) return std::nullopt;
  os::DispatchSemaphore fetched;
  // The fetch holds the support weakly: a late answer for a support that is gone is dropped.
  std::weak_ptr<const DefaultIdentitySupport> weakSelf = weak_from_this();
  queue_->async([weakSelf, fetched]() mutable {
    if (std::shared_ptr<const DefaultIdentitySupport> self = weakSelf.lock()) {
      std::optional<std::string> identifier = self->platform_->resettableDeviceID();
      os::MutexLock lock(self->mutex_);
      self->resettableDeviceID_ = std::move(identifier);
    }
    fetched.signal();
  });
  fetched.wait(kFetchTimeout);
  os::MutexLock lock(mutex_);
  return resettableDeviceID_;
}

}  // namespace measurement
