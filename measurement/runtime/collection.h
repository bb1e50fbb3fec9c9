// Garbage collection of the values scripts make. Values are reference counted; what reference
// counting cannot free are cycles (a closure that captures the scope it is bound in, an object
// that holds itself). The object manager keeps a weak list of every array, map and function made
// through its factories, and a collection marks everything reachable from the roots and empties
// every tracked value that was not reached, which breaks its cycles.
//
//   APMPObjectManager& manager = runtime.objectManager();
//   Value map = APMPObjectManager::mapValueWithScope(scope);   // tracked
//   manager.collectGarbage();   // empties `map` unless a root reaches it
//
// Marking follows values, the scopes that functions close over and every scope those scopes are
// nested in, so nothing a live closure can still reach is emptied. It walks an explicit work list,
// never the native stack. The manager never keeps a value alive, and it compacts its list after
// every sweep, so the list does not grow with the number of events handled.
#pragma once

#include <cstdint>
#include <vector>

#include "measurement/runtime/value.h"

namespace measurement::runtime {

class APMPScope;

// Something a collection starts from: scopes, the callback handler, the module cache.
class APMPMarkable {
 public:
  virtual ~APMPMarkable() = default;
  virtual void mark(class Marker& marker) const = 0;
};

// One collection's marking pass.
class Marker {
 public:
  explicit Marker(uint32_t epoch) : epoch_(epoch) {}
  void markValue(const Value& value);
  void markScope(APMPScope* scope);
  void chargeRetained(size_t bytes) { retainedBytes_ += bytes; }
  // Marks everything reachable from what was marked so far.
  void drain();
  size_t retainedBytes() const { return retainedBytes_; }

 private:
  uint32_t epoch_;
  std::vector<const APMPContainerValue*> values_;
  std::vector<APMPScope*> scopes_;
  size_t retainedBytes_ = 0;
};

class APMPObjectManager {
 public:
  APMPObjectManager() = default;
  APMPObjectManager(const APMPObjectManager&) = delete;
  APMPObjectManager& operator=(const APMPObjectManager&) = delete;
  ~APMPObjectManager();

  // Factories: the value is tracked by the manager of `scope` (when it has one).
  static Value functionValueWithFunctionName(Ref<APMPStringValue> name,
                                             std::vector<Ref<APMPStringValue>> parameterNames,
                                             ValueList statements, const Ref<APMPScope>& scope);
  static Value mapValueWithScope(APMPScope& scope);
  static Value arrayValueWithScope(APMPScope& scope);
  static Value arrayValueWithArray(ValueList elements, APMPScope& scope);
  static Value subarrayWithArray(const APMPArrayValue& array, size_t location, size_t length,
                                 APMPScope& scope);

  // `root` must outlive the manager or be the owner of it.
  void addRoot(const APMPMarkable* root);
  void addObject(APMPContainerValue* value);

  void collectGarbage();
  // Empties every tracked value, reachable or not: the end of the runtime, when the roots may
  // still hold closures whose cycles nothing else would break.
  void dropAll();
  // Live tracked values (after the last compaction, plus those made since).
  size_t trackedObjectCount() const;
  size_t trackedListSize() const { return objects_.size(); }
  // What the last collection found reachable, in approximate bytes.
  size_t retainedBytes() const { return retainedBytes_; }

 private:
  friend class APMPContainerValue;
  void forget(size_t slot) { objects_[slot] = nullptr; }
  // Removes the slots of values that are gone.
  void compact();

  static constexpr size_t kMinimumCompaction = 1024;

  std::vector<const APMPMarkable*> roots_;
  std::vector<APMPContainerValue*> objects_;
  size_t compactAt_ = kMinimumCompaction;
  uint32_t epoch_ = 0;
  size_t retainedBytes_ = 0;
};

}  // namespace measurement::runtime
