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
//
// A read or assignment that names its variable literally remembers where it found the binding
// (BindingCache, value.h), so that a loop assigning a variable many scopes out resolves it once
// rather than walking the chain on every pass. Such a lookup first looks in its own scope, then
// in the remembered binding of a walk from the parent. That walk stands while the parent is the
// same scope (its serial: given when first needed, dropped when the storage is reused) and
// nothing has since been bound or frozen in a scope that has a child: only those lie on a
// remembered walk, and each such change starts a new shadowing epoch, which lets go of every
// remembered binding. New names in childless scopes (a call binding its parameters, an iteration
// its variables) keep them.
#pragma once

#include <atomic>
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
  // The same, through `cache`: a name bound here is read here; otherwise the binding that a walk
  // from this scope's parent found before is used while it stands, and a new walk fills `cache`.
  Value valueForName(const APMPStringValue& name, BindingCache& cache) const {
    if (const APMPPropertyMap::Entry* own = contents_.entryFor(name)) return own->value;
    return enclosingValueForName(name, cache);
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
  // The same, through `cache` as valueForName has it.
  bool assign(const APMPStringValue& name, Value value, BindingCache& cache);
  void makeImmutable();

  // New names are bound through the methods above, never through the map itself: they keep
  // remembered bindings (BindingCache) honest.
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
  // The value bound in the nearest enclosing scope, through `cache`. Out of line, so that reads
  // of a scope's own names stay small.
  Value enclosingValueForName(const APMPStringValue& name, BindingCache& cache) const;
  // The entry `cache` remembers when it was filled by a walk from this scope and nothing has
  // been bound since that could shadow it; else nullptr.
  const APMPPropertyMap::Entry* cachedEntry(const BindingCache& cache) const {
    if (cache.startSerial != serial_ ||
        cache.epoch != shadowingEpoch_.load(std::memory_order_relaxed)) {
      return nullptr;
    }
    return cache.owner->contents_.entryAt(cache.index, cache.entryName);
  }
  // Walks from this scope up to the nearest binding of `name` and remembers it in `cache`;
  // nullptr, `cache` untouched, when no scope binds it.
  const APMPPropertyMap::Entry* resolve(const APMPStringValue& name, BindingCache& cache) const;
  // Called after a name became newly bound here. A scope that never had a child lies on no
  // remembered walk: walks are remembered from the parents of the scopes looking up.
  void noteNewBinding() {
    if (hadChild_) shadowingEpoch_.fetch_add(1, std::memory_order_relaxed);
  }
  // Sets the parent, marking it as having a child, and drops this scope's serial.
  void attachTo(const Ref<APMPScope>& parent) {
    if (parent) parent->hadChild_ = true;
    parent_ = parent;
    serial_ = 0;
  }
  // A number no other scope of this process has had, never 0.
  static uint64_t newSerial();

  Ref<APMPScope> parent_;
  APMPRuntime* runtime_;
  APMPPropertyMap contents_;
  APMPObjectManager* objectManager_ = nullptr;
  // Given when a walk from here is first remembered, so that scopes no walk is remembered from
  // (most calls) cost nothing; 0 until then.
  mutable uint64_t serial_ = 0;
  // A child was made with this scope as its parent (since it was made or last reused).
  bool hadChild_ = false;
  // Starts anew whenever a name is bound, or a scope frozen, where it could change a remembered
  // walk. Shared by every runtime, since one program may run in several.
  static inline std::atomic<uint64_t> shadowingEpoch_{0};
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
    scope->attachTo(parent);
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
    scope->hadChild_ = false;
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
