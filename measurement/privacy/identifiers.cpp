#include "measurement/privacy/identifiers.h"

#include <atomic>
#include <utility>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric.h"

namespace measurement {
namespace {

os::Mutex engineIdentityMutex;
std::shared_ptr<Identity> installedIdentity OS_GUARDED_BY(engineIdentityMutex);

bool isPresent(const std::optional<std::string>& text) { return text && !text->empty(); }

struct Complaint {
  int64_t code;
  const char* message;
};

// `read` of the engine's identity, else of the shared one; a missing answer is logged with the
// complaint about the identity asked.
std::optional<std::string> readFromIdentity(std::optional<std::string> (Identity::*read)(),
                                            Complaint engineComplaint, Complaint sharedComplaint) {
  std::shared_ptr<Identity> identity = engineIdentity();
  Complaint complaint = engineComplaint;
  if (!identity) {
    identity = Identity::sharedInstance();
    complaint = sharedComplaint;
  }
  std::optional<std::string> value = identity ? ((*identity).*read)() : std::nullopt;
  if (!value) monitor().log(MonitorLevel::kErrorSilent, complaint.code, complaint.message);
  return value;
}

}  // namespace

void setEngineIdentity(std::shared_ptr<Identity> identity) {
  os::MutexLock lock(engineIdentityMutex);
  installedIdentity = std::move(identity);
}

std::shared_ptr<Identity> engineIdentity() {
  os::MutexLock lock(engineIdentityMutex);
  return installedIdentity;
}

Identifiers& Identifiers::sharedInstance() {
  static Identifiers* shared = new Identifiers();
  return *shared;
}

std::optional<std::string> Identifiers::vedodoAppID() {
  return readFromIdentity(&Identity::appIDFromGMP,
                          {37000, "Unable to fetch Vedodo App ID from identity"},
                          {37001, "Unable to fetch Vedodo App ID from default options"});
}

std::optional<std::string> Identifiers::analyticsAppID() {
  std::shared_ptr<Identity> identity = engineIdentity();
  if (!identity) identity = Identity::sharedInstance();
  if (identity) {
    if (std::optional<std::string> id = identity->appIDFromGMP(); isPresent(id)) return id;
    if (std::optional<std::string> id = identity->appIDFromZeZud(); isPresent(id)) return id;
  }
  monitor().log(MonitorLevel::kErrorSilent, 37005,
                "Unable to fetch effective App ID from identity");
  return std::nullopt;
}

std::optional<std::string> Identifiers::appInstanceID() {
  return readFromIdentity(&Identity::appInstanceID,
                          {37002, "Unable to fetch App Instance ID from identity"},
                          {37003, "Unable to fetch App Instance ID from identity shared instance"});
}

std::string Identifiers::adEventID() {
  static std::atomic<int64_t> counter{randomInt64()};
  // Atomic arithmetic on signed integers wraps around at the end of the range.
  return std::to_string(counter.fetch_add(1));
}

std::string Identifiers::libraryVersion() {
  return std::to_string(Identity::zadOdavodiveziLibraryVersion());
}

void Identifiers::setOrigin(std::string_view origin) {
  if (origin.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 37004,
                  "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  os::MutexLock lock(mutex_);
  origin_ = std::string(origin);
}

std::optional<std::string> Identifiers::origin() const {
  os::MutexLock lock(mutex_);
  return origin_;
}

}  // namespace measurement
