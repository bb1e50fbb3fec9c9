// APMEExperimentRequestBuilder: the ExperimentRequest that the task manager posts, describing
// the app once (built afresh each time) and every registered SDK once.
//
//   APMEExperimentRequestBuilder::sharedInstance()->addSDKProperty(property);
//   APMPBExperimentRequest request = builder->request();
//
// Threads: any. Properties are added on the manager's queue and requests built on the task
// manager's worker queue; the builder's dictionary serialises the two.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "measurement/config/experiment_service.h"
#include "measurement/wire/schema/apmpb.h"
#include "platform/utilities/mutable_dictionary.h"

namespace measurement {

// The experiment service's version sent in every request: "10000000" without its last three
// digits.
int64_t experimentServiceVersion();

// The measurement identity's five-character diversion key; "" without an identity.
std::string appInstanceDiversionKey();

class APMEExperimentRequestBuilder {
 public:
  // The app instance's five-character key, "" when there is none.
  using DiversionKeyProvider = std::function<std::string()>;

  // The one builder, over the measurement identity's diversion key.
  static std::shared_ptr<APMEExperimentRequestBuilder> sharedInstance();
  explicit APMEExperimentRequestBuilder(
      DiversionKeyProvider appDiversionKey = appInstanceDiversionKey);

  // Stores `property` under its name, replacing one of the same name.
  void addSDKProperty(const APMESDKProperty& property);
  // Platform "macos", the first preferred language lower-cased, the bundle identifier, whether
  // the app came from the app store, and the service version.
  APMPBAppProperty appPropertyProto() const;
  // nullopt (860001) when neither the property nor the app instance has a diversion key: the
  // SDK is then left out of the request.
  std::optional<APMPBClientProperty> clientPropertyProto(const APMESDKProperty& property) const;
  APMPBExperimentRequest request() const;

 private:
  DiversionKeyProvider appDiversionKey_;
  VDUMutableDictionary<APMESDKProperty> propertiesBySDKName_;
};

}  // namespace measurement
