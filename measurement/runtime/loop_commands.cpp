// for-in and for-of in their three binding forms, the condition loop in the current scope, and
// the condition loop with per-iteration copies of its variables.
#include "measurement/runtime/commands.h"
#include "measurement/runtime/evaluator.h"
#include "measurement/runtime/scope.h"

namespace measurement::runtime {

namespace {

enum class Binding { Assign, Constant, Variable };

// What one body run means for the loop: nullopt goes on; otherwise the loop ends with the value.
std::optional<Value> loopOutcome(const Value& value) {
  const APMPControlValue* control = value.asControl();
  if (!control || control->type() == APMPControlValue::Type::Continue) return std::nullopt;
  if (control->type() == APMPControlValue::Type::Break) return Value();
  return value;
}

ValueList collectPropertyNames(const Value& object) {
  ValueList keys;
  if (const APMPStringValue* string = object.asString()) {
    for (size_t i = 0; i < string->text().size(); ++i) {
      keys.push_back(makeString(numberText(double(i))));
    }
  } else if (const APMPArrayValue* array = object.asArray()) {
    keys = array->allPropertyNames();
  } else if (const APMPContainerValue* container = asContainer(object)) {
    for (const Ref<APMPStringValue>& name : container->propertyMap().allNames()) {
      keys.push_back(Value(name));
    }
  }
  return keys;
}

bool collectElements(const Value& iterable, ValueList* values, os::Error* error) {
  if (const APMPStringValue* string = iterable.asString()) {
    for (char16_t unit : string->text()) values->push_back(makeString(std::u16string(1, unit)));
    return true;
  }
  if (const APMPArrayValue* array = iterable.asArray()) {
    *values = array->allElements();
    return true;
  }
  return runtimeError(error, kNotIterable);
}

template <Binding How, bool OverElements>
Value forEachCommand(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 3, error)) return Value();
  ValueList v;
  if (!evaluateArguments(statements, scope, &v, error)) return Value();
  std::u16string nameText = stringForm(v[0], error);
  if (failed(error)) return Value();
  Ref<APMPStringValue> name =
      v[0].isString() ? Ref<APMPStringValue>(v[0].asString()) : makeName(std::move(nameText));
  ValueList items;
  if (OverElements) {
    if (!collectElements(v[1], &items, error)) return Value();
  } else {
    items = collectPropertyNames(v[1]);
  }
  const APMPArrayValue* body = v[2].asArray();
  if (!body) {
    runtimeError(error, kWrongKind);
    return Value();
  }
  ValueList bodyStatements = body->elements();
  for (Value& item : items) {
    Ref<APMPScope> iterationScope(&scope);
    if (How == Binding::Assign) {
      scope.setValue(name, std::move(item));
    } else {
      iterationScope = scope.createChildScope();
      if (How == Binding::Constant) {
        iterationScope->addImmutableValue(name, std::move(item));
      } else {
        iterationScope->addValue(name, std::move(item));
      }
    }
    Value result = executeStatements(bodyStatements, *iterationScope, error);
    if (failed(error)) return Value();
    if (std::optional<Value> outcome = loopOutcome(result)) return *outcome;
  }
  return Value();
}

bool test(const Value& condition, APMPScope& scope, bool* truthy, os::Error* error) {
  Value value = evaluateStatement(condition, scope, error);
  if (failed(error)) return false;
  *truthy = truth(value, error);
  return !failed(error);
}

// The statements of a loop's body, which the body statement must evaluate to as an array.
bool loopBody(const Value& statement, APMPScope& scope, ValueList* body, os::Error* error) {
  Value block = evaluateStatement(statement, scope, error);
  if (failed(error)) return false;
  const APMPArrayValue* array = block.asArray();
  if (!array) {
    runtimeError(error, kWrongKind);
    return false;
  }
  *body = array->elements();
  return true;
}

Value conditionLoop(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 4, error)) return Value();
  const Value& condition = statements[0];
  const Value& update = statements[1];
  bool runFirst = false;
  if (!test(statements[2], scope, &runFirst, error)) return Value();
  ValueList bodyStatements;
  if (!loopBody(statements[3], scope, &bodyStatements, error)) return Value();
  if (runFirst) {
    Value result = executeStatements(bodyStatements, scope, error);
    if (failed(error)) return Value();
    if (std::optional<Value> outcome = loopOutcome(result)) return *outcome;
  }
  while (true) {
    bool go = false;
    if (!test(condition, scope, &go, error)) return Value();
    if (!go) return Value();
    Value result = executeStatements(bodyStatements, scope, error);
    if (failed(error)) return Value();
    if (std::optional<Value> outcome = loopOutcome(result)) return *outcome;
    evaluateStatement(update, scope, error);
    if (failed(error)) return Value();
  }
}

Value copyingLoop(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 4, error)) return Value();
  Value list = evaluateStatement(statements[0], scope, error);
  if (failed(error)) return Value();
  const APMPArrayValue* nameArray = list.asArray();
  if (!nameArray) {
    runtimeError(error, kWrongKind);
    return Value();
  }
  const Value& condition = statements[1];
  const Value& update = statements[2];
  ValueList bodyStatements;
  if (!loopBody(statements[3], scope, &bodyStatements, error)) return Value();
  std::vector<Ref<APMPStringValue>> names;
  for (const Value& element : nameArray->elements()) {
    std::u16string name = stringForm(element, error);
    if (failed(error)) return Value();
    names.push_back(makeName(std::move(name)));
  }
  Ref<APMPScope> current = scope.createChildScope();
  for (const Ref<APMPStringValue>& name : names) current->addValue(name, scope.valueForName(*name));
  bool go = false;
  if (!test(condition, *current, &go, error)) return Value();
  while (go) {
    Value result = executeStatements(bodyStatements, *current, error);
    if (failed(error)) return Value();
    if (std::optional<Value> outcome = loopOutcome(result)) return *outcome;
    Ref<APMPScope> next = scope.createChildScope();
    for (const Ref<APMPStringValue>& name : names) {
      next->addValue(name, current->valueForName(*name));
    }
    evaluateStatement(update, *next, error);
    if (failed(error)) return Value();
    current = next;
    if (!test(condition, *current, &go, error)) return Value();
  }
  return Value();
}

}  // namespace

void registerLoopCommands(Command* table) {
  table[47].raw = forEachCommand<Binding::Assign, false>;
  table[54].raw = forEachCommand<Binding::Constant, false>;
  table[55].raw = forEachCommand<Binding::Variable, false>;
  table[64].raw = forEachCommand<Binding::Assign, true>;
  table[65].raw = forEachCommand<Binding::Constant, true>;
  table[66].raw = forEachCommand<Binding::Variable, true>;
  table[42].raw = conditionLoop;
  table[63].raw = copyingLoop;
}

}  // namespace measurement::runtime
