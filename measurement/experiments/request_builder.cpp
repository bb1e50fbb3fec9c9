#include "measurement/experiments/request_builder.h"

#include "measurement/foundation/monitor.h"
#include "measurement/privacy/identity.h"
#include "measurement/wire/access.h"
#include "os/bundle/bundle.h"
#include "os/bundle/languages.h"
#include "os/text/text.h"
#include "platform/utilities/app_environment_util.h"

namespace measurement {
namespace {

constexpr std::string_view kServiceVersionString = "10000000";

}  // namespace

std::string appInstanceDiversionKey() {
  std::shared_ptr<Identity> identity = Identity::sharedInstance();
  return identity ? identity->diversionKey() : std::string();
}

int64_t experimentServiceVersion() {
  if (kServiceVersionString.size() < 4) return 0;
  return std::stoll(std::string(kServiceVersionString.substr(0, kServiceVersionString.size() - 3)));
}

std::shared_ptr<APMEExperimentRequestBuilder> APMEExperimentRequestBuilder::sharedInstance() {
  static const std::shared_ptr<APMEExperimentRequestBuilder> shared =
      std::make_shared<APMEExperimentRequestBuilder>();
  return shared;
}

APMEExperimentRequestBuilder::APMEExperimentRequestBuilder(DiversionKeyProvider appDiversionKey)
    : appDiversionKey_(std::move(appDiversionKey)) {}

void APMEExperimentRequestBuilder::addSDKProperty(const APMESDKProperty& property) {
  propertiesBySDKName_.setObject(property, property.name);
}

APMPBAppProperty APMEExperimentRequestBuilder::appPropertyProto() const {
  APMPBAppProperty app;
  APMPBSetString(app, kAppProperty_platform, "macos");
  std::vector<std::string> languages = os::preferredLanguages();
  if (!languages.empty()) {
    APMPBSetString(app, kAppProperty_language, os::text::lowercase(languages.front()));
  }
  std::string bundleID = os::Bundle::main().bundleIdentifier();
  if (!bundleID.empty()) APMPBSetString(app, kAppProperty_app_id, bundleID);
  APMPBSetBool(app, kAppProperty_is_from_app_store, VDUAppEnvironmentUtil::isFromAppStore());
  APMPBSetInt64(app, kAppProperty_manager_version, experimentServiceVersion());
  return app;
}

std::optional<APMPBClientProperty> APMEExperimentRequestBuilder::clientPropertyProto(
    const APMESDKProperty& property) const {
  std::string key = property.diversionKey.value_or("");
  if (key.empty()) key = appDiversionKey_();
  if (key.empty()) {
    monitor().log(MonitorLevel::kErrorSampled, 860001, "Diversion key is empty");
    return std::nullopt;
  }
  APMPBClientProperty client;
  APMPBSetString(client, kClientProperty_diversion_id, key + "-" + property.name);
  APMPBSetString(client, kClientProperty_sdk_name, property.name);
  if (property.appID) APMPBSetString(client, kClientProperty_app_id, *property.appID);
  APMPBSetInt64(client, kClientProperty_sdk_version, property.version);

  std::map<std::string, std::string> custom = property.customProperties;
  if (auto delegate = property.delegate.lock()) {
    if (std::optional<os::Dictionary> dynamic =
            delegate->dynamicCustomPropertiesForSDKProperty(property)) {
      for (const auto& [name, value] : *dynamic) {
        if (std::optional<std::string> text = value.stringValue()) custom[name] = *text;
      }
    }
  }
  std::vector<APMPBCustomProperty> customProtos;
  for (const auto& [name, value] : custom) {
    APMPBCustomProperty entry;
    APMPBSetString(entry, kCustomProperty_key, name);
    APMPBSetString(entry, kCustomProperty_value, value);
    customProtos.push_back(std::move(entry));
  }
  if (!customProtos.empty()) APMPBSetArray(client, kClientProperty_custom_properties, customProtos);
  return client;
}

APMPBExperimentRequest APMEExperimentRequestBuilder::request() const {
  APMPBExperimentRequest request;
  std::vector<APMPBClientProperty> clients;
  for (const auto& [name, property] : propertiesBySDKName_.dictionary()) {
    if (std::optional<APMPBClientProperty> client = clientPropertyProto(property)) {
      clients.push_back(std::move(*client));
    }
  }
  if (!clients.empty()) APMPBSetArray(request, kExperimentRequest_client_properties, clients);
  APMPBAppProperty app = appPropertyProto();
  APMPBSetMessage(request, kExperimentRequest_app_property, &app);
  return request;
}

}  // namespace measurement
