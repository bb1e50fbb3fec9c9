#include "measurement/foundation/monitor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/test_support.h"
#include "measurement/wire/flag_conversion.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/process/clock.h"
#include "os/value/plist.h"
#include "platform/utilities/app_environment_util.h"
#include "platform/utilities/logger.h"

extern char** environ;

namespace measurement {
namespace {

constexpr int64_t kVersion = 80100;

class MonitorTest : public testing::Test {
 protected:
  MonitorTest() { VDULoggerResetForTesting(); }
  ~MonitorTest() override {
    // Nothing of a test's monitors may reach the disk once its sandbox is gone.
    for (const std::shared_ptr<Monitor>& monitor : monitors_) monitor->drain();
    VDUAppEnvironmentUtil::setFromAppStoreForTesting(std::nullopt);
    VDULoggerResetForTesting();
  }

  std::shared_ptr<Monitor> createMonitor() {
    monitors_.push_back(Monitor::create(kVersion));
    return monitors_.back();
  }

  static std::filesystem::path preferencesFile(const std::string& domain) {
    return PreferencesSandbox::preferencesFile(domain);
  }
  static os::Value onDisk(const std::string& domain) { return PreferencesSandbox::onDisk(domain); }
  // Writes a preferences file as an older version of the program left it.
  static void writePreferences(const std::string& domain, const os::Dictionary& contents) {
    ASSERT_TRUE(os::files::createDirectory(os::paths::preferences(), true, nullptr));
    auto bytes = os::plist::serialize(contents, os::plist::Format::Binary);
    ASSERT_TRUE(bytes && os::files::writeAtomically(preferencesFile(domain), *bytes, nullptr));
  }
  static std::string appDomain() { return os::UserDefaults::standard().domainName(); }

  // The sample as collected one period after now.
  std::optional<std::string> collect(Monitor& monitor) {
    monitor.drain();
    clock_.advance(100);
    return monitor.monitoringDataForDispatchWithSamplePeriod(10, 0);
  }

  PreferencesSandbox sandbox_;
  os::clock::ScopedFakeClock clock_{1.7e9};
  VDULoggerCapture console_;
  std::vector<std::shared_ptr<Monitor>> monitors_;
};

TEST_F(MonitorTest, EachLevelIsPrintedAndSampledByTheSwitches) {
  struct Case {
    int64_t level;
    bool debug, verbose;
    bool printed, sampled;
  };
  const Case cases[] = {
      {0, false, false, true, false},  {1, false, false, true, true},
      {2, false, false, false, true},  {3, false, false, true, false},
      {4, false, false, true, true},   {5, false, false, false, true},
      {6, false, false, true, false},  {7, false, false, false, false},
      {7, true, false, true, false},   {8, false, false, false, false},
      {8, true, false, false, false},  {8, false, true, true, false},
      {9, false, false, false, false}, {9, true, true, false, true},
      {-1, false, false, false, true},
  };
  std::shared_ptr<Monitor> monitor = createMonitor();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "level " << c.level << " debug " << c.debug << " verbose " << c.verbose);
    monitor->setDebugModeEnabled(c.debug);
    monitor->setVerboseLoggingEnabled(c.verbose);
    const size_t before = console_.lines().size();
    monitor->log(static_cast<MonitorLevel>(c.level), 777, "m", int64_t{150});
    monitor->drain();
    std::vector<VDULoggedLine> lines = console_.lines();
    bool printed = false;
    for (size_t i = before; i < lines.size(); ++i) {
      if (lines[i].text == " - <ZadOdavodivezi>[I-ACS000777] m: 150") {
        printed = true;
        EXPECT_EQ(lines[i].level, loggerLevelFromLogLevel(c.level));
      }
    }
    EXPECT_EQ(printed, c.printed);
    std::optional<std::string> sample = collect(*monitor);
    EXPECT_EQ(sample.has_value(), c.sampled);
    if (c.sampled) {
      EXPECT_EQ(*sample,
                "1:" + monitoringDataKeyWithMessage("m", c.level, kVersion) + ":100...999");
    }
  }
}

TEST_F(MonitorTest, SampleCountsMessagesAndKeepsTheirContextsEncoded) {
  std::shared_ptr<Monitor> monitor = createMonitor();
  for (int i = 0; i < 3; ++i) {
    monitor->log(MonitorLevel::kWarningSampled, 12001, "Upload failed",
                 std::string("user@example.com"), int64_t{150});
  }
  EXPECT_EQ(collect(*monitor), "3:1W_80100:Upload failed:-,100...999");
  // Collected once: the suite holds no sample any more.
  EXPECT_TRUE(onDisk(kMonitorSuiteName)[kHealthMonitorKey].isNull());
  EXPECT_EQ(collect(*monitor), std::nullopt);

  // An error's monitor context follows the encoded contexts.
  monitor->log(MonitorLevel::kErrorSampled, 12002, "Query failed",
               measurementError(3, "disk I/O error", "SQLITE_IOERR"));
  monitor->drain();
  os::Value stored = onDisk(kMonitorSuiteName)[kHealthMonitorKey];
  ASSERT_TRUE(stored.isArray());
  EXPECT_EQ(stored[0], os::Value("com.vedodo.gmp.measurement.ErrorDomain,SQLITE_IOERR"));
  EXPECT_EQ(stored[2], os::Value("1E_80100:Query failed"));
  EXPECT_EQ(collect(*monitor),
            "1:1E_80100:Query failed:com.vedodo.gmp.measurement.ErrorDomain,SQLITE_IOERR");
}

