#include "measurement/runtime/collection.h"

#include <algorithm>

#include "measurement/runtime/scope.h"

namespace measurement::runtime {

void Marker::markValue(const Value& value) {
  if (const APMPStringValue* string = value.asString()) {
    retainedBytes_ += string->text().size() * sizeof(char16_t);
    return;
  }
  APMPContainerValue* container = asContainer(value);
  if (!container || container->isMarked()) return;
  container->setMarked(true);
  values_.push_back(container);
}

void Marker::markScope(APMPScope* scope) {
  if (!scope || scope->markEpoch == epoch_) return;
  scope->markEpoch = epoch_;
  scopes_.push_back(scope);
}

void Marker::drain() {
  while (!values_.empty() || !scopes_.empty()) {
    if (!scopes_.empty()) {
      APMPScope* scope = scopes_.back();
      scopes_.pop_back();
      for (const APMPPropertyMap::Entry& entry : scope->contents().entries()) {
        markValue(entry.value);
      }
      markScope(scope->parentScope().get());
      continue;
    }
    const APMPContainerValue* value = values_.back();
    values_.pop_back();
    retainedBytes_ +=
        sizeof(APMPArrayValue) + value->propertyMap().size() * sizeof(APMPPropertyMap::Entry);
    value->visitChildren(*this);
  }
}

APMPObjectManager::~APMPObjectManager() {
  for (APMPContainerValue* object : objects_) {
    if (object) object->manager_ = nullptr;
  }
}

Value APMPObjectManager::functionValueWithFunctionName(
    Ref<APMPStringValue> name, std::vector<Ref<APMPStringValue>> parameterNames,
    ValueList statements, const Ref<APMPScope>& scope) {
  Ref<APMPFunctionValue> function(new APMPFunctionValue(std::move(name), std::move(parameterNames),
                                                        std::move(statements), scope));
  chargeMemory(sizeof(APMPFunctionValue));
  if (APMPObjectManager* manager = scope->objectManager()) manager->addObject(function.get());
  return Value(function);
}

Value APMPObjectManager::mapValueWithScope(APMPScope& scope) {
  Ref<APMPMapValue> map(new APMPMapValue());
  chargeMemory(sizeof(APMPMapValue));
  if (APMPObjectManager* manager = scope.objectManager()) manager->addObject(map.get());
  return Value(map);
}

Value APMPObjectManager::arrayValueWithScope(APMPScope& scope) {
  return arrayValueWithArray({}, scope);
}

Value APMPObjectManager::arrayValueWithArray(ValueList elements, APMPScope& scope) {
  chargeMemory(sizeof(APMPArrayValue) + elements.size() * sizeof(Value));
  Ref<APMPArrayValue> array(new APMPArrayValue(std::move(elements)));
  if (APMPObjectManager* manager = scope.objectManager()) manager->addObject(array.get());
  return Value(array);
}

Value APMPObjectManager::subarrayWithArray(const APMPArrayValue& array, size_t location,
                                           size_t length, APMPScope& scope) {
  const ValueList& elements = array.elements();
  size_t start = std::min(location, elements.size());
  size_t count = std::min(length, elements.size() - start);
  return arrayValueWithArray(
      ValueList(elements.begin() + long(start), elements.begin() + long(start + count)), scope);
}

void APMPObjectManager::addRoot(const APMPMarkable* root) {
  if (root) roots_.push_back(root);
}

void APMPObjectManager::addObject(APMPContainerValue* value) {
  if (!value || value->manager_) return;
  // Most values die young (a block literal per statement run): drop their empty slots as the
  // list grows, so a long run does not grow the list with every value it ever made.
  if (objects_.size() >= compactAt_) {
    compact();
    compactAt_ = std::max(kMinimumCompaction, objects_.size() * 2);
  }
  value->manager_ = this;
  value->slot_ = objects_.size();
  objects_.push_back(value);
}

void APMPObjectManager::collectGarbage() {
  Marker marker(++epoch_);
  for (const APMPMarkable* root : roots_) root->mark(marker);
  marker.drain();
  retainedBytes_ = marker.retainedBytes();
  // Emptying a value may free others, which clear their own slots; the list keeps its size
  // until the compaction below.
  for (size_t i = 0; i < objects_.size(); ++i) {
    APMPContainerValue* object = objects_[i];
    if (!object) continue;
    if (object->isMarked()) {
      object->setMarked(false);
      continue;
    }
    Ref<APMPContainerValue> keep(object);
    object->dropContents();
  }
  compact();
}

void APMPObjectManager::compact() {
  size_t live = 0;
  for (APMPContainerValue* object : objects_) {
    if (!object) continue;
    object->slot_ = live;
    objects_[live++] = object;
  }
  objects_.resize(live);
}

void APMPObjectManager::dropAll() {
  for (size_t i = 0; i < objects_.size(); ++i) {
    if (APMPContainerValue* object = objects_[i]) {
      Ref<APMPContainerValue> keep(object);
      object->dropContents();
    }
  }
  compact();
}

size_t APMPObjectManager::trackedObjectCount() const {
  size_t count = 0;
  for (const APMPContainerValue* object : objects_) count += object != nullptr;
  return count;
}

}  // namespace measurement::runtime
