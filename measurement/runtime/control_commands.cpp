// Method calls, statement blocks, break, continue and return, sequences, if, the conditional
// expression, switch, and function creation.
#include "measurement/runtime/collection.h"
#include "measurement/runtime/commands.h"
#include "measurement/runtime/evaluator.h"
#include "measurement/runtime/runtime.h"
#include "measurement/runtime/scope.h"

namespace measurement::runtime {

namespace {

Value methodCall(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 3, error)) return Value();
  ValueList v;
  if (!evaluateArguments(statements, scope, &v, error)) return Value();
  const APMPStringValue* name = v[1].asString();
  const APMPArrayValue* arguments = v[2].asArray();
  if (!name || !arguments) {
    runtimeError(error, kWrongKind);
    return Value();
  }
  if (!chargeCopies(arguments->count(), error)) return Value();
  ValueList argumentStatements = arguments->elements();
  return applyWithName(v[0], *name, argumentStatements, scope, error);
}

Value blockInChildScope(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  Ref<APMPScope> child = APMPScope::begin(Ref<APMPScope>(&scope), nullptr);
  Value value = executeStatements(statements, *child, error);
  APMPScope::end(std::move(child));
  return value;
}

Value blockInCurrentScope(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 1, error)) return Value();
  Value block = evaluateStatement(statements[0], scope, error);
  if (failed(error)) return Value();
  return runBlock(block, scope, error);
}

Value blockLiteral(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!reserveElements(statements.size(), error)) return Value();
  return APMPObjectManager::arrayValueWithArray(ValueList(statements.begin(), statements.end()),
                                                scope);
}

Value breakCommand(std::span<const Value> statements, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 0, error)) return Value();
  return APMPControlValue::breakValue();
}

Value continueCommand(std::span<const Value> statements, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 0, error)) return Value();
  return APMPControlValue::continueValue();
}

Value returnCommand(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtMost(statements.size(), 1, error)) return Value();
  Value data = evaluateReturnData(statements, scope, error);
  if (failed(error)) return Value();
  APMPRuntime* runtime = scope.runtime();
  return runtime ? runtime->returnValue(std::move(data))
                 : APMPControlValue::returnValue(std::move(data));
}

Value sequence(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtLeast(statements.size(), 1, error)) return Value();
  Value value;
  for (const Value& statement : statements) {
    value = evaluateStatement(statement, scope, error);
    if (failed(error)) return Value();
    if (value.isControl()) {
      runtimeError(error, kWrongKind);
      return Value();
    }
  }
  return value;
}

Value ifCommand(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtLeast(statements.size(), 1, error) ||
      !checkArgumentCountAtMost(statements.size(), 3, error)) {
    return Value();
  }
  Value condition = evaluateStatement(statements[0], scope, error);
  if (failed(error)) return Value();
  bool truthy = truth(condition, error);
  if (failed(error)) return Value();
  size_t branch = truthy ? 1 : 2;
  if (branch >= statements.size()) return Value();
  // A block literal as the branch runs its statements without building the array first: nobody
  // else can see that array, so only the step it would have cost is counted.
  const APMPStatementValue* literal = statements[branch].asStatement();
  if (literal && literal->opcode() == kBlockLiteralOpcode) {
    if (APMPRuntime* runtime = scope.runtime(); runtime && !runtime->countInstruction(error)) {
      return Value();
    }
    return executeStatements(literal->arguments(), scope, error);
  }
  Value result = evaluateStatement(statements[branch], scope, error);
  if (failed(error)) return Value();
  return result.isArray() ? runBlock(result, scope, error) : result;
}

Value conditional(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 3, error)) return Value();
  Value condition = evaluateStatement(statements[0], scope, error);
  if (failed(error)) return Value();
  bool truthy = truth(condition, error);
  if (failed(error)) return Value();
  Value result = evaluateStatement(statements[truthy ? 1 : 2], scope, error);
  return failed(error) ? Value() : result;
}