TEST_F(MonitorTest, ConsoleLinesFollowTheTagAndTheEncodingSwitch) {
  std::shared_ptr<Monitor> monitor = createMonitor();
  monitor->log(MonitorLevel::kError, 24, "Failed", std::string("user@example.com"),
               std::monostate{});
  monitor->setEncodeContexts(true);
  monitor->log(MonitorLevel::kWarning, 25, "Failed", std::string("user@example.com"),
               int64_t{-150});
  monitor->setLogTag("<Other>");
  monitor->log(MonitorLevel::kNotice, 26, "100% done");
  monitor->drain();
  std::vector<std::string> texts;
  for (const VDULoggedLine& line : console_.lines()) texts.push_back(line.text);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       " - <ZadOdavodivezi>[I-ACS000024] Failed: user@example.com, (nil)",
                       " - <ZadOdavodivezi>[I-ACS000025] Failed: -, -999...-100",
                       " - <Other>[I-ACS000026] 100% done",
                   }));
}

TEST_F(MonitorTest, SwitchesPersistInTheApplicationsPreferences) {
  std::shared_ptr<Monitor> monitor = createMonitor();
  monitor->setDebugModeEnabled(true);
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 7);
  EXPECT_EQ(VDUCurrentLoggerLevel(), kVDULoggerLevelDebug);
  EXPECT_EQ(onDisk(appDomain())[kDebugModeKey], os::Value(true));
  monitor->setVerboseLoggingEnabled(true);
  EXPECT_EQ(monitor->logLevel(), 8);
  EXPECT_EQ(onDisk(appDomain())[kVerboseLoggingKey], os::Value(true));

  // A later process starts with what was stored.
  std::shared_ptr<Monitor> next = createMonitor();
  EXPECT_TRUE(next->isDebugModeEnabled());
  EXPECT_TRUE(next->isVerboseLoggingEnabled());

  next->setVerboseLoggingEnabled(false);
  EXPECT_EQ(next->logLevel(), 7);
  // The logger checks its level again when the monitor's queue hands it the line.
  next->drain();
  EXPECT_TRUE(console_.contains("<ZadOdavodivezi>[I-ACS024004] Verbose logging is off"));
  next->setDebugModeEnabled(false);
  EXPECT_EQ(next->logLevel(), 6);
  EXPECT_EQ(VDUCurrentLoggerLevel(), kVDULoggerLevelNotice);
  EXPECT_TRUE(onDisk(appDomain())[kDebugModeKey].isNull());
  EXPECT_TRUE(onDisk(appDomain())[kVerboseLoggingKey].isNull());
  EXPECT_TRUE(console_.contains("<ZadOdavodivezi>[I-ACS024000] Debug mode is on"));
}

TEST_F(MonitorTest, AnAppStoreInstallationHonoursNoSwitch) {
  writePreferences(appDomain(), {{kDebugModeKey, true}, {kVerboseLoggingKey, true}});
  VDUAppEnvironmentUtil::setFromAppStoreForTesting(true);
  std::shared_ptr<Monitor> monitor = createMonitor();
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  monitor->setDebugModeEnabled(true);
  monitor->setVerboseLoggingEnabled(true);
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_FALSE(monitor->isVerboseLoggingEnabled());
  EXPECT_TRUE(onDisk(appDomain())[kDebugModeKey].isNull());
}

