#include "measurement/foundation/scheduler.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <typeinfo>

#include "measurement/foundation/monitor.h"

namespace measurement {
namespace {

// The name of an exception's dynamic type, readable ("std::runtime_error").
std::string typeName(const std::exception& exception) {
  const char* mangled = typeid(exception).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : mangled;
  std::free(demangled);
  return name;
}

// Runs `block`; when it throws, logs `code` with `message` and the exception as the context.
// Returns whether the block ran to its end.
bool runCatching(const std::function<void()>& block, int64_t code, const std::string& message) {
  try {
    block();
    return true;
  } catch (const os::Exception& exception) {
    monitor().log(MonitorLevel::kErrorSampled, code, message, exception);
  } catch (const std::exception& exception) {
    monitor().log(MonitorLevel::kErrorSampled, code, message,
                  os::Exception(typeName(exception), exception.what()));
  } catch (...) {
    monitor().log(MonitorLevel::kErrorSampled, code, message, OtherContext{"unknown exception"});
  }
  return false;
}

std::string withBlockID(std::string_view prefix, std::string_view blockID,
                        std::string_view suffix) {
  return std::string(prefix).append(blockID).append(suffix);
}

}  // namespace

Scheduler::Scheduler(std::string_view workerQueueLabel)
    : workerQueue_(
          os::DispatchQueue::serial(std::string(workerQueueLabel), os::DispatchPriority::Low)) {}

void Scheduler::scheduleOnWorkerQueue(std::string_view blockID, std::function<void()> block) {
  if (!block) {
    monitor().log(MonitorLevel::kErrorSampled, 30005,
                  withBlockID("Nil block dispatched asynchronously on worker queue. Block ID=",
                              blockID, "."));
    return;
  }
  workerQueue_->async([id = std::string(blockID), block = std::move(block)] {
    runCatching(block, 30000,
                withBlockID("Exception on worker queue. Block ID=", id, ". Exception"));
  });
}

void Scheduler::dispatchSyncOnWorkerQueue(std::string_view blockID,
                                          const std::function<void()>& block) {
  if (!block) {
    monitor().log(
        MonitorLevel::kErrorSampled, 30002,
        withBlockID("Nil block dispatched synchronously on worker queue. Block ID=", blockID, "."));
    return;
  }
  bool finished = false;
  workerQueue_->sync([&] {
    finished = runCatching(
        block, 30003,
        withBlockID("Exception on worker queue when processing sync block. Block ID=", blockID,
                    ". Exception"));
  });
  if (!finished) {
    monitor().log(MonitorLevel::kWarningSampled, 30004,
                  withBlockID("Synchronous task failed. Block ID=", blockID, ""));
  }
}

bool Scheduler::checkOnBackgroundThread(std::string_view methodName) {
  if (!os::isMainThread()) return true;
  monitor().log(MonitorLevel::kErrorSampled, 30001,
                withBlockID("Method ", methodName.empty() ? "<empty method name>" : methodName,
                            " should execute on background thread"),
                std::monostate{});
  return false;
}

}  // namespace measurement
