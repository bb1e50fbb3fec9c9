#include "measurement/foundation/monitor_levels.h"

#include <gtest/gtest.h>

namespace measurement {
namespace {

TEST(MonitorLevels, EachLevelsGroupPrintingSamplingAndLoggerLevel) {
  struct Case {
    int64_t level;
    bool silent, monitorable;
    const char* description;
    int64_t loggerLevel;
    const char* key;
  };
  const Case cases[] = {
      {0, false, false, "ERROR", 3, "1E_80100:m"},  {1, false, true, "ERROR", 3, "1E_80100:m"},
      {2, true, true, "ERROR", 3, "1E_80100:m"},    {3, false, false, "WARNING", 4, "1W_80100:m"},
      {4, false, true, "WARNING", 4, "1W_80100:m"}, {5, true, true, "WARNING", 4, "1W_80100:m"},
      {6, false, false, "NOTICE", 5, "1?_80100:m"}, {7, false, false, "DEBUG", 7, "1?_80100:m"},
      {8, false, false, "", 7, "1?_80100:m"},       {9, true, true, "", 4, "1?_80100:m"},
      {-1, true, true, "", 4, "1?_80100:m"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    EXPECT_EQ(isSilentLevel(c.level), c.silent);
    EXPECT_EQ(isMonitorableLevel(c.level), c.monitorable);
    EXPECT_EQ(logLevelDescriptionFromLogLevel(c.level), c.description);
    EXPECT_EQ(loggerLevelFromLogLevel(c.level), c.loggerLevel);
    EXPECT_EQ(monitoringDataKeyWithMessage("m", c.level, 80100), c.key);
  }
  EXPECT_EQ(monitoringDataKeyWithMessage("Upload failed", 4, 80100), "1W_80100:Upload failed");
}

TEST(MonitorLevels, ConsoleTextShowsContextsPlainOrEncoded) {
  const MonitorContext contexts[] = {std::monostate{},
                                     std::string("user@example.com"),
                                     int64_t{150},
                                     2.5,
                                     os::Exception("NSRangeException", "index 4 beyond bounds"),
                                     os::Error("NSPOSIXErrorDomain", 2, "No such file"),
                                     OtherContext{"<Thing 0x1>"}};
  EXPECT_EQ(stringWithLogMessage("Upload failed", contexts, false),
            "Upload failed: (nil), user@example.com, 150, 2.5, NSRangeException: index 4 beyond "
            "bounds, Error Domain=NSPOSIXErrorDomain Code=2 \"No such file\", <Thing 0x1>");
  EXPECT_EQ(stringWithLogMessage("Upload failed", contexts, true),
            "Upload failed: , -, 100...999, 2, NSRangeException, NSPOSIXErrorDomain, ?");
  EXPECT_EQ(stringWithLogMessage("Debug mode is on", {}, true), "Debug mode is on");
  EXPECT_EQ(stringWithLogMessage("", {}, false), "(Message was empty)");
}

}  // namespace
}  // namespace measurement
