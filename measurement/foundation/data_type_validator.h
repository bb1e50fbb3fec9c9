// DataTypeValidator: every rule a name or value must pass before it enters the measurement
// system. Each check answers whether the input is valid, logs its own refusal through the
// monitor and, when `failureCode` is not null, writes the reason there (0 when valid):
//
//   int32_t failure = 0;
//   if (!DataTypeValidator::isValidPublicEventName(name, &failure)) dropEvent(failure);
//
// Lengths count Unicode scalar values (an emoji counts 1), except the currency code's 3 UTF-16
// units. Names hold only letters (Unicode letters; combining marks are not letters), decimal
// digits and "_". Value limits come from the server settings of remoteSettings(). Stateless;
// any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "measurement/foundation/value.h"
#include "os/value/value.h"

namespace measurement {

// Failure codes.
enum ValidationFailure : int32_t {
  kValidationValid = 0,
  kValidationMissing = 1,  // nil, or empty where a value is required
  kValidationTooLong = 2,
  kValidationBadCharacters = 3,  // not letters, digits and "_", or not starting with a letter
  kValidationReserved = 4,       // reserved name or reserved prefix
  kValidationWrongType = 5,
  kValidationNotForwardedOrigin = 6,  // no "+gtm" suffix
  kValidationTooShort = 7,
  kValidationNotNumeric = 8,
  kValidationNotCurrencyCode = 9,
  kValidationArrayNotAllowedForEvent = 10,
  kValidationArrayNameNotItems = 11,
  kValidationTooManyItems = 12,
  kValidationNestedArray = 13,
  kValidationItemNotDictionary = 14,
};

// What is checked; it names the thing in the messages ("Event name is too long...").
enum class ValidatedType : int32_t {
  kEventName = 0,
  kEventOrigin = 1,
  kEventParameterName = 2,
  kEventParameterValue = 3,
  kUserPropertyName = 4,
  kUserPropertyValue = 5,
  kScreenParameterValue = 6,
  kConditionalUserPropertyOrigin = 7,
  kConditionalUserPropertyName = 8,
  kConditionalUserPropertyValue = 9,
};

class DataTypeValidator {
 public:
  static constexpr int32_t kMaxEventNameLength = 40;
  static constexpr int32_t kMaxEventOriginLength = 32;
  static constexpr int32_t kMaxEventParameterNameLength = 40;
  static constexpr int32_t kMaxUserPropertyNameLength = 24;
  static constexpr int32_t kMaxUserPropertyValueLength = 36;
  static constexpr int32_t kMaxLongUserPropertyValueLength = 256;
  static constexpr int32_t kMaxItemCount = 200;

  // Base rules.
  // A string of `minLength` to `maxLength` scalars: null is missing (1), another kind the wrong
  // type (5), an empty string missing when a value is required (unlogged for parameter and user
  // property values).
  static bool isValidString(const os::Value& value, int32_t minLength, int32_t maxLength,
                            ValidatedType type, int32_t* failureCode);
  static bool isValidString(std::string_view text, int32_t minLength, int32_t maxLength,
                            ValidatedType type, int32_t* failureCode);
  // A non-empty string of name characters.
  static bool isValidInternalName(std::string_view name, int32_t maxLength, ValidatedType type,
                                  int32_t* failureCode);
  // An internal name that starts with a letter.
  static bool isValidPublicName(std::string_view name, int32_t maxLength, ValidatedType type,
                                int32_t* failureCode);
  // A value (nullptr: missing) whose string, when it holds one, has `minLength` to `maxLength`
  // scalars; numbers and arrays pass.
  static bool isValidValue(const Value* value, int32_t minLength, int32_t maxLength,
                           ValidatedType type, int32_t* failureCode);
  // Begins with "riveravo_", "vedodo_" or "ga_".
  static bool hasReservedPrefixes(std::string_view name);

  // Events.
  // A public name of at most 40; a name of the reserved event table (but "screen_view" and
  // "ad_impression") or with a reserved prefix is refused (4).
  static bool isValidPublicEventName(std::string_view name, int32_t* failureCode);
  static bool isValidInternalEventName(std::string_view name, int32_t* failureCode);
  static bool isValidInternalEventOrigin(std::string_view origin, int32_t* failureCode);
  // "<internal name of at most 32>+gtm"; empty (1) and no suffix (6) are not logged.
  static bool isValidForwardedEventOrigin(std::string_view origin, int32_t* failureCode);
  static bool isValidPublicEventParameterName(std::string_view name, int32_t* failureCode);
  static bool isValidInternalEventParameterName(std::string_view name, int32_t* failureCode);
  static bool isValidPublicEventParameterValue(const Value* value, int32_t* failureCode);
  static bool isValidInternalEventParameterValue(const Value* value, int32_t* failureCode);
  // A string of 1 to the public parameter-value limit.
  static bool isValidScreenParameterValue(const os::Value& value, int32_t* failureCode);

  // User properties.
  static bool isValidPublicUserAttributeName(std::string_view name, int32_t* failureCode);
  static bool isValidPublicUserAttributeValue(const Value* value, int32_t* failureCode);
  static bool isValidInternalUserAttributeName(std::string_view name, int32_t* failureCode);
  // Up to 256 scalars for "_id", "_gbraid" and "_psmvalue", else 36.
  static bool isValidInternalUserAttributeValue(const Value* value, std::string_view name,
                                                int32_t* failureCode);
  static bool isValidConditionalUserPropertyOrigin(std::string_view origin, int32_t* failureCode);
  static bool isValidConditionalUserPropertyName(std::string_view name, int32_t* failureCode);
  static bool isValidConditionalUserPropertyValue(const Value* value, int32_t* failureCode);

  // Numbers, currencies and item arrays.
  static bool isValidNumericValue(const Value* value, int32_t* failureCode);
  // A string of exactly 3 letters, any case.
  static bool isValidCurrencyCode(const Value* value, int32_t* failureCode);
  // Not nested (13), on an items-array event (10), named "items" (11), at most 200 items (12).
  static bool isValidArrayParamForEvent(std::string_view eventName, std::string_view paramName,
                                        size_t arrayCount, bool isNestedArrayParam,
                                        int32_t* failureCode);
  // A dictionary.
  static bool isValidArrayParamItem(const os::Value& item, int32_t* failureCode);
};

}  // namespace measurement
