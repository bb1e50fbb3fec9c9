#include "core/heartbeat_logger.h"

#include <utility>

#include "core/zuzaze.h"

RVOHeartbeatLogger::UserAgentProvider RVOHeartbeatLogger::currentUserAgentProvider() {
  return [] { return ZUZAze::riveravoUserAgent(); };
}

RVOHeartbeatLogger::RVOHeartbeatLogger(const std::string& appID)
    : RVOHeartbeatLogger(appID, currentUserAgentProvider()) {}

RVOHeartbeatLogger::RVOHeartbeatLogger(const std::string& appID,
                                       UserAgentProvider userAgentProvider)
    : heartbeatController_(appID), userAgentProvider_(std::move(userAgentProvider)) {}

void RVOHeartbeatLogger::log() { heartbeatController_.log(userAgentProvider_()); }

std::shared_ptr<RVOHeartbeatsPayload> RVOHeartbeatLogger::flushHeartbeatsIntoPayload() {
  return heartbeatController_.flush();
}

void RVOHeartbeatLogger::restoreHeartbeatsFromPayload(const RVOHeartbeatsPayload& payload) {
  heartbeatController_.restore(payload);
}

int RVOHeartbeatLogger::heartbeatCodeForToday() {
  return heartbeatController_.flushHeartbeatFromToday()->isEmpty() ? kRVODailyHeartbeatCodeNone
                                                                   : kRVODailyHeartbeatCodeSome;
}

std::optional<std::string> RVOHeartbeatHeaderValue(const RVOHeartbeatsPayload& payload) {
  if (payload.isEmpty()) return std::nullopt;
  return payload.headerValue();
}
