#include "measurement/runtime/array_methods.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>

#include "measurement/runtime/collection.h"
#include "measurement/runtime/evaluator.h"
#include "measurement/runtime/scope.h"

namespace measurement::runtime {

namespace {

using Handler = Value (*)(APMPArrayValue& array, ValueList& args, APMPScope& scope,
                          os::Error* error);

bool isHole(const Value& value) { return value.kind() == Kind::Hole; }

// The function argument of a callback method: exactly one, a function (codes 9 and 10).
APMPFunctionValue* callbackArgument(ValueList& args, os::Error* error) {
  if (!checkArgumentCount(args.size(), 1, error)) return nullptr;
  APMPFunctionValue* function = args[0].asFunction();
  if (!function) runtimeError(error, kWrongKind);
  return function;
}

enum class Walk { Every, Some, Filter, Map, ForEach };

template <Walk Kind>
Value callbackWalk(APMPArrayValue& array, ValueList& args, APMPScope& scope, os::Error* error) {
  Ref<APMPFunctionValue> function(callbackArgument(args, error));
  if (!function) return Value();
  Value self(&array);
  size_t length = array.count();
  Value result;
  if (Kind == Walk::Filter || Kind == Walk::Map) {
    result = APMPObjectManager::arrayValueWithScope(scope);
  }
  for (size_t i = 0; i < length; ++i) {
    // The callback may have shortened the array or emptied the slot.
    if (i >= array.count() || isHole(array.elements()[i])) continue;
    if (!chargeVisits(1, error)) return Value();
    Value element = array.elements()[i];
    Value callArguments[] = {element, Value::number(double(i)), self};
    Value value = function->invoke(callArguments, scope, error);
    if (failed(error)) return Value();
    if (Kind == Walk::Map) {
      result.asArray()->setValueForProperty(Value::number(double(i)), value, error);
      if (failed(error)) return Value();
      continue;
    }
    if (Kind == Walk::ForEach) continue;
    bool truthy = truth(value, error);
    if (failed(error)) return Value();
    if (Kind == Walk::Every && !truthy) return Value::boolean(false);
    if (Kind == Walk::Some && truthy) return Value::boolean(true);
    if (Kind == Walk::Filter && truthy) {
      chargeMemory(sizeof(Value));
      result.asArray()->elements().push_back(element);
    }
  }
  if (Kind == Walk::Every) return Value::boolean(true);
  if (Kind == Walk::Some) return Value::boolean(false);
  return result;
}

Value concat(APMPArrayValue& array, ValueList& args, APMPScope& scope, os::Error* error) {
  // The length is known before anything is copied.
  size_t length = array.count();
  for (const Value& arg : args) {
    if (arg.isControl()) {
      runtimeError(error, kWrongKind);
      return Value();
    }
    const APMPArrayValue* other = arg.asArray();
    length += other ? std::min(other->count(), kMaxArrayLength + 1) : 1;
  }
  if (!reserveElements(length, error)) return Value();
  ValueList elements;
  elements.reserve(length);
  elements.insert(elements.end(), array.elements().begin(), array.elements().end());
  for (const Value& arg : args) {
    if (const APMPArrayValue* other = arg.asArray()) {
      elements.insert(elements.end(), other->elements().begin(), other->elements().end());
    } else {
      elements.push_back(arg);
    }
  }
  return APMPObjectManager::arrayValueWithArray(std::move(elements), scope);
}

Value hasOwnProperty(APMPArrayValue& array, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 1, error)) return Value();
  std::u16string key = stringForm(args[0], error);
  if (failed(error)) return Value();
  if (key == u"length") return Value::boolean(true);
  bool has = array.hasProperty(args[0], error);
  return failed(error) ? Value() : Value::boolean(has);
}

Value indexOf(APMPArrayValue& array, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  Value sought = args.empty() ? Value() : args[0];
  double length = double(array.count());
  double start = args.size() > 1 ? toInteger(numberForm(args[1], error)) : 0;
  if (failed(error)) return Value();
  if (start >= length) return Value::number(-1);
  if (start < 0) start = std::max(start + length, 0.0);
  // The elements compared are charged once the search ends: at most one array's worth of work
  // can pass the budget before the call fails.
  size_t i = size_t(start);
  while (i < array.count() && !strictEquals(array.elements()[i], sought)) ++i;
  if (!chargeVisits(std::min(i + 1, array.count()) - size_t(start), error)) return Value();
  return Value::number(i < array.count() ? double(i) : -1);
}

Value lastIndexOf(APMPArrayValue& array, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  Value sought = args.empty() ? Value() : args[0];
  double length = double(array.count());
  double from = length - 1;
  if (args.size() > 1) {
    double n = numberForm(args[1], error);
    if (failed(error)) return Value();
    if (!std::isnan(n)) {
      from = toInteger(n);
      if (from < 0) from += length;
    }
  }
  if (from < 0) return Value::number(-1);
  size_t first = size_t(std::min(from, length - 1));
  size_t visited = 0;
  std::optional<size_t> found;
  for (size_t i = first + 1; i-- > 0 && !found;) {
    ++visited;
    if (strictEquals(array.elements()[i], sought)) found = i;
  }
  if (!chargeVisits(visited, error)) return Value();
  return Value::number(found ? double(*found) : -1);
}

