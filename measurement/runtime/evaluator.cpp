#include "measurement/runtime/evaluator.h"

#include <cmath>

#include "measurement/runtime/commands.h"
#include "measurement/runtime/scope.h"

namespace measurement::runtime {

namespace {

// A statement whose name no command serves calls the function bound to that name; anything
// else bound there (or nothing) gives undefined.
[[gnu::noinline]] Value callFunctionByName(const APMPStatementValue& statement, APMPScope& scope,
                                           os::Error* error) {
  Value callee = scope.valueForName(statement.functionName());
  APMPFunctionValue* function = callee.asFunction();
  if (!function) return Value();
  // A script function's invoke is known: evaluate and run it here, one frame and no virtual call
  // fewer on every call.
  if (!function->isScript()) return function->invoke(statement.arguments(), scope, error);
  return withEvaluatedArguments(statement.arguments(), scope, error, [&](std::span<Value> values) {
    return function->invokeWithEvaluatedArguments(values, scope, error);
  });
}

// The commands that take their arguments evaluated, out of line so that the frame holding the
// values is only built where it is needed.
[[gnu::noinline]] Value applyEvaluated(const Command& handler, const ValueList& arguments,
                                       APMPScope& scope, os::Error* error) {
  return withEvaluatedArguments(arguments, scope, error, [&](std::span<Value> values) {
    return handler.evaluated(values, scope, error);
  });
}

// An assignment to a literal name: the steps and errors of the general path (the name and the
// value are arguments evaluated in turn), with the binding found through the statement's cache.
[[gnu::noinline]] Value assignByName(const APMPStatementValue& node, const APMPStringValue& name,
                                     APMPScope& scope, os::Error* error) {
  if (!countEvaluation(scope, error)) return Value();
  Value value = evaluateStatement(node.arguments()[1], scope, error);
  if (failed(error)) return Value();
  if (!scope.assign(name, value, node.bindingCache())) {
    runtimeError(error, kUndeclaredAssignment);
    return Value();
  }
  return value;
}

// A read of a literal name, out of line like the assignment so that the evaluation of every other
// statement keeps a small frame.
[[gnu::noinline]] Value readByName(const APMPStatementValue& node, const APMPStringValue& name,
                                   APMPScope& scope, os::Error* error) {
  if (!countEvaluation(scope, error)) return Value();
  return scope.valueForName(name, node.bindingCache());
}

}  // namespace

Value evaluateCountedStatement(const APMPStatementValue& node, APMPScope& scope, os::Error* error) {
  // A variable read or assignment by a literal name: the name's own evaluation is counted, and
  // the lookup takes the name as it stands instead of copying it through the general path.
  if (const APMPStringValue* name = node.literalName()) {
    if (node.opcode() != kReadOpcode) return assignByName(node, *name, scope, error);
    return readByName(node, *name, scope, error);
  }
  const Command* command = node.command();
  if (!command) return callFunctionByName(node, scope, error);
  if (command->raw) return command->raw(node.arguments(), scope, error);
  return applyEvaluated(*command, node.arguments(), scope, error);
}

Value executeStatements(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  Value value;
  for (const Value& statement : statements) {
    value = evaluateStatement(statement, scope, error);
    if (failed(error)) return Value();
    if (value.isControl()) return value;
  }
  return value;
}

Value executeFunctionBody(std::span<const Value> statements, APMPScope& scope, bool* returned,
                          os::Error* error) {
  Value value;
  for (const Value& statement : statements) {
    const APMPStatementValue* node = statement.asStatement();
    // A return with too many arguments takes the general path for its error.
    if (node && node->opcode() == kReturnOpcode && node->arguments().size() <= 1) {
      // The return statement's own step, then its value's.
      if (!countEvaluation(scope, error)) return Value();
      Value data = evaluateReturnData(node->arguments(), scope, error);
      if (failed(error)) return Value();
      *returned = true;
      return data;
    }
    value = evaluateStatement(statement, scope, error);
    if (failed(error)) return Value();
    if (value.isControl()) return value;
  }
  return value;
}

Value evaluateReturnData(std::span<const Value> arguments, APMPScope& scope, os::Error* error) {
  if (arguments.empty()) return Value();
  return evaluateStatement(arguments[0], scope, error);
}

bool evaluateArguments(std::span<const Value> arguments, APMPScope& scope, ValueList* values,
                       os::Error* error) {
  values->reserve(values->size() + arguments.size());
  for (const Value& argument : arguments) {
    values->push_back(evaluateStatement(argument, scope, error));
    if (failed(error)) return false;
  }
  return true;
}

uint32_t toUint32(double value) {
  if (!std::isfinite(value)) return 0;
  double truncated = std::trunc(value);
  double wrapped = std::fmod(truncated, 4294967296.0);
  if (wrapped < 0) wrapped += 4294967296.0;
  return uint32_t(wrapped);
}

int32_t toInt32(double value) { return int32_t(toUint32(value)); }

double toInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value == 0 || std::isinf(value)) return value;
  return std::trunc(value);
}

}  // namespace measurement::runtime
