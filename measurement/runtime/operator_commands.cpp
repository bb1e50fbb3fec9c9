// Arithmetic, comparison, logical and bitwise commands.
#include <cmath>

#include "measurement/runtime/commands.h"
#include "measurement/runtime/evaluator.h"

namespace measurement::runtime {

namespace {

// Arithmetic (evaluated arguments).

Value add(std::span<Value> v, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(v.size(), 2, error)) return Value();
  if (!isStringLike(v[0]) && !isStringLike(v[1])) {
    double a = numberForm(v[0], error);
    double b = numberForm(v[1], error);
    return failed(error) ? Value() : Value::number(a + b);
  }
  std::u16string text = stringForm(v[0], error);
  if (failed(error)) return Value();
  std::u16string right = stringForm(v[1], error);
  if (failed(error) || !checkStringLength(text.size() + right.size(), error)) return Value();
  text += right;
  return makeString(std::move(text));
}

template <double (*Operation)(double, double)>
Value arithmetic(std::span<Value> v, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(v.size(), 2, error)) return Value();
  double a = numberForm(v[0], error);
  double b = numberForm(v[1], error);
  return failed(error) ? Value() : Value::number(Operation(a, b));
}

double subtract(double a, double b) { return a - b; }
double multiply(double a, double b) { return a * b; }
double divide(double a, double b) { return a / b; }
double remainder(double a, double b) { return std::fmod(a, b); }

Value negate(std::span<Value> v, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(v.size(), 1, error)) return Value();
  double a = numberForm(v[0], error);
  return failed(error) ? Value() : Value::number(-a);
}

Value first(std::span<Value> v, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(v.size(), 2, error)) return Value();
  return v[0];
}

Value single(std::span<Value> v, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(v.size(), 1, error)) return Value();
  return v[0];
}

// Comparison (the count is checked before the two statements are evaluated).

// 0 undefined and null, 1 numbers and booleans, 2 strings, 3 everything else.
int typeClass(const Value& value) {
  switch (value.kind()) {
    case Kind::Undefined:
    case Kind::Null:
      return 0;
    case Kind::Number:
    case Kind::Boolean:
      return 1;
    case Kind::String:
      return 2;
    default:
      return 3;
  }
}

bool looseEquals(const Value& x, const Value& y, os::Error* error) {
  const Value& low = typeClass(x) <= typeClass(y) ? x : y;
  const Value& high = &low == &x ? y : x;
  switch (typeClass(low)) {
    case 0:
      return typeClass(high) == 0;
    case 1: {
      double a = numberForm(low, error);
      double b = numberForm(high, error);
      return !failed(error) && a == b;
    }
    case 2: {
      std::u16string a = stringForm(low, error);
      std::u16string b = stringForm(high, error);
      return !failed(error) && a == b;
    }
    default:
      return low.heap() == high.heap();
  }
}

// -1, 0 or 1; 1 also for NaN and on a conversion error.
int compareValues(const Value& x, const Value& y, os::Error* error) {
  if (x.isNumber() && y.isNumber()) {
    double a = x.numberPayload();
    double b = y.numberPayload();
    return a < b ? -1 : a == b ? 0 : 1;
  }
  if (isStringLike(x) && isStringLike(y)) {
    std::u16string a = stringForm(x, error);
    std::u16string b = stringForm(y, error);
    if (failed(error)) return 1;
    int order = a.compare(b);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
  }
  double a = numberForm(x, error);
  double b = numberForm(y, error);
  if (failed(error)) return 1;
  return a < b ? -1 : a == b ? 0 : 1;
}

enum class Comparison {
  Equal,
  NotEqual,
  StrictEqual,
  StrictNotEqual,
  Less,
  LessEqual,
  Greater,
  GreaterEqual
};

