#include "measurement/runtime/value.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>

#include "measurement/runtime/array_methods.h"
#include "measurement/runtime/collection.h"
#include "measurement/runtime/commands.h"
#include "measurement/runtime/evaluator.h"
#include "measurement/runtime/runtime.h"
#include "measurement/runtime/scope.h"
#include "measurement/runtime/string_methods.h"

namespace measurement::runtime {

namespace {

thread_local std::vector<const RefCounted*>* pendingDestruction = nullptr;

// Containers whose string form or conversion is in progress, to find cycles and bound nesting.
thread_local std::vector<const HeapValue*> visiting;

class VisitGuard {
 public:
  VisitGuard(const HeapValue* value) { visiting.push_back(value); }
  ~VisitGuard() { visiting.pop_back(); }
  static bool isVisiting(const HeapValue* value) {
    return std::find(visiting.begin(), visiting.end(), value) != visiting.end();
  }
  static bool tooDeep() { return visiting.size() >= size_t(kMaxNesting); }
};

constexpr size_t kSmallMapSize = 8;

}  // namespace

void RefCounted::destroy(const RefCounted* object) {
  if (pendingDestruction) {
    pendingDestruction->push_back(object);
    return;
  }
  // Deleting one object releases what it holds; those deletions queue here instead of
  // recursing, so a long chain cannot exhaust the stack. Most deletions free nothing else, and
  // an empty list costs no allocation.
  std::vector<const RefCounted*> pending;
  pendingDestruction = &pending;
  delete object;
  while (!pending.empty()) {
    const RefCounted* next = pending.back();
    pending.pop_back();
    delete next;
  }
  pendingDestruction = nullptr;
}

thread_local constinit RunBudget* currentRunBudget = nullptr;

RunBudget* setCurrentRunBudget(RunBudget* budget) {
  return std::exchange(currentRunBudget, budget);
}

bool detail::chargeSteps(size_t steps, os::Error* error) {
  RunBudget* budget = currentRunBudget;
  if (!budget) return true;
  if (steps > uint64_t(budget->stepLimit - budget->steps)) {
    budget->steps = budget->stepLimit;
    return runtimeError(error, kLimit);
  }
  budget->steps += int64_t(steps);
  return true;
}

void noteUnits(size_t units) {
  RunBudget* budget = currentRunBudget;
  if (!budget || units < kUnitsPerStep) return;
  budget->steps +=
      int64_t(std::min(units / kUnitsPerStep, uint64_t(budget->stepLimit - budget->steps)));
}

bool fitsMemory(size_t bytes, os::Error* error) {
  const RunBudget* budget = currentRunBudget;
  if (!budget ||
      (budget->bytes <= budget->byteLimit && bytes <= budget->byteLimit - budget->bytes)) {
    return true;
  }
  return runtimeError(error, kLimit);
}

bool checkStringLength(size_t length, os::Error* error) {
  if (length > kMaxStringLength) return runtimeError(error, kLimit);
  return fitsMemory(sizeof(APMPStringValue) + length * sizeof(char16_t), error);
}

bool reserveString(size_t length, os::Error* error) {
  return checkStringLength(length, error) && chargeUnits(length, error);
}

bool reserveElements(size_t length, size_t added, os::Error* error) {
  if (length > kMaxArrayLength) return runtimeError(error, kLimit);
  return fitsMemory(added * sizeof(Value), error) && chargeCopies(added, error);
}

// Strings.

size_t APMPStringValue::hash() const {
  if (!hashed_) {
    hash_ = std::hash<std::u16string_view>()(text_);
    hashed_ = true;
  }
  return hash_;
}

Value makeString(std::u16string text) {
  chargeMemory(sizeof(APMPStringValue) + text.size() * sizeof(char16_t));
  return Value(Ref<APMPStringValue>(new APMPStringValue(std::move(text))));
}

Ref<APMPStringValue> makeName(std::u16string text) {
  return Ref<APMPStringValue>(new APMPStringValue(std::move(text)));
}

// Property maps.

APMPPropertyMap::Entry* APMPPropertyMap::findEntry(std::u16string_view name,
                                                   const APMPStringValue* identity) const {
  auto* entries = const_cast<std::vector<Entry>*>(&entries_);
  if (index_.empty()) {
    for (Entry& entry : *entries) {
      if (entry.name.get() == identity || entry.name->text() == name) return &entry;
    }
    return nullptr;
  }
  size_t mask = index_.size() - 1;
  size_t slot = (identity ? identity->hash() : std::hash<std::u16string_view>()(name)) & mask;
  while (index_[slot] >= 0) {
    Entry& entry = (*entries)[size_t(index_[slot])];
    if (entry.name.get() == identity || entry.name->text() == name) return &entry;
    slot = (slot + 1) & mask;
  }
  return nullptr;
}

const Value* APMPPropertyMap::find(std::u16string_view name) const {
  Entry* entry = findEntry(name, nullptr);
  return entry ? &entry->value : nullptr;
}

Value APMPPropertyMap::valueForName(const APMPStringValue& name) const {
  const Value* value = find(name);
  return value ? *value : Value();
}

void APMPPropertyMap::rebuildIndex() {
  if (entries_.size() <= kSmallMapSize) {
    index_.clear();
    return;
  }
  size_t capacity = 16;
  while (capacity < entries_.size() * 2) capacity *= 2;
  index_.assign(capacity, -1);
  for (size_t i = 0; i < entries_.size(); ++i) {
    size_t slot = entries_[i].name->hash() & (capacity - 1);
    while (index_[slot] >= 0) slot = (slot + 1) & (capacity - 1);
    index_[slot] = int32_t(i);
  }
}

void APMPPropertyMap::storeSearching(const Ref<APMPStringValue>& name, Value value, bool constant) {
  if (immutable_) return;
  if (Entry* entry = findEntry(name->text(), name.get())) {
    if (entry->constant) return;
    entry->value = std::move(value);
    entry->constant = constant;
    return;
  }
  chargeMemory(sizeof(Entry) + sizeof(int32_t) * 2);
  entries_.push_back(Entry{name, std::move(value), constant});
  if (entries_.size() > kSmallMapSize && entries_.size() * 2 > index_.size()) {
    rebuildIndex();
  } else if (!index_.empty()) {
    size_t mask = index_.size() - 1;
    size_t slot = name->hash() & mask;
    while (index_[slot] >= 0) slot = (slot + 1) & mask;
    index_[slot] = int32_t(entries_.size() - 1);
  }
}

void APMPPropertyMap::setImmutableValue(const Ref<APMPStringValue>& name, Value value) {
  store(name, std::move(value), true);
}

void APMPPropertyMap::removeValue(const APMPStringValue& name) {
  if (immutable_) return;
  Entry* entry = findEntry(name.text(), &name);
  if (!entry || entry->constant) return;
  // Order is not promised, so the last entry fills the gap.
  *entry = std::move(entries_.back());
  entries_.pop_back();
  rebuildIndex();
}

std::vector<Ref<APMPStringValue>> APMPPropertyMap::allNames() const {
  std::vector<Ref<APMPStringValue>> names;
  names.reserve(entries_.size());
  for (const Entry& entry : entries_) names.push_back(entry.name);
  return names;
}

void APMPPropertyMap::clear() {
  std::vector<Entry> dropped;
  dropped.swap(entries_);
  index_.clear();
}

void APMPPropertyMap::clearKeepingStorage() {
  entries_.clear();
  index_.clear();
  immutable_ = false;
}

// Containers.

APMPContainerValue::~APMPContainerValue() {
  if (manager_) manager_->forget(slot_);
}

void APMPContainerValue::visitChildren(Marker& marker) const {
  for (const APMPPropertyMap::Entry& entry : propertyMap_.entries()) marker.markValue(entry.value);
}

void APMPContainerValue::dropContents() {
  if (!propertyMap_.isImmutable()) propertyMap_.clear();
}

ValueList APMPArrayValue::allElements() const {
  ValueList elements = elements_;
  for (Value& element : elements) {
    if (element.kind() == Kind::Hole) element = Value();
  }
  return elements;
}

namespace {

// The element index of an index key (isArrayIndex holds).
size_t indexOfKey(const Value& key) {
  os::Error ignored;
  double number = numberForm(key, &ignored);
  return number >= double(std::numeric_limits<size_t>::max()) ? std::numeric_limits<size_t>::max()
                                                              : size_t(number);
}

bool isLengthKey(const Value& key) {
  const APMPStringValue* string = key.asString();
  return string && string->text() == u"length";
}

}  // namespace

Value APMPArrayValue::valueForProperty(const Value& key, os::Error* error) const {
  std::u16string name = stringForm(key, error);
  if (failed(error)) return Value();
  if (isLengthKey(key)) return Value::number(double(elements_.size()));
  if (isArrayIndex(key)) {
    size_t index = indexOfKey(key);
    if (index >= elements_.size() || elements_[index].kind() == Kind::Hole) return Value();
    return elements_[index];
  }
  const Value* value = propertyMap().find(name);
  return value ? *value : Value();
}

void APMPArrayValue::setValueForProperty(const Value& key, Value value, os::Error* error) {
  if (isLengthKey(key)) {
    if (!isArrayIndex(value)) {
      runtimeError(error, kBadLength);
      return;
    }
    setLength(numberForm(value, error), error);
    return;
  }
  if (isArrayIndex(key)) {
    size_t index = indexOfKey(key);
    if (index >= elements_.size()) {
      size_t added = index >= kMaxArrayLength ? 0 : index + 1 - elements_.size();
      if (!reserveElements(index + 1, added, error)) return;
      chargeMemory(added * sizeof(Value));
      elements_.resize(index + 1, Value::hole());
    }
    elements_[index] = std::move(value);
    return;
  }
  std::u16string name = stringForm(key, error);
  if (failed(error)) return;
  propertyMap().setValue(makeName(std::move(name)), std::move(value));
}

void APMPArrayValue::removeValueForProperty(const Value& key, os::Error* error) {
  if (isArrayIndex(key)) {
    size_t index = indexOfKey(key);
    if (index < elements_.size()) elements_[index] = Value::hole();
    return;
  }
  std::u16string name = stringForm(key, error);
  if (failed(error)) return;
  APMPStringValue probe(std::move(name));
  propertyMap().removeValue(probe);
}

bool APMPArrayValue::hasProperty(const Value& key, os::Error* error) const {
  if (isArrayIndex(key)) {
    size_t index = indexOfKey(key);
    return index < elements_.size() && elements_[index].kind() != Kind::Hole;
  }
  std::u16string name = stringForm(key, error);
  if (failed(error)) return false;
  return propertyMap().find(name) != nullptr;
}

bool APMPArrayValue::setLength(double length, os::Error* error) {
  if (length > double(kMaxArrayLength)) return runtimeError(error, kLimit);
  size_t count = size_t(length);
  if (count > elements_.size()) {
    size_t added = count - elements_.size();
    if (!reserveElements(count, added, error)) return false;
    chargeMemory(added * sizeof(Value));
  } else if (!chargeCopies(elements_.size() - count, error)) {
    return false;
  }
  elements_.resize(count, Value::hole());
  return true;
}

ValueList APMPArrayValue::allPropertyNames() const {
  ValueList names;
  for (const Ref<APMPStringValue>& name : propertyMap().allNames()) names.push_back(Value(name));
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (elements_[i].kind() != Kind::Hole) names.push_back(makeString(numberText(double(i))));
  }
  return names;
}

