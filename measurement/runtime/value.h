// The values scripts compute with. `Value` is a small tagged handle: undefined, null, booleans,
// numbers and the array hole marker live inline; strings, arrays, maps, functions, control values
// and statements live on the heap with an intrusive, non-atomic reference count (a runtime and
// its values are used by one thread at a time).
//
//   Value n = Value::number(2.5);
//   Value s = makeString(u"abc");
//   os::Error error;
//   std::u16string text = stringForm(n, &error);   // u"2.5"
//
// Conversions follow the runtime's rules: the string form of a number is its shortest
// round-trip text, the number form of a string reads a whole decimal literal or gives NaN, and
// the truth of a value is its ECMAScript-like boolean. Every conversion that can fail sets a
// runtime error (errors.h) and returns an empty or NaN result; callers look at the error first.
//
// Arrays, maps and functions can refer to each other in cycles. Those made through the object
// manager (collection.h) are tracked and emptied by a collection when unreachable; dropping
// their contents breaks the cycle so that reference counting frees them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "measurement/runtime/errors.h"

namespace measurement::runtime {

class APMPScope;
class APMPObjectManager;
class APMPRuntime;

// Owned by whoever refers to it; freed when the last reference goes. Destruction is deferred to
// a flat loop so that freeing a long chain of values never recurses deeply.
class RefCounted {
 public:
  RefCounted() = default;
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;
  virtual ~RefCounted() = default;

  void retain() const { ++references_; }
  void release() const {
    if (--references_ == 0) destroy(this);
  }
  // How many references there are: storage that only its owner still refers to may be reused.
  uint32_t referenceCount() const { return references_; }

