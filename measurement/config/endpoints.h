// The two addresses of the measurement service: where an application's configuration is
// fetched and where its batches are uploaded. The hosts are this deployment's; tests and the
// demo send them to local servers with TESSARO_CONNECT_TO.
//
//   remoteConfigURL("1:123:ios:abc", "macos", 102800, 0);
//   // https://measurement.tessaro.example/config/app/1:123:ios:abc?gmp_version=102800&platform=macos&runtime_version=0
//   uploadURL("eu", false);   // https://eu.measurement.tessaro.example/a
//   experimentFetchURL();     // https://experiments.tessaro.example/sdk-exp
//
// Stateless; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/net/url.h"

namespace measurement {

inline constexpr const char* kAnalyticsServicesHost = "measurement.tessaro.example";
// The host uploads go to once the user has authorized tracking.
inline constexpr const char* kTrackingAuthorizedAnalyticsServicesHost =
    "measurement-authorized.tessaro.example";
// The host of the experiment service.
inline constexpr const char* kExperimentServicesHost = "experiments.tessaro.example";

// "https://<host>/config/app/<app id>?" and the query of platform, runtime version and SDK
// version, in the one order of the query string (gmp_version, platform, runtime_version). The
// app id is one path segment: a character that would end it ("/", "?", "#", a blank) is
// percent-encoded. nullopt (logged, 29010) without a platform; an empty one is sent empty.
std::optional<os::URL> remoteConfigURL(std::string_view appID,
                                       std::optional<std::string_view> platform, int64_t SDKVersion,
                                       int64_t runtimeVersion);

// "https://<host>/a", or "https://<subdomain>.<host>/a" for a non-empty subdomain, on the
// tracking-authorized host when `trackingAuthorized`. A subdomain that is not a host name (labels
// of letters, digits and "-" joined by dots) is ignored, so that the server's text can only
// choose a name under our host.
os::URL uploadURL(std::optional<std::string_view> subdomain, bool trackingAuthorized);

// "https://experiments.tessaro.example/sdk-exp", where experiment snapshots are fetched.
os::URL experimentFetchURL();

// The host whose reachability decides whether uploads are tried: the service's host, or the
// address that TESSARO_CONNECT_TO ("host:port:address:port" entries separated by commas or
// blanks) sends its port 443 to, since a redirected name may not resolve at all.
std::string uploadReachabilityHost();

}  // namespace measurement
