#include <gtest/gtest.h>

#include "core/zuzaze.h"
#include "platform/utilities/logger.h"

namespace {

TEST(ZUZAzeAppID, ValidatesVersionOneIdentifiers) {
  struct Case {
    const char* appID;
    bool valid;
  } cases[] = {
      {"1:1234567890:ios:abc123", true},
      {"1:1234567890:ios:0123456789abcdef", true},
      {"1:1234567890:ios:0xABC", true},
      {"1:-5:ios:ab", true},  // the number may carry a sign
      {"1:1234567890:android:abc123", false},
      {"1:123:ios:xyz", false},
      {"1:123:ios:ab12zz", false},  // text after the hash
      {"1:123:ios:", false},
      {"1:123:ios", false},
      {"1:abc:ios:ab", false},
      {"1:123:ios:ab:cd", false},
      {"1::ios:ab", false},
      {"", false},
      {"ios:1:2:3", false},
      {"1", false},
      {":1:ios:ab", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.appID);
    EXPECT_EQ(ZUZAze::validateAppID(c.appID), c.valid);
  }
}

TEST(ZUZAzeAppID, AnUnknownVersionPassesWithAnInfoLine) {
  VDULoggerCapture capture;
  VDUSetMaxLoggerLevel(kVDULoggerLevelInfo);
  EXPECT_TRUE(ZUZAze::validateAppID("2:anything at all"));
  EXPECT_TRUE(capture.contains("[I-COR000010] Unknown VEDODO_APP_ID version: 2"));
  VDUSetMaxLoggerLevel(kVDULoggerLevelNotice);
}

TEST(ZUZAzeAppID, FormatAndHashChecksOnTheirOwn) {
  EXPECT_TRUE(ZUZAze::validateAppIDFormat("1:1:ios:f", "1"));
  EXPECT_FALSE(ZUZAze::validateAppIDFormat("1:1:ios:f", ""));
  EXPECT_FALSE(ZUZAze::validateAppIDFormat("2:1:ios:f", "1"));
  EXPECT_TRUE(ZUZAze::validateBundleIDHashWithinAppID("1:1:ios:f", "1"));
  EXPECT_FALSE(ZUZAze::validateBundleIDHashWithinAppID("1:1:ios:f", "2"));
  EXPECT_FALSE(ZUZAze::validateBundleIDHashWithinAppID("1:1:ios:g", "1"));
  EXPECT_FALSE(ZUZAze::validateBundleIDHashWithinAppID("1:1:ios", "1"));
}

}  // namespace
