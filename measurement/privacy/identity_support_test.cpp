#include "measurement/privacy/identity_support.h"

#include <gtest/gtest.h>

#include "measurement/foundation/monitor_capture.h"
#include "os/dispatch/dispatch.h"

namespace measurement {
namespace {

// A platform whose identifier fetch can be held until the test lets it answer.
class HeldPlatform final : public IdentitySupport {
 public:
  explicit HeldPlatform(std::optional<std::string> identifier, bool holdFirstFetch = false)
      : identifier_(std::move(identifier)), holdFirstFetch_(holdFirstFetch) {}

  bool hasAppDataConsentStatus() const override { return true; }
  int64_t appDataConsentStatus() const override { return 3; }
  bool hasLimitedAdTracking() const override { return true; }
  bool limitedAdTracking() const override { return false; }
  std::optional<std::string> resettableDeviceID() const override {
    if (holdFirstFetch_) {
      holdFirstFetch_ = false;
      started_.signal();
      release_.wait();
    }
    finished_.signal();
    return identifier_;
  }

  std::optional<std::string> identifier_;
  mutable bool holdFirstFetch_;
  mutable os::DispatchSemaphore started_;
  mutable os::DispatchSemaphore release_;
  mutable os::DispatchSemaphore finished_;
};

TEST(DefaultIdentitySupport, WithoutAPlatformAnswersNotAvailableAndSaysSoOnce) {
  MonitorCapture capture;
  std::shared_ptr<DefaultIdentitySupport> support = DefaultIdentitySupport::create(nullptr);
  EXPECT_TRUE(capture.contains(44003));
  EXPECT_FALSE(capture.contains(44000));
  EXPECT_FALSE(support->hasAppDataConsentStatus());
  EXPECT_EQ(support->appDataConsentStatus(), -1);
  EXPECT_FALSE(support->hasLimitedAdTracking());
  EXPECT_EQ(support->resettableDeviceID(), std::nullopt);
  EXPECT_TRUE(support->limitedAdTracking());
}

TEST(DefaultIdentitySupport, PassesThePlatformsAnswersAndReadsTheZeroIdentifierAsLimited) {
  MonitorCapture capture;
  auto zero = DefaultIdentitySupport::create(
      std::make_shared<HeldPlatform>(std::string(kZeroAdvertisingIdentifier)));
  EXPECT_TRUE(capture.contains(44000));
  EXPECT_TRUE(capture.contains(44001));
  EXPECT_TRUE(zero->hasAppDataConsentStatus());
  EXPECT_EQ(zero->appDataConsentStatus(), 3);
  EXPECT_TRUE(zero->limitedAdTracking());

  const std::string identifier = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
  auto real = DefaultIdentitySupport::create(std::make_shared<HeldPlatform>(identifier));
  // Generous for a free queue; a late answer would still be kept, see below.
  for (int attempt = 0; attempt < 1000 && real->resettableDeviceID() != identifier; ++attempt) {
  }
  EXPECT_EQ(real->resettableDeviceID(), identifier);
  EXPECT_FALSE(real->limitedAdTracking());
}

TEST(DefaultIdentitySupport, ASlowPlatformNeverStallsTheCallerAndItsLateAnswerIsKept) {
  const std::string identifier = "0C1D2E3F-4A5B-6C7D-8E9F-A0B1C2D3E4F5";
  auto platform = std::make_shared<HeldPlatform>(identifier, /*holdFirstFetch=*/true);
  auto support = DefaultIdentitySupport::create(platform);
  // The first fetch is held: the call answers what it had, nothing, once its wait is over.
  EXPECT_EQ(support->resettableDeviceID(), std::nullopt);
  ASSERT_TRUE(platform->started_.wait(30));
  platform->release_.signal();
  ASSERT_TRUE(platform->finished_.wait(30));
  // The late answer was stored; the next call answers it even if its own fetch were slow.
  std::optional<std::string> answered;
  for (int attempt = 0; attempt < 1000 && answered != identifier; ++attempt) {
    answered = support->resettableDeviceID();
  }
  EXPECT_EQ(answered, identifier);
}

}  // namespace
}  // namespace measurement
