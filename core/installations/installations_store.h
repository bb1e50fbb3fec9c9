// RVOInstallationsStore: one installation per app, kept as a keychain item (the archived
// RVOInstallationsStoredItem, through VDUKeychainStorage) plus an existence flag in a
// user-defaults suite. A keychain item counts only while its flag is set, so an item left behind
// by an earlier installation of the application is ignored.
//
//   RVOInstallationsStore store(std::make_shared<VDUKeychainStorage>(service), appGroupID);
//   store.saveInstallation(item).then([] { ... });            // item, then flag
//   store.installationForAppID(appID, appName)
//       .then([](const RVOInstallationsItem& item) { ... })   // not-found error when absent
//
// Both the item and the flag are keyed by the item's identifier (app identifier and app name
// with no separator). The flag lives in the suite named by the access group (the app group),
// else in "com.riveravo.RVOInstallations". Flag reads and writes run on the serial queue
// "com.riveravo.RVOInstallationsStore"; calls may come from any thread and promises resolve on
// the promise library's default queue. The store may be destroyed while its promises are
// pending: they keep what they need.
//
// Reads of an installation the store has read or saved before resolve at once from a decoded
// copy kept on the store's queue, which a save or removal through this store replaces; like the
// keychain storage's own cache, it does not see changes that another process makes meanwhile.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/installations/installations_item.h"
#include "os/dispatch/dispatch.h"
#include "platform/promises/promise.h"
#include "platform/utilities/keychain_storage.h"
#include "platform/utilities/user_defaults.h"

class RVOInstallationsStore {
 public:
  static constexpr const char* kUserDefaultsSuiteName = "com.riveravo.RVOInstallations";
  static constexpr const char* kQueueLabel = "com.riveravo.RVOInstallationsStore";

  RVOInstallationsStore(std::shared_ptr<VDUKeychainStorage> secureStorage,
                        std::optional<std::string> accessGroup);
  ~RVOInstallationsStore();
  RVOInstallationsStore(const RVOInstallationsStore&) = delete;
  RVOInstallationsStore& operator=(const RVOInstallationsStore&) = delete;

  // The stored installation; rejected with the not-found error (code 0) when the flag or the
  // item is absent, with the keychain's or the unarchiver's error when it cannot be read.
  PRMPromise<RVOInstallationsItem> installationForAppID(const std::string& appID,
                                                        const std::string& appName);
  // Stores the item, then sets its flag.
  PRMPromise<void> saveInstallation(const RVOInstallationsItem& item);
  // Removes the item, then its flag.
  PRMPromise<void> removeInstallationForAppID(const std::string& appID, const std::string& appName);
  // Fulfilled when the flag is set, else rejected with the not-found error.
  PRMPromise<void> installationExistsForAppID(const std::string& appID, const std::string& appName);
  // Sets (or removes, for false) the flag of `identifier`.
  PRMPromise<void> setInstallationExists(bool exists, const std::string& identifier);

  const std::optional<std::string>& accessGroup() const { return accessGroup_; }
  // The suite that holds the flags.
  const std::string& userDefaultsDomainName() const { return userDefaults_->domainName(); }

  struct ItemCache;

 private:
  // Drops the cached item of `identifier` and returns its new generation (on the queue, waited
  // for).
  uint64_t invalidate(const std::string& identifier);

  const std::shared_ptr<VDUKeychainStorage> secureStorage_;
  const std::optional<std::string> accessGroup_;
  const std::shared_ptr<os::DispatchQueue> queue_;
  // Touched on queue_ only (its object is thread-safe, but the flag's read-then-act is not).
  const std::shared_ptr<VDUUserDefaults> userDefaults_;
  // Touched on queue_ only; shared with the steps of pending promises.
  const std::shared_ptr<ItemCache> cache_;
};
