#include "measurement/foundation/measurement_user_defaults.h"

#include "os/value/plist.h"
#include "platform/utilities/logger.h"

namespace measurement {
namespace {

os::UserDefaults defaultsFor(std::string_view suiteName) {
  if (!suiteName.empty()) {
    if (std::optional<os::UserDefaults> suite = os::UserDefaults::suite(suiteName)) return *suite;
  }
  return os::UserDefaults::standard();
}

}  // namespace

MeasurementUserDefaults& MeasurementUserDefaults::shared() {
  static MeasurementUserDefaults* shared = new MeasurementUserDefaults();
  return *shared;
}

MeasurementUserDefaults::MeasurementUserDefaults(std::string_view suiteName)
    : defaults_(defaultsFor(suiteName)) {}

os::Value MeasurementUserDefaults::objectForKey(std::string_view key) const {
  if (key.empty()) {
    VDULogAtWarning(kMeasurementLogTag, false, consoleMessageCode(41001),
                    "Cannot get object for invalid user default key.");
    return nullptr;
  }
  return defaults_.objectForKey(key);
}

void MeasurementUserDefaults::setObject(os::Value value, std::string_view key) {
  if (key.empty()) {
    VDULogAtWarning(kMeasurementLogTag, false, consoleMessageCode(41002),
                    "Cannot set object for invalid user default key.");
    return;
  }
  if (!value.isNull() && !os::plist::hasPropertyListForm(value)) {
    VDULogAtWarning(kMeasurementLogTag, false, consoleMessageCode(41003),
                    "Cannot set invalid object to user defaults. Must be a string or number or an "
                    "array. Value %@",
                    value);
    return;
  }
  defaults_.setObject(key, std::move(value));
}

void MeasurementUserDefaults::clearAllData() {
  // Only the domain's own keys can go; removing a key it does not hold changes nothing.
  for (const auto& [key, value] : defaults_.dictionaryRepresentation()) defaults_.removeObject(key);
}

void MeasurementUserDefaults::synchronize() {
  if (!defaults_.synchronize()) {
    VDULogAtError(kMeasurementLogTag, false, consoleMessageCode(41004),
                  "Cannot synchronize user defaults to disk");
  }
}

}  // namespace measurement
