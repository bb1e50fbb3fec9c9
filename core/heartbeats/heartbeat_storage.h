// The stored heartbeats bundle of one application identifier, changed only by read-modify-write
// steps that run one at a time, in the order issued, on the identifier's own serial queue
// ("com.heartbeat.storage.<identifier>"). One storage per identifier is shared in the process:
//
//   std::shared_ptr<heartbeats::HeartbeatStorage> storage =
//       heartbeats::HeartbeatStorage::getInstance(appID);
//   storage->readAndWriteAsync([](std::optional<HeartbeatsBundle> bundle) {
//     if (!bundle) bundle.emplace(HeartbeatsBundle::kDefaultCapacity);
//     bundle->append(heartbeat);
//     return bundle;
//   });
//
// A stored bundle that cannot be read or decoded counts as none; none is stored as zero bytes.
// The sync operations wait for the queue and must not be called from a transform.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/heartbeats/heartbeats_bundle.h"
#include "core/heartbeats/storage.h"
#include "os/dispatch/dispatch.h"

namespace heartbeats {

// What the heartbeat controller needs of a store.
class HeartbeatStorageProtocol {
 public:
  // Turns the stored bundle (none when nothing is stored) into the bundle to store.
  using Transform = std::function<std::optional<HeartbeatsBundle>(std::optional<HeartbeatsBundle>)>;

  virtual ~HeartbeatStorageProtocol() = default;
  // Load, transform, save; waits for it. A failed save is dropped.
  virtual void readAndWriteSync(Transform transform) = 0;
  // The same, queued; returns at once.
  virtual void readAndWriteAsync(Transform transform) = 0;
  // Load, transform, save; waits for it. True with `*loaded` set to the bundle as loaded (before
  // the transform); false when the save failed.
  virtual bool getAndSet(Transform transform, std::optional<HeartbeatsBundle>* loaded) = 0;
};

class HeartbeatStorage : public HeartbeatStorageProtocol,
                         public std::enable_shared_from_this<HeartbeatStorage> {
  struct Private {};

 public:
  // The storage of `identifier` that is alive in the process, or a new one over its file
  // (FileStorage::makeStorage). The process keeps no storage alive: once its last holder lets go,
  // the next call makes a new one. Thread-safe.
  static std::shared_ptr<HeartbeatStorage> getInstance(const std::string& identifier);

  // A storage over `storage` that the instance cache does not know, for tests of failing back
  // ends.
  static std::shared_ptr<HeartbeatStorage> create(std::string identifier,
                                                  std::unique_ptr<Storage> storage);

  HeartbeatStorage(Private, std::string identifier, std::unique_ptr<Storage> storage);
  // Leaves the instance cache when the cache's entry for its identifier is this storage (not a
  // newer one made while this one was going away).
  ~HeartbeatStorage() override;

  void readAndWriteSync(Transform transform) override;
  void readAndWriteAsync(Transform transform) override;
  bool getAndSet(Transform transform, std::optional<HeartbeatsBundle>* loaded) override;

  const std::string& identifier() const { return id_; }

 private:
  // On queue_: the stored bundle, none when it cannot be read or decoded.
  std::optional<HeartbeatsBundle> loadOnQueue();
  // On queue_: writes `bundle` (zero bytes for none).
  bool saveOnQueue(const std::optional<HeartbeatsBundle>& bundle);

  const std::string id_;
  const std::unique_ptr<Storage> storage_;
  const std::shared_ptr<os::DispatchQueue> queue_;
};

}  // namespace heartbeats
