#include "measurement/runtime/runtime.h"

#include "measurement/runtime/conversion.h"
#include "measurement/runtime/evaluator.h"
#include "measurement/runtime/modules.h"

namespace measurement::runtime {

namespace {

// The module cache is a root: a module's properties stay alive while "require" can hand it out.
class RequireCacheRoot : public APMPMarkable {
 public:
  explicit RequireCacheRoot(Ref<APMPRequire> require) : require_(std::move(require)) {}
  void mark(Marker& marker) const override { require_->markCache(marker); }

 private:
  Ref<APMPRequire> require_;
};

}  // namespace

void APMPDynamicProvider::setModuleCreator(std::u16string name, ModuleCreator creator) {
  creators_[std::move(name)] = std::move(creator);
}

Value APMPDynamicProvider::moduleForName(const std::u16string& name, os::Error* error) const {
  auto found = creators_.find(name);
  if (found == creators_.end()) return Value();
  std::optional<Value> module = found->second();
  if (!module) {
    runtimeError(error, kNoModule);
    return Value();
  }
  return *module;
}

APMPRuntime::APMPRuntime(RuntimeLimits limits)
    : limits_(limits),
      spareReturn_(new APMPControlValue(APMPControlValue::Type::Return, Value())),
      initScope_(new APMPScope(nullptr, this)),
      globalScope_(initScope_->createChildScope()) {
  objectManager_.addRoot(initScope_.get());
  objectManager_.addRoot(globalScope_.get());
  initScope_->setObjectManager(&objectManager_);
  Ref<APMPRequire> require(new APMPRequire(&provider_));
  globalScope_->addValue(makeName(u"require"), Value(require));
  requireCacheRoot_ = std::make_unique<RequireCacheRoot>(require);
  objectManager_.addRoot(requireCacheRoot_.get());
  setModuleCreator(u"internal.platform",
                   [] { return Value(Ref<APMPRuntimePlatform>(new APMPRuntimePlatform())); });
  resetInstructionCount();
}

APMPRuntime::~APMPRuntime() {
  // Closures and self-referencing objects would outlive the runtime: empty everything tracked.
  globalScope_->contents().clear();
  initScope_->contents().clear();
  objectManager_.dropAll();
}

void APMPRuntime::setModuleCreator(std::u16string name, ModuleCreator creator) {
  provider_.setModuleCreator(std::move(name), std::move(creator));
}

Value APMPRuntime::executeStatements(std::span<const APMPBRuntimeEntity> entities,
                                     os::Error* error) {
  Run run(*this);
  StringInterner interner;
  Value value;
  for (const APMPBRuntimeEntity& entity : entities) {
    Value statement = runtimeValueFromRuntimeEntity(entity, error, &interner);
    if (failed(error)) return Value();
    value = evaluateStatement(statement, *globalScope_, error);
    if (failed(error)) return Value();
  }
  return value;
}

Ref<APMPScope> APMPRuntime::getRunScope() { return globalScope_->createChildScope(); }

int32_t APMPRuntime::getInstructionCount() const { return toInt32(double(budget_.steps)); }

void APMPRuntime::resetInstructionCount() {
  logLines_ = 0;
  budget_.steps = 0;
  budget_.stepLimit = limits_.instructions;
  budget_.bytes = 0;
  budget_.byteLimit = limits_.bytesPerBudget;
}

void APMPRuntime::addGarbageCollectionRoot(const APMPMarkable* root) {
  objectManager_.addRoot(root);
}

void APMPRuntime::collectGarbage() { objectManager_.collectGarbage(); }

bool APMPRuntime::limitReached(os::Error* error) { return runtimeError(error, kLimit); }

APMPRuntime::Run::Run(APMPRuntime& runtime)
    : runtime_(runtime), previous_(setCurrentRunBudget(&runtime.budget_)) {
  if (runtime_.runDepth_++ == 0) {
    auto base = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    size_t allowance = runtime_.limits_.nativeStackBytes;
    runtime_.stackFloor_ = base > allowance ? base - allowance : 0;
  }
}

APMPRuntime::Run::~Run() {
  if (--runtime_.runDepth_ == 0) runtime_.stackFloor_ = 0;
  setCurrentRunBudget(previous_);
}

}  // namespace measurement::runtime
