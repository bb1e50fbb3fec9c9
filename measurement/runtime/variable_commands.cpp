// Declaring, assigning and reading variables; array and object literals; reading and writing
// properties; the type name; the undefined and null values.
#include "measurement/runtime/collection.h"
#include "measurement/runtime/commands.h"
#include "measurement/runtime/evaluator.h"
#include "measurement/runtime/scope.h"

namespace measurement::runtime {

namespace {

// Variable names must be string values, not merely values with a string form.
Ref<APMPStringValue> nameOf(const Value& value, os::Error* error) {
  if (!value.isString()) runtimeError(error, kWrongKind);
  return Ref<APMPStringValue>(value.asString());
}

Value assign(std::span<Value> v, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(v.size(), 2, error)) return Value();
  Ref<APMPStringValue> name = nameOf(v[0], error);
  if (!name) return Value();
  if (!scope.assign(name, v[1])) {
    runtimeError(error, kUndeclaredAssignment);
    return Value();
  }
  return v[1];
}

Value read(std::span<Value> v, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(v.size(), 1, error)) return Value();
  Ref<APMPStringValue> name = nameOf(v[0], error);
  if (!name) return Value();
  return scope.valueForName(*name);
}

Value declareVariables(std::span<Value> v, APMPScope& scope, os::Error* error) {
  for (const Value& value : v) {
    Ref<APMPStringValue> name = nameOf(value, error);
    if (!name) return Value();
    scope.addValue(name, Value());
  }
  return Value();
}

Value declareConstants(std::span<Value> v, APMPScope& scope, os::Error* error) {
  if (v.size() % 2 != 0) {
    runtimeError(error, kArgumentCount);
    return Value();
  }
  for (size_t i = 0; i < v.size(); i += 2) {
    Ref<APMPStringValue> name = nameOf(v[i], error);
    if (!name) return Value();
    scope.addImmutableValue(name, v[i + 1]);
  }
  return Value();
}

Value arrayLiteral(std::span<Value> v, APMPScope& scope, os::Error* error) {
  if (!reserveElements(v.size(), error)) return Value();
  return APMPObjectManager::arrayValueWithArray(ValueList(v.begin(), v.end()), scope);
}

Value objectLiteral(std::span<Value> v, APMPScope& scope, os::Error* error) {
  if (v.size() % 2 != 0) {
    runtimeError(error, kArgumentCount);
    return Value();
  }
  Value map = APMPObjectManager::mapValueWithScope(scope);
  for (size_t i = 0; i < v.size(); i += 2) {
    std::u16string key = stringForm(v[i], error);
    if (failed(error)) return Value();
    map.asMap()->propertyMap().setValue(makeName(std::move(key)), v[i + 1]);
  }
  return map;
}

Value readProperty(std::span<Value> v, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(v.size(), 2, error)) return Value();
  const Value& target = v[0];
  const Value& key = v[1];
  if (const APMPArrayValue* array = target.asArray()) return array->valueForProperty(key, error);
  if (const APMPContainerValue* object = asContainer(target)) {
    std::u16string name = stringForm(key, error);
    if (failed(error)) return Value();
    const Value* value = object->propertyMap().find(name);
    return value ? *value : Value();
  }
  if (const APMPStringValue* string = target.asString()) {
    std::u16string name = stringForm(key, error);
    if (failed(error)) return Value();
    const std::u16string& text = string->text();
    if (name == u"length") return Value::number(double(text.size()));
    if (!isArrayIndex(key)) return Value();
    double index = numberForm(key, error);
    if (index >= double(text.size())) return Value();
    return makeString(std::u16string(1, text[size_t(index)]));
  }
  return Value();
}

Value writeProperty(std::span<Value> v, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(v.size(), 3, error)) return Value();
  const Value& target = v[0];
  if (target.isUndefined() || target.isNull()) {
    runtimeError(error, kWriteOnNothing);
    return Value();
  }
  if (APMPArrayValue* array = target.asArray()) {
    array->setValueForProperty(v[1], v[2], error);
  } else if (APMPContainerValue* object = asContainer(target)) {
    std::u16string name = stringForm(v[1], error);
    if (failed(error)) return Value();
    object->propertyMap().setValue(makeName(std::move(name)), v[2]);
  }
  return failed(error) ? Value() : v[2];
}

Value typeName(std::span<Value> v, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(v.size(), 1, error)) return Value();
  switch (v[0].kind()) {
    case Kind::Boolean:
      return makeString(u"boolean");
    case Kind::Function:
      return makeString(u"function");
    case Kind::Number:
      return makeString(u"number");
    case Kind::String:
      return makeString(u"string");
    case Kind::Undefined:
      return makeString(u"undefined");
    default:
      return makeString(u"object");
  }
}

Value undefinedValue(std::span<Value>, APMPScope&, os::Error*) { return Value(); }
Value nullValue(std::span<Value>, APMPScope&, os::Error*) { return Value::null(); }

}  // namespace

void registerVariableCommands(Command* table) {
  table[3].evaluated = assign;
  table[kReadOpcode].evaluated = read;
  table[41].evaluated = declareVariables;
  table[52].evaluated = declareConstants;
  table[7].evaluated = arrayLiteral;
  table[8].evaluated = objectLiteral;
  table[16].evaluated = readProperty;
  table[17].evaluated = readProperty;
  table[43].evaluated = writeProperty;
  table[40].evaluated = typeName;
  table[44].evaluated = undefinedValue;
  table[45].evaluated = nullValue;
}

}  // namespace measurement::runtime
