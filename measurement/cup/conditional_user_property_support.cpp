#include "measurement/cup/conditional_user_property_support.h"

#include <string>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/model/parameter_sanitizer.h"

namespace measurement {

std::optional<Event> eventFromTemplate(const std::optional<Event>& eventTemplate,
                                       std::string_view origin, double timestamp) {
  if (!eventTemplate) return std::nullopt;
  return Event::initWithOrigin(origin, false, eventTemplate->name(), timestamp, 0,
                               rawParameters(eventTemplate->parameters()));
}

bool writeUserAttribute(Database& database, std::string_view origin, std::string_view name,
                        const std::optional<Value>& value, double lastSetTimestamp,
                        os::Error* error) {
  std::optional<UserAttribute> attribute;
  if (value) {
    attribute =
        UserAttribute::create(std::string(origin), std::string(name), *value, lastSetTimestamp);
  }
  if (!requireObjectOrSetError(attribute, error, kInvalidInput,
                               "Invalid user property from conditional user property")) {
    return false;
  }
  return database.updateUserAttribute(*attribute, error);
}

}  // namespace measurement