void APMPArrayValue::visitChildren(Marker& marker) const {
  APMPContainerValue::visitChildren(marker);
  marker.chargeRetained(elements_.size() * sizeof(Value));
  for (const Value& element : elements_) marker.markValue(element);
}

void APMPArrayValue::dropContents() {
  APMPContainerValue::dropContents();
  ValueList dropped;
  dropped.swap(elements_);
}

namespace {

// The method call of maps and functions: an own function property, else "hasOwnProperty", else
// "toString".
Value applyObjectMethod(const Value& receiver, const APMPStringValue& name,
                        std::span<const Value> arguments, APMPScope& scope, os::Error* error) {
  const APMPPropertyMap& properties = asContainer(receiver)->propertyMap();
  if (const Value* property = properties.find(name)) {
    Ref<APMPFunctionValue> function(property->asFunction());
    if (!function) {
      runtimeError(error, kNoMethod);
      return Value();
    }
    return function->invoke(arguments, scope, error);
  }
  if (name.text() == u"hasOwnProperty") {
    ValueList values;
    if (!evaluateArguments(arguments, scope, &values, error)) return Value();
    if (!checkArgumentCount(values.size(), 1, error)) return Value();
    std::u16string key = stringForm(values[0], error);
    if (failed(error)) return Value();
    return Value::boolean(properties.find(key) != nullptr);
  }
  return applyBaseMethod(receiver, name, error);
}

}  // namespace

