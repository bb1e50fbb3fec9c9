// Turns the TCF values of the application's preferences into measurement consent. The engine
// makes one client at start when the server enables the feature, tells it whether the user is
// in a region under the digital markets rules, and calls setConsentFromTCFData():
//
//   TcfClient client(setConsentThroughTheFacade);
//   client.setIsDMARegion(settings->DMAConsentEnabled());
//   client.setConsentFromTCFData();
//
// Each call rereads the values. When they differ from the copy the client kept last time (in
// the suite "com.vedodo.gmp.measurement.tcf.userdefaults"), it logs the internal event "_tcf"
// (origin "auto") with "_tcfd", a five-character summary, stores the new copy, and, when the
// framework applies to the measurement vendor, hands consent for ad storage, ad personalization
// and ad user data to the consent sink under "consent_settings_tcf", the key of TCF data.
//
// Not thread-safe and bound to no queue: the engine serialises its calls.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "measurement/foundation/measurement_user_defaults.h"
#include "measurement/privacy/tcf_data.h"
#include "os/value/value.h"

namespace measurement {

inline constexpr const char* kTcfSuiteName = "com.vedodo.gmp.measurement.tcf.userdefaults";
inline constexpr const char* kTcfStringRepresentationKey = "tcf_StringRepresentation";
inline constexpr const char* kTcfEventName = "_tcf";
inline constexpr const char* kTcfEventParameter = "_tcfd";

class TcfClient {
 public:
  // Receives consent ("ad_storage" etc. -> "granted"/"denied") and the key it is stored under;
  // the facade validates, applies by the key's source where its priority allows, and persists.
  using ConsentSink = std::function<void(const os::Dictionary& consent, std::string_view key)>;

  // Over the application's own preferences. Without a sink the consent goes straight to
  // ConsentSettings with the key's source, where its priority allows (nothing is persisted).
  explicit TcfClient(ConsentSink setConsent = nullptr);
  // Over `appDefaults`, which must outlive the client.
  TcfClient(ConsentSink setConsent, ConfigStore& appDefaults);

  // Rereads the snapshot from the preferences.
  void readTCFData();
  // The Info.plist switch is on, the advertiser consent mode is true, vendor 755 consented and
  // the GDPR applies.
  bool shouldApplyTCFData() const;
  // Rereads; when the values changed: logs "_tcf", stores the copy, and applies consent when
  // shouldApplyTCFData(). Unchanged values do nothing.
  void setConsentFromTCFData();
  void logTCFChangedEvent() const;
  // Writes the current values (a missing one removes its key), the Info.plist switch and the
  // string representation into the client's suite.
  void storeCurrentData();
  // "isTCFDataEnabled=1,cmpSDKID=300,..." from the present values, in a fixed order.
  std::string stringRepresentationFromTCFData() const;
  static std::string consentStatusFromEnabled(bool enabled);
  // Whether the stored representation equals the current one; with none stored, whether
  // nothing is there to report ("isTCFDataEnabled=1").
  bool persistedValuesEqualCurrentData() const;
  // "1", two alphabet digits of the CMP id, one of the policy version, one of the flags
  // (bit 0 DMA region, 1 GDPR applies, 2 TCF data enabled, 3 advertiser consent mode):
  // "14I4f" for CMP 300, policy 4 and every flag.
  std::string tcfBundleParameterValue() const;
  // Empties the client's suite.
  void clearPersistedValues();

  const TcfData& tcfData() const { return tcfData_; }
  bool isDMARegion() const { return isDMARegion_; }
  void setIsDMARegion(bool isDMARegion) { isDMARegion_ = isDMARegion; }

 private:
  ConsentSink setConsent_;
  TcfData tcfData_;
  MeasurementUserDefaults userDefaults_{kTcfSuiteName};
  bool isDMARegion_ = true;
};

}  // namespace measurement
