#include "measurement/runtime/scope.h"

namespace measurement::runtime {

APMPScope::APMPScope(Ref<APMPScope> parent, APMPRuntime* runtime)
    : runtime_(runtime  ? runtime
               : parent ? parent->runtime_
                        : nullptr) {
  attachTo(parent);
  chargeMemory(sizeof(APMPScope));
}

uint64_t APMPScope::newSerial() {
  // Each thread takes serials from a block of its own, so that making a scope costs no atomic
  // operation but once per block.
  static std::atomic<uint64_t> nextBlock{1};
  constexpr uint64_t kBlock = 4096;
  thread_local uint64_t next = 0;
  thread_local uint64_t end = 0;
  if (next == end) {
    next = nextBlock.fetch_add(kBlock, std::memory_order_relaxed);
    end = next + kBlock;
  }
  return next++;
}

const APMPPropertyMap::Entry* APMPScope::resolve(const APMPStringValue& name,
                                                 BindingCache& cache) const {
  bool frozen = false;
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    frozen = frozen || scope->contents_.isImmutable();
    const APMPPropertyMap::Entry* entry = scope->contents_.entryFor(name);
    if (!entry) continue;
    if (serial_ == 0) serial_ = newSerial();
    cache.startSerial = serial_;
    cache.epoch = shadowingEpoch_.load(std::memory_order_relaxed);
    cache.owner = const_cast<APMPScope*>(scope);
    cache.entryName = entry->name.get();
    cache.index = uint32_t(entry - scope->contents_.entries().data());
    cache.frozen = frozen;
    return entry;
  }
  return nullptr;
}

Value APMPScope::enclosingValueForName(const APMPStringValue& name, BindingCache& cache) const {
  if (!parent_) return Value();
  const APMPPropertyMap::Entry* entry = parent_->cachedEntry(cache);
  if (!entry && !(entry = parent_->resolve(name, cache))) return Value();
  return entry->value;
}

bool APMPScope::assign(const APMPStringValue& name, Value value, BindingCache& cache) {
  if (const APMPPropertyMap::Entry* own = contents_.entryFor(name)) {
    contents_.setValueAt(size_t(own - contents_.entries().data()), std::move(value));
    return true;
  }
  if (!parent_) return false;
  if (!parent_->cachedEntry(cache) && !parent_->resolve(name, cache)) return false;
  // The cache holds the freezes from the parent to the binding; this scope's own is read here,
  // as the walk may have started from a sibling.
  if (!cache.frozen && !contents_.isImmutable()) {
    cache.owner->contents_.setValueAt(cache.index, std::move(value));
  }
  return true;
}

void APMPScope::makeImmutable() {
  contents_.makeImmutable();
  // Assignments remembered through this scope must see the freeze.
  shadowingEpoch_.fetch_add(1, std::memory_order_relaxed);
}

Ref<APMPScope> APMPScope::createChildScope() { return Ref<APMPScope>(new APMPScope(this)); }

bool APMPScope::hasName(const APMPStringValue& name) const {
  for (const APMPScope* scope = this; scope; scope = scope->parent_.get()) {
    if (scope->contents_.hasName(name)) return true;
  }
  return false;
}

void APMPScope::addValue(const Ref<APMPStringValue>& name, Value value) {
  const size_t before = contents_.size();
  contents_.setValue(name, std::move(value));
  if (contents_.size() != before) noteNewBinding();
}

void APMPScope::addImmutableValue(const Ref<APMPStringValue>& name, Value value) {
  const size_t before = contents_.size();
  contents_.setImmutableValue(name, std::move(value));
  if (contents_.size() != before) noteNewBinding();
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
  if (declareHere && !contents_.isImmutable()) {
    contents_.setValue(name, std::move(value));
    noteNewBinding();
  }
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
