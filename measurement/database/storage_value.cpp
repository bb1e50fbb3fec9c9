#include "measurement/database/storage_value.h"

namespace measurement {

os::Value storageValueFromValue(const Value& value) {
  if (const std::string* text = value.stringValue()) return os::Value(*text);
  if (value.isDouble()) return os::Value(value.doubleValue());
  return os::Value(value.int64Value());
}

}  // namespace measurement
