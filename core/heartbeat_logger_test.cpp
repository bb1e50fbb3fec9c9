#include "core/heartbeat_logger.h"

#include <gtest/gtest.h>

#include "core/core_test_fixture.h"
#include "os/process/clock.h"

namespace {

class HeartbeatLoggerTest : public core_testing::CoreTest {
 protected:
  os::clock::ScopedFakeClock clock_{1765238400 + 3600};
};

TEST_F(HeartbeatLoggerTest, LogsWithTheProvidersTextAndFlushesIntoAHeader) {
  int asked = 0;
  RVOHeartbeatLogger logger(core_testing::kAppID, [&] {
    ++asked;
    return std::string("agent/1");
  });
  EXPECT_EQ(RVOHeartbeatHeaderValue(*logger.flushHeartbeatsIntoPayload()), std::nullopt);
  logger.log();
  EXPECT_EQ(asked, 1);
  std::shared_ptr<RVOHeartbeatsPayload> payload = logger.flushHeartbeatsIntoPayload();
  EXPECT_EQ(RVOHeartbeatHeaderValue(*payload), payload->headerValue());
  EXPECT_TRUE(logger.flushHeartbeatsIntoPayload()->isEmpty());
}

TEST_F(HeartbeatLoggerTest, TodaysCodeSaysWhetherTodayHadAHeartbeat) {
  RVOHeartbeatLogger logger(core_testing::kAppID, [] { return std::string("agent/1"); });
  EXPECT_EQ(logger.heartbeatCodeForToday(), kRVODailyHeartbeatCodeNone);
  clock_.advance(86400);
  logger.log();
  EXPECT_EQ(logger.heartbeatCodeForToday(), kRVODailyHeartbeatCodeSome);
  EXPECT_EQ(logger.heartbeatCodeForToday(), kRVODailyHeartbeatCodeNone);  // taken out
}

}  // namespace
