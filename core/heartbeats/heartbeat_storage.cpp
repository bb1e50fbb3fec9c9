#include "core/heartbeats/heartbeat_storage.h"

#include <map>
#include <utility>

#include "core/heartbeats/bundle_coding.h"
#include "os/sync/mutex.h"

namespace heartbeats {

namespace {

// The storages alive in the process, by identifier. Weak: a storage lives as long as the
// controllers that hold it.
struct InstanceCache {
  os::Mutex mutex;
  std::map<std::string, std::weak_ptr<HeartbeatStorage>, std::less<>> storages OS_GUARDED_BY(mutex);
};

InstanceCache& instanceCache() {
  static InstanceCache* cache = new InstanceCache;  // never freed: storages may outlive statics
  return *cache;
}

bool sameOwner(const std::weak_ptr<HeartbeatStorage>& a, const std::weak_ptr<HeartbeatStorage>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

std::shared_ptr<HeartbeatStorage> HeartbeatStorage::getInstance(const std::string& identifier) {
  InstanceCache& cache = instanceCache();
  os::MutexLock lock(cache.mutex);
  std::weak_ptr<HeartbeatStorage>& entry = cache.storages[identifier];
  if (std::shared_ptr<HeartbeatStorage> alive = entry.lock()) return alive;
  auto storage = std::make_shared<HeartbeatStorage>(Private{}, identifier,
                                                    FileStorage::makeStorage(identifier));
  entry = storage;
  return storage;
}

std::shared_ptr<HeartbeatStorage> HeartbeatStorage::create(std::string identifier,
                                                           std::unique_ptr<Storage> storage) {
  return std::make_shared<HeartbeatStorage>(Private{}, std::move(identifier), std::move(storage));
}

HeartbeatStorage::HeartbeatStorage(Private, std::string identifier,
                                   std::unique_ptr<Storage> storage)
    : id_(std::move(identifier)),
      storage_(std::move(storage)),
      queue_(os::DispatchQueue::serial("com.heartbeat.storage." + id_)) {}

HeartbeatStorage::~HeartbeatStorage() {
  InstanceCache& cache = instanceCache();
  os::MutexLock lock(cache.mutex);
  auto entry = cache.storages.find(id_);
  if (entry != cache.storages.end() && sameOwner(entry->second, weak_from_this())) {
    cache.storages.erase(entry);
  }
}

std::optional<HeartbeatsBundle> HeartbeatStorage::loadOnQueue() {
  OS_CHECK_ON(queue_);
  std::optional<std::string> bytes = storage_->read();
  if (!bytes || bytes->empty()) return std::nullopt;
  return decodeBundle(*bytes);
}

bool HeartbeatStorage::saveOnQueue(const std::optional<HeartbeatsBundle>& bundle) {
  OS_CHECK_ON(queue_);
  if (!bundle) return storage_->write(std::nullopt);
  std::optional<std::string> bytes = encodeBundle(*bundle);
  return bytes && storage_->write(bytes);
}

void HeartbeatStorage::readAndWriteSync(Transform transform) {
  queue_->sync([this, &transform] { saveOnQueue(transform(loadOnQueue())); });
}

void HeartbeatStorage::readAndWriteAsync(Transform transform) {
  // The block keeps the storage alive until it has run.
  queue_->async([self = shared_from_this(), transform = std::move(transform)] {
    self->saveOnQueue(transform(self->loadOnQueue()));
  });
}

bool HeartbeatStorage::getAndSet(Transform transform, std::optional<HeartbeatsBundle>* loaded) {
  bool saved = false;
  std::optional<HeartbeatsBundle> before;
  queue_->sync([&] {
    before = loadOnQueue();
    saved = saveOnQueue(transform(before));
  });
  if (saved && loaded) *loaded = std::move(before);
  return saved;
}

}  // namespace heartbeats
