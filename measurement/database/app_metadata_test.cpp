#include "measurement/database/app_metadata.h"

#include <gtest/gtest.h>

#include "measurement/database/database_test_support.h"
#include "measurement/foundation/monitor_capture.h"

namespace measurement {
namespace {

TEST(AppMetadata, CountsBundlesFromOneAndWrapsAfterTheInt32Maximum) {
  testing::DatabaseSandbox sandbox;
  struct Case {
    int32_t index;
    int32_t next;
    bool reported;
  };
  const Case cases[] = {
      {0, 1, false}, {41, 42, false}, {2147483646, 2147483647, false}, {2147483647, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    MonitorCapture capture;
    std::optional<AppMetadata> metadata = AppMetadata::create(c.index, 1.5, 2.5);
    ASSERT_TRUE(metadata);
    metadata->incrementLastBundleIndex();
    EXPECT_EQ(metadata->lastBundleIndex(), c.next);
    EXPECT_EQ(capture.contains(4001), c.reported);
    EXPECT_EQ(metadata->lastBundleStartTimestamp(), 1.5);
    EXPECT_EQ(metadata->lastBundleEndTimestamp(), 2.5);
  }
  MonitorCapture capture;
  EXPECT_EQ(AppMetadata::create(-1, 0, 0), std::nullopt);
  EXPECT_TRUE(capture.contains(4000));
}

}  // namespace
}  // namespace measurement