// What a switch makes of a body's value: nullopt goes on, otherwise the switch ends with it.
std::optional<Value> switchOutcome(const Value& value) {
  const APMPControlValue* control = value.asControl();
  if (!control) return std::nullopt;
  if (control->type() == APMPControlValue::Type::Break) return Value();
  return value;
}

Value switchCommand(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 3, error)) return Value();
  ValueList v;
  if (!evaluateArguments(statements, scope, &v, error)) return Value();
  const APMPArrayValue* caseArray = v[1].asArray();
  const APMPArrayValue* bodyArray = v[2].asArray();
  if (!caseArray || !bodyArray) {
    runtimeError(error, kArgumentCount);
    return Value();
  }
  if (!chargeCopies(caseArray->count() + bodyArray->count(), error)) return Value();
  ValueList cases = caseArray->elements();
  ValueList bodies = bodyArray->elements();
  bool matched = false;
  for (size_t i = 0; i < cases.size(); ++i) {
    if (!matched) {
      Value candidate = evaluateStatement(cases[i], scope, error);
      if (failed(error)) return Value();
      matched = strictEquals(candidate, v[0]);
      if (!matched) continue;
    }
    // A case without a body has nothing to run; fall through to the next.
    if (i >= bodies.size()) continue;
    Value result = evaluateStatement(bodies[i], scope, error);
    if (failed(error)) return Value();
    if (std::optional<Value> outcome = switchOutcome(result)) return *outcome;
  }
  if (bodies.size() == cases.size() + 1) {
    Value result = evaluateStatement(bodies.back(), scope, error);
    if (failed(error)) return Value();
    if (std::optional<Value> outcome = switchOutcome(result)) return *outcome;
  }
  return Value();
}

Value makeFunction(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtLeast(statements.size(), 2, error)) return Value();
  std::u16string name = stringForm(statements[0], error);
  if (failed(error)) return Value();
  Value parameters = evaluateStatement(statements[1], scope, error);
  if (failed(error)) return Value();
  const APMPArrayValue* list = parameters.asArray();
  if (!list) {
    runtimeError(error, kWrongKind);
    return Value();
  }
  if (!reserveElements(list->count(), error) || !chargeCopies(statements.size(), error)) {
    return Value();
  }
  std::vector<Ref<APMPStringValue>> parameterNames;
  for (const Value& element : list->elements()) {
    if (element.isString()) {
      parameterNames.push_back(Ref<APMPStringValue>(element.asString()));
      continue;
    }
    std::u16string parameter = stringForm(element, error);
    if (failed(error)) return Value();
    parameterNames.push_back(makeName(std::move(parameter)));
  }
  Ref<APMPStringValue> functionName = statements[0].isString()
                                          ? Ref<APMPStringValue>(statements[0].asString())
                                          : makeName(std::move(name));
  return APMPObjectManager::functionValueWithFunctionName(
      functionName, std::move(parameterNames), ValueList(statements.begin() + 2, statements.end()),
      Ref<APMPScope>(&scope));
}

Value declareFunction(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  Value function = makeFunction(statements, scope, error);
  if (failed(error)) return Value();
  const APMPFunctionValue* made = function.asFunction();
  scope.setValue(made->name(), function);
  return function;
}

}  // namespace

void registerControlCommands(Command* table) {
  table[2].raw = methodCall;
  table[53].raw = blockInChildScope;
  table[5].raw = blockInCurrentScope;
  table[9].raw = blockInCurrentScope;
  table[kBlockLiteralOpcode].raw = blockLiteral;
  table[4].raw = breakCommand;
  table[6].raw = continueCommand;
  table[kReturnOpcode].raw = returnCommand;
  table[13].raw = sequence;
  table[22].raw = ifCommand;
  table[39].raw = conditional;
  table[38].raw = switchCommand;
  table[51].raw = makeFunction;
  table[50].raw = declareFunction;
}

}  // namespace measurement::runtime
