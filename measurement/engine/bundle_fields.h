// The privacy-relevant fields of a measurement bundle: which device identifiers it may carry
// under the current consent, its consent and DMA fields and the server's data controls. The
// raw-event metadata and the upload both write them, so the same rules hold at both moments; the
// upload passes overwrite = false to keep fields a bundle already has.
//
//   APMPBMeasurementBundle bundle;
//   setBundleIdentifiersAndConsent(bundle, ConsentSettings::consentSignals(),
//                                  settings.gateIDFAOnATTMASEnabled(), identity, true);
//   applyDataControls(bundle, config.dataControls(), identity);
//
// Pure functions over their arguments; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/config/remote_config.h"
#include "measurement/model/event.h"
#include "measurement/privacy/identity.h"
#include "measurement/wire/schema/apmpb.h"

namespace measurement {

// The consent signals (stored unless overwrite is off and some are there), the tracking
// authorization, the advertising or vendor id consent allows, the app instance id, and the
// fields denied analytics storage must not carry.
void setBundleIdentifiersAndConsent(APMPBMeasurementBundle& bundle, std::string_view consentSignals,
                                    bool gateIDFAOnATTMAS, Identity& identity, bool overwrite);
// The consent diagnostics, the DMA region, the core platform services and the "_npa" property.
void setBundleDMAConsentFields(APMPBMeasurementBundle& bundle, std::string_view consentDiagnostics,
                               bool isAdUserDataDenied, const APMPBUserAttribute* npaAttribute,
                               const RemoteConfig& settings, bool overwrite);
// Whether any event of the bundle is "_f".
bool bundleContainsFirstOpen(const APMPBMeasurementBundle* bundle);
// Equal consent signals, diagnostics, services, DMA region and "_npa" value.
bool haveSameConsentFields(const APMPBMeasurementBundle* first,
                           const APMPBMeasurementBundle* second);
// The first user attribute named "_npa".
std::optional<APMPBUserAttribute> bundleNPAUserAttribute(const APMPBMeasurementBundle& bundle);
// Removes or coarsens what the server's data controls name, and records the list.
void applyDataControls(APMPBMeasurementBundle& bundle, const std::vector<std::string>& controls,
                       Identity& identity);
// The 4th signal is '0', 'd' or 'D'.
bool isAnalyticsStorageDenied(std::string_view consentSignals);

// Whether the daily real-time limit may demote the event: never in debug mode, never "_iap",
// "_f", "_dcu" or "_fx".
bool isRealtimeLimitedEvent(const Event& event);
// Whether the event counts against the "_dcu" real-time limit (never in debug mode).
bool isRealtimeDCUEvent(const Event& event);

}  // namespace measurement
