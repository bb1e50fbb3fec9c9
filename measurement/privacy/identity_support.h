// What the platform says about advertising identity: limited ad tracking, the app-tracking
// authorization status and the resettable advertising identifier. This host has no such
// service, so the default support answers "not available" to everything; the identity takes
// another support where one exists (and tests give it one).
//
//   std::shared_ptr<IdentitySupport> support = DefaultIdentitySupport::sharedInstance();
//   support->hasLimitedAdTracking();   // false: no tracking information at all
//
// Implementations must be thread-safe: the identity asks from its own queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace measurement {

class IdentitySupport {
 public:
  virtual ~IdentitySupport() = default;

  // Whether the platform gives tracking information at all.
  virtual bool hasLimitedAdTracking() const = 0;
  virtual bool limitedAdTracking() const = 0;
  // Whether an app-tracking authorization status exists.
  virtual bool hasAppDataConsentStatus() const = 0;
  // 0 not determined, 1 restricted, 2 denied, 3 authorized; -1 when there is none.
  virtual int64_t appDataConsentStatus() const = 0;
  // The advertising identifier, as a UUID string.
  virtual std::optional<std::string> resettableDeviceID() const = 0;
};

class DefaultIdentitySupport final : public IdentitySupport {
 public:
  static const std::shared_ptr<DefaultIdentitySupport>& sharedInstance();

  bool hasLimitedAdTracking() const override { return false; }
  bool limitedAdTracking() const override { return false; }
  bool hasAppDataConsentStatus() const override { return false; }
  int64_t appDataConsentStatus() const override { return -1; }
  std::optional<std::string> resettableDeviceID() const override { return std::nullopt; }
};

}  // namespace measurement
