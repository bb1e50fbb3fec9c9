#include "core/heartbeats/heartbeat_bridges.h"

#include <gtest/gtest.h>

#include "os/process/clock.h"
#include "testsupport/sandbox.h"

namespace {

TEST(RVOHeartbeatController, ControllersOfOneIdentifierShareTheStore) {
  testsupport::Sandbox sandbox;
  os::clock::ScopedFakeClock clock(1765238400 + 3600);
  RVOHeartbeatController logging("1:1:ios:1");
  RVOHeartbeatController flushing("1:1:ios:1");
  logging.log("agent/1");
  std::shared_ptr<RVOHeartbeatsPayload> payload = flushing.flush();
  EXPECT_FALSE(payload->isEmpty());
  EXPECT_EQ(payload->heartbeatsPayload().userAgentPayloads.at(0).agent, "agent/1");
  EXPECT_TRUE(flushing.flush()->isEmpty());
  EXPECT_TRUE(logging.flushHeartbeatFromToday()->isEmpty());
}

}  // namespace
