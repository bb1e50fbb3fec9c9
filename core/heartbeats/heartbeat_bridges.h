// The two classes through which the rest of the system reaches the heartbeat module: one
// controller per application identifier, and the payload a flush hands back.
//
//   RVOHeartbeatController controller(appID);
//   controller.log(userAgent);
//   std::shared_ptr<RVOHeartbeatsPayload> payload = controller.flush();
//   if (!payload->isEmpty()) headers["X-riveravo-client"] = payload->headerValue();
//
// Controllers made with the same identifier share one store. log() returns at once; the flushes
// wait for the store's queue. A payload is immutable and may be read on any thread.
#pragma once

#include <memory>
#include <string>

#include "core/heartbeats/heartbeat_controller.h"
#include "core/heartbeats/heartbeats_payload.h"

class RVOHeartbeatsPayload {
 public:
  explicit RVOHeartbeatsPayload(heartbeats::HeartbeatsPayload payload)
      : heartbeatsPayload_(std::move(payload)) {}

  // gzip of the payload's JSON, as base64url without padding.
  std::string headerValue() const { return heartbeatsPayload_.headerValue(); }
  bool isEmpty() const { return heartbeatsPayload_.isEmpty(); }
  const heartbeats::HeartbeatsPayload& heartbeatsPayload() const { return heartbeatsPayload_; }

 private:
  const heartbeats::HeartbeatsPayload heartbeatsPayload_;
};

class RVOHeartbeatController {
 public:
  // The controller of the application `identifier`: its shared store, 30 slots, UTC days.
  explicit RVOHeartbeatController(const std::string& identifier)
      : heartbeatController_(identifier) {}

  void log(const std::string& agent) { heartbeatController_.log(agent); }
  // Every stored heartbeat, the store emptied.
  std::shared_ptr<RVOHeartbeatsPayload> flush() {
    return std::make_shared<RVOHeartbeatsPayload>(heartbeatController_.flush());
  }
  // Puts a flushed payload back (see heartbeats::HeartbeatController::restore).
  void restore(const RVOHeartbeatsPayload& payload) {
    heartbeatController_.restore(payload.heartbeatsPayload());
  }
  // Today's heartbeat only.
  std::shared_ptr<RVOHeartbeatsPayload> flushHeartbeatFromToday() {
    return std::make_shared<RVOHeartbeatsPayload>(heartbeatController_.flushHeartbeatFromToday());
  }

 private:
  heartbeats::HeartbeatController heartbeatController_;
};
