#include "measurement/engine/deferred_deep_link.h"

#include "measurement/foundation/monitor.h"
#include "os/value/json.h"

namespace measurement {
namespace {

std::string encoded(std::string_view value) {
  return os::url::percentEncode(value, os::url::kUnreservedCharacters);
}

}  // namespace

std::optional<os::URL> deferredDeepLinkURL(std::string_view host,
                                           const DeferredDeepLinkQuery& query) {
  std::string text =
      "https://" + std::string(host) + "/pagead/conversion/app/deeplink?sdk_version=" +
      encoded(std::to_string(query.libraryVersion)) + "&rdid=" + encoded(query.advertisingID) +
      "&id_type=idfa&bundleid=" + encoded(query.bundleID) +
      "&retry=" + encoded(std::to_string(query.retryCount));
  if (query.test) text += "&ddl_test=1";
  if (query.dmaConsentEnabled) {
    if (query.consentSignals) text += "&gcs=" + encoded(*query.consentSignals);
    text += std::string("&dma=") + (query.dmaRegion ? "1" : "0");
    if (query.adUserDataDenied) {
      text += "&dma_cps=-";
    } else if (query.dmaRegion && !query.corePlatformServices.empty()) {
      std::string joined;
      for (const std::string& service : query.corePlatformServices) joined += service;
      text += "&dma_cps=" + encoded(joined);
    }
    if (query.adPersonalizationGranted) {
      text += std::string("&npa=") + (*query.adPersonalizationGranted ? "0" : "1");
    }
  }
  return os::URL::parse(text);
}

std::optional<os::Dictionary> deepLinkInfoFromResponseData(const std::string& data) {
  if (data.empty()) {
    monitor().log(MonitorLevel::kVerbose, 23201, "Deferred Deep Link response is empty");
    return std::nullopt;
  }
  os::Error error;
  std::optional<os::Value> parsed = os::json::parse(data, &error);
  if (!parsed) {
    monitor().log(MonitorLevel::kErrorSampled, 23202,
                  "Failed to parse Deferred Deep Link from JSON. Error", error);
    return std::nullopt;
  }
  const os::Dictionary* info = parsed->asDictionary();
  if (!info) return std::nullopt;
  const std::string* link = (*parsed)["deeplink"].asString();
  if (!link || !os::URL::parse(*link)) return std::nullopt;
  return *info;
}

}  // namespace measurement
