// VDUKeychainStorage: values kept in the keychain under string keys for one service name, with a
// small in-memory cache in front, every result a promise.
//
//   VDUKeychainStorage storage("com.example.installations");
//   storage.setObject(record, "fid", std::nullopt)
//       .then([] { ... });                                  // stored
//   storage.getObjectForKey("fid", os::Value::Type::Dictionary, std::nullopt)
//       .then([](const os::Value& record) { ... });         // null when never stored
//
// Each key is a generic-password item of the service (account = key, and the access group when
// given) whose data is the VDUSecureCoding archive of the value. A missing item is not an error:
// reading it fulfils with null, removing it fulfils. Keychain failures reject with
// VDUKeychainUtils' errors; archiving failures with VDUSecureCoding's.
//
// Cache. Up to `cacheCountLimit` values (5 by default), keyed by key and access group, least
// recently used first out. A value enters the cache only once the keychain holds it (after a
// successful write, or when read), and a write or removal drops the key's entry before it
// starts, so that a read issued after a write always sees the written value or the keychain's.
// Two stores of one service share the items, not their caches.
//
// Queues. Cache work runs on the serial queue "com.vdu.KeychainStorage.InMemoryCache", keychain
// calls on "com.vdu.KeychainStorage.Keychain"; calls may come from any thread, and operations
// on one key take effect in call order. Promises resolve on the promise library's default queue.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "os/value/value.h"
#include "platform/promises/promise.h"

class VDUKeychainStorage {
 public:
  explicit VDUKeychainStorage(std::string service, size_t cacheCountLimit = 5);
  ~VDUKeychainStorage();
  VDUKeychainStorage(const VDUKeychainStorage&) = delete;
  VDUKeychainStorage& operator=(const VDUKeychainStorage&) = delete;

  // The stored value, which must be of `objectClass` (see VDUSecureCoding for kinds), or null.
  PRMPromise<os::Value> getObjectForKey(const std::string& key, os::Value::Type objectClass,
                                        const std::optional<std::string>& accessGroup);
  // Stores `object`, adding the item or updating it in place.
  PRMPromise<void> setObject(const os::Value& object, const std::string& key,
                             const std::optional<std::string>& accessGroup);
  PRMPromise<void> removeObjectForKey(const std::string& key,
                                      const std::optional<std::string>& accessGroup);
  // Empties the in-memory cache.
  void resetInMemoryCache();

 private:
  struct State;
  std::shared_ptr<State> state_;
};
