// An app's face of the heartbeat module: it records a heartbeat, stamped with the current
// user-agent text, each time the application becomes active while data collection is on, and
// hands the stored heartbeats to the installation client for its "X-riveravo-client" header.
//
//   RVOHeartbeatLogger logger(appID);
//   logger.log();                                          // returns at once
//   std::optional<std::string> header =
//   RVOHeartbeatHeaderValue(*logger.flushHeartbeatsIntoPayload()); if (header)
//   request.setValue(*header, "X-riveravo-client");
//
// log() may be called from any thread; the flushes wait for the app's heartbeat store.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/heartbeats/heartbeat_bridges.h"

// What the app and its tests need of a heartbeat logger.
class RVOHeartbeatLoggerProtocol {
 public:
  virtual ~RVOHeartbeatLoggerProtocol() = default;
  virtual void log() = 0;
  virtual std::shared_ptr<RVOHeartbeatsPayload> flushHeartbeatsIntoPayload() = 0;
  // Puts back the heartbeats of a flush whose request failed, so that they are sent later.
  virtual void restoreHeartbeatsFromPayload(const RVOHeartbeatsPayload& payload) = 0;
  virtual int heartbeatCodeForToday() = 0;
};

// Whether today has a heartbeat.
inline constexpr int kRVODailyHeartbeatCodeNone = 0;
inline constexpr int kRVODailyHeartbeatCodeSome = 2;

class RVOHeartbeatLogger : public RVOHeartbeatLoggerProtocol {
 public:
  using UserAgentProvider = std::function<std::string()>;

  // A block that returns ZUZAze::riveravoUserAgent().
  static UserAgentProvider currentUserAgentProvider();

  // The logger of the app `appID`, stamping ZUZAze's user agent.
  explicit RVOHeartbeatLogger(const std::string& appID);
  RVOHeartbeatLogger(const std::string& appID, UserAgentProvider userAgentProvider);

  // Records today's heartbeat with the provider's text, when one is due.
  void log() override;
  // Every stored heartbeat, taken out of the store.
  std::shared_ptr<RVOHeartbeatsPayload> flushHeartbeatsIntoPayload() override;
  void restoreHeartbeatsFromPayload(const RVOHeartbeatsPayload& payload) override;
  // Takes today's heartbeat out: kRVODailyHeartbeatCodeSome when there was one, else None.
  int heartbeatCodeForToday() override;

 private:
  RVOHeartbeatController heartbeatController_;
  const UserAgentProvider userAgentProvider_;
};

// The header value of `payload`; nullopt when it is empty, and then no header is sent.
std::optional<std::string> RVOHeartbeatHeaderValue(const RVOHeartbeatsPayload& payload);
