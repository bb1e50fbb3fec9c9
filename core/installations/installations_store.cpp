#include "core/installations/installations_store.h"

#include <map>
#include <utility>

#include "core/installations/installations_errors.h"

// The decoded items, so that a read of a known installation resolves without leaving the
// calling thread. Like the keychain storage's own cache, an entry enters only once the keychain
// holds the item, and a save or removal drops it (and starts a new generation) before it starts,
// so that a read issued after a write sees the written item or the keychain's.
struct RVOInstallationsStore::ItemCache {
  std::map<std::string, RVOInstallationsItem> items;
  std::map<std::string, uint64_t> generations;
};

namespace {

using ItemCache = RVOInstallationsStore::ItemCache;

// Sets or removes the flag of `identifier` on the store's queue.
PRMPromise<void> setFlag(const std::shared_ptr<os::DispatchQueue>& queue,
                         const std::shared_ptr<VDUUserDefaults>& defaults, bool exists,
                         const std::string& identifier) {
  return PRMPromise<void>::doWork(queue, [queue, defaults, exists, identifier] {
    OS_CHECK_ON(queue);
    if (exists) {
      defaults->setBool(true, identifier);
    } else {
      defaults->removeObjectForKey(identifier);
    }
  });
}

// On the store's queue: caches `item` unless its entry changed since `generation`.
void cacheIfCurrent(const std::shared_ptr<os::DispatchQueue>& queue,
                    const std::shared_ptr<ItemCache>& cache, const RVOInstallationsItem& item,
                    uint64_t generation) {
  queue->async([queue, cache, item, generation] {
    OS_CHECK_ON(queue);
    const std::string identifier = item.identifier();
    if (cache->generations[identifier] == generation)
      cache->items.insert_or_assign(identifier, item);
  });
}

}  // namespace

RVOInstallationsStore::RVOInstallationsStore(std::shared_ptr<VDUKeychainStorage> secureStorage,
                                             std::optional<std::string> accessGroup)
    : secureStorage_(std::move(secureStorage)),
      accessGroup_(std::move(accessGroup)),
      queue_(os::DispatchQueue::serial(kQueueLabel)),
      userDefaults_(std::make_shared<VDUUserDefaults>(
          accessGroup_ ? *accessGroup_ : std::string(kUserDefaultsSuiteName))),
      cache_(std::make_shared<ItemCache>()) {}

RVOInstallationsStore::~RVOInstallationsStore() = default;

uint64_t RVOInstallationsStore::invalidate(const std::string& identifier) {
  uint64_t generation = 0;
  queue_->sync([&] {
    OS_CHECK_ON(queue_);
    cache_->items.erase(identifier);
    generation = ++cache_->generations[identifier];
  });
  return generation;
}

PRMPromise<RVOInstallationsItem> RVOInstallationsStore::installationForAppID(
    const std::string& appID, const std::string& appName) {
  const std::string identifier = RVOInstallationsItem::identifierWithAppID(appID, appName);
  bool exists = false;
  std::optional<RVOInstallationsItem> cached;
  uint64_t generation = 0;
  os::Error refusal;
  // The flag and the cache are read in turn on the store's queue, on this thread.
  if (!queue_->sync(
          [&] {
            OS_CHECK_ON(queue_);
            exists = !userDefaults_->objectForKey(identifier).isNull();
            auto found = cache_->items.find(identifier);
            if (exists && found != cache_->items.end()) cached = found->second;
            generation = cache_->generations[identifier];
          },
          &refusal)) {
    return RVOInstallationsErrorUtil::rejectedPromiseWithError<RVOInstallationsItem>(refusal);
  }
  if (!exists) {
    return RVOInstallationsErrorUtil::rejectedPromiseWithError<RVOInstallationsItem>(
        RVOInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName));
  }
  if (cached) return PRMPromise<RVOInstallationsItem>::resolvedWith(*cached);
  return secureStorage_->getObjectForKey(identifier, os::Value::Type::Data, accessGroup_)
      .then([appID, appName, queue = queue_, cache = cache_,
             generation](const os::Value& stored) -> PRMResult<RVOInstallationsItem> {
        const os::Data* data = stored.asData();
        if (!data)
          return RVOInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
        os::Error error;
        std::optional<RVOInstallationsStoredItem> storedItem =
            RVOInstallationsStoredItem::unarchivedItem(*data, &error);
        if (!storedItem) return RVOInstallationsErrorUtil::keyedArchiverErrorWithError(error);
        RVOInstallationsItem item(appID, appName);
        item.updateWithStoredItem(*storedItem);
        cacheIfCurrent(queue, cache, item, generation);
        return item;
      });
}

PRMPromise<void> RVOInstallationsStore::saveInstallation(const RVOInstallationsItem& item) {
  os::Error error;
  std::optional<os::Data> data = item.storedItem().archivedData(&error);
  if (!data) {
    return RVOInstallationsErrorUtil::rejectedPromiseWithError<void>(
        RVOInstallationsErrorUtil::keyedArchiverErrorWithError(error));
  }
  const std::string identifier = item.identifier();
  const uint64_t generation = invalidate(identifier);
  return secureStorage_->setObject(*data, identifier, accessGroup_)
      .then(
          [item, identifier, generation, queue = queue_, cache = cache_, defaults = userDefaults_] {
            cacheIfCurrent(queue, cache, item, generation);
            return setFlag(queue, defaults, true, identifier);
          });
}

PRMPromise<void> RVOInstallationsStore::removeInstallationForAppID(const std::string& appID,
                                                                   const std::string& appName) {
  const std::string identifier = RVOInstallationsItem::identifierWithAppID(appID, appName);
  invalidate(identifier);
  return secureStorage_->removeObjectForKey(identifier, accessGroup_)
      .then([identifier, queue = queue_, defaults = userDefaults_] {
        return setFlag(queue, defaults, false, identifier);
      });
}

PRMPromise<void> RVOInstallationsStore::installationExistsForAppID(const std::string& appID,
                                                                   const std::string& appName) {
  const std::string identifier = RVOInstallationsItem::identifierWithAppID(appID, appName);
  return PRMPromise<void>::doWork(
      queue_,
      [queue = queue_, defaults = userDefaults_, identifier, appID, appName]() -> PRMResult<void> {
        OS_CHECK_ON(queue);
        if (defaults->objectForKey(identifier).isNull()) {
          return RVOInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
        }
        return {};
      });
}

PRMPromise<void> RVOInstallationsStore::setInstallationExists(bool exists,
                                                              const std::string& identifier) {
  return setFlag(queue_, userDefaults_, exists, identifier);
}