 private:
  static void destroy(const RefCounted* object);
  mutable uint32_t references_ = 0;
};

// An intrusive strong reference.
template <class T>
class Ref {
 public:
  Ref() = default;
  Ref(T* object) : object_(object) {  // NOLINT: implicit from a new object
    if (object_) object_->retain();
  }
  Ref(const Ref& other) : Ref(other.object_) {}
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U>
  Ref(const Ref<U>& other) : Ref(other.get()) {}
  ~Ref() {
    if (object_) object_->release();
  }
  Ref& operator=(Ref other) {
    std::swap(object_, other.object_);
    return *this;
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

// What the running program may spend: evaluation steps and bytes of the values it makes. The
// runtime (runtime.h) installs its budget for the length of a run; work done and values made
// outside a run are not charged.
//
// Every statement evaluated costs one step. Native work costs steps in proportion to what it
// does: one per element visited, compared or called back, one per kCopiesPerStep elements copied,
// moved or filled, one per kUnitsPerStep code units of text copied or scanned. Work of a known
// size is charged before it is done, so that a call that would pass the limit fails at once.
//
// Bulk memory (the text of a string, the elements of an array) is checked against the budget
// before it is allocated and refused past it; values of a fixed size are charged as they are made
// and an overrun is caught before the next step.
struct RunBudget {
  int64_t steps = 0;
  int64_t stepLimit = 0;
  size_t bytes = 0;
  size_t byteLimit = 0;
  bool memoryExhausted() const { return bytes > byteLimit; }
};
// The budget of the run on this thread, if any (set through setCurrentRunBudget).
extern thread_local constinit RunBudget* currentRunBudget;
// Installs `budget` for the current thread and returns the one it replaces.
RunBudget* setCurrentRunBudget(RunBudget* budget);

inline void chargeMemory(size_t bytes) {
  if (currentRunBudget) currentRunBudget->bytes += bytes;
}

inline constexpr size_t kCopiesPerStep = 16;
inline constexpr size_t kUnitsPerStep = 64;

namespace detail {
bool chargeSteps(size_t steps, os::Error* error);
}  // namespace detail
// Charges `steps` of native work; false with runtime error 18 when they pass the step limit (the
// budget is then spent, so the next evaluation fails too).
inline bool chargeSteps(size_t steps, os::Error* error) {
  return steps == 0 || detail::chargeSteps(steps, error);
}
inline bool chargeVisits(size_t elements, os::Error* error) { return chargeSteps(elements, error); }
inline bool chargeCopies(size_t elements, os::Error* error) {
  return chargeSteps(elements / kCopiesPerStep, error);
}
inline bool chargeUnits(size_t units, os::Error* error) {
  return chargeSteps(units / kUnitsPerStep, error);
}
// For work that cannot report an error where it happens (comparing two texts): charged now,
// noticed by the next check.
void noteUnits(size_t units);
// False with runtime error 18 when `bytes` more would not fit the run's memory budget. Nothing
// is charged: the value made with them is.
bool fitsMemory(size_t bytes, os::Error* error);

enum class Kind : uint8_t {
  Undefined,
  Null,
  Boolean,
  Number,
  // The array hole marker: an element slot without a value. Never handed to a script.
  Hole,
  String,
  Array,
  Map,
  Function,
  Control,
  Statement,
};

class HeapValue : public RefCounted {
 public:
  explicit HeapValue(Kind kind) : kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

struct Command;
class APMPStringValue;
class APMPArrayValue;
class APMPMapValue;
class APMPFunctionValue;
class APMPControlValue;
class APMPStatementValue;

class Value {
 public:
  Value() { payload_.object = nullptr; }
  static Value undefined() { return Value(); }
  static Value null() { return Value(Kind::Null); }
  static Value hole() { return Value(Kind::Hole); }
  static Value boolean(bool value) {
    Value v(Kind::Boolean);
    v.payload_.boolean = value;
    return v;
  }
  static Value number(double value) {
    Value v(Kind::Number);
    v.payload_.number = value;
    return v;
  }
  template <class T>
  Value(const Ref<T>& object) : Value(static_cast<HeapValue*>(object.get())) {}  // NOLINT
  explicit Value(HeapValue* object) : kind_(object->kind()) {
    payload_.object = object;
    object->retain();
  }

  Value(const Value& other) : kind_(other.kind_), payload_(other.payload_) {
    if (isHeap()) payload_.object->retain();
  }
  Value(Value&& other) noexcept : kind_(other.kind_), payload_(other.payload_) {
    other.kind_ = Kind::Undefined;
  }
  Value& operator=(const Value& other) {
    Value copy(other);
    swap(copy);
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    Value moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~Value() {
    if (isHeap()) payload_.object->release();
  }
  void swap(Value& other) noexcept {
    std::swap(kind_, other.kind_);
    std::swap(payload_, other.payload_);
  }

  Kind kind() const { return kind_; }
  bool isHeap() const { return kind_ >= Kind::String; }
  bool isUndefined() const { return kind_ == Kind::Undefined; }
  bool isNull() const { return kind_ == Kind::Null; }
  bool isNumber() const { return kind_ == Kind::Number; }
  bool isString() const { return kind_ == Kind::String; }
  bool isArray() const { return kind_ == Kind::Array; }
  bool isMap() const { return kind_ == Kind::Map; }
  bool isFunction() const { return kind_ == Kind::Function; }
  bool isControl() const { return kind_ == Kind::Control; }
  bool isStatement() const { return kind_ == Kind::Statement; }

  bool booleanPayload() const { return payload_.boolean; }
  double numberPayload() const { return payload_.number; }
  HeapValue* heap() const { return isHeap() ? payload_.object : nullptr; }
  // Typed access: nullptr when the value is of another kind.
  APMPStringValue* asString() const;
  APMPArrayValue* asArray() const;
  APMPMapValue* asMap() const;
  APMPFunctionValue* asFunction() const;
  APMPControlValue* asControl() const;
  APMPStatementValue* asStatement() const;

 private:
  explicit Value(Kind kind) : kind_(kind) { payload_.object = nullptr; }
  Kind kind_ = Kind::Undefined;
  union {
    bool boolean;
    double number;
    HeapValue* object;
  } payload_;
};

using ValueList = std::vector<Value>;

class APMPStringValue : public HeapValue {
 public:
  explicit APMPStringValue(std::u16string text) : HeapValue(Kind::String), text_(std::move(text)) {}
  const std::u16string& text() const { return text_; }
  size_t hash() const;

 private:
  std::u16string text_;
  mutable size_t hash_ = 0;
  mutable bool hashed_ = false;
};

Value makeString(std::u16string text);
Ref<APMPStringValue> makeName(std::u16string text);

// Named bindings of scopes, arrays, maps and functions: a name can be a constant, and the whole
// map can be frozen; writes that either forbids are ignored without an error.
class APMPPropertyMap {
 public:
  struct Entry {
    Ref<APMPStringValue> name;
    Value value;
    bool constant = false;
  };

  // The value bound to the name, or nullptr. Names mostly reach here as the one shared value of a
  // program literal, so a small map is first searched by identity alone, without reading texts.
  const Value* find(const APMPStringValue& name) const {
    const Entry* entry = entryFor(name);
    return entry ? &entry->value : nullptr;
  }
  // The same, as the whole entry.
  const Entry* entryFor(const APMPStringValue& name) const {
    // Most scopes a lookup passes (blocks, calls without locals) bind nothing.
    if (entries_.empty()) return nullptr;
    if (index_.empty()) {
      for (const Entry& entry : entries_) {
        if (entry.name.get() == &name) return &entry;
      }
    }
    return findEntry(name.text(), &name);
  }
  const Value* find(std::u16string_view name) const;
  bool hasName(const APMPStringValue& name) const { return find(name) != nullptr; }
  // The entry at `index` when it is still the one bound to `name` (the very name value it was
  // made with); nullptr once removals or a clearing moved it away.
  const Entry* entryAt(size_t index, const APMPStringValue* name) const {
    return index < entries_.size() && entries_[index].name.get() == name ? &entries_[index]
                                                                         : nullptr;
  }
  // Writes the value of the entry at `index` as setValue would (ignored for a frozen map or a
  // constant).
  void setValueAt(size_t index, Value value) {
    Entry& entry = entries_[index];
    if (!immutable_ && !entry.constant) entry.value = std::move(value);
  }
  // The value, or undefined when absent.
  Value valueForName(const APMPStringValue& name) const;

  void setValue(const Ref<APMPStringValue>& name, Value value) {
    store(name, std::move(value), false);
  }
  void setImmutableValue(const Ref<APMPStringValue>& name, Value value);
  void removeValue(const APMPStringValue& name);
  void makeImmutable() { immutable_ = true; }
  bool isImmutable() const { return immutable_; }

  size_t size() const { return entries_.size(); }
  const std::vector<Entry>& entries() const { return entries_; }
  std::vector<Ref<APMPStringValue>> allNames() const;
  void clear();
  // Empty, mutable again, with the storage kept for new bindings.
  void clearKeepingStorage();

 private:
  Entry* findEntry(std::u16string_view name, const APMPStringValue* identity) const;
  // An empty map (a call's new scope binding its first parameter) has nothing to search.
  void store(const Ref<APMPStringValue>& name, Value value, bool constant) {
    if (entries_.empty() && !immutable_ && entries_.capacity() > 0) {
      chargeMemory(sizeof(Entry) + sizeof(int32_t) * 2);
      entries_.push_back(Entry{name, std::move(value), constant});
      return;
    }
    storeSearching(name, std::move(value), constant);
  }
  void storeSearching(const Ref<APMPStringValue>& name, Value value, bool constant);
  void rebuildIndex();

  std::vector<Entry> entries_;
  // Built once a map grows past a few entries, so that large maps stay O(1) per lookup.
  std::vector<int32_t> index_;
  bool immutable_ = false;
};

// The common part of arrays, maps and functions: named properties, a mark flag, and the slot in
// the object manager's tracked list (when tracked).
class APMPContainerValue : public HeapValue {
 public:
  using HeapValue::HeapValue;
  ~APMPContainerValue() override;

  APMPPropertyMap& propertyMap() { return propertyMap_; }
  const APMPPropertyMap& propertyMap() const { return propertyMap_; }

  // Garbage collection (collection.h).
  bool isMarked() const { return marked_; }
  void setMarked(bool marked) { marked_ = marked; }
  virtual void visitChildren(class Marker& marker) const;
  // Drops what the value holds, breaking cycles through it.
  virtual void dropContents();

 private:
  friend class APMPObjectManager;
  APMPPropertyMap propertyMap_;
  APMPObjectManager* manager_ = nullptr;
  size_t slot_ = 0;
  bool marked_ = false;
};

class APMPArrayValue : public APMPContainerValue {
 public:
  APMPArrayValue() : APMPContainerValue(Kind::Array) {}
  explicit APMPArrayValue(ValueList elements)
      : APMPContainerValue(Kind::Array), elements_(std::move(elements)) {}

  ValueList& elements() { return elements_; }
  const ValueList& elements() const { return elements_; }
  size_t count() const { return elements_.size(); }
  // The elements with holes read as undefined.
  ValueList allElements() const;

  Value valueForProperty(const Value& key, os::Error* error) const;
  void setValueForProperty(const Value& key, Value value, os::Error* error);
  void removeValueForProperty(const Value& key, os::Error* error);
  bool hasProperty(const Value& key, os::Error* error) const;
  // Grows with holes or cuts the tail; refuses a length above the runtime's array bound.
  bool setLength(double length, os::Error* error);
  ValueList allPropertyNames() const;

  void visitChildren(Marker& marker) const override;
  void dropContents() override;

 private:
  ValueList elements_;
};

class APMPMapValue : public APMPContainerValue {
 public:
  APMPMapValue() : APMPContainerValue(Kind::Map) {}

  // A method call on the object (`name` with unevaluated argument statements).
  virtual Value applyWithName(const APMPStringValue& name, std::span<const Value> arguments,
                              APMPScope& scope, os::Error* error);
};

class APMPFunctionValue : public APMPContainerValue {
 public:
  APMPFunctionValue(Ref<APMPStringValue> name, std::vector<Ref<APMPStringValue>> parameterNames,
                    ValueList statements, Ref<APMPScope> definingScope);
  // A host function: no parameters, no statements, a fresh parentless scope.
  explicit APMPFunctionValue(std::u16string name);
  ~APMPFunctionValue() override;

  const APMPStringValue& functionName() const { return *name_; }
  const Ref<APMPStringValue>& name() const { return name_; }
  const ValueList& statements() const { return statements_; }
  const Ref<APMPScope>& definingScope() const { return definingScope_; }
  // Made from script statements. Host functions (the name-only constructor) may override
  // `invoke`; a script function's is always the one here, so callers may skip the virtual call.
  bool isScript() const { return script_; }

  // Evaluates the argument statements in `scope`, then runs the body. Host functions override it
  // and decide themselves whether and how to evaluate their arguments.
  virtual Value invoke(std::span<const Value> arguments, APMPScope& scope, os::Error* error);
  // Runs the body in a new child scope of the defining scope with the parameters bound.
  Value invokeWithEvaluatedArguments(std::span<const Value> arguments, APMPScope& caller,
                                     os::Error* error);

  void visitChildren(Marker& marker) const override;
  void dropContents() override;

 private:
  Ref<APMPStringValue> name_;
  std::vector<Ref<APMPStringValue>> parameterNames_;
  ValueList statements_;
  Ref<APMPScope> definingScope_;
  bool script_ = true;
};

class APMPControlValue : public HeapValue {
 public:
  enum class Type { Break, Continue, Return };
  APMPControlValue(Type type, Value data)
      : HeapValue(Kind::Control), type_(type), data_(std::move(data)) {}
  static Value breakValue();
  static Value continueValue();
  static Value returnValue(Value data);
  Type type() const { return type_; }
  const Value& data() const { return data_; }

 private:
  // The runtime reuses one return value for the next return once nobody else holds it.
  friend class APMPRuntime;
  Type type_;
  Value data_;
};

// Where a walk up the enclosing scopes last found a name: the scope that binds it and the
// entry's position there. A read or assignment statement keeps one, so that running it again
// under the same scopes goes straight to the binding; the scopes check that it still holds
// (scope.h).
struct BindingCache {
  // The scope the walk started from (its serial; all ones for none) and the shadowing epoch then.
  uint64_t startSerial = ~uint64_t{0};
  uint64_t epoch = 0;
  APMPScope* owner = nullptr;
  const APMPStringValue* entryName = nullptr;
  uint32_t index = 0;
  // A scope on the way to the binding is frozen: assignments through it are ignored.
  bool frozen = false;
};

class APMPStatementValue : public HeapValue {
 public:
  APMPStatementValue(Ref<APMPStringValue> name, int opcode, ValueList arguments);
  const APMPStringValue& functionName() const { return *name_; }
  const Ref<APMPStringValue>& name() const { return name_; }
  // The command's index in the command table, resolved once; -1 for a call of a function by
  // name.
  int opcode() const { return opcode_; }
  // The command itself, or nullptr for a call of a function by name.
  const Command* command() const { return command_; }
  const ValueList& arguments() const { return arguments_; }
  // For a variable read whose one argument is a literal name, or an assignment of two arguments
  // whose first is one, that name; else nullptr.
  const APMPStringValue* literalName() const { return literalName_; }
  // The binding the read or assignment found last.
  BindingCache& bindingCache() const { return bindingCache_; }

 private:
  Ref<APMPStringValue> name_;
  int opcode_;
  const Command* command_;
  ValueList arguments_;
  const APMPStringValue* literalName_ = nullptr;
  mutable BindingCache bindingCache_;
};

inline APMPStringValue* Value::asString() const {
  return kind_ == Kind::String ? static_cast<APMPStringValue*>(payload_.object) : nullptr;
}
inline APMPArrayValue* Value::asArray() const {
  return kind_ == Kind::Array ? static_cast<APMPArrayValue*>(payload_.object) : nullptr;
}
inline APMPMapValue* Value::asMap() const {
  return kind_ == Kind::Map ? static_cast<APMPMapValue*>(payload_.object) : nullptr;
}
inline APMPFunctionValue* Value::asFunction() const {
  return kind_ == Kind::Function ? static_cast<APMPFunctionValue*>(payload_.object) : nullptr;
}
inline APMPControlValue* Value::asControl() const {
  return kind_ == Kind::Control ? static_cast<APMPControlValue*>(payload_.object) : nullptr;
}
inline APMPStatementValue* Value::asStatement() const {
  return kind_ == Kind::Statement ? static_cast<APMPStatementValue*>(payload_.object) : nullptr;
}

// Arrays, maps and functions.
inline APMPContainerValue* asContainer(const Value& value) {
  Kind kind = value.kind();
  return kind == Kind::Array || kind == Kind::Map || kind == Kind::Function
             ? static_cast<APMPContainerValue*>(value.heap())
             : nullptr;
}

// Conversions. On an error the result is empty, NaN or false.
std::u16string stringForm(const Value& value, os::Error* error);
namespace detail {
double numberForm(const Value& value, os::Error* error);
bool truth(const Value& value, os::Error* error);
}  // namespace detail
// Numbers and booleans, the common operands, answer inline.
inline double numberForm(const Value& value, os::Error* error) {
  return value.isNumber() ? value.numberPayload() : detail::numberForm(value, error);
}
inline bool truth(const Value& value, os::Error* error) {
  return value.kind() == Kind::Boolean ? value.booleanPayload() : detail::truth(value, error);
}

// The number's text: "NaN", "Infinity", "0" for both zeros, plain digits for
// 1e-6 <= |x| < 1e21, else "<digits>e+<n>" / "<digits>e-<n>"; the shortest digits that read back.
std::u16string numberText(double value);
// A string's number: trimmed; empty is 0; "NaN", "Infinity", "-Infinity"; else one whole decimal
// literal, or NaN.
double stringNumber(std::u16string_view text);
// The white space and line breaks that trim and the string number form skip.
bool isTrimmedSpace(char16_t unit);
std::u16string_view trimmed(std::u16string_view text);

// The array's elements joined by `separator`; holes, undefined and null write nothing, and an
// array that contains itself writes "" where it recurs.
std::u16string joinElements(const APMPArrayValue& array, std::u16string_view separator,
                            os::Error* error);

// Structural equality; stops at a cycle with runtime error 10.
bool isEqualToRuntimeValue(const Value& a, const Value& b, os::Error* error);
// Same class and: numbers and booleans by `==` of their number forms, strings by text, others
// by identity.
bool strictEquals(const Value& a, const Value& b);

// Strings, arrays, maps and functions: the kinds whose addition concatenates text.
bool isStringLike(const Value& value);
// A number or string whose number form is finite, not negative and whole.
bool isArrayIndex(const Value& value);

// "toString" on any value, or runtime error 17 for another name; the plain-value part of a
// method call.
Value applyBaseMethod(const Value& receiver, const APMPStringValue& name, os::Error* error);
// A method call on any value: undefined and null fail with error 7; strings and arrays reach
// their methods; maps and functions their function properties and "hasOwnProperty".
Value applyWithName(const Value& receiver, const APMPStringValue& name,
                    std::span<const Value> arguments, APMPScope& scope, os::Error* error);

// Bounds on what one value may hold; reaching one is runtime error 18. They keep a hostile
// program from growing memory faster than its step budget can stop it.
inline constexpr size_t kMaxArrayLength = size_t{1} << 22;
inline constexpr size_t kMaxStringLength = size_t{1} << 24;
// How deeply string forms, equality and host conversion follow nested arrays and objects.
inline constexpr int kMaxNesting = 512;
// Before a string of `length` units is built: false with runtime error 18 when it would be longer
// than kMaxStringLength or would not fit the memory budget. Charges nothing.
bool checkStringLength(size_t length, os::Error* error);
// checkStringLength, and the copying of all `length` units charged: for a text built in one go.
bool reserveString(size_t length, os::Error* error);
// Before an array of `length` elements is made, or one grows to `length` by `added` new slots:
// false with runtime error 18 past kMaxArrayLength or the memory budget; charges the filling.
bool reserveElements(size_t length, size_t added, os::Error* error);
inline bool reserveElements(size_t length, os::Error* error) {
  return reserveElements(length, length, error);
}

}  // namespace measurement::runtime
