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
#pragma once

#include <cstdint>

#include "measurement/runtime/collection.h"
#include "measurement/runtime/value.h"

namespace measurement::runtime {

class APMPScope : public RefCounted, public APMPMarkable {
 public:
  // `runtime` defaults to the parent's.
  explicit APMPScope(Ref<APMPScope> parent, APMPRuntime* runtime = nullptr);

  Ref<APMPScope> createChildScope();
  const Ref<APMPScope>& parentScope() const { return parent_; }
  APMPRuntime* runtime() const { return runtime_; }

  bool hasName(const APMPStringValue& name) const;
  // The value from the nearest scope that binds the name; undefined when none does.
  Value valueForName(const APMPStringValue& name) const;
  void addValue(const Ref<APMPStringValue>& name, Value value);
  void addImmutableValue(const Ref<APMPStringValue>& name, Value value);
  void setValue(const Ref<APMPStringValue>& name, Value value);
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
  Ref<APMPScope> parent_;
  APMPRuntime* runtime_;
  APMPPropertyMap contents_;
  APMPObjectManager* objectManager_ = nullptr;
};

}  // namespace measurement::runtime
