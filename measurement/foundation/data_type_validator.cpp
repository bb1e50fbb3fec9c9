#include "measurement/foundation/data_type_validator.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <string>

#include "measurement/foundation/data_extensions.h"
#include "measurement/foundation/event_names.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric.h"
#include "measurement/foundation/settings.h"
#include "os/text/text.h"

namespace measurement {
namespace {

constexpr int64_t kStringMessage = 13000;
constexpr int64_t kMissingMessage = 13001;
constexpr int64_t kCharactersMessage = 13002;
constexpr int64_t kFirstLetterMessage = 13003;
constexpr int64_t kNilValueMessage = 13004;

bool fail(int32_t* failureCode, int32_t code) {
  if (failureCode) *failureCode = code;
  return false;
}

bool pass(int32_t* failureCode) {
  if (failureCode) *failureCode = kValidationValid;
  return true;
}

// The type's name followed by `suffix`: "Event name is too long...".
std::string validationMessage(ValidatedType type, std::string_view suffix) {
  static constexpr std::array<std::string_view, 10> kTypeNames{
      "Event name",
      "Event origin",
      "Event parameter name",
      "Event parameter value",
      "User property name",
      "User property value",
      "Screen parameter value",
      "Conditional user property origin",
      "Conditional user property name",
      "Conditional user property value",
  };
  auto index = static_cast<size_t>(type);
  std::string message(index < kTypeNames.size() ? kTypeNames[index] : "Object");
  message += suffix;
  return message;
}

// Refusals of parameter and user-property values are warnings; of everything else, errors.
int64_t stringRuleLevel(ValidatedType type) {
  return type == ValidatedType::kEventParameterValue || type == ValidatedType::kUserPropertyValue
             ? 3
             : 0;
}

void logValidation(int64_t level, int64_t code, ValidatedType type, std::string_view suffix,
                   std::vector<MonitorContext> contexts = {}) {
  monitor().logWithContexts(level, code, validationMessage(type, suffix), std::move(contexts));
}

// Calls `visit` with each Unicode scalar of `text` (ill-formed bytes as U+FFFD) until it
// answers false; answers whether every call answered true.
template <typename Visit>
bool everyScalar(std::string_view text, Visit visit) {
  int32_t offset = 0;
  auto length = static_cast<int32_t>(text.size());
  while (offset < length) {
    UChar32 scalar;
    U8_NEXT(text.data(), offset, length, scalar);
    if (scalar < 0) scalar = 0xFFFD;
    if (!visit(scalar)) return false;
  }
  return true;
}

bool isAsciiLetter(UChar32 scalar) {
  return (scalar >= 'a' && scalar <= 'z') || (scalar >= 'A' && scalar <= 'Z');
}

// A letter of any script; combining marks are not letters. ASCII, the common case, is answered
// without a look-up.
bool isLetter(UChar32 scalar) {
  if (scalar < 0x80) return isAsciiLetter(scalar);
  return (U_GET_GC_MASK(scalar) & U_GC_L_MASK) != 0;
}

bool isNameCharacter(UChar32 scalar) {
  if (scalar < 0x80)
    return scalar == '_' || isAsciiLetter(scalar) || (scalar >= '0' && scalar <= '9');
  return isLetter(scalar) || u_charType(scalar) == U_DECIMAL_DIGIT_NUMBER;
}

// nullptr for an absent value; a present one as the value itself (the "isValueInstance" step).
bool isValueInstance(const Value* value, ValidatedType type, int32_t* failureCode) {
  if (value == nullptr) {
    logValidation(3, kNilValueMessage, type, " cannot be nil");
    return fail(failureCode, kValidationMissing);
  }
  return true;
}

int32_t publicValueLimit() { return remoteSettings()->maxPublicEventParameterValueLength(); }

}  // namespace

bool DataTypeValidator::isValidString(const os::Value& value, int32_t minLength, int32_t maxLength,
                                      ValidatedType type, int32_t* failureCode) {
  if (value.isNull()) {
    logValidation(stringRuleLevel(type), kMissingMessage, type, " is required and can't be nil");
    return fail(failureCode, kValidationMissing);
  }
  const std::string* text = value.asString();
  if (text == nullptr) {
    logValidation(stringRuleLevel(type), kStringMessage, type, " must be of type NSString",
                  {OtherContext{value.description()}});
    return fail(failureCode, kValidationWrongType);
  }
  return isValidString(std::string_view(*text), minLength, maxLength, type, failureCode);
}

bool DataTypeValidator::isValidString(std::string_view text, int32_t minLength, int32_t maxLength,
                                      ValidatedType type, int32_t* failureCode) {
  int64_t level = stringRuleLevel(type);
  if (text.empty() && minLength >= 1) {
    if (level == 0) {
      logValidation(level, kMissingMessage, type, " is required and can't be empty");
    }
    return fail(failureCode, kValidationMissing);
  }
  size_t length = apm_UTF32Length(text);
  if (length > static_cast<size_t>(std::max(maxLength, 0))) {
    logValidation(level, kStringMessage, type,
                  " is too long. The maximum supported length is " + std::to_string(maxLength),
                  {std::string(text)});
    return fail(failureCode, kValidationTooLong);
  }
  if (static_cast<int64_t>(length) < minLength) {
    logValidation(level, kStringMessage, type,
                  " is too short. The minimum supported length is " + std::to_string(minLength),
                  {std::string(text)});
    return fail(failureCode, kValidationTooShort);
  }
  return pass(failureCode);
}

bool DataTypeValidator::isValidInternalName(std::string_view name, int32_t maxLength,
                                            ValidatedType type, int32_t* failureCode) {
  if (!isValidString(name, 1, maxLength, type, failureCode)) return false;
  if (!everyScalar(name, isNameCharacter)) {
    logValidation(0, kCharactersMessage, type,
                  " must contain only letters, numbers, or underscores", {std::string(name)});
    return fail(failureCode, kValidationBadCharacters);
  }
  return pass(failureCode);
}

bool DataTypeValidator::isValidPublicName(std::string_view name, int32_t maxLength,
                                          ValidatedType type, int32_t* failureCode) {
  if (!isValidInternalName(name, maxLength, type, failureCode)) return false;
  bool first = true;
  bool startsWithLetter = false;
  everyScalar(name, [&](UChar32 scalar) {
    if (first) startsWithLetter = isLetter(scalar);
    first = false;
    return false;
  });
  if (!startsWithLetter) {
    logValidation(0, kFirstLetterMessage, type, " must start with a letter", {std::string(name)});
    return fail(failureCode, kValidationBadCharacters);
  }
  return pass(failureCode);
}

bool DataTypeValidator::isValidValue(const Value* value, int32_t minLength, int32_t maxLength,
                                     ValidatedType type, int32_t* failureCode) {
  if (!isValueInstance(value, type, failureCode)) return false;
  if (const std::string* text = value->stringValue()) {
    return isValidString(std::string_view(*text), minLength, maxLength, type, failureCode);
  }
  return pass(failureCode);
}

bool DataTypeValidator::hasReservedPrefixes(std::string_view name) {
  return name.starts_with("riveravo_") || name.starts_with("vedodo_") || name.starts_with("ga_");
}

bool DataTypeValidator::isValidPublicEventName(std::string_view name, int32_t* failureCode) {
  if (!isValidPublicName(name, kMaxEventNameLength, ValidatedType::kEventName, failureCode)) {
    return false;
  }
  if (name == "screen_view") return pass(failureCode);
  if (publicToInternalEventNames().contains(name) && !allowedPublicAdEventNames().contains(name)) {
    monitor().log(MonitorLevel::kError, 13006, "Event name is reserved. Ignoring event",
                  std::string(name));
    return fail(failureCode, kValidationReserved);
  }
  if (hasReservedPrefixes(name)) {
    monitor().log(MonitorLevel::kError, 13007, "Event name uses reserved prefix. Ignoring event",
                  std::string(name));
    return fail(failureCode, kValidationReserved);
  }
  return pass(failureCode);
}

bool DataTypeValidator::isValidInternalEventName(std::string_view name, int32_t* failureCode) {
  return isValidInternalName(name, kMaxEventNameLength, ValidatedType::kEventName, failureCode);
}

bool DataTypeValidator::isValidInternalEventOrigin(std::string_view origin, int32_t* failureCode) {
  return isValidInternalName(origin, kMaxEventOriginLength, ValidatedType::kEventOrigin,
                             failureCode);
}

bool DataTypeValidator::isValidForwardedEventOrigin(std::string_view origin, int32_t* failureCode) {
  static constexpr std::string_view kSuffix = "+gtm";
  if (origin.empty()) return fail(failureCode, kValidationMissing);
  if (!origin.ends_with(kSuffix)) return fail(failureCode, kValidationNotForwardedOrigin);
  origin.remove_suffix(kSuffix.size());
  return isValidInternalName(origin, kMaxEventOriginLength, ValidatedType::kEventOrigin,
                             failureCode);
}

bool DataTypeValidator::isValidPublicEventParameterName(std::string_view name,
                                                        int32_t* failureCode) {
  if (!isValidPublicName(name, kMaxEventParameterNameLength, ValidatedType::kEventParameterName,
                         failureCode)) {
    return false;
  }
  if (hasReservedPrefixes(name)) {
    monitor().log(MonitorLevel::kError, 13008,
                  "Parameter name uses reserved prefix. Ignoring parameter", std::string(name));
    return fail(failureCode, kValidationReserved);
  }
  return pass(failureCode);
}

bool DataTypeValidator::isValidInternalEventParameterName(std::string_view name,
                                                          int32_t* failureCode) {
  return isValidInternalName(name, kMaxEventParameterNameLength, ValidatedType::kEventParameterName,
                             failureCode);
}

bool DataTypeValidator::isValidPublicEventParameterValue(const Value* value, int32_t* failureCode) {
  return isValidValue(value, 0, publicValueLimit(), ValidatedType::kEventParameterValue,
                      failureCode);
}

bool DataTypeValidator::isValidInternalEventParameterValue(const Value* value,
                                                           int32_t* failureCode) {
  return isValidValue(value, 0, remoteSettings()->maxInternalEventParameterValueLength(),
                      ValidatedType::kEventParameterValue, failureCode);
}

bool DataTypeValidator::isValidScreenParameterValue(const os::Value& value, int32_t* failureCode) {
  return isValidString(value, 1, publicValueLimit(), ValidatedType::kScreenParameterValue,
                       failureCode);
}

bool DataTypeValidator::isValidPublicUserAttributeName(std::string_view name,
                                                       int32_t* failureCode) {
  if (!isValidPublicName(name, kMaxUserPropertyNameLength, ValidatedType::kUserPropertyName,
                         failureCode)) {
    return false;
  }
  if (userPropertyInternalNames().contains(name)) {
    monitor().log(MonitorLevel::kError, 13009,
                  "User property name is reserved. Ignoring user property", std::string(name));
    return fail(failureCode, kValidationReserved);
  }
  if (hasReservedPrefixes(name)) {
    monitor().log(MonitorLevel::kError, 13010,
                  "User property name uses reserved prefix. Ignoring user property",
                  std::string(name));
    return fail(failureCode, kValidationReserved);
  }
  return pass(failureCode);
}

bool DataTypeValidator::isValidPublicUserAttributeValue(const Value* value, int32_t* failureCode) {
  return isValidValue(value, 1, kMaxUserPropertyValueLength, ValidatedType::kUserPropertyValue,
                      failureCode);
}

bool DataTypeValidator::isValidInternalUserAttributeName(std::string_view name,
                                                         int32_t* failureCode) {
  return isValidInternalName(name, kMaxUserPropertyNameLength, ValidatedType::kUserPropertyName,
                             failureCode);
}

bool DataTypeValidator::isValidInternalUserAttributeValue(const Value* value, std::string_view name,
                                                          int32_t* failureCode) {
  bool longValue = name == "_id" || name == "_gbraid" || name == "_psmvalue";
  return isValidValue(value, 1,
                      longValue ? kMaxLongUserPropertyValueLength : kMaxUserPropertyValueLength,
                      ValidatedType::kUserPropertyValue, failureCode);
}

bool DataTypeValidator::isValidConditionalUserPropertyOrigin(std::string_view origin,
                                                             int32_t* failureCode) {
  return isValidInternalName(origin, kMaxEventOriginLength,
                             ValidatedType::kConditionalUserPropertyOrigin, failureCode);
}

bool DataTypeValidator::isValidConditionalUserPropertyName(std::string_view name,
                                                           int32_t* failureCode) {
  return isValidInternalName(name, kMaxUserPropertyNameLength,
                             ValidatedType::kConditionalUserPropertyName, failureCode);
}

bool DataTypeValidator::isValidConditionalUserPropertyValue(const Value* value,
                                                            int32_t* failureCode) {
  return isValidValue(value, 1, kMaxUserPropertyValueLength,
                      ValidatedType::kConditionalUserPropertyValue, failureCode);
}

bool DataTypeValidator::isValidNumericValue(const Value* value, int32_t* failureCode) {
  if (!isValueInstance(value, ValidatedType::kEventParameterValue, failureCode)) return false;
  if (value->isInt64() || value->isDouble()) return pass(failureCode);
  logValidation(3, 13011, ValidatedType::kEventParameterValue,
                " must be specified with a numeric type. value", {value->description()});
  return fail(failureCode, kValidationNotNumeric);
}

bool DataTypeValidator::isValidCurrencyCode(const Value* value, int32_t* failureCode) {
  if (!isValueInstance(value, ValidatedType::kEventParameterValue, failureCode)) return false;
  const std::string* code = value->stringValue();
  if (code && os::text::utf16Length(*code) == 3 && everyScalar(*code, isLetter)) {
    return pass(failureCode);
  }
  logValidation(3, 13012, ValidatedType::kEventParameterValue,
                " must contain a 3-letter ISO_4217 currency code. value",
                {OtherContext{value->description()}});
  return fail(failureCode, kValidationNotCurrencyCode);
}

bool DataTypeValidator::isValidArrayParamForEvent(std::string_view eventName,
                                                  std::string_view paramName, size_t arrayCount,
                                                  bool isNestedArrayParam, int32_t* failureCode) {
  constexpr int64_t kArrayMessage = 13013;
  if (isNestedArrayParam) {
    monitor().log(MonitorLevel::kError, kArrayMessage,
                  "Nested array parameters are not allowed. Name", std::string(paramName));
    return fail(failureCode, kValidationNestedArray);
  }
  if (!itemsArrayEventNames().contains(eventName)) {
    monitor().log(
        MonitorLevel::kError, kArrayMessage,
        "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
        std::string(eventName));
    return fail(failureCode, kValidationArrayNotAllowedForEvent);
  }
  if (paramName != "items") {
    logValidation(0, kArrayMessage, ValidatedType::kEventParameterName,
                  " is an invalid ecommerce items. The name of array parameters for ecommerce "
                  "should be \"items\". Invalid parameter name",
                  {std::string(paramName)});
    return fail(failureCode, kValidationArrayNameNotItems);
  }
  if (arrayCount > static_cast<size_t>(kMaxItemCount)) {
    monitor().log(MonitorLevel::kError, kArrayMessage,
                  "Array parameter has too many items. The maximum number of supported "
                  "items is 200. Invalid array size",
                  static_cast<int64_t>(arrayCount));
    return fail(failureCode, kValidationTooManyItems);
  }
  return pass(failureCode);
}

bool DataTypeValidator::isValidArrayParamItem(const os::Value& item, int32_t* failureCode) {
  if (item.isDictionary()) return pass(failureCode);
  monitor().log(MonitorLevel::kError, 13014, "Array param must be a dictionary. Parameters",
                OtherContext{item.description()});
  return fail(failureCode, kValidationItemNotDictionary);
}

}  // namespace measurement
