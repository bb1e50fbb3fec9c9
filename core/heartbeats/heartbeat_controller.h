// Records at most one heartbeat a day for an application and hands the recorded heartbeats out.
//
//   heartbeats::HeartbeatController controller(appID);
//   controller.log(userAgent);                 // any thread; returns at once
//   heartbeats::HeartbeatsPayload sent = controller.flush();   // waits for the store
//
// A heartbeat is due for a period when at least a day (86400 s) has passed since the date of the
// last one added for it; so a second agent text on the same day records nothing. Days are UTC
// days: the date source's time is cut to 00:00:00 UTC. flush() empties the ring but keeps the
// last-added dates, so a log after a flush on the same day records nothing either.
//
// log() may be called from any thread; flush() and flushHeartbeatFromToday() block until the
// identifier's storage queue has done their work.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/heartbeats/heartbeat_storage.h"
#include "core/heartbeats/heartbeats_payload.h"

namespace heartbeats {

class HeartbeatController {
 public:
  using DateProvider = std::function<double()>;

  // The controller of `identifier` over its shared storage, dated by os::clock::now().
  explicit HeartbeatController(const std::string& identifier);
  // A controller over `storage` whose dates come from `dateProvider` (seconds since 1970), cut
  // to the start of their UTC day.
  HeartbeatController(std::shared_ptr<HeartbeatStorageProtocol> storage, DateProvider dateProvider);

  // Records a heartbeat of `agent` for today when one is due. The date is taken now, on the
  // calling thread; the store is changed later, on its queue.
  void log(const std::string& agent);

  // Every stored heartbeat, taken out of the store. When the store cannot be written the
  // heartbeats stay there and the empty payload is returned.
  HeartbeatsPayload flush();

  // Only today's heartbeat, taken out of the store; the empty payload when there is none.
  HeartbeatsPayload flushHeartbeatFromToday();

  // Puts the heartbeats of `payload`, taken out by a flush whose request then failed, back into
  // the store (queued; returns at once), so that the next flush sends them. The dates that say
  // when the next heartbeat is due stay as they are.
  void restore(const HeartbeatsPayload& payload);

 private:
  double today() const;

  const std::shared_ptr<HeartbeatStorageProtocol> storage_;
  const int64_t heartbeatsStorageCapacity_ = HeartbeatsBundle::kDefaultCapacity;
  const DateProvider dateProvider_;
};

}  // namespace heartbeats
