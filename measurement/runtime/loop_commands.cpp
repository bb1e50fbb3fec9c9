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

// What a for-in or for-of loop visits, fixed before its first iteration. A string's keys and
// units are made one at a time as the loop reaches them (the string cannot change), so a long
// string costs only what is visited; the keys and elements of arrays and objects are copied once,
// and the copy is checked and charged before it is made.
class LoopItems {
 public:
  // For-in: the index names of a string, the property names of an array (in the array's own order),
  // a map or a function; nothing for other values.
  bool collectKeys(const Value& object, os::Error* error) {
    if ((string_ = Ref<APMPStringValue>(object.asString()))) return true;
    if (const APMPArrayValue* array = object.asArray()) {
      // Every index may become a new string of a few units.
      size_t count = array->propertyMap().size() + array->count();
      if (!reserveElements(count, error) ||
          !fitsMemory(count * (sizeof(APMPStringValue) + 16 * sizeof(char16_t)), error)) {
        return false;
      }
      values_ = array->allPropertyNames();
    } else if (const APMPContainerValue* container = asContainer(object)) {
      if (!reserveElements(container->propertyMap().size(), error)) return false;
      for (const Ref<APMPStringValue>& name : container->propertyMap().allNames()) {
        values_.push_back(Value(name));
      }
    }
    return true;
  }
  // For-of: the units of a string, the elements of an array; runtime error 16 for other values.
  bool collectElements(const Value& iterable, os::Error* error) {
    units_ = true;
    if ((string_ = Ref<APMPStringValue>(iterable.asString()))) return true;
    const APMPArrayValue* array = iterable.asArray();
    if (!array) return runtimeError(error, kNotIterable);
    if (!reserveElements(array->count(), error)) return false;
    values_ = array->allElements();
    return true;
  }

  size_t size() const { return string_ ? string_->text().size() : values_.size(); }
  Value take(size_t index) {
    if (!string_) return std::move(values_[index]);
    if (units_) return makeString(std::u16string(1, string_->text()[index]));
    return makeString(numberText(double(index)));
  }

 private:
  Ref<APMPStringValue> string_;
  bool units_ = false;
  ValueList values_;
};

template <Binding How, bool OverElements>
Value forEachCommand(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 3, error)) return Value();
  ValueList v;
  if (!evaluateArguments(statements, scope, &v, error)) return Value();
  std::u16string nameText = stringForm(v[0], error);
  if (failed(error)) return Value();
  Ref<APMPStringValue> name =
      v[0].isString() ? Ref<APMPStringValue>(v[0].asString()) : makeName(std::move(nameText));
  LoopItems items;
  if (OverElements ? !items.collectElements(v[1], error) : !items.collectKeys(v[1], error)) {
    return Value();
  }
  const APMPArrayValue* body = v[2].asArray();
  if (!body) {
    runtimeError(error, kWrongKind);
    return Value();
  }
  if (!chargeCopies(body->count(), error)) return Value();
  ValueList bodyStatements = body->elements();
  for (size_t i = 0; i < items.size(); ++i) {
    // Each iteration is charged, so that an empty body still costs what the loop visits.
    if (!chargeVisits(1, error)) return Value();
    Value item = items.take(i);
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
  if (!chargeCopies(array->count(), error)) return false;
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
  if (!reserveElements(nameArray->count(), error)) return Value();
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
    if (!chargeCopies(names.size(), error)) return Value();
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
