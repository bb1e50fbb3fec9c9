// User data for on-device conversion measurement. The measurement client is an optional outside
// library that this host does not have, so every identifier the app hands over is refused with
// the message that says so; a stored match still expires, and start-up tells when counters of an
// earlier client remain without one.
#include <cmath>

#include "measurement/engine/measurement.h"
#include "measurement/foundation/lookup.h"
#include "os/process/clock.h"

namespace {

using measurement::MonitorLevel;
using measurement::Scheduler;

// A stored match is kept for 90 days.
constexpr double kMatchLifetime = 7776000;
constexpr const char* kMatchName = "_psmvalue";
constexpr const char* kCountNames[] = {"_psmcount", "_psmcountph", "_psmcounth", "_psmcounthph"};

// The identifiers in the order they are tried, with what an empty one logs.
struct Identifier {
  const char* key;
  int64_t emptyCode;
  const char* emptyMessage;
};
constexpr Identifier kIdentifiers[] = {
    {"email_address", 23234,
     "Failed to initiate on-device conversion measurement. Email address was empty."},
    {"phone_number", 23239,
     "Failed to initiate on-device conversion measurement. Phone number was empty."},
    {"hashed_email_address", 23264,
     "Failed to initiate on-device conversion measurement. Hashed identifier was empty."},
    {"hashed_phone_number", 23264,
     "Failed to initiate on-device conversion measurement. Hashed identifier was empty."},
};

}  // namespace

void APMMeasurement::setUserData(os::Dictionary userData) {
  scheduleWeakly("APMMeasurement:3105", [userData = std::move(userData)](APMMeasurement&) {
    Scheduler::checkOnBackgroundThread("setUserDataOnWorkerQueue");
    for (const Identifier& identifier : kIdentifiers) {
      auto found = userData.find(identifier.key);
      if (found == userData.end() || found->second.isNull()) continue;
      const std::string* text = found->second.asString();
      if (!text || text->empty()) {
        monitor().log(MonitorLevel::kErrorSampled, identifier.emptyCode, identifier.emptyMessage);
        continue;
      }
      monitor().log(MonitorLevel::kErrorSampled, 23233,
                    "Failed to initiate on-device conversion measurement. "
                    "VedodoZadOdavodiveziOnDeviceConversion dependency not linked in.");
    }
  });
}

void APMMeasurement::checkPSMDependencyOnWorkerQueue() {
  Scheduler::checkOnBackgroundThread("checkPSMDependencyOnWorkerQueue");
  if (!database_) return;
  os::Error error;
  for (const char* name : {kCountNames[0], kCountNames[1]}) {
    std::optional<bool> stored = database_->containsUserAttributeWithName(name, &error);
    if (stored && *stored) {
      monitor().log(MonitorLevel::kWarningSampled, 23254,
                    "VedodoZadOdavodiveziOnDeviceConversion dependency is not currently linked. "
                    "On-device conversion measurement will fail to initiate.");
      return;
    }
  }
}

void APMMeasurement::maybeDeleteExpiredPSMValueOnWorkerQueue() {
  Scheduler::checkOnBackgroundThread("maybeDeleteExpiredPSMValueOnWorkerQueue");
  if (!database_) return;
  os::Error error;
  measurement::Lookup<measurement::UserAttribute> match =
      database_->userAttributeWithName(kMatchName, &error);
  if (!match || !*match) return;
  if (std::abs(os::clock::now() - (*match)->lastSetTimestamp()) < kMatchLifetime) return;
  removeUserAttributeOnWorkerQueue(**match);
  for (const char* name : kCountNames) {
    measurement::Lookup<measurement::UserAttribute> count =
        database_->userAttributeWithName(name, &error);
    if (count && *count) removeUserAttributeOnWorkerQueue(**count);
  }
}
