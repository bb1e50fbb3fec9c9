// VDUMutableDictionary: a dictionary that any thread may use. Every access runs on the
// instance's own serial queue "VDUMutableDictionary" in call order: reads wait for their turn
// (so a read sees every write made before it on the same thread), writes return at once.
//
//   VDUMutableDictionary<std::shared_ptr<Fetcher>> inFlight;
//   inFlight.setObject(fetcher, sessionID);          // queued
//   if (inFlight.objectForKey(sessionID)) { ... }    // sees it
//
// A read must not be made from inside a block already running on the same queue (it would
// wait for itself; os::DispatchQueue refuses such a sync and the read then finds nothing).
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "os/dispatch/dispatch.h"
#include "os/value/value.h"

template <typename V = os::Value, typename K = std::string>
class VDUMutableDictionary {
 public:
  using Map = std::map<K, V, std::less<>>;

  VDUMutableDictionary()
      : state_(std::make_shared<State>()),
        queue_(os::DispatchQueue::serial("VDUMutableDictionary")) {}
  VDUMutableDictionary(const VDUMutableDictionary&) = delete;
  VDUMutableDictionary& operator=(const VDUMutableDictionary&) = delete;

  // The value for `key`, or nullopt.
  std::optional<V> objectForKey(const K& key) const {
    std::optional<V> found;
    read([&](const Map& objects) {
      auto entry = objects.find(key);
      if (entry != objects.end()) found = entry->second;
    });
    return found;
  }
  std::optional<V> operator[](const K& key) const { return objectForKey(key); }

  void setObject(V value, K key) {
    write([value = std::move(value), key = std::move(key)](Map& objects) mutable {
      objects.insert_or_assign(std::move(key), std::move(value));
    });
  }
  // setObject:forKeyedSubscript:: nullopt removes the key.
  void setObjectForKeyedSubscript(std::optional<V> value, K key) {
    if (value) {
      setObject(std::move(*value), std::move(key));
    } else {
      removeObjectForKey(std::move(key));
    }
  }
  void removeObjectForKey(K key) {
    write([key = std::move(key)](Map& objects) { objects.erase(key); });
  }
  void removeAllObjects() {
    write([](Map& objects) { objects.clear(); });
  }

  size_t count() const {
    size_t size = 0;
    read([&](const Map& objects) { size = objects.size(); });
    return size;
  }
  // A copy of the contents that later writes do not change.
  Map dictionary() const {
    Map copy;
    read([&](const Map& objects) { copy = objects; });
    return copy;
  }
  // The contents' description (os::Value values only).
  std::string description()
      const requires std::is_same_v<V, os::Value> && std::is_same_v<K, std::string> {
    Map copy = dictionary();
    return os::Value(os::Dictionary(copy.begin(), copy.end())).description();
  }

 private:
  struct State {
    Map objects;  // touched on queue_ only
  };

  template <typename Block>
  void read(Block&& block) const {
    queue_->sync([&] {
      OS_CHECK_ON(queue_);
      block(state_->objects);
    });
  }
  template <typename Block>
  void write(Block block) {
    queue_->async([state = state_, queue = queue_, block = std::move(block)]() mutable {
      OS_CHECK_ON(queue);
      block(state->objects);
    });
  }

  // Shared with the queued writes, which may run after this object is gone.
  std::shared_ptr<State> state_;
  std::shared_ptr<os::DispatchQueue> queue_;
};
