#include "measurement/model/event_params.h"

#include <string>
#include <utility>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/monitor.h"
#include "measurement/model/display_names.h"
#include "measurement/wire/access.h"

namespace measurement {
namespace {

// A plain number or string of an item as a Value; std::nullopt for anything else.
std::optional<Value> plainScalar(const os::Value& object) {
  if (!object.isString() && !object.isNumber() && !object.isBool()) return std::nullopt;
  return Value::valueFromObject(object);
}

void logInvalidValue(std::string_view eventName, std::string_view name) {
  monitor().log(MonitorLevel::kErrorSilent, 16005,
                "Invalid event param value. Event name, param name", eventDisplayName(eventName),
                parameterDisplayName(name));
}

void logNestedArray(std::string_view eventName, std::string_view name) {
  monitor().log(MonitorLevel::kErrorSilent, 16007,
                "Nested params cannot have more than 1 level. Event name, param name",
                eventDisplayName(eventName), parameterDisplayName(name));
}

// The `EventParam` of a scalar value.
APMPBEventParam scalarParam(std::string_view name, const Value& value) {
  APMPBEventParam param;
  APMPBSetString(param, kEventParam_name, name);
  if (value.isDouble()) {
    APMPBSetDouble(param, kEventParam_double_value, value.doubleValue());
  } else if (value.isInt64()) {
    APMPBSetInt64(param, kEventParam_int_value, value.int64Value());
  } else if (const std::string* text = value.stringValue()) {
    APMPBSetString(param, kEventParam_string_value, *text);
  }
  return param;
}

// The parameters of one item, whose values are plain.
std::vector<APMPBEventParam> itemParams(const os::Dictionary& item, std::string_view eventName) {
  std::vector<APMPBEventParam> params;
  for (const auto& [name, object] : item) {
    if (object.isArray()) {
      logNestedArray(eventName, name);
    } else if (std::optional<Value> value = plainScalar(object)) {
      params.push_back(scalarParam(name, *value));
    } else {
      logInvalidValue(eventName, name);
    }
  }
  return params;
}

os::Dictionary plainItem(const os::Dictionary& item) {
  os::Dictionary plain;
  for (const auto& [name, object] : item) {
    if (std::optional<Value> value = plainScalar(object)) plain.emplace(name, value->object());
  }
  return plain;
}

}  // namespace

std::vector<APMPBEventParam> eventParamsFromParameters(const Parameters& parameters,
                                                       std::string_view eventName, bool nested) {
  std::vector<APMPBEventParam> params;
  for (const auto& [name, value] : parameters) {
    const os::Array* items = value.arrayValue();
    if (items == nullptr) {
      params.push_back(scalarParam(name, value));
      continue;
    }
    if (nested) {
      logNestedArray(eventName, name);
      continue;
    }
    std::vector<APMPBEventParam> itemList;
    for (const os::Value& item : *items) {
      const os::Dictionary* fields = item.asDictionary();
      if (fields == nullptr) {
        logInvalidValue(eventName, name);
        continue;
      }
      APMPBEventParam itemParam;
      APMPBSetArray(itemParam, kEventParam_param_value, itemParams(*fields, eventName));
      itemList.push_back(std::move(itemParam));
    }
    APMPBEventParam param;
    APMPBSetString(param, kEventParam_name, name);
    APMPBSetArray(param, kEventParam_param_value, itemList);
    params.push_back(std::move(param));
  }
  return params;
}

os::Dictionary plainParametersFromEventParameters(const Parameters& parameters, bool nested) {
  os::Dictionary plain;
  for (const auto& [name, value] : parameters) {
    const os::Array* items = value.arrayValue();
    if (items == nullptr) {
      plain.emplace(name, value.object());
    } else if (!nested) {
      os::Array plainItems;
      for (const os::Value& item : *items) {
        if (const os::Dictionary* fields = item.asDictionary()) {
          plainItems.emplace_back(plainItem(*fields));
        }
      }
      plain.emplace(name, std::move(plainItems));
    }
  }
  return plain;
}

std::optional<Parameters> eventParamsFromProto(const APMPBEventParam& param, bool nested,
                                               os::Error* error) {
  std::optional<std::string> name = APMPBGetString(param, kEventParam_name);
  if (!nested &&
      !requireOrSetError(name.has_value(), error, kInvalidInput, "Event parameter name is empty")) {
    return std::nullopt;
  }
  std::optional<Value> scalar;
  if (std::optional<std::string> text = APMPBGetString(param, kEventParam_string_value)) {
    scalar = Value(std::move(*text));
  } else if (APMPBHasField(param, kEventParam_int_value)) {
    scalar = Value(APMPBGetInt64(param, kEventParam_int_value));
  } else if (APMPBHasField(param, kEventParam_double_value)) {
    scalar = Value(APMPBGetDouble(param, kEventParam_double_value));
  }
  if (scalar) {
    // A nameless value inside an item has no key to live under.
    if (!requireOrSetError(name.has_value(), error, kInvalidInput,
                           "Event parameter name is empty")) {
      return std::nullopt;
    }
    return Parameters{{*name, std::move(*scalar)}};
  }

  std::vector<APMPBEventParam> children =
      APMPBGetArray<APMPBEventParam>(param, kEventParam_param_value);
  if (!requireOrSetError(!children.empty(), error, kOperationFailed,
                         "Failed to parse invalid event params data")) {
    return std::nullopt;
  }
  if (nested) {
    // An item: the values of its children, each under the child's own name.
    Parameters fields;
    for (const APMPBEventParam& child : children) {
      std::optional<std::string> childName = APMPBGetString(child, kEventParam_name);
      std::optional<Parameters> converted = eventParamsFromProto(child, true, nullptr);
      if (!childName || !converted || converted->empty()) continue;
      if (converted->begin()->first == *childName) fields.insert(*converted->begin());
    }
    return fields;
  }
  os::Array items;
  for (const APMPBEventParam& child : children) {
    std::optional<Parameters> item = eventParamsFromProto(child, true, nullptr);
    if (!item) continue;
    os::Dictionary plain;
    for (const auto& [key, value] : *item) plain.emplace(key, value.object());
    items.emplace_back(std::move(plain));
  }
  return Parameters{{*name, Value(std::move(items))}};
}

}  // namespace measurement