Value join(APMPArrayValue& array, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 1, error)) return Value();
  std::u16string separator = u",";
  if (!args.empty()) {
    separator = args[0].isUndefined() || args[0].isNull() ? u"" : stringForm(args[0], error);
    if (failed(error)) return Value();
  }
  std::u16string text = joinElements(array, separator, error);
  return failed(error) ? Value() : makeString(std::move(text));
}

// The removed element; a hole leaves as undefined.
Value removed(Value element) { return isHole(element) ? Value() : element; }

Value pop(APMPArrayValue& array, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 0, error)) return Value();
  if (array.count() == 0) return Value();
  Value last = std::move(array.elements().back());
  array.elements().pop_back();
  return removed(std::move(last));
}

Value shift(APMPArrayValue& array, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 0, error)) return Value();
  if (array.count() == 0) return Value();
  if (!chargeCopies(array.count(), error)) return Value();
  Value front = std::move(array.elements().front());
  array.elements().erase(array.elements().begin());
  return removed(std::move(front));
}

Value push(APMPArrayValue& array, ValueList& args, APMPScope&, os::Error* error) {
  if (!reserveElements(array.count() + args.size(), args.size(), error)) return Value();
  chargeMemory(args.size() * sizeof(Value));
  array.elements().insert(array.elements().end(), args.begin(), args.end());
  return Value::number(double(array.count()));
}

Value unshift(APMPArrayValue& array, ValueList& args, APMPScope&, os::Error* error) {
  if (!reserveElements(array.count() + args.size(), args.size(), error) ||
      !chargeCopies(array.count(), error)) {
    return Value();
  }
  chargeMemory(args.size() * sizeof(Value));
  array.elements().insert(array.elements().begin(), args.begin(), args.end());
  return Value::number(double(array.count()));
}

Value reverse(APMPArrayValue& array, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 0, error) || !chargeCopies(array.count(), error)) {
    return Value();
  }
  std::reverse(array.elements().begin(), array.elements().end());
  return Value(&array);
}

template <bool FromRight>
Value reduce(APMPArrayValue& array, ValueList& args, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtLeast(args.size(), 1, error) ||
      !checkArgumentCountAtMost(args.size(), 2, error)) {
    return Value();
  }
  Ref<APMPFunctionValue> function(args[0].asFunction());
  if (!function || (args.size() > 1 && args[1].isControl())) {
    runtimeError(error, kWrongKind);
    return Value();
  }
  Value self(&array);
  size_t length = array.count();
  bool haveAccumulator = args.size() > 1;
  Value accumulator = haveAccumulator ? args[1] : Value();
  for (size_t step = 0; step < length; ++step) {
    size_t i = FromRight ? length - 1 - step : step;
    if (i >= array.count() || isHole(array.elements()[i])) continue;
    Value element = array.elements()[i];
    if (!haveAccumulator) {
      accumulator = element;
      haveAccumulator = true;
      continue;
    }
    if (!chargeVisits(1, error)) return Value();
    Value callArguments[] = {accumulator, element, Value::number(double(i)), self};
    accumulator = function->invoke(callArguments, scope, error);
    if (failed(error)) return Value();
  }
  if (!haveAccumulator) {
    runtimeError(error, kEmptyReduce);
    return Value();
  }
  return accumulator;
}

// A negative position counts from the end; the result lies in 0 ... length.
double relativePosition(double value, double length) {
  if (value < 0) return std::max(value + length, 0.0);
  return std::min(value, length);
}

Value slice(APMPArrayValue& array, ValueList& args, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 2, error)) return Value();
  double length = double(array.count());
  double start = args.empty() ? 0 : toInteger(numberForm(args[0], error));
  double end = args.size() > 1 ? toInteger(numberForm(args[1], error)) : length;
  if (failed(error)) return Value();
  start = relativePosition(start, length);
  end = std::min(std::max(relativePosition(end, length), start), length);
  if (!reserveElements(size_t(end - start), error)) return Value();
  return APMPObjectManager::subarrayWithArray(array, size_t(start), size_t(end - start), scope);
}

// The order of two elements for "sort": negative, zero or positive.
class SortOrder {
 public:
  SortOrder(APMPFunctionValue* function, APMPScope& scope, os::Error* error)
      : function_(function), scope_(scope), error_(error) {}

  // True when `b` must come before `a`.
  bool after(const Value& a, const Value& b) { return compare(a, b) > 0; }

 private:
  double compare(const Value& a, const Value& b) {
    if (failed(error_) || !chargeVisits(1, error_)) return 0;
    if (isHole(a) || isHole(b)) return double(isHole(a)) - double(isHole(b));
    if (a.isUndefined() || b.isUndefined())
      return double(a.isUndefined()) - double(b.isUndefined());
    if (function_) {
      Value callArguments[] = {a, b};
      Value result = function_->invoke(callArguments, scope_, error_);
      if (failed(error_)) return 0;
      double order = numberForm(result, error_);
      return failed(error_) || std::isnan(order) ? 0 : order;
    }
    std::u16string x = stringForm(a, error_);
    std::u16string y = stringForm(b, error_);
    if (failed(error_)) return 0;
    return x.compare(y);
  }

