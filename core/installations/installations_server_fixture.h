// The fixture of the installation client's tests against the local installation service: the
// application core's sandboxed fixture (home folder, main bundle, options file), the service on
// 127.0.0.1 reached through TESSARO_CONNECT_TO and trusted through TESSARO_CA_FILE, and a fake
// wall clock (the monotonic one too, so back-off waits are the test's to pass).
#pragma once

#include <memory>
#include <string>

#include "core/core_test_fixture.h"
#include "core/heartbeat_logger.h"
#include "core/installations/installations_item.h"
#include "os/process/clock.h"
#include "platform/utilities/logger.h"
#include "tools/installations/installation_server.h"

namespace installations_testing {

inline constexpr const char* kProjectID = "tessaro-core-test";
inline constexpr double kNow = 1765238400 + 3600;  // 2025-12-09 01:00 UTC

class InstallationsServerTest : public core_testing::CoreTest {
 protected:
  InstallationsServerTest();
  ~InstallationsServerTest() override;

  // A heartbeat logger of the fixture's app whose agent text is "agent/1".
  std::shared_ptr<RVOHeartbeatLogger> heartbeatLogger() const;
  // An unregistered installation with a fresh FID.
  static RVOInstallationsItem newItem(const std::string& appName = "__ZUZAZE_DEFAULT");
  // Sends the service's host to a port where nothing listens.
  void makeServiceUnreachable();

  os::clock::ScopedFakeClock clock_{kNow, 1000};
  tools::InstallationServer server_{{.APIKey = core_testing::kAPIKey, .projectID = kProjectID}};
};

// Turns debug lines of the platform logger on for its life.
class ScopedDebugLogging {
 public:
  ScopedDebugLogging();
  ~ScopedDebugLogging();
};

}  // namespace installations_testing
