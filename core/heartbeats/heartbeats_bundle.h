// The stored heartbeats of one application: a ring of `capacity` heartbeats and, per period, the
// date of the last heartbeat added for it (which says when the next one is due).
//
//   heartbeats::HeartbeatsBundle bundle(30);
//   bundle.append({"agent/1", day, 0, {heartbeats::TimePeriod::daily}});
//   heartbeats::HeartbeatsPayload payload = bundle.makeHeartbeatsPayload();
//
// A plain value: the storage (heartbeat_storage.h) serialises every change of a stored bundle.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "core/heartbeats/heartbeat.h"
#include "core/heartbeats/heartbeats_payload.h"
#include "core/heartbeats/ring_buffer.h"

namespace heartbeats {

struct HeartbeatsBundle {
  // The capacity of every bundle this system makes.
  static constexpr int64_t kDefaultCapacity = 30;

  // A fresh bundle: `capacity` empty slots, tail 0, every period last added in the distant past.
  explicit HeartbeatsBundle(int64_t capacity);
  // A bundle as stored, exactly as given.
  HeartbeatsBundle(int64_t capacity, std::map<TimePeriod, double> lastAddedHeartbeatDates,
                   RingBuffer<Heartbeat> buffer);

  // Pushes `heartbeat` into the ring and marks its periods as added on its date; the periods
  // last added on the date of a heartbeat it overwrote go back to the distant past. A ring whose
  // tail index is out of range is replaced by a fresh one holding a single diagnostic heartbeat
  // (agent "<agent> error/<the push error with blanks as ->"). Nothing happens at capacity 0.
  void append(const Heartbeat& heartbeat);

  // Takes out the heartbeat dated `date`, popping back from the tail until it is found or a slot
  // is empty, and pushes the others back in their order. The last-added dates stay as they are.
  std::optional<Heartbeat> removeHeartbeat(double date);

  // One entry per agent, agents in ascending byte order, each with its dates in slot order.
  HeartbeatsPayload makeHeartbeatsPayload() const;

  int64_t capacity;
  std::map<TimePeriod, double> lastAddedHeartbeatDates;
  RingBuffer<Heartbeat> buffer;

  friend bool operator==(const HeartbeatsBundle&, const HeartbeatsBundle&) = default;
};

}  // namespace heartbeats
