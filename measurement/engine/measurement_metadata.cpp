// The raw-event metadata: what the events written under one state have in common (app, SDK,
// device, locale, consent-allowed identifiers, consent fields and user properties), stored once
// under the low 64 bits of the MD5 of its encoding. Its fields are set in a fixed order from
// deterministic sources, so two events under the same state encode to the same bytes.
#include "measurement/engine/bundle_fields.h"
#include "measurement/engine/measurement.h"
#include "measurement/engine/session_reporter.h"
#include "measurement/foundation/lookup.h"
#include "measurement/privacy/consent_settings.h"
#include "measurement/privacy/environment_info.h"
#include "measurement/wire/access.h"

namespace {

using measurement::ConsentSettings;

constexpr int32_t kMetadataProtocolVersion = 1;
constexpr const char* kPlatform = "macos";
constexpr const char* kManualInstall = "manual_install";

void setIfNonEmpty(APMPBMeasurementBundle& bundle, int32_t index,
                   const std::optional<std::string>& value) {
  if (value && !value->empty()) APMPBSetString(bundle, index, *value);
}

}  // namespace

APMPBMeasurementBundle APMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<measurement::UserAttribute>& attributes) {
  APMPBMeasurementBundle bundle;
  std::shared_ptr<measurement::Identity> identity = this->identity();
  std::shared_ptr<measurement::RemoteConfig> config = engineConfig();
  std::shared_ptr<measurement::Settings> settings = config->settings();

  APMPBSetInt32(bundle, kMeasurementBundle_protocol_version, kMetadataProtocolVersion);
  APMPBSetString(bundle, kMeasurementBundle_platform, kPlatform);
  if (identity) {
    APMPBSetString(bundle, kMeasurementBundle_app_id, identity->appID());
    if (!identity->isFromAppStore()) {
      APMPBSetString(bundle, kMeasurementBundle_app_store, kManualInstall);
    }
    setIfNonEmpty(bundle, kMeasurementBundle_app_version, identity->appVersion());
    std::optional<std::string> gmp = identity->appIDFromGMP();
    setIfNonEmpty(bundle, kMeasurementBundle_gmp_app_id, gmp);
    if (!gmp || gmp->empty()) {
      setIfNonEmpty(bundle, kMeasurementBundle_zezud_app_id, identity->appIDFromZeZud());
    }
  }
  APMPBSetInt64(bundle, kMeasurementBundle_library_version,
                measurement::Identity::zadOdavodiveziLibraryVersion());
  if (identity) {
    setIfNonEmpty(bundle, kMeasurementBundle_riveravo_installation_id,
                  identity->riveravoInstallationID());
    std::shared_ptr<APMSessionReporter> sessions = sessionReporter();
    std::optional<std::string> token = identity->sessionStitchingTokenWithSessionNumber(
        persistedConfig_->sessionNumber(), sessions && sessions->isSessionExpired(),
        hasUserPropertyUserIDOnWorkerQueue());
    setIfNonEmpty(bundle, kMeasurementBundle_session_stitching_token, token);
    auto setPart = [&](int32_t index, const std::optional<int64_t>& part) {
      if (part) APMPBSetInt32(bundle, index, static_cast<int32_t>(*part));
    };
    setPart(kMeasurementBundle_app_version_major, identity->appVersionMajor());
    setPart(kMeasurementBundle_app_version_minor, identity->appVersionMinor());
    setPart(kMeasurementBundle_app_version_release, identity->appVersionRelease());
    measurement::setBundleIdentifiersAndConsent(bundle, ConsentSettings::consentSignals(),
                                                settings->gateIDFAOnATTMASEnabled(), *identity,
                                                true);
  }
  bool dmaConsent = settings->DMAConsentEnabled();
  if (dmaConsent) {
    measurement::setBundleDMAConsentFields(bundle, ConsentSettings::consentDiagnostics(),
                                           ConsentSettings::isAdUserDataDenied(), nullptr, *config,
                                           true);
  }
  measurement::EnvironmentInfo& environment = measurement::EnvironmentInfo::sharedInstance();
  APMPBSetString(bundle, kMeasurementBundle_device_model, environment.deviceModel());
  // The system's version cannot change under a running process; reading it is a file read.
  static const std::string osVersion = environment.deviceOSVersion();
  APMPBSetString(bundle, kMeasurementBundle_os_version, osVersion);
  APMPBSetInt32(bundle, kMeasurementBundle_timezone_offset_minutes,
                environment.timeZoneOffsetMinutes());
  if (std::optional<std::string> language = environment.userDefaultLanguage()) {
    APMPBSetString(bundle, kMeasurementBundle_user_default_language, *language);
  }
  if (attributes.empty()) return bundle;
  std::vector<APMPBUserAttribute> messages;
  bool hasNPA = false;
  for (const measurement::UserAttribute& attribute : attributes) {
    messages.push_back(attribute.protoUserAttribute());
    hasNPA = hasNPA || attribute.name() == "_npa";
  }
  if (dmaConsent && !hasNPA) {
    os::Error error;
    measurement::Lookup<measurement::UserAttribute> npa =
        database_->userAttributeWithName("_npa", &error);
    if (npa && *npa) messages.push_back((*npa)->protoUserAttribute());
  }
  APMPBSetArray(bundle, kMeasurementBundle_user_attributes, messages);
  return bundle;
}