Value APMPMapValue::applyWithName(const APMPStringValue& name, std::span<const Value> arguments,
                                  APMPScope& scope, os::Error* error) {
  return applyObjectMethod(Value(this), name, arguments, scope, error);
}

// Functions.

APMPFunctionValue::APMPFunctionValue(Ref<APMPStringValue> name,
                                     std::vector<Ref<APMPStringValue>> parameterNames,
                                     ValueList statements, Ref<APMPScope> definingScope)
    : APMPContainerValue(Kind::Function),
      name_(std::move(name)),
      parameterNames_(std::move(parameterNames)),
      statements_(std::move(statements)),
      definingScope_(std::move(definingScope)) {}

APMPFunctionValue::APMPFunctionValue(std::u16string name)
    : APMPFunctionValue(makeName(std::move(name)), {}, {}, Ref<APMPScope>(new APMPScope(nullptr))) {
  script_ = false;
}

APMPFunctionValue::~APMPFunctionValue() = default;

Value APMPFunctionValue::invoke(std::span<const Value> arguments, APMPScope& scope,
                                os::Error* error) {
  return withEvaluatedArguments(arguments, scope, error, [&](std::span<Value> values) {
    return invokeWithEvaluatedArguments(values, scope, error);
  });
}

Value APMPFunctionValue::invokeWithEvaluatedArguments(std::span<const Value> arguments,
                                                      APMPScope& caller, os::Error* error) {
  if (!definingScope_) return Value();  // emptied by a collection
  if (!chargeCopies(parameterNames_.size(), error)) return Value();
  Ref<APMPScope> scope = APMPScope::begin(definingScope_, caller.runtime());
  for (size_t i = 0; i < parameterNames_.size(); ++i) {
    scope->addValue(parameterNames_[i], i < arguments.size() ? arguments[i] : Value());
  }
  // The body may drop this function's last reference (a collection cannot run mid-event, but the
  // binding that holds it can be overwritten), so keep it alive while it runs.
  Ref<APMPFunctionValue> keep(this);
  bool returned = false;
  Value result = executeFunctionBody(statements_, *scope, &returned, error);
  APMPRuntime* runtime = scope->runtime();
  APMPScope::end(std::move(scope));
  if (failed(error)) return Value();
  if (returned) return result;
  if (APMPControlValue* control = result.asControl()) {
    if (control->type() == APMPControlValue::Type::Return) {
      return runtime ? runtime->returnData(std::move(result)) : control->data();
    }
  }
  return result;
}

