#include "platform/utilities/swizzler.h"

#include <map>
#include <memory>
#include <tuple>

#include "os/dispatch/dispatch.h"

namespace {

using MethodKey = std::tuple<std::string, std::string, bool>;

struct Registry {
  std::shared_ptr<os::DispatchQueue> queue = os::DispatchQueue::serial("com.vedodo.VDUSwizzler");
  std::map<MethodKey, std::any> implementations;  // queue only
};

Registry& registry() {
  static auto* shared = new Registry;
  return *shared;
}

// Runs `block` over the implementations on the swizzler's queue and waits for it.
template <typename Block>
void onQueue(Block&& block) {
  Registry& shared = registry();
  shared.queue->sync([&] {
    OS_CHECK_ON(shared.queue);
    block(shared.implementations);
  });
}

}  // namespace

void VDUSwizzler::registerImplementation(const std::string& className, const std::string& selector,
                                         bool isClassSelector, std::any implementation) {
  onQueue([&](auto& implementations) {
    implementations[{className, selector, isClassSelector}] = std::move(implementation);
  });
}

bool VDUSwizzler::swizzleClass(const std::string& className, const std::string& selector,
                               bool isClassSelector, std::any block) {
  bool replaced = false;
  onQueue([&](auto& implementations) {
    auto found = implementations.find({className, selector, isClassSelector});
    if (found == implementations.end() || found->second.type() != block.type()) return;
    found->second = std::move(block);
    replaced = true;
  });
  return replaced;
}

std::optional<std::any> VDUSwizzler::currentImplementationForClass(const std::string& className,
                                                                   const std::string& selector,
                                                                   bool isClassSelector) {
  std::optional<std::any> current;
  onQueue([&](auto& implementations) {
    auto found = implementations.find({className, selector, isClassSelector});
    if (found != implementations.end()) current = found->second;
  });
  return current;
}

bool VDUSwizzler::selectorExistsInClass(const std::string& selector, const std::string& className,
                                        bool isClassSelector) {
  return currentImplementationForClass(className, selector, isClassSelector).has_value();
}
