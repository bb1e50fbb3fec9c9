#include "measurement/engine/bundle_fields.h"

#include <algorithm>

#include "measurement/foundation/monitor.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

constexpr int32_t kTrackingAuthorized = 3;
// The status the tracking manager answers when it cannot tell; never reported.
constexpr int32_t kTrackingStatusUnknown = 6;

bool isDeniedSignal(char signal) { return signal == '0' || signal == 'd' || signal == 'D'; }

bool isAdStorageDenied(std::string_view signals) {
  return signals.size() >= 4 && isDeniedSignal(signals[2]);
}

void setStringUnlessPresent(APMPBMeasurementBundle& bundle, int32_t index,
                            const std::string& value) {
  if (!APMPBHasField(bundle, index)) APMPBSetString(bundle, index, value);
}

}  // namespace

void setBundleIdentifiersAndConsent(APMPBMeasurementBundle& bundle, std::string_view consentSignals,
                                    bool gateIDFAOnATTMAS, Identity& identity, bool overwrite) {
  std::string signals;
  if (consentSignals.size() < 4) {
    if (consentSignals.empty()) APMPBClearField(bundle, kMeasurementBundle_consent_signals);
  } else if (!overwrite && APMPBHasField(bundle, kMeasurementBundle_consent_signals)) {
    signals = APMPBGetString(bundle, kMeasurementBundle_consent_signals).value_or("");
  } else {
    signals = consentSignals;
    APMPBSetString(bundle, kMeasurementBundle_consent_signals, signals);
  }
  bool adStorageDenied = isAdStorageDenied(signals);
  bool analyticsStorageDenied = isAnalyticsStorageDenied(signals);

  bool attBlocked = false;
  if (identity.iOS14OrAbove()) {
    auto status = static_cast<int32_t>(identity.appleConsentStatus());
    if (status != kTrackingStatusUnknown) {
      APMPBSetInt32(bundle, kMeasurementBundle_apple_consent_status, status);
    }
    attBlocked = gateIDFAOnATTMAS && status != kTrackingAuthorized;
  }
  std::optional<std::string> adID = identity.resettableDeviceID();
  bool useAdID = identity.hasLimitedAdTracking() && adID && !attBlocked && !adStorageDenied;
  std::optional<std::string> vendorID = identity.identifierForVendor();
  if (useAdID) {
    setStringUnlessPresent(bundle, kMeasurementBundle_resettable_device_id, *adID);
    APMPBClearField(bundle, kMeasurementBundle_vendor_device_id);
  } else if (vendorID && !analyticsStorageDenied) {
    setStringUnlessPresent(bundle, kMeasurementBundle_vendor_device_id, *vendorID);
    APMPBClearField(bundle, kMeasurementBundle_resettable_device_id);
  } else {
    APMPBClearField(bundle, kMeasurementBundle_resettable_device_id);
    APMPBClearField(bundle, kMeasurementBundle_vendor_device_id);
  }
  if (!analyticsStorageDenied) {
    std::optional<std::string> instanceID = identity.appInstanceID();
    if (instanceID && !instanceID->empty()) {
      setStringUnlessPresent(bundle, kMeasurementBundle_app_instance_id, *instanceID);
    }
  }
  if (adStorageDenied) APMPBClearField(bundle, kMeasurementBundle_resettable_device_id);
  if (analyticsStorageDenied) {
    for (int32_t index : {kMeasurementBundle_vendor_device_id, kMeasurementBundle_app_instance_id,
                          kMeasurementBundle_session_stitching_token,
                          kMeasurementBundle_audience_evaluation_results}) {
      APMPBClearField(bundle, index);
    }
  }
  if (identity.hasLimitedAdTracking()) {
    APMPBSetBool(bundle, kMeasurementBundle_limited_ad_tracking, identity.limitedAdTracking());
  }
}

void setBundleDMAConsentFields(APMPBMeasurementBundle& bundle, std::string_view consentDiagnostics,
                               bool isAdUserDataDenied, const APMPBUserAttribute* npaAttribute,
                               const RemoteConfig& settings, bool overwrite) {
  if (overwrite || !APMPBHasField(bundle, kMeasurementBundle_consent_diagnostics)) {
    APMPBSetString(bundle, kMeasurementBundle_consent_diagnostics, consentDiagnostics);
  }
  if (overwrite || !APMPBHasField(bundle, kMeasurementBundle_dma_region)) {
    APMPBSetBool(bundle, kMeasurementBundle_dma_region, settings.isDMARegion());
  }
  if (overwrite || !APMPBHasField(bundle, kMeasurementBundle_core_platform_services)) {
    // A std::set is sorted ascending already.
    std::set<std::string> services = settings.corePlatformServices();
    if (isAdUserDataDenied || services.empty()) {
      APMPBSetString(bundle, kMeasurementBundle_core_platform_services, "-");
    } else if (!settings.isDMARegion()) {
      APMPBClearField(bundle, kMeasurementBundle_core_platform_services);
    } else if (APMPBGetBool(bundle, kMeasurementBundle_dma_region)) {
      std::string joined;
      for (const std::string& service : services) joined += service;
      APMPBSetString(bundle, kMeasurementBundle_core_platform_services, joined);
    }
  }
  if (!npaAttribute) return;
  std::vector<APMPBUserAttribute> attributes =
      APMPBGetArray<APMPBUserAttribute>(bundle, kMeasurementBundle_user_attributes);
  auto npa = std::find_if(attributes.begin(), attributes.end(), [](const APMPBUserAttribute& a) {
    return APMPBGetString(a, kUserAttribute_name) == "_npa";
  });
  if (npa == attributes.end()) {
    attributes.push_back(*npaAttribute);
  } else if (overwrite) {
    *npa = *npaAttribute;
  } else {
    return;
  }
  APMPBSetArray(bundle, kMeasurementBundle_user_attributes, attributes);
}

