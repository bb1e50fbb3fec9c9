#include "measurement/config/config_contents.h"

#include <optional>
#include <utility>

#include "measurement/foundation/event_names.h"
#include "measurement/foundation/monitor.h"
#include "measurement/privacy/consent_types.h"

namespace measurement {
namespace {

// type name -> the name `nameOfValue` gives the entry's second field, for entries where both
// have names.
template <typename Entry>
os::Dictionary namedPairs(const APMPBConsentConfig& consent, int32_t field, int32_t typeIndex,
                          int32_t valueIndex, std::optional<std::string> (*nameOfValue)(int64_t)) {
  os::Dictionary pairs;
  for (const Entry& entry : APMPBGetArray<Entry>(consent, field)) {
    std::optional<std::string> type = consentTypeName(APMPBGetInt32(entry, typeIndex));
    std::optional<std::string> value = nameOfValue(APMPBGetInt32(entry, valueIndex));
    if (type && value) pairs.insert_or_assign(std::move(*type), std::move(*value));
  }
  return pairs;
}

}  // namespace

EventConfigs eventConfigsByName(const APMPBMeasurementConfig& config) {
  EventConfigs configs;
  for (APMPBEventConfig& event :
       APMPBGetArray<APMPBEventConfig>(config, kMeasurementConfig_event_config)) {
    std::string name = APMPBGetString(event, kEventConfig_name).value_or("");
    if (name.empty()) {
      monitor().log(MonitorLevel::kWarningSilent, 29013,
                    "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    const NameTable& internalNames = publicToInternalEventNames();
    if (auto internal = internalNames.find(name); internal != internalNames.end()) {
      name = internal->second;
    }
    configs.insert_or_assign(std::move(name), std::move(event));
  }
  return configs;
}

std::vector<std::string> dataControlNames(const APMPBMeasurementConfig& config) {
  std::vector<std::string> names;
  for (const APMPBDataControl& control :
       APMPBGetArray<APMPBDataControl>(config, kMeasurementConfig_data_controls)) {
    if (std::optional<std::string> name = APMPBGetString(control, kDataControl_name)) {
      names.push_back(std::move(*name));
    }
  }
  return names;
}

ConsentConfiguration consentConfiguration(const APMPBConsentConfig& consent) {
  ConsentConfiguration result;
  result.defaults = namedPairs<APMPBConsentDefaultEntry>(
      consent, kConsentConfig_defaults, kConsentDefaultEntry_consent_type,
      kConsentDefaultEntry_consent_status, consentStatusName);
  result.delegations = namedPairs<APMPBConsentDelegationEntry>(
      consent, kConsentConfig_delegations, kConsentDelegationEntry_consent_type,
      kConsentDelegationEntry_follows_type, consentTypeName);
  for (const APMPBCorePlatformServiceEntry& entry : APMPBGetArray<APMPBCorePlatformServiceEntry>(
           consent, kConsentConfig_core_platform_services)) {
    if (std::optional<std::string> service =
            APMPBGetString(entry, kCorePlatformServiceEntry_service)) {
      result.corePlatformServices.insert(std::move(*service));
    }
  }
  result.isDMARegion = APMPBGetBool(consent, kConsentConfig_is_dma_region);
  result.regionalDefaults = namedPairs<APMPBConsentDefaultEntry>(
      consent, kConsentConfig_enforced_defaults, kConsentDefaultEntry_consent_type,
      kConsentDefaultEntry_consent_status, consentStatusName);
  return result;
}

}  // namespace measurement
