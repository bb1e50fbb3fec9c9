#include "platform/utilities/heartbeat_date_storage.h"

#include <gtest/gtest.h>

#include "os/bundle/bundle.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "platform/utilities/secure_coding.h"
#include "testsupport/sandbox.h"

namespace {

class HeartbeatDateStorageTest : public testing::Test {
 protected:
  HeartbeatDateStorageTest() {
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
    os::Bundle::resetMainForTesting();
    os::UserDefaults::resetForTesting();
  }
  ~HeartbeatDateStorageTest() override { os::UserDefaults::resetForTesting(); }
  testsupport::Sandbox sandbox_;
};

TEST_F(HeartbeatDateStorageTest, TheFileStoreCreatesItsFileOnTheFirstWrite) {
  VDUHeartbeatDateStorage storage("heartbeats-app");
  std::filesystem::path file = os::paths::applicationSupport() / "Vedodo/ZUZAze/heartbeats-app";
  EXPECT_EQ(storage.heartbeatDateForTag("daily"), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(file));
  ASSERT_TRUE(storage.setHearbeatDate(os::Date{1.7e9}, "daily"));
  ASSERT_TRUE(storage.setHearbeatDate(os::Date{1.8e9}, "weekly"));
  EXPECT_EQ(storage.fileURL(), file);
  VDUHeartbeatDateStorage again("heartbeats-app");  // what another launch reads
  EXPECT_EQ(again.heartbeatDateForTag("daily"), os::Date{1.7e9});
  EXPECT_EQ(again.heartbeatDateForTag("weekly"), os::Date{1.8e9});
  EXPECT_EQ(again.heartbeatDateForTag("monthly"), std::nullopt);
}

TEST_F(HeartbeatDateStorageTest, AValueThatIsNoDateGivesNothing) {
  VDUHeartbeatDateStorage storage("heartbeats-app");
  auto archive = VDUSecureCoding::archivedDataWithRootObject(
      os::Dictionary{{"daily", "yesterday"}, {"weekly", os::Date{5}}}, nullptr);
  ASSERT_TRUE(os::files::writeAtomically(storage.fileURL(),
                                         std::string(archive->begin(), archive->end()), nullptr));
  EXPECT_EQ(storage.heartbeatDateForTag("daily"), std::nullopt);
  EXPECT_EQ(storage.heartbeatDateForTag("weekly"), os::Date{5});
  ASSERT_TRUE(os::files::writeAtomically(storage.fileURL(), "garbage", nullptr));
  EXPECT_EQ(storage.heartbeatDateForTag("weekly"), std::nullopt);
  EXPECT_TRUE(storage.setHearbeatDate(os::Date{6}, "weekly"));  // starts afresh
  EXPECT_EQ(storage.heartbeatDateForTag("weekly"), os::Date{6});
}

TEST_F(HeartbeatDateStorageTest, TheDefaultsStoreKeepsADictionaryUnderItsKey) {
  auto defaults = std::make_shared<VDUUserDefaults>("com.example.heartbeats");
  VDUHeartbeatDateStorageUserDefaults storage(defaults, "heartbeats");
  EXPECT_EQ(storage.heartbeatDateForTag("daily"), std::nullopt);
  EXPECT_TRUE(storage.setHearbeatDate(os::Date{7}, "daily"));
  EXPECT_TRUE(storage.setHearbeatDate(os::Date{8}, "weekly"));
  EXPECT_EQ(storage.heartbeatDateForTag("daily"), os::Date{7});
  EXPECT_EQ(defaults->objectForKey("heartbeats"),
            os::Value(os::Dictionary{{"daily", os::Date{7}}, {"weekly", os::Date{8}}}));
  defaults->setObject(os::Dictionary{{"daily", 12}}, "heartbeats");
  EXPECT_EQ(storage.heartbeatDateForTag("daily"), std::nullopt);
}

}  // namespace