void APMPFunctionValue::visitChildren(Marker& marker) const {
  APMPContainerValue::visitChildren(marker);
  marker.markScope(definingScope_.get());
}

void APMPFunctionValue::dropContents() {
  APMPContainerValue::dropContents();
  ValueList statements;
  statements.swap(statements_);
  definingScope_ = Ref<APMPScope>();
}

// Control values.

Value APMPControlValue::breakValue() {
  return Value(Ref<APMPControlValue>(new APMPControlValue(Type::Break, Value())));
}
Value APMPControlValue::continueValue() {
  return Value(Ref<APMPControlValue>(new APMPControlValue(Type::Continue, Value())));
}
Value APMPControlValue::returnValue(Value data) {
  return Value(Ref<APMPControlValue>(new APMPControlValue(Type::Return, std::move(data))));
}

// Statements.

APMPStatementValue::APMPStatementValue(Ref<APMPStringValue> name, int opcode, ValueList arguments)
    : HeapValue(Kind::Statement),
      name_(std::move(name)),
      opcode_(opcode),
      command_(opcode >= 0 ? &runtime::command(opcode) : nullptr),
      arguments_(std::move(arguments)) {
  if ((opcode_ == kReadOpcode && arguments_.size() == 1) ||
      (opcode_ == kAssignOpcode && arguments_.size() == 2)) {
    literalName_ = arguments_[0].asString();
  }
}

// Conversions.

