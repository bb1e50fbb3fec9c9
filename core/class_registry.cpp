#include "core/class_registry.h"

#include <map>
#include <string>
#include <utility>

#include "os/sync/mutex.h"

namespace RVOClassRegistry {

namespace {

struct Classes {
  os::Mutex mutex;
  std::map<std::string, std::shared_ptr<const RVOLibraryClass>, std::less<>> byName
      OS_GUARDED_BY(mutex);
};

Classes& classes() {
  static Classes* registry = new Classes;
  return *registry;
}

}  // namespace

void addClass(std::shared_ptr<const RVOLibraryClass> libraryClass) {
  Classes& registry = classes();
  os::MutexLock lock(registry.mutex);
  std::string name = libraryClass->name;
  registry.byName[std::move(name)] = std::move(libraryClass);
}

std::shared_ptr<const RVOLibraryClass> classNamed(std::string_view name) {
  Classes& registry = classes();
  os::MutexLock lock(registry.mutex);
  auto found = registry.byName.find(name);
  return found == registry.byName.end() ? nullptr : found->second;
}

void resetForTesting() {
  Classes& registry = classes();
  os::MutexLock lock(registry.mutex);
  registry.byName.clear();
}

}  // namespace RVOClassRegistry
