#include "measurement/database/event_params_conversion.h"

#include <vector>

#include "measurement/foundation/measurement_error.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

os::Dictionary dictionaryOf(const std::map<std::string, Value>& values) {
  os::Dictionary dictionary;
  for (const auto& [name, value] : values) dictionary[name] = value.object();
  return dictionary;
}

}  // namespace

std::optional<std::map<std::string, Value>> eventParamsFromProto(const APMPBEventParam* param,
                                                                 bool nested, os::Error* error) {
  if (!requireOrSetError(param != nullptr, error, kInvalidInput,
                         "Failed to parse empty event params data")) {
    return std::nullopt;
  }
  std::string name = APMPBGetString(*param, kEventParam_name).value_or("");
  if (!nested && !requireOrSetError(APMPBHasField(*param, kEventParam_name) && !name.empty(), error,
                                    kInvalidInput, "Event parameter name is empty")) {
    return std::nullopt;
  }
  if (APMPBHasField(*param, kEventParam_string_value)) {
    return std::map<std::string, Value>{
        {name, Value(APMPBGetString(*param, kEventParam_string_value).value_or(""))}};
  }
  if (APMPBHasField(*param, kEventParam_int_value)) {
    return std::map<std::string, Value>{
        {name, Value(APMPBGetInt64(*param, kEventParam_int_value))}};
  }
  if (APMPBHasField(*param, kEventParam_double_value)) {
    return std::map<std::string, Value>{
        {name, Value(APMPBGetDouble(*param, kEventParam_double_value))}};
  }
  std::vector<APMPBEventParam> children =
      APMPBGetArray<APMPBEventParam>(*param, kEventParam_param_value);
  if (!requireOrSetError(!children.empty(), error, kOperationFailed,
                         "Failed to parse invalid event params data")) {
    return std::nullopt;
  }
  if (!nested) {
    os::Array items;
    for (const APMPBEventParam& child : children) {
      // A child that does not convert is left out; its error is not this parameter's.
      if (auto values = eventParamsFromProto(&child, true, nullptr)) {
        items.push_back(dictionaryOf(*values));
      }
    }
    return std::map<std::string, Value>{{name, Value(std::move(items))}};
  }
  std::map<std::string, Value> values;
  for (const APMPBEventParam& child : children) {
    std::string childName = APMPBGetString(child, kEventParam_name).value_or("");
    auto childValues = eventParamsFromProto(&child, true, nullptr);
    if (!childValues) continue;
    auto own = childValues->find(childName);
    if (own != childValues->end()) values.insert_or_assign(childName, own->second);
  }
  return values;
}

os::Value storageValueFromValue(const Value& value) {
  if (const std::string* text = value.stringValue()) return os::Value(*text);
  if (value.isDouble()) return os::Value(value.doubleValue());
  return os::Value(value.int64Value());
}

}  // namespace measurement
