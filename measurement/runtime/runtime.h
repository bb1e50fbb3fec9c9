// One script interpreter: its scopes (a root scope, and the global scope where programs run and
// "require" lives), its module registry, its instruction counter, its memory budget and its
// object manager.
//
//   APMPRuntime runtime;
//   os::Error error;
//   Value last = runtime.executeStatements(program.instructions, &error);
//   Ref<APMPScope> run = runtime.getRunScope();   // a fresh child of the global scope
//   runtime.collectGarbage();
//
// The instruction counter is a field of the runtime, not a script binding, so no program can
// reset, shadow or freeze it. Every evaluation counts one step, and native methods and loops count
// steps in proportion to their work (value.h); at the limit (RuntimeLimits) the
// evaluation fails with runtime error 18, as it does when the run has allocated more than its
// budget, when the values kept across runs exceed theirs, or when nesting uses more than its share
// of the native stack. `resetInstructionCount` starts a new budget of steps and bytes.
//
// Not thread-safe: a runtime and its values are used from one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "measurement/runtime/collection.h"
#include "measurement/runtime/scope.h"
#include "measurement/wire/schema/apmpb.h"

namespace measurement::runtime {

struct RuntimeLimits {
  // Steps per budget (one event, or loading): one per evaluation, and native work in
  // proportion to what it does (value.h).
  int64_t instructions = 1'000'000;
  // Bytes a budget may allocate, and bytes the values reachable after a collection may hold.
  size_t bytesPerBudget = size_t{96} << 20;
  size_t bytesKept = size_t{64} << 20;
  // Native stack that nested evaluation may use below the point where the run started.
  size_t nativeStackBytes = size_t{2} << 20;
  // Script log lines per budget; further lines are dropped, so a logging loop cannot flood the
  // console.
  int logLines = 100;
};

// Makes a module's value; nullopt stands for a creator that gives nothing.
using ModuleCreator = std::function<std::optional<Value>()>;

class APMPDynamicProvider {
 public:
  void setModuleCreator(std::u16string name, ModuleCreator creator);
  // Undefined without an error when no creator is registered; runtime error 15 when the creator
  // gives nothing. A creator runs on every call.
  Value moduleForName(const std::u16string& name, os::Error* error) const;

 private:
  std::map<std::u16string, ModuleCreator, std::less<>> creators_;
};

class APMPRuntime {
 public:
  explicit APMPRuntime(RuntimeLimits limits = {});
  ~APMPRuntime();
  APMPRuntime(const APMPRuntime&) = delete;
  APMPRuntime& operator=(const APMPRuntime&) = delete;

  static int64_t runtimeVersion() { return 0; }

  void setModuleCreator(std::u16string name, ModuleCreator creator);
  const APMPDynamicProvider& provider() const { return provider_; }

  // Converts and evaluates each entity in the global scope, in order; the value of the last one
  // (a control value does not stop the run). The first error stops it.
  Value executeStatements(std::span<const APMPBRuntimeEntity> entities, os::Error* error);

  Ref<APMPScope> getRunScope();
  int32_t getInstructionCount() const;
  // A new budget: no steps taken, no bytes charged.
  void resetInstructionCount();

  APMPScope& initialScope() { return *initScope_; }
  APMPScope& globalScope() { return *globalScope_; }
  APMPObjectManager& objectManager() { return objectManager_; }
  APMPScopePool& scopePool() { return scopePool_; }
  const RuntimeLimits& limits() const { return limits_; }

  // The "return" control value carrying `data`. Most returns are unwrapped by the call they end
  // before the next one is made, so one value serves them all while nobody else holds it.
  Value returnValue(Value data) {
    if (spareReturn_->referenceCount() != 1) return APMPControlValue::returnValue(std::move(data));
    spareReturn_->data_ = std::move(data);
    return Value(spareReturn_);
  }
  // The data of the return control value `result`; taken out of the shared one when `result` is
  // its last reference outside the runtime, so that it keeps nothing alive.
  Value returnData(Value result) {
    APMPControlValue* control = result.asControl();
    // Two references: the runtime's and `result`.
    if (control == spareReturn_.get() && control->referenceCount() == 2) {
      return std::exchange(control->data_, Value());
    }
    return control->data_;
  }

  // `root` must outlive the runtime or be destroyed with its owner.
  void addGarbageCollectionRoot(const APMPMarkable* root);
  void collectGarbage();

  // Counts one evaluation and checks every bound of the run. False with runtime error 18 when one
  // is reached. Inline: every evaluation passes here.
  bool countInstruction(os::Error* error) {
    if (budget_.steps < budget_.stepLimit) {
      ++budget_.steps;
      if (!budget_.memoryExhausted() && objectManager_.retainedBytes() <= limits_.bytesKept &&
          stackWithinLimit()) {
        return true;
      }
    }
    return limitReached(error);
  }
  // True while the budget still allows a script log line (and takes it).
  bool takeLogLine() { return logLines_++ < limits_.logLines; }

  // Marks the span of one entry into the runtime (loading, an event): installs the memory budget
  // (steps and memory) for this thread and notes where the native stack stood. Nested runs share the outermost.
  class Run {
   public:
    explicit Run(APMPRuntime& runtime);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

   private:
    APMPRuntime& runtime_;
    RunBudget* previous_;
  };

 private:
  // Outside a run the floor is 0 and every frame passes.
  bool stackWithinLimit() const {
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) >= stackFloor_;
  }
  static bool limitReached(os::Error* error);

  RuntimeLimits limits_;
  APMPObjectManager objectManager_;
  APMPScopePool scopePool_;
  Ref<APMPControlValue> spareReturn_;
  Ref<APMPScope> initScope_;
  Ref<APMPScope> globalScope_;
  APMPDynamicProvider provider_;
  std::unique_ptr<APMPMarkable> requireCacheRoot_;
  int logLines_ = 0;
  // The instruction counter and the bytes charged, shared with native work through the run.
  RunBudget budget_;
  int runDepth_ = 0;
  // The lowest frame address nested evaluation may reach: the outermost run's frame less the
  // native stack allowance.
  uintptr_t stackFloor_ = 0;
};

// Here rather than in scope.h: they reach the runtime's pool, and every call passes through them.
inline Ref<APMPScope> APMPScope::begin(const Ref<APMPScope>& parent, APMPRuntime* runtime) {
  if (!runtime && parent) runtime = parent->runtime();
  if (!runtime) return Ref<APMPScope>(new APMPScope(parent));
  return runtime->scopePool().childScope(parent, runtime);
}

inline void APMPScope::end(Ref<APMPScope> scope) {
  if (APMPRuntime* runtime = scope->runtime()) runtime->scopePool().recycle(std::move(scope));
}

}  // namespace measurement::runtime
