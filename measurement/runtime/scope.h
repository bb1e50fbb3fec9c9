// Variable bindings. A scope has an optional parent and a property map; a name is looked up
// through the enclosing scopes, assigned where it is bound (else declared here), and declared in
// the scope itself by `addValue` / `addImmutableValue` (a constant).
//
//   Ref<APMPScope> global(new APMPScope(root, runtime));
//   Ref<APMPScope> run = global->createChildScope();
//   run->setValue(name, Value::number(1));   // binds in `global` when it holds `name`
//
// Writes that a frozen map or a constant forbids are ignored without an error. Every scope below
// a runtime's root knows that runtime (for the instruction counter and the object manager);
// host functions get parentless scopes without one.
//
// Calls and blocks make their scope with `APMPScope::begin` and hand it back with `end`, so that
// the storage of a scope nothing captured serves the next call of the same runtime instead of
// going back to the heap:
//
//   Ref<APMPScope> call = APMPScope::begin(definingScope, caller.runtime());
//   ... run the body in *call ...
//   APMPScope::end(std::move(call));
#pragma once

#include <cstdint>
#include <vector>

#include "measurement/runtime/collection.h"
#include "measurement/runtime/value.h"

namespace measurement::runtime {

class APMPScope : public RefCounted, public APMPMarkable {
 public:
  // `runtime` defaults to the parent's.
  explicit APMPScope(Ref<APMPScope> parent, APMPRuntime* runtime = nullptr);

  Ref<APMPScope> createChildScope();
  // A new child scope of `parent` run by `runtime` (nullptr: the parent's), from the runtime's
  // spare scopes when it has one.
  // (Defined in runtime.h.)
  static inline Ref<APMPScope> begin(const Ref<APMPScope>& parent, APMPRuntime* runtime);
  // The end of a scope made by `begin`: when `scope` is its only reference, its bindings are
  // dropped and its storage kept for a later `begin`; otherwise (a closure captured it) it simply
  // lives on.
  static inline void end(Ref<APMPScope> scope);
  const Ref<APMPScope>& parentScope() const { return parent_; }
  APMPRuntime* runtime() const { return runtime_; }

  bool hasName(const APMPStringValue& name) const;
  // The value from the nearest scope that binds the name; undefined when none does.
  Value valueForName(const APMPStringValue& name) const {
    for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
      if (const Value* value = scope->contents_.find(name)) return *value;
    }
    return Value();
  }
  void addValue(const Ref<APMPStringValue>& name, Value value);
  void addImmutableValue(const Ref<APMPStringValue>& name, Value value);
  // Assignment: where the name is bound (here or in the nearest enclosing scope), else declared
  // here. Ignored when a scope on the way to the binding is frozen.
  void setValue(const Ref<APMPStringValue>& name, Value value) {
    store(name, std::move(value), true);
  }
  // Assignment to a declared name: false, and nothing written, when no scope binds it.
  bool assign(const Ref<APMPStringValue>& name, Value value) {
    return store(name, std::move(value), false);
  }
  void makeImmutable() { contents_.makeImmutable(); }

  APMPPropertyMap& contents() { return contents_; }
  const APMPPropertyMap& contents() const { return contents_; }

  // The root scope's manager, found through the parents.
  APMPObjectManager* objectManager() const;
  void setObjectManager(APMPObjectManager* manager) { objectManager_ = manager; }

  void mark(Marker& marker) const override { marker.markScope(const_cast<APMPScope*>(this)); }

  // The collection that last visited this scope, so that one collection visits it once.
  uint32_t markEpoch = 0;

 private:
  friend class APMPScopePool;
  // The binding is found in one walk up the chain; true when one was found.
  bool store(const Ref<APMPStringValue>& name, Value value, bool declareHere);
  Ref<APMPScope> parent_;
  APMPRuntime* runtime_;
  APMPPropertyMap contents_;
  APMPObjectManager* objectManager_ = nullptr;
};

// The spare scopes of one runtime, behind `APMPScope::begin` and `end`.
class APMPScopePool {
 public:
  APMPScopePool() = default;
  APMPScopePool(const APMPScopePool&) = delete;
  APMPScopePool& operator=(const APMPScopePool&) = delete;
  ~APMPScopePool();

  Ref<APMPScope> childScope(const Ref<APMPScope>& parent, APMPRuntime* runtime) {
    if (spare_.empty()) return Ref<APMPScope>(new APMPScope(parent, runtime));
    APMPScope* scope = spare_.back();
    spare_.pop_back();
    scope->parent_ = parent;
    scope->runtime_ = runtime;
    // Charged as a new scope would be, so that budgets run out exactly where they always did.
    chargeMemory(sizeof(APMPScope));
    return adopt(scope);
  }
  void recycle(Ref<APMPScope> scope) {
    if (scope->referenceCount() != 1 || scope->objectManager_ || spare_.size() >= kMaxSpare) return;
    // Dropping the bindings may free values, never this scope: nothing else refers to it.
    scope->contents_.clearKeepingStorage();
    scope->parent_ = Ref<APMPScope>();
    spare_.push_back(keep(std::move(scope)));
  }

 private:
  // Between a reference and the pool's raw pointer that holds the same one reference.
  static Ref<APMPScope> adopt(APMPScope* scope);
  static APMPScope* keep(Ref<APMPScope> scope);

  // Enough for the nesting of ordinary programs; deeper recursion allocates past it.
  static constexpr size_t kMaxSpare = 64;
  // Each holds the one reference that keeps it.
  std::vector<APMPScope*> spare_;
};

}  // namespace measurement::runtime
