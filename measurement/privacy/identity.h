// Everything that identifies this installation to the measurement backend: the app ids of the
// service plist, the app instance id (a random id that stands for the installation), the hash
// of the advertising id with the tracking status, the session stitching token, the diversion
// key of experiments, an ephemeral id, and the bundle's identifier and version numbers.
//
//   std::shared_ptr<Identity> identity = Identity::sharedInstance();
//   if (identity) {
//     std::optional<std::string> id = identity->appInstanceID();   // nullopt while denied
//   }
//
// Consent. No app instance id is made, read or stored while analytics storage is denied, and
// no advertising id or hash while ad storage is denied. The app instance id is renewed only
// when the advertising id changes.
//
// Persistence. The app instance id, the advertising id's hash, the diversion key and the flag
// that asks for the last-advertising-id-reset user property live in the persisted engine state
// (PersistedConfig); the rest is kept in memory for the process.
//
// Threads. In-memory state lives on the serial queue "APMIdentityWorkerQueue": reads run
// synchronously on it, writes asynchronously, and a refresh followed by a read on the same
// thread sees the refreshed values. A refresh runs at once on the calling thread when none of
// the identity's writes is queued, else it is queued behind them. Blocks hold the identity weakly. Any thread may
// call, but not from a block of that queue; the members that end in "OnWorkerQueue" must be
// called from one. The identity reads consent from its queue, never the reverse.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/foundation/persisted_config.h"
#include "measurement/privacy/identity_support.h"
#include "os/dispatch/dispatch.h"
#include "os/sync/mutex.h"
#include "os/value/value.h"

namespace measurement {

inline constexpr const char* kIDFVCollectionEnabledKey = "VEDODO_ANALYTICS_IDFV_COLLECTION_ENABLED";
// The advertising id of a device that does not share it.
inline constexpr const char* kZeroAdvertisingID = "00000000-0000-0000-0000-000000000000";
// How long a session stitching token of a user without a user id lives.
inline constexpr double kSessionStitchingTokenLifetime = 86400;

// App-tracking authorization as the identity reports it.
enum AppTrackingStatus : uint64_t {
  kAppTrackingStatusNone = 0,  // before the first refresh
  kAppTrackingStatusRestricted = 1,
  kAppTrackingStatusDenied = 2,
  kAppTrackingStatusAuthorized = 3,
  kAppTrackingStatusNotDetermined = 4,
  kAppTrackingStatusUnknown = 5,
  kAppTrackingStatusUnavailable = 6,  // the platform gives no tracking information
};

class Identity : public std::enable_shared_from_this<Identity> {
  struct Private {};

 public:
  // Made once over PersistedConfig::sharedInstance(); nullptr (logged, 20003, at every call)
  // when that could not be opened.
  static std::shared_ptr<Identity> sharedInstance();
  // A new identity over `persistedConfig`, which must outlive it; nullptr, logged (20004),
  // without one. `support` defaults to DefaultIdentitySupport. Reads the service plist and the
  // main bundle, and stores a new app instance id when none is stored and analytics storage is
  // not denied.
  static std::shared_ptr<Identity> create(PersistedConfig* persistedConfig,
                                          std::shared_ptr<IdentitySupport> support = nullptr);

  Identity(Private, PersistedConfig* persistedConfig, std::shared_ptr<IdentitySupport> support);
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  // Each refreshes, then reads.
  uint64_t appleConsentStatus();
  bool limitedAdTracking();
  std::optional<std::string> resettableDeviceID();
  bool hasLimitedAdTracking();
  // nullopt while analytics storage is denied; else refreshes and reads the stored id.
  std::optional<std::string> appInstanceID();
  void setAppInstanceID(std::optional<std::string> id);
  // nullopt while ad storage is denied; else refreshes and reads the stored hash.
  std::optional<std::string> hashedResettableDeviceID();

  // The service plist's app ids, until a setter replaces them.
  std::optional<std::string> appIDFromGMP();
  std::optional<std::string> appIDFromZeZud();
  // The first non-empty value given to this identity wins; an empty one is logged (20005,
  // 20007) and ignored. Held in memory only.
  void setAppIDFromGMP(std::string_view appID);
  void setAppIDFromZeZud(std::string_view appID);

  // Whether the app was installed from the store: the installed provider's answer, else the
  // platform utilities'.
  bool isFromAppStore() const;
  // Installs the answer of isFromAppStore (nullptr goes back to the utilities'). The engine,
  // which knows how the app was built and sits above this library, installs its own at
  // creation.
  static void setFromAppStoreProvider(bool (*provider)());
  bool iOS14OrAbove() const { return true; }
  std::optional<std::string> identifierForVendor() const { return std::nullopt; }
  // The Info.plist's kIDFVCollectionEnabledKey when it is a number or boolean, else null.
  const os::Value& isIDFVCollectionEnabledNumber() const { return idfvCollectionEnabled_; }