  APMPFunctionValue* function_;
  APMPScope& scope_;
  os::Error* error_;
};

// A stable merge sort over `values` that reads only within its own buffers. Once `*error` is set
// every comparison answers "equal", which leaves the order as it stands: the sort then ends at
// once instead of merging on without comparing.
void mergeSort(ValueList& values, SortOrder& order, os::Error* error) {
  ValueList scratch(values.size());
  for (size_t width = 1; width < values.size() && !failed(error); width *= 2) {
    if (!chargeCopies(values.size(), error)) return;
    for (size_t left = 0; left < values.size(); left += 2 * width) {
      size_t middle = std::min(left + width, values.size());
      size_t right = std::min(left + 2 * width, values.size());
      size_t i = left;
      size_t j = middle;
      size_t k = left;
      while (i < middle && j < right) {
        scratch[k++] = order.after(values[i], values[j]) ? values[j++] : values[i++];
      }
      while (i < middle) scratch[k++] = values[i++];
      while (j < right) scratch[k++] = values[j++];
    }
    values.swap(scratch);
  }
}

Value sort(APMPArrayValue& array, ValueList& args, APMPScope& scope, os::Error* error) {
  if (!checkArgumentCountAtMost(args.size(), 1, error)) return Value();
  Value self(&array);
  if (array.count() < 2) return self;
  Ref<APMPFunctionValue> function;
  if (!args.empty()) {
    function = Ref<APMPFunctionValue>(args[0].asFunction());
    if (!function) {
      runtimeError(error, kWrongKind);
      return Value();
    }
  }
  if (!reserveElements(array.count(), error)) return Value();
  ValueList values = array.elements();
  SortOrder order(function.get(), scope, error);
  mergeSort(values, order, error);
  array.elements() = std::move(values);
  return failed(error) ? Value() : self;
}

Value splice(APMPArrayValue& array, ValueList& args, APMPScope& scope, os::Error* error) {
  if (args.empty()) return APMPObjectManager::arrayValueWithScope(scope);
  double length = double(array.count());
  double start = relativePosition(toInteger(numberForm(args[0], error)), length);
  double deleteCount = length - start;
  if (args.size() > 1) {
    deleteCount = std::min(std::max(toInteger(numberForm(args[1], error)), 0.0), length - start);
  }
  if (failed(error)) return Value();
  size_t items = args.size() > 2 ? args.size() - 2 : 0;
  // The removed elements go to a new array and the tail moves.
  if (!reserveElements(array.count() - size_t(deleteCount) + items, items, error) ||
      !reserveElements(size_t(deleteCount), error) ||
      !chargeCopies(array.count() - size_t(start), error)) {
    return Value();
  }
  ValueList& elements = array.elements();
  auto first = elements.begin() + long(start);
  ValueList deleted(first, first + long(deleteCount));
  first = elements.erase(first, first + long(deleteCount));
  if (items > 0) elements.insert(first, args.begin() + 2, args.end());
  return APMPObjectManager::arrayValueWithArray(std::move(deleted), scope);
}

Value toStringMethod(APMPArrayValue& array, ValueList& args, APMPScope&, os::Error* error) {
  if (!checkArgumentCount(args.size(), 0, error)) return Value();
  std::u16string text = joinElements(array, u",", error);
  return failed(error) ? Value() : makeString(std::move(text));
}

struct Method {
  std::u16string_view name;
  Handler handler;
};

constexpr Method kMethods[] = {
    {u"concat", concat},
    {u"every", callbackWalk<Walk::Every>},
    {u"filter", callbackWalk<Walk::Filter>},
    {u"forEach", callbackWalk<Walk::ForEach>},
    {u"hasOwnProperty", hasOwnProperty},
    {u"indexOf", indexOf},
    {u"join", join},
    {u"lastIndexOf", lastIndexOf},
    {u"map", callbackWalk<Walk::Map>},
    {u"pop", pop},
    {u"push", push},
    {u"reduce", reduce<false>},
    {u"reduceRight", reduce<true>},
    {u"reverse", reverse},
    {u"shift", shift},
    {u"slice", slice},
    {u"some", callbackWalk<Walk::Some>},
    {u"sort", sort},
    {u"splice", splice},
    {u"toString", toStringMethod},
    {u"unshift", unshift},
};

}  // namespace

Value applyArrayMethod(APMPArrayValue& receiver, const APMPStringValue& name,
                       std::span<const Value> arguments, APMPScope& scope, os::Error* error) {
  for (const Method& method : kMethods) {
    if (method.name != name.text()) continue;
    Ref<APMPArrayValue> keep(&receiver);
    ValueList values;
    if (!evaluateArguments(arguments, scope, &values, error)) return Value();
    return method.handler(receiver, values, scope, error);
  }
  runtimeError(error, kNoMethod);
  return Value();
}

}  // namespace measurement::runtime
