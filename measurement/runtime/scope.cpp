#include "measurement/runtime/scope.h"

namespace measurement::runtime {

APMPScope::APMPScope(Ref<APMPScope> parent, APMPRuntime* runtime)
    : parent_(std::move(parent)),
      runtime_(runtime   ? runtime
               : parent_ ? parent_->runtime_
                         : nullptr) {
  chargeMemory(sizeof(APMPScope));
}

Ref<APMPScope> APMPScope::createChildScope() { return Ref<APMPScope>(new APMPScope(this)); }

bool APMPScope::hasName(const APMPStringValue& name) const {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (scope->contents_.hasName(name)) return true;
  }
  return false;
}

void APMPScope::addValue(const Ref<APMPStringValue>& name, Value value) {
  contents_.setValue(name, std::move(value));
}

void APMPScope::addImmutableValue(const Ref<APMPStringValue>& name, Value value) {
  contents_.setImmutableValue(name, std::move(value));
}

bool APMPScope::store(const Ref<APMPStringValue>& name, Value value, bool declareHere) {
  // One walk up the chain finds the binding; every scope on the way to it applies its own freeze,
  // as assignments handed from each scope to its parent would.
  bool frozen = false;
  for (APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    frozen = frozen || scope->contents_.isImmutable();
    if (scope->contents_.hasName(*name)) {
      if (!frozen) scope->contents_.setValue(name, std::move(value));
      return true;
    }
  }
  if (declareHere && !contents_.isImmutable()) contents_.setValue(name, std::move(value));
  return false;
}

APMPObjectManager* APMPScope::objectManager() const {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (scope->objectManager_) return scope->objectManager_;
  }
  return nullptr;
}

APMPScopePool::~APMPScopePool() {
  for (APMPScope* scope : spare_) scope->release();
}

Ref<APMPScope> APMPScopePool::adopt(APMPScope* scope) {
  Ref<APMPScope> made(scope);
  scope->release();
  return made;
}

APMPScope* APMPScopePool::keep(Ref<APMPScope> scope) {
  APMPScope* kept = scope.get();
  kept->retain();
  return kept;
}

}  // namespace measurement::runtime
