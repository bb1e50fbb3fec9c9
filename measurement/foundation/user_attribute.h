// UserAttribute (APMUserAttribute): one user property of the app instance as the engine keeps
// it: who set it ("app", "auto"), its internal name, its value and when it was last set. Made
// only from a valid name and value; immutable; any thread.
//
//   std::optional<UserAttribute> fot =
//       UserAttribute::create("auto", "_fot", Value(int64_t{1700000000000}), now);
//   APMPBUserAttribute message = fot->protoUserAttribute();
#pragma once

#include <optional>
#include <string>

#include "measurement/foundation/value.h"
#include "measurement/wire/schema/apmpb.h"

namespace measurement {

class UserAttribute {
 public:
  // nullopt, keeping nothing, when `name` fails the internal user-property name rule or `value`
  // the internal user-property value rule for that name (the validator logs why).
  static std::optional<UserAttribute> create(std::string origin, std::string name, Value value,
                                             double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const Value& value() const { return value_; }
  // Seconds since 1970.
  double lastSetTimestamp() const { return lastSetTimestamp_; }
  // A non-empty name that does not begin with "_".
  bool isPublic() const;

  // The upload message: the set time in whole milliseconds (truncated), the name, and the
  // string, integer or double value (an array sets no value field).
  APMPBUserAttribute protoUserAttribute() const;

 private:
  UserAttribute(std::string origin, std::string name, Value value, double lastSetTimestamp)
      : origin_(std::move(origin)),
        name_(std::move(name)),
        value_(std::move(value)),
        lastSetTimestamp_(lastSetTimestamp) {}

  std::string origin_;
  std::string name_;
  Value value_;
  double lastSetTimestamp_;
};

}  // namespace measurement