template <Comparison Kind>
Value compare(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 2, error)) return Value();
  Value a = evaluateStatement(statements[0], scope, error);
  if (failed(error)) return Value();
  Value b = evaluateStatement(statements[1], scope, error);
  if (failed(error)) return Value();
  bool result = false;
  switch (Kind) {
    case Comparison::Equal:
      result = looseEquals(a, b, error);
      break;
    case Comparison::NotEqual:
      result = !looseEquals(a, b, error);
      break;
    case Comparison::StrictEqual:
      result = strictEquals(a, b);
      break;
    case Comparison::StrictNotEqual:
      result = !strictEquals(a, b);
      break;
    case Comparison::Less:
      result = compareValues(a, b, error) == -1;
      break;
    case Comparison::LessEqual:
      result = compareValues(a, b, error) <= 0;
      break;
    case Comparison::Greater:
      result = compareValues(b, a, error) == -1;
      break;
    case Comparison::GreaterEqual:
      result = compareValues(b, a, error) <= 0;
      break;
  }
  return failed(error) ? Value() : Value::boolean(result);
}

// Logical (raw statements).

template <bool IsAnd>
Value shortCircuit(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 2, error)) return Value();
  Value a = evaluateStatement(statements[0], scope, error);
  if (failed(error)) return Value();
  bool truthy = truth(a, error);
  if (failed(error)) return Value();
  if (truthy != IsAnd) return a;
  Value b = evaluateStatement(statements[1], scope, error);
  return failed(error) ? Value() : b;
}

Value logicalNot(std::span<const Value> statements, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCount(statements.size(), 1, error)) return Value();
  Value a = evaluateStatement(statements[0], scope, error);
  if (failed(error)) return Value();
  bool truthy = truth(a, error);
  return failed(error) ? Value() : Value::boolean(!truthy);
}

// Bitwise (evaluated arguments).

template <double (*Operation)(double, double)>
Value bitwise(std::span<Value> v, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(v.size(), 2, error)) return Value();
  double a = numberForm(v[0], error);
  double b = numberForm(v[1], error);
  return failed(error) ? Value() : Value::number(Operation(a, b));
}

double bitAnd(double a, double b) { return toInt32(a) & toInt32(b); }
double bitOr(double a, double b) { return toInt32(a) | toInt32(b); }
double bitXor(double a, double b) { return toInt32(a) ^ toInt32(b); }
double shiftLeft(double a, double b) { return int32_t(uint32_t(toInt32(a)) << (toUint32(b) & 31)); }
double shiftRight(double a, double b) { return toInt32(a) >> (toUint32(b) & 31); }
double shiftRightUnsigned(double a, double b) { return toUint32(a) >> (toUint32(b) & 31); }

Value bitNot(std::span<Value> v, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(v.size(), 1, error)) return Value();
  double a = numberForm(v[0], error);
  return failed(error) ? Value() : Value::number(~toInt32(a));
}

}  // namespace

void registerOperatorCommands(Command* table) {
  table[0].evaluated = add;
  table[37].evaluated = arithmetic<subtract>;
  table[26].evaluated = arithmetic<multiply>;
  table[10].evaluated = arithmetic<divide>;
  table[25].evaluated = arithmetic<remainder>;
  table[27].evaluated = negate;
  table[32].evaluated = first;
  table[33].evaluated = first;
  table[34].evaluated = single;
  table[35].evaluated = single;

  table[12].raw = compare<Comparison::Equal>;
  table[29].raw = compare<Comparison::NotEqual>;
  table[20].raw = compare<Comparison::StrictEqual>;
  table[21].raw = compare<Comparison::StrictNotEqual>;
  table[23].raw = compare<Comparison::Less>;
  table[24].raw = compare<Comparison::LessEqual>;
  table[18].raw = compare<Comparison::Greater>;
  table[19].raw = compare<Comparison::GreaterEqual>;

  table[1].raw = shortCircuit<true>;
  table[30].raw = shortCircuit<false>;
  table[28].raw = logicalNot;

  table[56].evaluated = bitwise<bitAnd>;
  table[59].evaluated = bitwise<bitOr>;
  table[62].evaluated = bitwise<bitXor>;
  table[57].evaluated = bitwise<shiftLeft>;
  table[60].evaluated = bitwise<shiftRight>;
  table[61].evaluated = bitwise<shiftRightUnsigned>;
  table[58].evaluated = bitNot;
}

}  // namespace measurement::runtime