TEST_F(MonitorTest, MigrationMovesAnOlderSampleIntoTheMonitorSuiteOnce) {
  const os::Array older{"-", 4, "1W_80000:Old", os::Date{1.7e9 - 50}};
  const os::Array current{"", 2, "1E_80100:Current", os::Date{1.7e9 - 50}};
  struct Case {
    const char* name;
    os::Dictionary monitorSuite;
    const char* collected;
  };
  const Case cases[] = {
      {"never migrated", {}, "4:1W_80000:Old:-"},
      {"never migrated, suite has a sample", {{kHealthMonitorKey, current}}, "2:1E_80100:Current"},
      {"copied",
       {{kMonitorMigrationStateKey, 1}, {kHealthMonitorKey, current}},
       "2:1E_80100:Current"},
      {"done", {{kMonitorMigrationStateKey, 2}}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(preferencesFile(kMonitorSuiteName));
    writePreferences(appDomain(), {{kHealthMonitorKey, older}});
    writePreferences(kMonitorSuiteName, c.monitorSuite);
    os::UserDefaults::resetForTesting();

    std::shared_ptr<Monitor> monitor = createMonitor();
    monitor->drain();
    const bool migrates = c.monitorSuite.count(kMonitorMigrationStateKey) == 0 ||
                          c.monitorSuite.at(kMonitorMigrationStateKey) == os::Value(1);
    EXPECT_EQ(onDisk(appDomain())[kHealthMonitorKey].isNull(), migrates);
    EXPECT_EQ(onDisk(kMonitorSuiteName)[kMonitorMigrationStateKey], os::Value(2));
    std::optional<std::string> collected = collect(*monitor);
    EXPECT_EQ(collected.value_or("(none)"), c.collected ? c.collected : "(none)");
  }
}

TEST_F(MonitorTest, ClearingDropsTheSampleAndTheStoredDebugSwitch) {
  std::shared_ptr<Monitor> monitor = createMonitor();
  monitor->setDebugModeEnabled(true);
  monitor->log(MonitorLevel::kWarningSilent, 1, "m");
  monitor->clearMonitoringData();
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_TRUE(onDisk(appDomain())[kDebugModeKey].isNull());
  EXPECT_TRUE(onDisk(kMonitorSuiteName)[kHealthMonitorKey].isNull());
  EXPECT_EQ(collect(*monitor), std::nullopt);
  // Without a sample, a long-past collection still reports an empty period.
  EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(10, 1.7e9 - 1000), "0:");
}

TEST_F(MonitorTest, CaptureRecordsEveryCallWhetherPrintedOrNot) {
  std::shared_ptr<Monitor> monitor = createMonitor();
  MonitorCapture capture(*monitor);
  monitor->log(MonitorLevel::kDebug, 23051, "Logging event", std::string("_s"));
  monitor->log(MonitorLevel::kError, 35000, "Cannot create Value type with nil value");
  std::vector<MonitorRecord> records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, 7);
  EXPECT_EQ(records[0].message, "Logging event");
  ASSERT_EQ(records[0].contexts.size(), 1u);
  EXPECT_EQ(std::get<std::string>(records[0].contexts[0]), "_s");
  EXPECT_TRUE(capture.contains(35000));
  EXPECT_FALSE(capture.contains(24000));
}

TEST_F(MonitorTest, FlagConversionComplaintsReachTheProcessMonitor) {
  MonitorCapture capture;
  EXPECT_FALSE(flagProtoWithNameAndValue(os::Value(5), os::Value(1)));
  std::vector<MonitorRecord> records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, 1);
  EXPECT_EQ(records[0].code, 850001);
  EXPECT_EQ(records[0].message, "Flag name must be a string");
  EXPECT_EQ(records[0].contexts.size(), 1u);
}

TEST_F(MonitorTest, ThreadsLogWhileTheTagAndSwitchesChange) {
  std::shared_ptr<Monitor> monitor = createMonitor();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&monitor, t] {
      for (int i = 0; i < 200; ++i)
        monitor->log(MonitorLevel::kWarningSampled, 100 + t, "busy", int64_t{i});
    });
  }
  for (int i = 0; i < 50; ++i) {
    monitor->setLogTag("<Tag" + std::to_string(i) + ">");
    monitor->setEncodeContexts(i % 2 == 0);
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(collect(*monitor).value_or("").substr(0, 4), "800:");
}

// Runs the foundation's child program in the sandbox and returns what it printed.
std::string runChild(const std::vector<std::string>& arguments) {
  const std::filesystem::path output = os::paths::temporary() / "child.out";
  std::vector<std::string> all{FOUNDATION_CHILD};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t child = 0;
  const int spawned =
      posix_spawn(&child, FOUNDATION_CHILD, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return "spawn failed";
  int status = 0;
  waitpid(child, &status, 0);
  return os::files::readFile(output, nullptr).value_or("no output");
}

TEST_F(MonitorTest, AChildStartedWithTheCoreDebugFlagTurnsDebugOnAndStoresIt) {
  const std::string childDomain = "measurement_foundation_child";
  EXPECT_EQ(runChild({"monitor"}), "debug=0 verbose=0\n");
  EXPECT_EQ(runChild({"monitor", "-RVODebugEnabled"}), "debug=1 verbose=0\n");
  EXPECT_EQ(onDisk(childDomain)[kDebugModeKey], os::Value(true));
  EXPECT_EQ(runChild({"monitor"}), "debug=1 verbose=0\n");
  EXPECT_EQ(runChild({"monitor", "-APMAnalyticsVerboseLoggingEnabled"}), "debug=1 verbose=1\n");
  EXPECT_EQ(runChild({"monitor", "-RVODebugDisabled", "-APMAnalyticsVerboseLoggingDisabled"}),
            "debug=0 verbose=0\n");
  EXPECT_TRUE(onDisk(childDomain)[kDebugModeKey].isNull());
  EXPECT_EQ(runChild({"monitor"}), "debug=0 verbose=0\n");
}

}  // namespace
}  // namespace measurement
