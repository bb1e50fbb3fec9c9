// The lookup state that one measurement configuration gives: its event configurations by the
// name events carry, its data-control names and its consent configuration. The remote
// configuration builds these from each accepted configuration.
//
//   std::map<std::string, APMPBEventConfig, std::less<>> events = eventConfigsByName(config);
//   ConsentConfiguration consent = consentConfiguration(*APMPBGetMessage<APMPBConsentConfig>(
//       config, kMeasurementConfig_consent_config));
//
// Stateless; any thread.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "measurement/wire/access.h"
#include "measurement/wire/schema/apmpb.h"
#include "os/value/value.h"

namespace measurement {

using EventConfigs = std::map<std::string, APMPBEventConfig, std::less<>>;

// Consent type name -> status name, type name -> name of the type it follows, the core platform
// services, and whether the user is in the region of the digital markets rules.
struct ConsentConfiguration {
  os::Dictionary defaults;
  os::Dictionary delegations;
  std::set<std::string> corePlatformServices;
  bool isDMARegion = true;
  os::Dictionary regionalDefaults;
};

// Each event configuration with a non-empty name under the internal short name of that public
// name (or the name itself when it has none); later entries replace earlier ones. Nameless
// entries are logged (29013) and skipped.
EventConfigs eventConfigsByName(const APMPBMeasurementConfig& config);

// The names of the data controls that have one, in order.
std::vector<std::string> dataControlNames(const APMPBMeasurementConfig& config);

// Entries whose type (or status, or followed type) has no name are left out; services without
// a name likewise. An absent region flag reads as false.
ConsentConfiguration consentConfiguration(const APMPBConsentConfig& consent);

}  // namespace measurement