bool bundleContainsFirstOpen(const APMPBMeasurementBundle* bundle) {
  if (!bundle) return false;
  for (const APMPBEvent& event : APMPBGetArray<APMPBEvent>(*bundle, kMeasurementBundle_events)) {
    if (APMPBGetString(event, kEvent_name) == "_f") return true;
  }
  return false;
}

bool haveSameConsentFields(const APMPBMeasurementBundle* first,
                           const APMPBMeasurementBundle* second) {
  if (!first || !second) return false;
  for (int32_t index : {kMeasurementBundle_consent_signals, kMeasurementBundle_consent_diagnostics,
                        kMeasurementBundle_core_platform_services}) {
    if (APMPBGetString(*first, index) != APMPBGetString(*second, index)) return false;
  }
  if (APMPBGetBool(*first, kMeasurementBundle_dma_region) !=
      APMPBGetBool(*second, kMeasurementBundle_dma_region)) {
    return false;
  }
  std::optional<APMPBUserAttribute> firstNPA = bundleNPAUserAttribute(*first);
  std::optional<APMPBUserAttribute> secondNPA = bundleNPAUserAttribute(*second);
  if (!firstNPA && !secondNPA) return true;
  auto value = [](const std::optional<APMPBUserAttribute>& npa) {
    return npa ? APMPBGetInt64(*npa, kUserAttribute_int_value) : 0;
  };
  return value(firstNPA) == value(secondNPA);
}

std::optional<APMPBUserAttribute> bundleNPAUserAttribute(const APMPBMeasurementBundle& bundle) {
  for (APMPBUserAttribute& attribute :
       APMPBGetArray<APMPBUserAttribute>(bundle, kMeasurementBundle_user_attributes)) {
    if (APMPBGetString(attribute, kUserAttribute_name) == "_npa") return attribute;
  }
  return std::nullopt;
}

void applyDataControls(APMPBMeasurementBundle& bundle, const std::vector<std::string>& controls,
                       Identity& identity) {
  auto has = [&](std::string_view name) {
    return std::find(controls.begin(), controls.end(), name) != controls.end();
  };
  if (has("app_instance_id")) {
    APMPBClearField(bundle, kMeasurementBundle_app_instance_id);
    std::optional<std::string> signals = APMPBGetString(bundle, kMeasurementBundle_consent_signals);
    if (isAnalyticsStorageDenied(signals.value_or(""))) {
      APMPBClearField(bundle, kMeasurementBundle_ephemeral_app_instance_id);
    } else {
      APMPBSetString(bundle, kMeasurementBundle_ephemeral_app_instance_id,
                     identity.ephemeralAppInstanceID());
    }
  }
  if (has("user_id")) {
    std::vector<APMPBUserAttribute> attributes =
        APMPBGetArray<APMPBUserAttribute>(bundle, kMeasurementBundle_user_attributes);
    std::erase_if(attributes, [](const APMPBUserAttribute& attribute) {
      return APMPBGetString(attribute, kUserAttribute_name) == "_id";
    });
    APMPBSetArray(bundle, kMeasurementBundle_user_attributes, attributes);
  }
  if (has("os_version") || has("device_info")) {
    if (std::optional<std::string> version =
            APMPBGetString(bundle, kMeasurementBundle_os_version)) {
      APMPBSetString(bundle, kMeasurementBundle_os_version, version->substr(0, version->find('.')));
    }
  }
  if (has("device_model") || has("device_info")) {
    APMPBClearField(bundle, kMeasurementBundle_device_model);
  }
  if (has("enhanced_user_id")) {
    APMPBClearField(bundle, kMeasurementBundle_session_stitching_token);
  }
  if (!controls.empty()) {
    APMPBSetArray(bundle, kMeasurementBundle_redacted_fields,
                  os::Array(controls.begin(), controls.end()));
  }
}

bool isAnalyticsStorageDenied(std::string_view consentSignals) {
  return consentSignals.size() >= 4 && isDeniedSignal(consentSignals[3]);
}

bool isRealtimeLimitedEvent(const Event& event) {
  if (monitor().isDebugModeEnabled()) return false;
  const std::string& name = event.name();
  return name != "_iap" && name != "_f" && name != "_dcu" && name != "_fx";
}

bool isRealtimeDCUEvent(const Event& event) {
  return !monitor().isDebugModeEnabled() && event.name() == "_dcu";
}

}  // namespace measurement
