// The deferred deep link: the request that asks the ad services for a link clicked before the
// app was installed, and the reading of its answer.
//
//   DeferredDeepLinkQuery query{.libraryVersion = 102800, .advertisingID = id,
//                               .bundleID = "com.example.app", .retryCount = 0};
//   std::optional<os::URL> url = deferredDeepLinkURL(kDeferredDeepLinkHost, query);
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "os/net/url.h"
#include "os/value/value.h"

namespace measurement {

struct DeferredDeepLinkQuery {
  int64_t libraryVersion = 0;
  std::string advertisingID;
  std::string bundleID;
  int64_t retryCount = 0;
  // "-DebugDeferredDeepLink" outside a store installation.
  bool test = false;
  // The consent fields, sent only with DMA consent on.
  bool dmaConsentEnabled = false;
  std::optional<std::string> consentSignals;
  bool dmaRegion = false;
  bool adUserDataDenied = false;
  std::set<std::string> corePlatformServices;
  // The ad-personalization consent: granted, denied, or not set.
  std::optional<bool> adPersonalizationGranted;
};

// "https://<host>/pagead/conversion/app/deeplink?sdk_version=..&rdid=..&id_type=idfa&bundleid=..
// &retry=..", then "&ddl_test=1" and the consent fields. Every value is percent-encoded, so that
// a value holding "&", "#" or "=" cannot add or cut query fields.
std::optional<os::URL> deferredDeepLinkURL(std::string_view host,
                                           const DeferredDeepLinkQuery& query);
// The answer's JSON object when its "deeplink" is a string that forms a URL; nullopt (logged)
// for an empty or unreadable answer.
std::optional<os::Dictionary> deepLinkInfoFromResponseData(const std::string& data);

}  // namespace measurement