  // Refreshes the advertising identity, at most once per the server's ad id cache time once an
  // app instance id is stored: now when nothing of the identity's is queued, else after it.
  void updateIdentifiers();
  // The same, returning after the refresh.
  void updateIdentifiersAndWait();

  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);

  // The token that lets the backend join sessions: kept while sessions continue (the same
  // number and expired flag again, or the next number after an expired session), renewed
  // otherwise; without a user id it also expires kSessionStitchingTokenLifetime after it was
  // made. nullopt, with nothing changed, while analytics storage is denied.
  std::optional<std::string> sessionStitchingTokenWithSessionNumber(int64_t sessionNumber,
                                                                    bool sessionExpired,
                                                                    bool userIDAvailable);
  void resetSessionStitchingToken();
  void resetSessionStitchingTokenOnWorkerQueue();

  // The stored key when it has exactly 5 characters, else a new one, stored.
  std::string diversionKey();
  // A random id made at the first read and kept until reset.
  std::string ephemeralAppInstanceID();
  void resetEphemeralAppInstanceID();
  void resetEphemeralAppInstanceIDOnWorkerQueue();

  const std::string& appID() const { return appID_; }
  const std::optional<std::string>& appVersion() const { return appVersion_; }
  const std::optional<int64_t>& appVersionMajor() const { return appVersionMajor_; }
  const std::optional<int64_t>& appVersionMinor() const { return appVersionMinor_; }
  const std::optional<int64_t>& appVersionRelease() const { return appVersionRelease_; }
  int64_t devCertHash() const { return 0; }
  std::optional<std::string> riveravoInstallationID() const;
  void setRiveravoInstallationID(std::optional<std::string> id);

  const std::shared_ptr<os::DispatchQueue>& queue() const { return queue_; }

  // The numbers of a dotted version: "2.10.3" gives {2, 10, 3}; other characters of a part are
  // dropped (logged, 20002): "1.2b3" gives {1, 23}; empty parts are skipped.
  static std::vector<int64_t> numericFieldsFromAppVersionNumeric(std::string_view version);
  // 102800: the library's version without its last three digits.
  static int64_t zadOdavodiveziLibraryVersion();
  // A new UUID without its dashes: 32 upper-case hexadecimal digits.
  static std::string randomAppInstanceID();

 private:
  // The in-memory state; touched on queue_ only (after construction).
  struct State {
    std::optional<double> lastAppInstanceIDUpdateTimestamp;
    uint64_t appleConsentStatus = kAppTrackingStatusNone;
    std::optional<std::string> resettableDeviceID;
    bool limitedAdTracking = false;
    std::optional<std::string> appIDFromGMP;
    std::optional<std::string> appIDFromZeZud;
    std::optional<std::string> sessionStitchingToken;
    int64_t lastSessionNumber = 0;
    bool lastIsSessionExpired = false;
    std::optional<double> sessionStitchingTokenExpirationTime;
    std::optional<std::string> ephemeralAppInstanceID;
  };

  State& stateOnQueue();
  // Runs `block` on the queue and waits; when the identity is already on it, runs nothing.
  void syncOnQueue(const std::function<void(State&)>& block);
  // A copy of one field, read on the queue.
  template <typename Field>
  Field readOnQueue(Field State::*field);
  // Refreshes, then runs `block`, in one turn on the queue.
  void refreshThenSyncOnQueue(const std::function<void(State&)>& block);
  template <typename Field>
  Field refreshedReadOnQueue(Field State::*field);
  // Queues `block` to run while the identity is alive.
  void asyncOnQueue(std::function<void(Identity&, State&)> block);
  void updateIdentifiersOnQueue();
  void setAppIDOnce(std::atomic<bool>& taken, std::string_view appID,
                    std::optional<std::string> State::*field, int64_t code,
                    std::string_view message);

  PersistedConfig* const persistedConfig_;
  const std::shared_ptr<IdentitySupport> support_;
  const std::shared_ptr<os::DispatchQueue> queue_;
  State state_;

  // Blocks of asyncOnQueue not yet run.
  std::atomic<int64_t> queuedBlocks_{0};
  std::atomic<bool> appIDFromGMPTaken_{false};
  std::atomic<bool> appIDFromZeZudTaken_{false};
  os::Value idfvCollectionEnabled_;
  std::string appID_;
  std::optional<std::string> appVersion_;
  std::optional<int64_t> appVersionMajor_;
  std::optional<int64_t> appVersionMinor_;
  std::optional<int64_t> appVersionRelease_;

  mutable os::Mutex installationMutex_;
  std::optional<std::string> riveravoInstallationID_ OS_GUARDED_BY(installationMutex_);
};

}  // namespace measurement
