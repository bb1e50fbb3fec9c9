#include "core/installations/installations_server_fixture.h"

#include "core/installations/installations_test_support.h"
#include "core/logger.h"
#include "os/dispatch/runloop.h"
#include "platform/promises/promise.h"

namespace installations_testing {

InstallationsServerTest::InstallationsServerTest() {
  sandbox_.setEnv("TESSARO_CONNECT_TO", server_.connectTo());
  sandbox_.setEnv("TESSARO_CA_FILE", server_.certificatePath().string());
}

InstallationsServerTest::~InstallationsServerTest() {
  // Work still under way (a background registration, a keychain write) must end while the
  // sandbox is in place, never in the real home folder after it.
  EXPECT_TRUE(os::RunLoop::main().runUntil([] { return PRMPromiseBase::dispatchGroup().wait(0); },
                                           kPatience));
}

std::shared_ptr<RVOHeartbeatLogger> InstallationsServerTest::heartbeatLogger() const {
  return std::make_shared<RVOHeartbeatLogger>(core_testing::kAppID,
                                              [] { return std::string("agent/1"); });
}

RVOInstallationsItem InstallationsServerTest::newItem(const std::string& appName) {
  RVOInstallationsItem item(core_testing::kAppID, appName);
  item.riveravoInstallationID = RVOInstallationsItem::generateFID();
  item.registrationStatus = kRVOInstallationsRegistrationStatusUnregistered;
  return item;
}

void InstallationsServerTest::makeServiceUnreachable() {
  sandbox_.setEnv("TESSARO_CONNECT_TO",
                  std::string(tools::InstallationServer::kHost) + ":443:127.0.0.1:1");
}

ScopedDebugLogging::ScopedDebugLogging() { RVOSetMaxLoggerLevel(kVDULoggerLevelDebug); }
ScopedDebugLogging::~ScopedDebugLogging() { RVOSetMaxLoggerLevel(kVDULoggerLevelNotice); }

}  // namespace installations_testing
