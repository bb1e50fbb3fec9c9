// A private serial queue that a component enters for each of its entry points, so that one
// thread at a time works on its state. A thread that is already inside enters again at once, as
// it would a recursive lock, so that callbacks run inside (creation blocks, observers) may call
// back into the component. Whatever the work throws comes out again on the calling thread once
// it has left the queue: nothing throws across the queue itself.
//
//   RVOSerialSection section_{"com.riveravo.core.registry"};
//   std::shared_ptr<App> found = section_.run([&] { return lookUpOnQueue(name); });
//   ...
//   void lookUpOnQueue(...) { OS_CHECK_ON(section_.queue()); ... }
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "os/dispatch/dispatch.h"

class RVOSerialSection {
 public:
  explicit RVOSerialSection(std::string label)
      : queue_(os::DispatchQueue::serial(std::move(label))) {}

  const std::shared_ptr<os::DispatchQueue>& queue() const { return queue_; }

  // Runs `work` on the queue (at once when the thread is already on it) and returns its result.
  template <typename Work>
  std::invoke_result_t<Work&> run(Work&& work) {
    using Result = std::invoke_result_t<Work&>;
    if (queue_->isCurrent()) return work();
    std::exception_ptr thrown;
    if constexpr (std::is_void_v<Result>) {
      queue_->sync([&] {
        try {
          work();
        } catch (...) {
          thrown = std::current_exception();
        }
      });
      if (thrown) std::rethrow_exception(thrown);
    } else {
      std::optional<Result> result;
      queue_->sync([&] {
        try {
          result.emplace(work());
        } catch (...) {
          thrown = std::current_exception();
        }
      });
      if (thrown) std::rethrow_exception(thrown);
      return std::move(*result);
    }
  }

 private:
  const std::shared_ptr<os::DispatchQueue> queue_;
};
