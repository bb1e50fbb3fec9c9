// What the platform says about advertising identity: limited ad tracking, the app-tracking
// authorization status and the resettable advertising identifier.
//
// DefaultIdentitySupport is what the measurement code asks. It stands in front of the platform's
// identity support, when the host has one: it logs once what it found (this host has none: 44003)
// and fetches the advertising identifier on its queue "APMDefaultIdentitySupport" for at most
// 10 ms, so a slow platform never stalls the caller; a late answer is kept for the next call.
//
//   std::shared_ptr<IdentitySupport> support = DefaultIdentitySupport::sharedInstance();
//   support->hasLimitedAdTracking();   // false here: no tracking information at all
//   support->limitedAdTracking();      // true: no identifier
//
// Implementations must be thread-safe: the identity asks from its own queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "os/dispatch/dispatch.h"
#include "os/sync/mutex.h"

namespace measurement {

// What the advertising frameworks answer for a device whose ad tracking is limited.
inline constexpr const char* kZeroAdvertisingIdentifier = "00000000-0000-0000-0000-000000000000";

class IdentitySupport {
 public:
  virtual ~IdentitySupport() = default;

  // Whether an app-tracking authorization status exists.
  virtual bool hasAppDataConsentStatus() const = 0;
  // 0 not determined, 1 restricted, 2 denied, 3 authorized; -1 (all bits set) when there is none.
  virtual int64_t appDataConsentStatus() const = 0;
  // Whether the platform gives tracking information at all.
  virtual bool hasLimitedAdTracking() const = 0;
  virtual bool limitedAdTracking() const = 0;
  // The advertising identifier, as a UUID string.
  virtual std::optional<std::string> resettableDeviceID() const = 0;
};

class DefaultIdentitySupport final : public IdentitySupport,
                                     public std::enable_shared_from_this<DefaultIdentitySupport> {
  struct Private {};

 public:
  // The process's instance, over the host's platform support (none on this host).
  static const std::shared_ptr<DefaultIdentitySupport>& sharedInstance();
  // An instance over `platform` (null for none); logs what it found (44000-44003).
  static std::shared_ptr<DefaultIdentitySupport> create(std::shared_ptr<IdentitySupport> platform);

  DefaultIdentitySupport(Private, std::shared_ptr<IdentitySupport> platform);

  // The platform's answers; without a platform: false and -1.
  bool hasAppDataConsentStatus() const override;
  int64_t appDataConsentStatus() const override;
  bool hasLimitedAdTracking() const override;
  // True without an identifier or with the zero identifier.
  bool limitedAdTracking() const override;
  // Without a platform: nullopt. Otherwise fetches on the queue and waits at most 10 ms; a
  // fetch that takes longer answers the previous identifier, and updates it when it ends.
  std::optional<std::string> resettableDeviceID() const override;

  // The time resettableDeviceID waits for the platform, in seconds.
  static constexpr double kFetchTimeout = 0.010;

 private:
  const std::shared_ptr<IdentitySupport> platform_;
  const std::shared_ptr<os::DispatchQueue> queue_;
  mutable os::Mutex mutex_;
  mutable std::optional<std::string> resettableDeviceID_ OS_GUARDED_BY(mutex_);
};

}  // namespace measurement
