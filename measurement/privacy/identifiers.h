// The identifiers other parts of the measurement code send without holding the engine: the app
// ids and the app instance id of the engine's identity (else the shared one), ad event ids, the
// library version and the data-collection origin.
//
//   std::optional<std::string> appID = Identifiers::sharedInstance().analyticsAppID();
//   std::string eventID = Identifiers::sharedInstance().adEventID();
//
// Thread-safe.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/privacy/identity.h"
#include "os/sync/mutex.h"

namespace measurement {

// The engine installs its identity when it starts and clears it (nullptr) when it stops.
void setEngineIdentity(std::shared_ptr<Identity> identity);
// The running engine's identity; nullptr without one.
std::shared_ptr<Identity> engineIdentity();

class Identifiers {
 public:
  static Identifiers& sharedInstance();

  // The engine identity's app id from the service plist, else the shared identity's; a missing
  // one is logged (37000 for the engine's, 37001 for the shared one's).
  std::optional<std::string> vedodoAppID();
  // The identity's (the engine's, else the shared one) non-empty Vedodo app id, else its
  // non-empty ZeZud app id; nullopt, logged (37005), without either.
  std::optional<std::string> analyticsAppID();
  // As vedodoAppID, with the app instance id (37002, 37003).
  std::optional<std::string> appInstanceID();
  // The decimal value of a process-wide counter that starts at a random 64-bit number; each
  // call answers the next value.
  std::string adEventID();
  // "102800".
  std::string libraryVersion();
  // A non-empty origin is kept; an empty one is logged (37004) and ignored.
  void setOrigin(std::string_view origin);
  std::optional<std::string> origin() const;

 private:
  mutable os::Mutex mutex_;
  std::optional<std::string> origin_ OS_GUARDED_BY(mutex_);
};

}  // namespace measurement
