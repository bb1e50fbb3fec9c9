#include "platform/utilities/keychain_storage.h"

#include <list>
#include <map>
#include <utility>

#include "os/dispatch/dispatch.h"
#include "platform/utilities/keychain_utils.h"
#include "platform/utilities/secure_coding.h"

namespace {

using CacheKey = std::pair<std::string, std::optional<std::string>>;

// A least-recently-used map of at most `limit` entries.
class LruCache {
 public:
  explicit LruCache(size_t limit) : limit_(limit) {}

  std::optional<os::Value> get(const CacheKey& key) {
    auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    order_.splice(order_.begin(), order_, found->second);
    return found->second->second;
  }
  void put(const CacheKey& key, os::Value value) {
    erase(key);
    order_.emplace_front(key, std::move(value));
    index_[key] = order_.begin();
    if (order_.size() > limit_) {
      index_.erase(order_.back().first);
      order_.pop_back();
    }
  }
  void erase(const CacheKey& key) {
    auto found = index_.find(key);
    if (found == index_.end()) return;
    order_.erase(found->second);
    index_.erase(found);
  }
  void clear() {
    order_.clear();
    index_.clear();
  }

 private:
  size_t limit_;
  std::list<std::pair<CacheKey, os::Value>> order_;  // most recent first
  std::map<CacheKey, std::list<std::pair<CacheKey, os::Value>>::iterator> index_;
};

}  // namespace

struct VDUKeychainStorage::State {
  State(std::string service, size_t cacheCountLimit)
      : service(std::move(service)),
        keychainQueue(os::DispatchQueue::serial("com.vdu.KeychainStorage.Keychain")),
        cacheQueue(os::DispatchQueue::serial("com.vdu.KeychainStorage.InMemoryCache")),
        cache(cacheCountLimit) {}

  os::keychain::Query query(const CacheKey& key) const {
    return {.service = service, .account = key.first, .accessGroup = key.second};
  }

  // Cache queue: drops the key's entry and starts a new generation of it, so that a value read
  // or written before does not enter the cache after this change.
  uint64_t invalidate(const CacheKey& key) {
    OS_CHECK_ON(cacheQueue);
    cache.erase(key);
    return ++generations[key];
  }
  // Cache queue: caches `value` unless the key changed since `generation`.
  void putIfCurrent(const CacheKey& key, uint64_t generation, const os::Value& value) {
    OS_CHECK_ON(cacheQueue);
    if (generations[key] == generation) cache.put(key, value);
  }

  const std::string service;
  const std::shared_ptr<os::DispatchQueue> keychainQueue;
  const std::shared_ptr<os::DispatchQueue> cacheQueue;
  LruCache cache;                            // cache queue only
  std::map<CacheKey, uint64_t> generations;  // cache queue only
};

VDUKeychainStorage::VDUKeychainStorage(std::string service, size_t cacheCountLimit)
    : state_(std::make_shared<State>(std::move(service), cacheCountLimit)) {}

VDUKeychainStorage::~VDUKeychainStorage() = default;

PRMPromise<os::Value> VDUKeychainStorage::getObjectForKey(
    const std::string& key, os::Value::Type objectClass,
    const std::optional<std::string>& accessGroup) {
  auto promise = PRMPromise<os::Value>::pendingPromise();
  CacheKey cacheKey{key, accessGroup};
  state_->cacheQueue->async([state = state_, promise, cacheKey, objectClass] {
    OS_CHECK_ON(state->cacheQueue);
    if (std::optional<os::Value> hit = state->cache.get(cacheKey)) {
      promise.fulfill(*hit);
      return;
    }
    uint64_t generation = state->generations[cacheKey];
    state->keychainQueue->async([state, promise, cacheKey, objectClass, generation] {
      OS_CHECK_ON(state->keychainQueue);
      std::optional<os::Error> error;
      std::optional<os::Data> data =
          VDUKeychainUtils::getItemWithQuery(state->query(cacheKey), &error);
      if (error) return promise.reject(*error);
      if (!data) return promise.fulfill(nullptr);
      os::Error archiveError;
      std::optional<os::Value> object =
          VDUSecureCoding::unarchivedObjectOfClass(objectClass, *data, &archiveError);
      if (!object) return promise.reject(archiveError);
      state->cacheQueue->async([state, promise, cacheKey, generation, object = *object] {
        state->putIfCurrent(cacheKey, generation, object);
        promise.fulfill(object);
      });
    });
  });
  return promise;
}

PRMPromise<void> VDUKeychainStorage::setObject(const os::Value& object, const std::string& key,
                                               const std::optional<std::string>& accessGroup) {
  auto promise = PRMPromise<void>::pendingPromise();
  CacheKey cacheKey{key, accessGroup};
  state_->cacheQueue->async([state = state_, promise, cacheKey, object] {
    uint64_t generation = state->invalidate(cacheKey);
    state->keychainQueue->async([state, promise, cacheKey, object, generation] {
      OS_CHECK_ON(state->keychainQueue);
      os::Error archiveError;
      std::optional<os::Data> data =
          VDUSecureCoding::archivedDataWithRootObject(object, &archiveError);
      if (!data) return promise.reject(archiveError);
      std::optional<os::Error> error;
      if (!VDUKeychainUtils::setItem(*data, state->query(cacheKey), &error)) {
        return promise.reject(*error);
      }
      state->cacheQueue->async([state, promise, cacheKey, object, generation] {
        state->putIfCurrent(cacheKey, generation, object);
        promise.fulfill();
      });
    });
  });
  return promise;
}

PRMPromise<void> VDUKeychainStorage::removeObjectForKey(
    const std::string& key, const std::optional<std::string>& accessGroup) {
  auto promise = PRMPromise<void>::pendingPromise();
  CacheKey cacheKey{key, accessGroup};
  state_->cacheQueue->async([state = state_, promise, cacheKey] {
    state->invalidate(cacheKey);
    state->keychainQueue->async([state, promise, cacheKey] {
      OS_CHECK_ON(state->keychainQueue);
      std::optional<os::Error> error;
      if (!VDUKeychainUtils::removeItemWithQuery(state->query(cacheKey), &error)) {
        return promise.reject(*error);
      }
      promise.fulfill();
    });
  });
  return promise;
}

void VDUKeychainStorage::resetInMemoryCache() {
  state_->cacheQueue->async([state = state_] {
    OS_CHECK_ON(state->cacheQueue);
    state->cache.clear();
  });
}
