#include "core/installations/installations_store.h"

#include <utility>

#include "core/installations/installations_errors.h"

namespace {

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

}  // namespace

RVOInstallationsStore::RVOInstallationsStore(std::shared_ptr<VDUKeychainStorage> secureStorage,
                                             std::optional<std::string> accessGroup)
    : secureStorage_(std::move(secureStorage)),
      accessGroup_(std::move(accessGroup)),
      queue_(os::DispatchQueue::serial(kQueueLabel)),
      userDefaults_(std::make_shared<VDUUserDefaults>(
          accessGroup_ ? *accessGroup_ : std::string(kUserDefaultsSuiteName))) {}

PRMPromise<RVOInstallationsItem> RVOInstallationsStore::installationForAppID(
    const std::string& appID, const std::string& appName) {
  const std::string identifier = RVOInstallationsItem::identifierWithAppID(appID, appName);
  return installationExistsForAppID(appID, appName)
      .then([storage = secureStorage_, identifier, accessGroup = accessGroup_] {
        return storage->getObjectForKey(identifier, os::Value::Type::Data, accessGroup);
      })
      .then([appID, appName](const os::Value& stored) -> PRMResult<RVOInstallationsItem> {
        const os::Data* data = stored.asData();
        if (!data)
          return RVOInstallationsErrorUtil::installationItemNotFoundForAppID(appID, appName);
        os::Error error;
        std::optional<RVOInstallationsStoredItem> storedItem =
            RVOInstallationsStoredItem::unarchivedItem(*data, &error);
        if (!storedItem) return RVOInstallationsErrorUtil::keyedArchiverErrorWithError(error);
        RVOInstallationsItem item(appID, appName);
        item.updateWithStoredItem(*storedItem);
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
  return secureStorage_->setObject(*data, identifier, accessGroup_)
      .then([identifier, queue = queue_, defaults = userDefaults_] {
        return setFlag(queue, defaults, true, identifier);
      });
}

PRMPromise<void> RVOInstallationsStore::removeInstallationForAppID(const std::string& appID,
                                                                   const std::string& appName) {
  const std::string identifier = RVOInstallationsItem::identifierWithAppID(appID, appName);
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
