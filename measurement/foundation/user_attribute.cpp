#include "measurement/foundation/user_attribute.h"

#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/monitor_context.h"
#include "measurement/wire/access.h"

namespace measurement {

std::optional<UserAttribute> UserAttribute::create(std::string origin, std::string name,
                                                   Value value, double lastSetTimestamp) {
  if (!DataTypeValidator::isValidInternalUserAttributeName(name, nullptr) ||
      !DataTypeValidator::isValidInternalUserAttributeValue(&value, name, nullptr)) {
    return std::nullopt;
  }
  return UserAttribute(std::move(origin), std::move(name), std::move(value), lastSetTimestamp);
}

bool UserAttribute::isPublic() const { return !name_.empty() && name_.front() != '_'; }

APMPBUserAttribute UserAttribute::protoUserAttribute() const {
  APMPBUserAttribute message;
  // A time too large for int64 milliseconds saturates instead of being undefined.
  APMPBSetInt64(message, kUserAttribute_set_timestamp_millis,
                saturatingInt64(lastSetTimestamp_ * 1000));
  APMPBSetString(message, kUserAttribute_name, name_);
  if (const std::string* text = value_.stringValue()) {
    APMPBSetString(message, kUserAttribute_string_value, *text);
  } else if (value_.isInt64()) {
    APMPBSetInt64(message, kUserAttribute_int_value, value_.int64Value());
  } else if (value_.isDouble()) {
    APMPBSetDouble(message, kUserAttribute_double_value, value_.doubleValue());
  }
  return message;
}

}  // namespace measurement