bool isTrimmedSpace(char16_t unit) {
  if (unit == u' ' || (unit >= 0x09 && unit <= 0x0d)) return true;
  if (unit < 0x80) return false;
  if (unit == 0x85) return true;
  int8_t type = u_charType(unit);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::u16string_view trimmed(std::u16string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isTrimmedSpace(text[begin])) ++begin;
  while (end > begin && isTrimmedSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

double stringNumber(std::u16string_view text) {
  std::u16string_view t = trimmed(text);
  if (t.empty()) return 0;
  if (t == u"NaN") return std::numeric_limits<double>::quiet_NaN();
  if (t == u"Infinity") return std::numeric_limits<double>::infinity();
  if (t == u"-Infinity") return -std::numeric_limits<double>::infinity();
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  // sign? digits* ('.' digits*)? (e sign? digits+)?, with at least one mantissa digit.
  std::string ascii;
  ascii.reserve(t.size());
  size_t i = 0;
  bool negative = false;
  if (t[i] == u'+' || t[i] == u'-') negative = t[i++] == u'-';
  size_t mantissaDigits = 0;
  long integerDigits = 0;
  bool leading = true;
  while (i < t.size() && t[i] >= u'0' && t[i] <= u'9') {
    if (t[i] != u'0') leading = false;
    if (!leading) ++integerDigits;
    ascii.push_back(char(t[i++]));
    ++mantissaDigits;
  }
  if (i < t.size() && t[i] == u'.') {
    ascii.push_back('.');
    ++i;
    while (i < t.size() && t[i] >= u'0' && t[i] <= u'9') {
      ascii.push_back(char(t[i++]));
      ++mantissaDigits;
    }
  }
  if (mantissaDigits == 0) return kNaN;
  long exponent = 0;
  if (i < t.size() && (t[i] == u'e' || t[i] == u'E')) {
    ascii.push_back('e');
    ++i;
    bool negativeExponent = false;
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
      negativeExponent = t[i] == u'-';
      ascii.push_back(char(t[i++]));
    }
    size_t exponentDigits = 0;
    while (i < t.size() && t[i] >= u'0' && t[i] <= u'9') {
      if (exponent < 100000) exponent = exponent * 10 + (t[i] - u'0');
      ascii.push_back(char(t[i++]));
      ++exponentDigits;
    }
    if (exponentDigits == 0) return kNaN;
    if (negativeExponent) exponent = -exponent;
  }
  if (i != t.size()) return kNaN;
  double value = 0;
  auto [end, status] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  if (status == std::errc::result_out_of_range) {
    value = integerDigits + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (status != std::errc() || end != ascii.data() + ascii.size()) {
    return kNaN;
  }
  return negative ? -value : value;
}

std::u16string numberText(double value) {
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value > 0 ? u"Infinity" : u"-Infinity";
  if (value == 0) return u"0";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, size_t(result.ptr - buffer));
  std::u16string out;
  if (text.front() == '-') {
    out.push_back(u'-');
    text.remove_prefix(1);
  }
  size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = std::stoi(std::string(text.substr(e + 1)));
  double magnitude = std::fabs(value);
  int count = int(digits.size());
  if (magnitude >= 1e21 || magnitude < 1e-6) {
    out.push_back(char16_t(digits[0]));
    if (count > 1) {
      out.push_back(u'.');
      for (int i = 1; i < count; ++i) out.push_back(char16_t(digits[size_t(i)]));
    }
    out.push_back(u'e');
    out.push_back(exponent < 0 ? u'-' : u'+');
    for (char c : std::to_string(std::abs(exponent))) out.push_back(char16_t(c));
    return out;
  }
  if (exponent >= 0) {
    for (int i = 0; i < std::max(count, exponent + 1); ++i) {
      if (i == exponent + 1) out.push_back(u'.');
      out.push_back(i < count ? char16_t(digits[size_t(i)]) : u'0');
    }
    return out;
  }
  out += u"0.";
  out.append(size_t(-exponent - 1), u'0');
  for (char c : digits) out.push_back(char16_t(c));
  return out;
}

std::u16string joinElements(const APMPArrayValue& array, std::u16string_view separator,
                            os::Error* error) {
  if (array.count() == 0) return {};
  if (VisitGuard::isVisiting(&array)) return {};
  if (VisitGuard::tooDeep()) {
    runtimeError(error, kLimit);
    return {};
  }
  VisitGuard guard(&array);
  // The separators alone are checked before anything is built: over an array of holes they are
  // the whole result.
  const ValueList& elements = array.elements();
  size_t count = elements.size();
  size_t separators = separator.size() * (count - 1);
  if (!chargeCopies(count, error) || !checkStringLength(separators, error) ||
      !chargeUnits(separators, error)) {
    return {};
  }
  std::u16string out;
  size_t texts = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += separator;
    const Value& element = elements[i];
    Kind kind = element.kind();
    if (kind == Kind::Hole || kind == Kind::Undefined || kind == Kind::Null) continue;
    std::u16string text = stringForm(element, error);
    if (failed(error) || !checkStringLength(separators + texts + text.size(), error)) return {};
    texts += text.size();
    out += text;
  }
  return out;
}

