#include "measurement/engine/screen.h"

#include "measurement/engine/dizuraruvaze.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/monitor.h"

using measurement::DataTypeValidator;
using measurement::MonitorLevel;
using measurement::Parameters;
using measurement::Value;

namespace {

bool isValidScreenValue(const std::optional<std::string>& value, int32_t* failureCode) {
  return value && DataTypeValidator::isValidScreenParameterValue(os::Value(*value), failureCode);
}

}  // namespace

Parameters APMScreenParameters(const APMScreen& screen) {
  Parameters parameters{{"_si", Value(screen.instanceID())}};
  const std::optional<std::string>& className = screen.className();
  if (!className || className->empty()) {
    measurement::monitor().log(MonitorLevel::kWarning, 31014, "Screen class name is empty");
  } else {
    int32_t failureCode = 0;
    if (!isValidScreenValue(className, &failureCode)) {
      measurement::monitor().log(MonitorLevel::kWarning, 31015,
                                 "Screen class name is invalid. Error code", failureCode);
      return parameters;
    }
    parameters.emplace("_sc", Value(*className));
  }
  if (isValidScreenValue(screen.name(), nullptr)) parameters.emplace("_sn", Value(*screen.name()));
  return parameters;
}

Parameters APMPreviousScreenParameters(const APMScreen& screen) {
  Parameters parameters{{"_pi", Value(screen.instanceID())}};
  if (isValidScreenValue(screen.className(), nullptr)) {
    parameters.emplace("_pc", Value(*screen.className()));
  }
  if (isValidScreenValue(screen.name(), nullptr)) parameters.emplace("_pn", Value(*screen.name()));
  return parameters;
}

os::Dictionary LoggedAnalyticsModifier::parameters() const {
  os::Dictionary parameters = extraParameters;
  parameters["screen_name"] = os::Value(screenName);
  parameters["screen_class"] = os::Value(screenClass);
  return parameters;
}

void LoggedAnalyticsModifier::viewDidAppear() const {
  DIZUraruvaze::logEventWithName("screen_view", parameters());
}
