// Evaluation of statements. A statement names a command (an opcode text, resolved once to an
// index into the command table) or, for any other name, a function to call by that name. Every
// evaluation counts one step against the running runtime's instruction limit, also when the
// argument is a plain value, and the native stack a run may use is bounded, so deep recursion of
// script functions ends with runtime error 18 instead of overflowing.
//
//   os::Error error;
//   Value result = executeStatements(program, *runtime.globalScope(), &error);
//   if (failed(&error)) ...
#pragma once

#include <cstdint>
#include <new>
#include <span>

#include "measurement/runtime/runtime.h"
#include "measurement/runtime/value.h"

namespace measurement::runtime {

// Counts one evaluation against the limits of the runtime `scope` belongs to (none for the
// parentless scopes of host functions). False with runtime error 18 at a limit.
inline bool countEvaluation(APMPScope& scope, os::Error* error) {
  APMPRuntime* runtime = scope.runtime();
  return !runtime || runtime->countInstruction(error);
}

// Evaluates a statement whose evaluation has been counted.
Value evaluateCountedStatement(const APMPStatementValue& statement, APMPScope& scope,
                               os::Error* error);

// Evaluates one statement, or returns a plain value as it is. Inline, as most arguments are
// plain values and variable reads.
inline Value evaluateStatement(const Value& statement, APMPScope& scope, os::Error* error) {
  if (!countEvaluation(scope, error)) return Value();
  if (const APMPStatementValue* node = statement.asStatement()) {
    return evaluateCountedStatement(*node, scope, error);
  }
  return statement;
}

// Runs statements in order: the first error stops the list (undefined); the first control value
// stops it and is its value; otherwise the value of the last statement.
Value executeStatements(std::span<const Value> statements, APMPScope& scope, os::Error* error);

// Runs the statements of a function body as executeStatements does, except that a return standing
// directly in the body gives its value with `*returned` set instead of a control value: the same
// steps are counted and the same errors raised, without building and unwrapping the control value.
Value executeFunctionBody(std::span<const Value> statements, APMPScope& scope, bool* returned,
                          os::Error* error);

// The value a return statement with `arguments` (none or one) gives: undefined for none, else its
// argument evaluated. Undefined on an error.
Value evaluateReturnData(std::span<const Value> arguments, APMPScope& scope, os::Error* error);

// Evaluates each argument into `values`, stopping at the first error (the failing argument's
// value is appended too). False on an error.
bool evaluateArguments(std::span<const Value> arguments, APMPScope& scope, ValueList* values,
                       os::Error* error);

// Evaluates `arguments` in `scope` and hands the values to `use` (a callable taking
// std::span<Value> and giving a Value). The usual few live on the native stack; more go to the
// heap. Undefined, with nothing handed over, on the first error.
template <class Use>
Value withEvaluatedArguments(std::span<const Value> arguments, APMPScope& scope, os::Error* error,
                             Use&& use) {
  constexpr size_t kInline = 4;
  const size_t count = arguments.size();
  if (count > kInline) {
    ValueList values;
    if (!evaluateArguments(arguments, scope, &values, error)) return Value();
    return use(std::span<Value>(values));
  }
  // Only the values evaluated so far exist: built in place, destroyed on the way out.
  struct Inline {
    Inline() {}
    ~Inline() {
      for (size_t i = 0; i < made; ++i) values[i].~Value();
    }
    union {
      Value values[kInline];
    };
    size_t made = 0;
  } storage;
  for (; storage.made < count; ++storage.made) {
    new (&storage.values[storage.made])
        Value(evaluateStatement(arguments[storage.made], scope, error));
    if (failed(error)) {
      ++storage.made;
      return Value();
    }
  }
  return use(std::span<Value>(storage.values, count));
}

// Argument-count checks; runtime error 9 on failure.
inline bool checkArgumentCount(size_t count, size_t exactly, os::Error* error) {
  return count == exactly || runtimeError(error, kArgumentCount);
}
inline bool checkArgumentCountAtLeast(size_t count, size_t least, os::Error* error) {
  return count >= least || runtimeError(error, kArgumentCount);
}
inline bool checkArgumentCountAtMost(size_t count, size_t most, os::Error* error) {
  return count <= most || runtimeError(error, kArgumentCount);
}

// ECMAScript's ToInt32, ToUint32 (NaN and infinities 0, truncation, modulo 2^32) and ToInteger
// (NaN 0, zero and infinities unchanged, else truncation).
int32_t toInt32(double value);
uint32_t toUint32(double value);
double toInteger(double value);

}  // namespace measurement::runtime
