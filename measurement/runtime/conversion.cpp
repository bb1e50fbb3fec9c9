#include "measurement/runtime/conversion.h"

#include <cmath>

#include "measurement/runtime/collection.h"
#include "measurement/runtime/commands.h"
#include "measurement/runtime/scope.h"
#include "measurement/wire/access.h"
#include "os/text/text.h"

namespace measurement::runtime {

namespace {

// Containers being converted to host values, to stop at a cycle.
thread_local std::vector<const HeapValue*> converting;

class ConvertingGuard {
 public:
  explicit ConvertingGuard(const HeapValue* value) { converting.push_back(value); }
  ~ConvertingGuard() { converting.pop_back(); }
};

// False with runtime error 10 when `value` is already being converted (a cycle), or 18 when the
// nesting is too deep.
bool enter(const HeapValue* value, os::Error* error) {
  for (const HeapValue* outer : converting) {
    if (outer == value) return runtimeError(error, kWrongKind);
  }
  return converting.size() < size_t(kMaxNesting) || runtimeError(error, kLimit);
}

Ref<APMPStringValue> text(const std::optional<std::string>& value, StringInterner* interner) {
  std::u16string utf16 = value ? os::text::toUtf16(*value) : std::u16string();
  return interner ? interner->intern(std::move(utf16)) : makeName(std::move(utf16));
}

}  // namespace

Ref<APMPStringValue> StringInterner::intern(std::u16string text) {
  auto found = strings_.find(text);
  if (found != strings_.end()) return found->second;
  Ref<APMPStringValue> value = makeName(text);
  strings_.emplace(std::move(text), value);
  return value;
}

Value runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity, os::Error* error,
                                    StringInterner* interner) {
  switch (APMPBGetInt32(entity, kRuntimeEntity_type)) {
    case 1:
      return Value(text(APMPBGetString(entity, kRuntimeEntity_string_value), interner));
    case 2:
      return Value::number(APMPBHasField(entity, kRuntimeEntity_number_value)
                               ? APMPBGetDouble(entity, kRuntimeEntity_number_value)
                               : std::nan(""));
    case 3:
      return Value::boolean(APMPBGetBool(entity, kRuntimeEntity_boolean_value));
    case 4: {
      std::optional<std::string> statementName =
          APMPBGetString(entity, kRuntimeEntity_function_name);
      if (!statementName) {
        runtimeError(error, kNoStatementName);
        return Value();
      }
      ValueList arguments;
      for (const APMPBRuntimeEntity& argument :
           APMPBGetArray<APMPBRuntimeEntity>(entity, kRuntimeEntity_value)) {
        arguments.push_back(runtimeValueFromRuntimeEntity(argument, error, interner));
        if (failed(error)) return Value();
      }
      Ref<APMPStringValue> name = text(statementName, interner);
      int opcode = commandIndex(name->text());
      return Value(Ref<APMPStatementValue>(
          new APMPStatementValue(std::move(name), opcode, std::move(arguments))));
    }
    default:
      runtimeError(error, kBadEntityType);
      return Value();
  }
}

Value runtimeValueFromHost(const os::Value& host, APMPScope& scope, os::Error* error) {
  switch (host.type()) {
    case os::Value::Type::Null:
      return Value::null();
    case os::Value::Type::Boolean:
      return Value::boolean(*host.asBool());
    case os::Value::Type::Integer:
    case os::Value::Type::Unsigned:
    case os::Value::Type::Real:
      return Value::number(host.doubleValue());
    case os::Value::Type::String: {
      // A UTF-8 text has at least as many bytes as its UTF-16 form has units.
      if (!chargeUnits(host.asString()->size(), error)) return Value();
      std::u16string text = os::text::toUtf16(*host.asString());
      if (!checkStringLength(text.size(), error)) return Value();
      return makeString(std::move(text));
    }
    case os::Value::Type::Dictionary: {
      if (!chargeVisits(host.asDictionary()->size(), error)) return Value();
      Value map = APMPObjectManager::mapValueWithScope(scope);
      for (const auto& [key, value] : *host.asDictionary()) {
        Value converted = runtimeValueFromHost(value, scope, error);
        if (failed(error)) return Value();
        map.asMap()->propertyMap().setValue(makeName(os::text::toUtf16(key)), converted);
      }
      return map;
    }
    case os::Value::Type::Array: {
      if (!reserveElements(host.asArray()->size(), error) ||
          !chargeVisits(host.asArray()->size(), error)) {
        return Value();
      }
      ValueList elements;
      for (const os::Value& element : *host.asArray()) {
        elements.push_back(runtimeValueFromHost(element, scope, error));
        if (failed(error)) return Value();
      }
      return APMPObjectManager::arrayValueWithArray(std::move(elements), scope);
    }
    default:
      runtimeError(error, kBadHostObject);
      return Value();
  }
}

os::Dictionary dictionaryFromMapValue(const APMPContainerValue& map, os::Error* error) {
  os::Dictionary dictionary;
  if (!enter(&map, error) || !chargeVisits(map.propertyMap().size(), error)) return dictionary;
  ConvertingGuard guard(&map);
  for (const APMPPropertyMap::Entry& entry : map.propertyMap().entries()) {
    std::optional<os::Value> value = hostFromRuntimeValue(entry.value, error);
    if (failed(error)) return dictionary;
    if (value) dictionary[os::text::fromUtf16(entry.name->text())] = std::move(*value);
  }
  return dictionary;
}

std::optional<os::Value> hostFromRuntimeValue(const Value& value, os::Error* error) {
  switch (value.kind()) {
    case Kind::Null:
      return std::nullopt;
    case Kind::Undefined:
      return os::Value("");
    case Kind::Map:
      return os::Value(dictionaryFromMapValue(*value.asMap(), error));
    case Kind::Array: {
      const APMPArrayValue* array = value.asArray();
      if (!enter(array, error) || !chargeVisits(array->count(), error)) return std::nullopt;
      ConvertingGuard guard(array);
      os::Array elements;
      for (const Value& element : array->allElements()) {
        std::optional<os::Value> converted = hostFromRuntimeValue(element, error);
        if (failed(error)) return std::nullopt;
        if (converted) elements.push_back(std::move(*converted));
      }
      return os::Value(std::move(elements));
    }
    default:
      break;
  }
  // Values without a number form (statements, control values) fail on their string form.
  os::Error noNumber;
  double number = numberForm(value, &noNumber);
  if (!failed(&noNumber) && !std::isnan(number)) return os::Value(number);
  std::u16string text = stringForm(value, error);
  if (failed(error)) return std::nullopt;
  return os::Value(os::text::fromUtf16(text));
}

}  // namespace measurement::runtime
