#include "measurement/model/parameter_sanitizer.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>
#include <span>
#include <sstream>
#include <utility>

#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/settings.h"
#include "measurement/model/display_names.h"
#include "measurement/model/error_parameters.h"
#include "measurement/model/event_names.h"

namespace measurement {
namespace {

// The limit of "_ev" for name and array errors, also the longest internal parameter name.
constexpr int32_t kNameLimit = 40;

bool isInternalEvent(std::optional<std::string_view> eventName) {
  return eventName &&
         (publicToInternalEventNames().contains(*eventName) || eventName->starts_with("_"));
}

// Whether `key` passes the name checks; the first refusal is recorded in `errors`.
bool isValidParameterKey(std::string_view key, bool isPublic, Parameters& errors) {
  int32_t failure = kValidationValid;
  if ((!isPublic || DataTypeValidator::isValidPublicEventParameterName(key, &failure)) &&
      DataTypeValidator::isValidInternalEventParameterName(key, &failure)) {
    return true;
  }
  if (failure != kValidationValid && !errors.contains("_err")) {
    int64_t code = failure == kValidationReserved ? 14 : 3;
    std::optional<Value> longName;
    if (apm_UTF32Length(key) > kNameLimit) longName = Value(std::string(key));
    addErrorParameters(errors, code, key, kNameLimit, longName ? &*longName : nullptr);
  }
  return false;
}

os::Dictionary plainDictionary(const Parameters& parameters) {
  os::Dictionary plain;
  for (const auto& [name, value] : parameters) plain.emplace(name, value.object());
  return plain;
}

// The items of an array parameter, each sanitised as an item; std::nullopt when the array is not
// allowed here. `failure` receives the validator's array failure (also when only the first 200
// items were kept).
std::optional<Value> arrayParameterValue(const os::Array& array, std::string_view parameterName,
                                         std::optional<std::string_view> eventName,
                                         Parameters& output, bool nested, bool isPublic,
                                         int32_t& failure) {
  std::span<const os::Value> items(array);
  if (!DataTypeValidator::isValidArrayParamForEvent(eventName.value_or(""), parameterName,
                                                    array.size(), nested, &failure)) {
    if (failure != kValidationTooManyItems) return std::nullopt;
    items = items.first(DataTypeValidator::kMaxItemCount);
  }
  os::Array kept;
  for (size_t index = 0; index < items.size(); ++index) {
    const os::Value& item = items[index];
    if (DataTypeValidator::isValidArrayParamItem(item, nullptr)) {
      std::optional<Parameters> sanitized =
          sanitizedEventParameters(rawParameters(*item.asDictionary()), eventName, isPublic, true);
      if (sanitized) kept.emplace_back(plainDictionary(*sanitized));
    } else {
      addErrorParameters(output, 4, fmt::format("{}[{}]", parameterName, index), kNameLimit,
                         nullptr);
    }
  }
  return Value(std::move(kept));
}

void addArrayParameterError(Parameters& output, int32_t failure, std::string_view parameterName,
                            std::optional<std::string_view> eventName) {
  switch (failure) {
    case kValidationArrayNotAllowedForEvent:
      addErrorParameters(output, 21, eventName, kNameLimit, nullptr);
      break;
    case kValidationArrayNameNotItems:
      addErrorParameters(output, 20, parameterName, kNameLimit, nullptr);
      break;
    case kValidationTooManyItems:
      addErrorParameters(output, 17, parameterName, kNameLimit, nullptr);
      break;
    case kValidationNestedArray:
      addErrorParameters(output, 22, parameterName, kNameLimit, nullptr);
      break;
    default:
      break;
  }
}

std::string typeName(const os::Value& value) {
  std::ostringstream name;
  name << value.type();
  return name.str();
}

void applyCountLimit(Parameters& result, bool isItem, Settings& settings) {
  if (isItem) {
    int32_t limit =
        settings.itemScopedCustomParameterEnabled() ? settings.maxItemScopedCustomParameters() : 0;
    if (countPublicParameters(result, true) <= limit) return;
    trimPublicParameters(result, limit, true);
    setErrorCodeIfAbsent(result, limit > 0 ? 28 : 23);
    monitor().log(MonitorLevel::kError, 18016, "Item cannot contain custom parameters");
    return;
  }
  int32_t limit = settings.maxPublicEventParams();
  if (countPublicParameters(result, false) <= limit) return;
  trimPublicParameters(result, limit, false);
  setErrorCodeIfAbsent(result, 5);
  monitor().log(MonitorLevel::kErrorSampled, 18017,
                fmt::format("Event cannot contain more than {} parameters", limit));
}

}  // namespace

RawParameters rawParameters(const os::Dictionary& parameters) {
  return RawParameters(parameters.begin(), parameters.end());
}

RawParameters rawParameters(const Parameters& parameters) {
  return RawParameters(parameters.begin(), parameters.end());
}

std::optional<Parameters> sanitizedEventParameters(const RawParameters& parameters,
                                                   std::optional<std::string_view> eventName,
                                                   bool isPublic, bool isItem) {
  if (parameters.empty()) return std::nullopt;
  std::shared_ptr<Settings> settings = remoteSettings();
  const auto internalLimit = static_cast<size_t>(settings->maxInternalEventParameterValueLength());
  const bool internalEvent = isInternalEvent(eventName);

  std::set<std::string_view> removed;
  Parameters output;  // the converted values and the error parameters
  for (const auto& [key, raw] : parameters) {
    if (!isValidParameterKey(key, isPublic, output)) {
      removed.insert(key);
      continue;
    }
    const Value* typed = std::get_if<Value>(&raw);
    std::optional<Value> value =
        typed ? *typed : Value::valueFromObject(std::get<os::Value>(raw), true);
    if (!value) {
      monitor().log(MonitorLevel::kWarning, 18015,
                    "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
                    typeName(std::get<os::Value>(raw)));
      removed.insert(key);
      continue;
    }

    bool isRemoved = false;
    bool keepsTrimmedErrorValue = false;
    int32_t valueFailure = kValidationValid;
    int32_t arrayFailure = kValidationValid;
    if (isPublic && !DataTypeValidator::isValidPublicEventParameterValue(&*value, &valueFailure)) {
      isRemoved = true;
    } else if (key == "_ev") {
      // An error value that an earlier pass trimmed (limit + 3 scalars ending in "...") stays.
      std::string text = value->stringValue() ? *value->stringValue() : value->description();
      size_t length = apm_UTF32Length(text);
      bool trimmedBefore = length == internalLimit + 3 && text.ends_with("...");
      if (length > internalLimit && !trimmedBefore) {
        Value full(text);
        addErrorValueParameters(output, text, static_cast<int32_t>(internalLimit), &full);
        // Whatever an earlier error left, the result never holds the untrimmed text.
        output.try_emplace("_ev", trimmedToLimit(text, static_cast<int32_t>(internalLimit)));
        keepsTrimmedErrorValue = true;
      }
    } else if (internalEvent &&
               !DataTypeValidator::isValidInternalEventParameterValue(&*value, &valueFailure)) {
      isRemoved = true;
    } else if (value->isArray() && !typed) {
      std::optional<Value> items = arrayParameterValue(*value->arrayValue(), key, eventName, output,
                                                       isItem, isPublic, arrayFailure);
      if (items) {
        value = std::move(items);
      } else {
        isRemoved = true;
      }
    }

    if (isRemoved && valueFailure == kValidationTooLong && !output.contains("_err")) {
      addErrorParameters(output, 4, key, kNameLimit, value->isString() ? &*value : nullptr);
    }
    if (arrayFailure != kValidationValid) {
      addArrayParameterError(output, arrayFailure, key, eventName);
    }
    if (isRemoved) {
      removed.insert(key);
    } else if (!typed && !keepsTrimmedErrorValue) {
      output.insert_or_assign(key, std::move(*value));
    }
  }

  if (removed.size() == parameters.size()) return output;
  // The kept input over which the output lies: only values typed before are still missing.
  Parameters result = std::move(output);
  for (const auto& [key, raw] : parameters) {
    const Value* typed = std::get_if<Value>(&raw);
    if (typed && !removed.contains(key)) result.try_emplace(key, *typed);
  }
  applyCountLimit(result, isItem, *settings);
  return result;
}

int32_t countPublicParameters(const Parameters& parameters, bool itemScope) {
  int32_t count = 0;
  for (const auto& [name, value] : parameters) {
    if (isPublicName(name) && !(itemScope && itemParameterNames().contains(name))) ++count;
  }
  return count;
}

void trimPublicParameters(Parameters& parameters, int32_t limit, bool itemScope) {
  int32_t count = countPublicParameters(parameters, itemScope);
  for (auto entry = parameters.end(); count > limit && entry != parameters.begin();) {
    --entry;
    const std::string& name = entry->first;
    if (isPublicName(name) && !(itemScope && itemParameterNames().contains(name))) {
      entry = parameters.erase(entry);
      --count;
    }
  }
}

void trimToPublicParameterLimit(Parameters& parameters, int32_t limit) {
  trimPublicParameters(parameters, limit, false);
}

bool hasValidValueAndCurrency(Parameters& parameters) {
  auto value = parameters.find("value");
  if (value == parameters.end()) return true;
  auto currency = parameters.find("currency");
  bool numeric = DataTypeValidator::isValidNumericValue(&value->second, nullptr);
  if (numeric && DataTypeValidator::isValidCurrencyCode(
                     currency == parameters.end() ? nullptr : &currency->second, nullptr)) {
    return true;
  }
  int32_t limit = remoteSettings()->maxInternalEventParameterValueLength();
  parameters.erase(value);
  if (!numeric) {
    addErrorParameters(parameters, 18, "value", limit, nullptr);
  } else {
    monitor().log(MonitorLevel::kWarning, 18014,
                  "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency "
                  "code in the currency parameter.");
    addErrorParameters(parameters, 19, "currency", limit, nullptr);
  }
  return false;
}

bool hasArrayParameter(const RawParameters& parameters) {
  return std::any_of(parameters.begin(), parameters.end(), [](const auto& entry) {
    const Value* typed = std::get_if<Value>(&entry.second);
    return typed ? typed->isArray() : std::get<os::Value>(entry.second).isArray();
  });
}

os::text::Order compareNamesInEnglishLocale(std::optional<std::string_view> a,
                                            std::optional<std::string_view> b) {
  if (!a || !b) {
    if (a.has_value() == b.has_value()) return os::text::Order::Same;
    return a ? os::text::Order::Descending : os::text::Order::Ascending;
  }
  return os::text::compareInLocale(*a, *b, "en_US");
}

std::vector<std::string> validatedParameterKeys(const RawParameters& parameters, bool isPublic,
                                                Parameters& errorParameters) {
  std::vector<std::string> keys;
  for (const auto& [key, raw] : parameters) {
    if (!isValidParameterKey(key, isPublic, errorParameters)) continue;
    const auto* object = std::get_if<os::Value>(&raw);
    if (object && !object->isNumber() && !object->isBool() && !object->isString() &&
        !object->isArray()) {
      monitor().log(MonitorLevel::kErrorSampled, 18005,
                    "Invalid event parameter. Parameter must be a number, string or array. Param "
                    "key, param value",
                    parameterDisplayName(key), OtherContext{object->description()});
      addErrorParameters(errorParameters, 4, key, kNameLimit, nullptr);
    }
    keys.push_back(key);
  }
  std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return compareNamesInEnglishLocale(a, b) == os::text::Order::Ascending;
  });
  return keys;
}

}  // namespace measurement
