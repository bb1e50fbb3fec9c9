#include "measurement/config/endpoints.h"

#include <cstdlib>
#include <sstream>
#include <string>

#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/monitor.h"

namespace measurement {
namespace {

// The path characters that stay literal inside one segment.
constexpr std::string_view kPathSegmentAllowed = "!$&'()*+,-.:=@_~";

bool isHostLabelCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// Dot-separated labels of 1 to 63 letters, digits and hyphens, none starting or ending with a
// hyphen.
bool isHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  size_t begin = 0;
  while (begin <= name.size()) {
    size_t end = name.find('.', begin);
    if (end == std::string_view::npos) end = name.size();
    std::string_view label = name.substr(begin, end - begin);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
      return false;
    }
    for (char c : label) {
      if (!isHostLabelCharacter(c)) return false;
    }
    begin = end + 1;
  }
  return true;
}

}  // namespace

std::optional<os::URL> remoteConfigURL(std::string_view appID,
                                       std::optional<std::string_view> platform, int64_t SDKVersion,
                                       int64_t runtimeVersion) {
  if (!platform) {
    monitor().log(MonitorLevel::kErrorSilent, 29010,
                  "Cannot create a URL to fetch a configuration with empty platform");
    return std::nullopt;
  }
  std::string query = apm_queryString(os::Dictionary{{"platform", std::string(*platform)},
                                                     {"runtime_version", runtimeVersion},
                                                     {"gmp_version", SDKVersion}});
  return os::URL::parse(std::string("https://") + kAnalyticsServicesHost + "/config/app/" +
                        os::url::percentEncode(appID, kPathSegmentAllowed) + "?" + query);
}

os::URL uploadURL(std::optional<std::string_view> subdomain, bool trackingAuthorized) {
  std::string host =
      trackingAuthorized ? kTrackingAuthorizedAnalyticsServicesHost : kAnalyticsServicesHost;
  if (subdomain && isHostName(*subdomain)) host = std::string(*subdomain) + "." + host;
  return *os::URL::parse("https://" + host + "/a");
}

os::URL experimentFetchURL() {
  return *os::URL::parse(std::string("https://") + kExperimentServicesHost + "/sdk-exp");
}

std::string uploadReachabilityHost() {
  const char* connectTo = std::getenv("TESSARO_CONNECT_TO");
  if (connectTo == nullptr) return kAnalyticsServicesHost;
  std::string entries(connectTo);
  for (char& c : entries) {
    if (c == ',') c = ' ';
  }
  std::istringstream stream(entries);
  const std::string prefix = std::string(kAnalyticsServicesHost) + ":443:";
  for (std::string entry; stream >> entry;) {
    if (entry.rfind(prefix, 0) != 0) continue;
    std::string rest = entry.substr(prefix.size());
    // The address may be a bracketed IPv6 literal; the port follows the last colon.
    size_t colon = rest.rfind(':');
    std::string address = colon == std::string::npos ? rest : rest.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
      address = address.substr(1, address.size() - 2);
    }
    if (!address.empty()) return address;
  }
  return kAnalyticsServicesHost;
}

}  // namespace measurement
