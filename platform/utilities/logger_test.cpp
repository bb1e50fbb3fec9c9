#include "platform/utilities/logger.h"

#include <gtest/gtest.h>

#include "platform/utilities/app_environment_util.h"

namespace {

class VDULoggerTest : public testing::Test {
 protected:
  void SetUp() override { VDULoggerResetForTesting(); }
  void TearDown() override {
    VDUAppEnvironmentUtil::setFromAppStoreForTesting(std::nullopt);
    VDULoggerResetForTesting();
  }
  VDULoggerCapture capture_;
};

TEST_F(VDULoggerTest, LinesCarryVersionServiceCodeAndMessage) {
  VDULogAtError("[VDUNetwork]", false, "I-NET000001", "Retry %ld of %@", 2, "example.test");
  VDULoggerSetVersion("10.29.0");
  VDULogAtWarning("[RiveravoCore]", false, "I-COR000001", "plain");
  std::vector<VDULoggedLine> lines = capture_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].text, " - [VDUNetwork][I-NET000001] Retry 2 of example.test");
  EXPECT_EQ(lines[1].level, 4);
  EXPECT_EQ(lines[1].text, "10.29.0 - [RiveravoCore][I-COR000001] plain");
}

TEST_F(VDULoggerTest, ALevelOutsideThreeToSevenIsRefusedAndChangesNothing) {
  for (VDULoggerLevel level : {2, 8}) {
    VDUSetMaxLoggerLevel(level);
    EXPECT_TRUE(capture_.contains("[VDULogger][I-COR000023] Invalid logger level, " +
                                  std::to_string(level)));
    EXPECT_EQ(VDUCurrentLoggerLevel(), 5);
    EXPECT_EQ(capture_.filterMask(), 0x3Fu);
  }
  EXPECT_EQ(capture_.lines()[0].level, kVDULoggerLevelError);
}

TEST_F(VDULoggerTest, TheFilterLetsLevelsZeroThroughTheMaximumThrough) {
  const std::pair<VDULoggerLevel, uint32_t> masks[] = {
      {3, 0x0F}, {4, 0x1F}, {5, 0x3F}, {6, 0x7F}, {7, 0xFF}};
  for (auto [level, mask] : masks) {
    VDUSetMaxLoggerLevel(level);
    EXPECT_EQ(VDUCurrentLoggerLevel(), level);
    EXPECT_EQ(capture_.filterMask(), mask) << level;
    EXPECT_TRUE(VDULevelIsLoggable(level));
    EXPECT_FALSE(VDULevelIsLoggable(level + 1));
  }
}

TEST_F(VDULoggerTest, LinesAboveTheMaximumPassOnlyWhenForced) {
  VDULogAtInfo("[S]", false, "I-TST000001", "dropped");
  VDULogAtInfo("[S]", true, "I-TST000002", "forced");
  VDULogAtNotice("[S]", false, "I-TST000003", "notice");
  std::vector<VDULoggedLine> lines = capture_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, " - [S][I-TST000002] forced");
  EXPECT_EQ(lines[0].level, kVDULoggerLevelInfo);
  EXPECT_EQ(lines[1].text, " - [S][I-TST000003] notice");
  // The forced line reaches the client, whose own filter still holds level 6 back.
  EXPECT_EQ(capture_.filterMask() & (1u << 6), 0u);
}

TEST_F(VDULoggerTest, DebugModeSurvivesALowerMaximum) {
  VDULoggerForceDebugLevel();
  EXPECT_EQ(VDUCurrentLoggerLevel(), 7);
  VDUSetMaxLoggerLevel(3);
  EXPECT_EQ(VDUCurrentLoggerLevel(), 3);
  EXPECT_TRUE(VDULevelIsLoggable(7));
  VDULogAtDebug("[S]", false, "I-TST000004", "still here");
  EXPECT_TRUE(capture_.contains("still here"));
}

TEST_F(VDULoggerTest, AnAppStoreBuildNeverRaisesTheMaximumToNoticeOrAbove) {
  VDUAppEnvironmentUtil::setFromAppStoreForTesting(true);
  VDUSetMaxLoggerLevel(7);
  EXPECT_EQ(VDUCurrentLoggerLevel(), 5);
  VDUSetMaxLoggerLevel(4);
  EXPECT_EQ(VDUCurrentLoggerLevel(), 4);
  EXPECT_EQ(capture_.filterMask(), 0x1Fu);
  VDULoggerForceDebugLevel();
  EXPECT_EQ(VDUCurrentLoggerLevel(), 4);
  EXPECT_FALSE(VDULevelIsLoggable(7));
  EXPECT_TRUE(capture_.lines().empty());  // refused silently
}

TEST_F(VDULoggerTest, PercentSignsNeverReadArgumentsThatWereNotPassed) {
  VDULogAtError("[S]", false, "I-TST000005", "100%% done, %ld left, %s");
  VDULoggerWrapper::logWithLevel(3, "[S]", "I-TST000006", "as is: %d %% %@", nullptr);
  const os::Array arguments{7};
  VDULoggerWrapper::logWithLevel(3, "[S]", "I-TST000007", "with %d", &arguments);
  std::vector<VDULoggedLine> lines = capture_.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, " - [S][I-TST000005] 100% done, %ld left, %s");
  EXPECT_EQ(lines[1].text, " - [S][I-TST000006] as is: %d %% %@");
  EXPECT_EQ(lines[2].text, " - [S][I-TST000007] with 7");
}

}  // namespace
