#include "core/component_container.h"

#include <algorithm>
#include <utility>

#include "core/logger.h"
#include "core/zuzaze.h"
#include "os/sync/mutex.h"

namespace {

struct ProcessRegistrants {
  os::Mutex mutex;
  RVOComponentContainer::Registrants list OS_GUARDED_BY(mutex);
};

ProcessRegistrants& processRegistrants() {
  static ProcessRegistrants* registrants = new ProcessRegistrants;
  return *registrants;
}

}  // namespace

void RVOComponentContainer::registerAsComponentRegistrant(
    std::shared_ptr<const RVOLibraryClass> registrant) {
  ProcessRegistrants& process = processRegistrants();
  os::MutexLock lock(process.mutex);
  registerAsComponentRegistrant(std::move(registrant), process.list);
}

void RVOComponentContainer::registerAsComponentRegistrant(
    std::shared_ptr<const RVOLibraryClass> registrant, Registrants& registrants) {
  if (std::find(registrants.begin(), registrants.end(), registrant) != registrants.end()) return;
  registrants.push_back(std::move(registrant));
}

RVOComponentContainer::Registrants RVOComponentContainer::registrants() {
  ProcessRegistrants& process = processRegistrants();
  os::MutexLock lock(process.mutex);
  return process.list;
}

void RVOComponentContainer::resetRegistrantsForTesting() {
  ProcessRegistrants& process = processRegistrants();
  os::MutexLock lock(process.mutex);
  process.list.clear();
}

RVOComponentContainer::RVOComponentContainer(const std::shared_ptr<ZUZAze>& app)
    : RVOComponentContainer(app, registrants()) {}

RVOComponentContainer::RVOComponentContainer(const std::shared_ptr<ZUZAze>& app,
                                             const Registrants& registrants)
    : app_(app) {
  const bool isDefaultApp = app && app->isDefaultApp();
  for (const std::shared_ptr<const RVOLibraryClass>& registrant : registrants) {
    for (RVOComponent& component : registrant->componentsToRegister()) {
      const std::string& key = component.protocol.name;
      if (components_.count(key)) {
        RVOLogAtError(kRVOLoggerCore, "I-COR000029",
                      "Attempted to register protocol %@, but it already has an implementation.",
                      key);
        continue;
      }
      components_[key] = std::move(component.creationBlock);
      if (component.instantiationTiming == RVOInstantiationTiming::alwaysEager ||
          (component.instantiationTiming == RVOInstantiationTiming::eagerInDefaultApp &&
           isDefaultApp)) {
        eagerProtocolsToInstantiate_.push_back(std::move(component.protocol));
      }
    }
  }
}

std::shared_ptr<RVOComponentObject> RVOComponentContainer::instanceForProtocol(
    const RVOProtocol& protocol) {
  return section_.run([&] { return instanceOnQueue(protocol); });
}

std::shared_ptr<RVOComponentObject> RVOComponentContainer::instanceOnQueue(
    const RVOProtocol& protocol) {
  OS_CHECK_ON(section_.queue());
  const std::string& key = protocol.name;
  if (auto cached = cachedInstances_.find(key); cached != cachedInstances_.end()) {
    return cached->second;
  }
  auto component = components_.find(key);
  if (component == components_.end()) return nullptr;
  if (!protocolsBeingCreated_.insert(key).second) {
    RVOLogAtError(kRVOLoggerCore, "I-COR000036",
                  "The component for %@ requested itself while it was being created.", key);
    return nullptr;
  }
  // A copy: the block may remove components while it runs.
  RVOComponentCreationBlock creationBlock = component->second;
  bool isCacheable = false;
  std::shared_ptr<RVOComponentObject> instance;
  try {
    instance = creationBlock(*this, &isCacheable);
  } catch (...) {
    protocolsBeingCreated_.erase(key);
    throw;
  }
  protocolsBeingCreated_.erase(key);
  if (!instance) return nullptr;
  if (!protocol.isAdoptedBy(*instance)) {
    RVOLogAtError(kRVOLoggerCore, "I-COR000030",
                  "An instance conforming to %@ was requested, but the instance provided does not "
                  "conform to the protocol",
                  key);
  }
  if (isCacheable) cachedInstances_[key] = instance;
  return instance;
}

void RVOComponentContainer::instantiateEagerComponents() {
  section_.run([&] {
    OS_CHECK_ON(section_.queue());
    std::vector<RVOProtocol> eager = std::move(eagerProtocolsToInstantiate_);
    eagerProtocolsToInstantiate_.clear();
    for (const RVOProtocol& protocol : eager) instanceOnQueue(protocol);
  });
}

void RVOComponentContainer::removeAllCachedInstances() {
  section_.run([&] {
    OS_CHECK_ON(section_.queue());
    if (std::shared_ptr<ZUZAze> owner = app_.lock()) {
      for (const auto& [key, instance] : cachedInstances_) {
        if (auto* maintainer = dynamic_cast<RVOComponentLifecycleMaintainer*>(instance.get())) {
          maintainer->appWillBeDeleted(*owner);
        }
      }
    }
    cachedInstances_.clear();
  });
}

void RVOComponentContainer::removeAllComponents() {
  section_.run([&] {
    OS_CHECK_ON(section_.queue());
    components_.clear();
  });
}
