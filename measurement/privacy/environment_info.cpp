#include "measurement/privacy/environment_info.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "os/bundle/languages.h"
#include "os/process/clock.h"
#include "os/process/process.h"
#include "os/text/text.h"
#include "platform/utilities/app_environment_util.h"

namespace measurement {

EnvironmentInfo& EnvironmentInfo::sharedInstance() {
  static EnvironmentInfo* shared = new EnvironmentInfo();
  return *shared;
}

std::string EnvironmentInfo::deviceModel() {
  modelOnce_([this] {
    errno = 0;
    deviceModel_ = os::process::machineModel();
    if (deviceModel_.empty()) {
      monitor().log(MonitorLevel::kErrorSilent, 14000, "Failed to get device model",
                    std::string(std::strerror(errno)));
    }
  });
  return deviceModel_;
}

std::string EnvironmentInfo::deviceOSVersion() { return VDUAppEnvironmentUtil::systemVersion(); }

std::optional<std::string> EnvironmentInfo::userDefaultLanguage() {
  std::vector<std::string> languages = os::preferredLanguages();
  if (languages.empty()) {
    monitor().log(MonitorLevel::kErrorSilent, 14001, "Failed to get preferred language");
    return std::nullopt;
  }
  return os::text::lowercase(languages.front());
}

int32_t EnvironmentInfo::timeZoneOffsetMinutes() {
  // The zone may have changed since the last call (localtime_r alone need not look again).
  tzset();
  time_t now = static_cast<time_t>(os::clock::now());
  struct tm local = {};
  if (!localtime_r(&now, &local)) return 0;
  return static_cast<int32_t>(local.tm_gmtoff / 60);
}

}  // namespace measurement