std::u16string stringForm(const Value& value, os::Error* error) {
  switch (value.kind()) {
    case Kind::Undefined:
      return u"undefined";
    case Kind::Null:
      return u"null";
    case Kind::Boolean:
      return value.booleanPayload() ? u"true" : u"false";
    case Kind::Number:
      return numberText(value.numberPayload());
    case Kind::String: {
      const std::u16string& text = value.asString()->text();
      if (!chargeUnits(text.size(), error)) return {};
      return text;
    }
    case Kind::Array:
      return joinElements(*value.asArray(), u",", error);
    case Kind::Map:
      return u"[object Object]";
    case Kind::Function:
      return value.asFunction()->functionName().text();
    case Kind::Hole:
    case Kind::Control:
    case Kind::Statement:
      break;
  }
  runtimeError(error, kNoString);
  return {};
}

double detail::numberForm(const Value& value, os::Error* error) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  switch (value.kind()) {
    case Kind::Undefined:
      return kNaN;
    case Kind::Null:
      return 0;
    case Kind::Boolean:
      return value.booleanPayload() ? 1 : 0;
    case Kind::Number:
      return value.numberPayload();
    case Kind::String: {
      // Reading a number scans the text and copies its digits.
      const std::u16string& text = value.asString()->text();
      return chargeUnits(text.size(), error) ? stringNumber(text) : kNaN;
    }
    case Kind::Array: {
      std::u16string text = stringForm(value, error);
      return failed(error) ? kNaN : stringNumber(text);
    }
    case Kind::Map:
    case Kind::Function:
      return kNaN;
    case Kind::Hole:
    case Kind::Control:
    case Kind::Statement:
      break;
  }
  runtimeError(error, kNoNumber);
  return kNaN;
}

bool detail::truth(const Value& value, os::Error* error) {
  switch (value.kind()) {
    case Kind::Undefined:
    case Kind::Null:
      return false;
    case Kind::Boolean:
      return value.booleanPayload();
    case Kind::Number:
      return value.numberPayload() > 0 || value.numberPayload() < 0;
    case Kind::String:
      return !value.asString()->text().empty();
    case Kind::Array:
    case Kind::Map:
    case Kind::Function:
      return true;
    case Kind::Hole:
    case Kind::Control:
    case Kind::Statement:
      break;
  }
  runtimeError(error, kNoTruth);
  return false;
}

// Equality.

namespace {

// Equal texts; the scan is charged as work.
bool sameText(const APMPStringValue& a, const APMPStringValue& b) {
  if (&a == &b) return true;
  if (a.text().size() != b.text().size()) return false;
  noteUnits(a.text().size());
  return a.text() == b.text();
}

thread_local std::vector<std::pair<const HeapValue*, const HeapValue*>> comparing;

class CompareGuard {
 public:
  CompareGuard(const HeapValue* a, const HeapValue* b) { comparing.emplace_back(a, b); }
  ~CompareGuard() { comparing.pop_back(); }
  // True when the pair is already being compared further up: the structures are cyclic.
  static bool cyclic(const HeapValue* a, const HeapValue* b) {
    for (const auto& [x, y] : comparing) {
      if (x == a || y == b) return true;
    }
    return false;
  }
};

}  // namespace

bool isEqualToRuntimeValue(const Value& a, const Value& b, os::Error* error) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Undefined:
    case Kind::Null:
      return true;
    case Kind::Boolean:
      return a.booleanPayload() == b.booleanPayload();
    case Kind::Number:
      return a.numberPayload() == b.numberPayload() ||
             (std::isnan(a.numberPayload()) && std::isnan(b.numberPayload()));
    case Kind::String:
      return sameText(*a.asString(), *b.asString());
    case Kind::Hole:
      return true;
    case Kind::Function: {
      const APMPFunctionValue* f = a.asFunction();
      const APMPFunctionValue* g = b.asFunction();
      return f == g || (!f->functionName().text().empty() &&
                        f->functionName().text() == g->functionName().text());
    }
    default:
      break;
  }
  if (a.heap() == b.heap()) return true;
  if (CompareGuard::cyclic(a.heap(), b.heap())) return runtimeError(error, kWrongKind);
  if (comparing.size() >= size_t(kMaxNesting)) return runtimeError(error, kLimit);
  CompareGuard guard(a.heap(), b.heap());
  switch (a.kind()) {
    case Kind::Array: {
      const ValueList& x = a.asArray()->elements();
      const ValueList& y = b.asArray()->elements();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!isEqualToRuntimeValue(x[i], y[i], error)) return false;
      }
      return true;
    }
    case Kind::Map: {
      const APMPPropertyMap& x = a.asMap()->propertyMap();
      const APMPPropertyMap& y = b.asMap()->propertyMap();
      if (x.size() != y.size()) return false;
      for (const APMPPropertyMap::Entry& entry : x.entries()) {
        const Value* other = y.find(*entry.name);
        if (!other || !isEqualToRuntimeValue(entry.value, *other, error)) return false;
      }
      return true;
    }
    case Kind::Control: {
      const APMPControlValue* x = a.asControl();
      const APMPControlValue* y = b.asControl();
      return x->type() == y->type() && isEqualToRuntimeValue(x->data(), y->data(), error);
    }
    case Kind::Statement: {
      const APMPStatementValue* x = a.asStatement();
      const APMPStatementValue* y = b.asStatement();
      if (x->functionName().text() != y->functionName().text() ||
          x->arguments().size() != y->arguments().size()) {
        return false;
      }
      for (size_t i = 0; i < x->arguments().size(); ++i) {
        if (!isEqualToRuntimeValue(x->arguments()[i], y->arguments()[i], error)) return false;
      }
      return true;
    }
    default:
      return false;
  }
}

bool strictEquals(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Number:
      return a.numberPayload() == b.numberPayload();
    case Kind::Boolean:
      return a.booleanPayload() == b.booleanPayload();
    case Kind::String:
      return sameText(*a.asString(), *b.asString());
    case Kind::Undefined:
    case Kind::Null:
    case Kind::Hole:
      return true;
    default:
      return a.heap() == b.heap();
  }
}

bool isStringLike(const Value& value) {
  Kind kind = value.kind();
  return kind == Kind::String || kind == Kind::Array || kind == Kind::Map || kind == Kind::Function;
}

bool isArrayIndex(const Value& value) {
  if (!value.isNumber() && !value.isString()) return false;
  os::Error ignored;
  double number = numberForm(value, &ignored);
  return std::isfinite(number) && number >= 0 && number == std::trunc(number);
}

// Method calls.

Value applyBaseMethod(const Value& receiver, const APMPStringValue& name, os::Error* error) {
  if (name.text() == u"toString") {
    os::Error conversion;
    std::u16string text = stringForm(receiver, &conversion);
    return failed(&conversion) ? Value() : makeString(std::move(text));
  }
  runtimeError(error, kNoMethod);
  return Value();
}

Value applyWithName(const Value& receiver, const APMPStringValue& name,
                    std::span<const Value> arguments, APMPScope& scope, os::Error* error) {
  switch (receiver.kind()) {
    case Kind::Undefined:
    case Kind::Null:
      runtimeError(error, kCallOnNothing);
      return Value();
    case Kind::String:
      return applyStringMethod(*receiver.asString(), name, arguments, scope, error);
    case Kind::Array: {
      APMPArrayValue* array = receiver.asArray();
      if (const Value* property = array->propertyMap().find(name)) {
        Ref<APMPFunctionValue> function(property->asFunction());
        if (!function) {
          runtimeError(error, kNoMethod);
          return Value();
        }
        return function->invoke(arguments, scope, error);
      }
      return applyArrayMethod(*array, name, arguments, scope, error);
    }
    case Kind::Map:
      return receiver.asMap()->applyWithName(name, arguments, scope, error);
    case Kind::Function:
      return applyObjectMethod(receiver, name, arguments, scope, error);
    default:
      return applyBaseMethod(receiver, name, error);
  }
}

}  // namespace measurement::runtime
