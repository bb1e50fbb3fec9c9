#include "measurement/engine/measurement.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "measurement/engine/analytics.h"
#include "measurement/foundation/monitor_capture.h"
#include "measurement/foundation/storage_paths.h"
#include "testsupport/child_process.h"
#include "testsupport/sandbox.h"

namespace {

using testing::HasSubstr;

class EngineChildTest : public ::testing::Test {
 protected:
  // Runs the child with `arguments` in the sandbox; its standard output.
  std::string run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), ENGINE_CHILD);
    testsupport::ChildRun run = testsupport::runChild(arguments);
    EXPECT_TRUE(run.succeeded()) << run.output;
    return run.output;
  }
  std::map<std::string, std::string> start(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "start");
    return testsupport::nameValueLines(run(arguments));
  }

  testsupport::Sandbox sandbox_;
};

TEST_F(EngineChildTest, PersistedStateDecidesOverTheEnabledFlagButNotOverDeactivation) {
  struct Case {
    const char* state;
    const char* enabled;
    const char* deactivated;
    const char* expected;
  };
  for (const Case& c :
       {Case{"0", "1", "0", "1"}, Case{"0", "0", "0", "0"}, Case{"1", "0", "0", "1"},
        Case{"2", "1", "0", "0"}, Case{"1", "1", "1", "0"}, Case{"2", "1", "1", "0"},
        Case{"0", "1", "1", "0"}}) {
    SCOPED_TRACE(std::string("state ") + c.state + " enabled " + c.enabled + " deactivated " +
                 c.deactivated);
    auto values =
        start({"--state", c.state, "--enabled", c.enabled, "--deactivated", c.deactivated});
    EXPECT_EQ(values["enabled"], c.expected);
    // Components are built by the first enabling only.
    EXPECT_EQ(values["initialized"], c.expected);
    EXPECT_THAT(values["codes"], HasSubstr(values["enabled"] == "1" ? ",23012," : ",23013,"));
  }
}

TEST_F(EngineChildTest, WipesTheDataOfAnEarlierAppIDExactlyWhenTheTableSays) {
  struct Case {
    const char* rule;
    std::vector<std::string> seed;
    std::vector<std::string> start;
    bool wiped;
  };
  const std::vector<Case> cases{
      {"1: unfinished reset", {"--persist-gmp", "A"}, {"--gmp", "A", "--retry", "3"}, true},
      {"1: reset given up", {"--persist-gmp", "A"}, {"--gmp", "A", "--retry", "10"}, false},
      {"2: GMP id changed", {"--persist-gmp", "A"}, {"--gmp", "B"}, true},
      {"2: same GMP id", {"--persist-gmp", "A"}, {"--gmp", "A"}, false},
      {"3: ZeZud id before, GMP id now", {"--persist-zezud", "Z"}, {"--gmp", "A"}, true},
      {"4: ZeZud id changed", {"--persist-zezud", "Z"}, {"--gmp", "A", "--zezud", "Y"}, true},
      {"4: same ZeZud id", {"--persist-zezud", "Z"}, {"--gmp", "A", "--zezud", "Z"}, false},
      {"5: GMP id gone, ZeZud id now", {"--persist-gmp", "A"}, {"--zezud", "Z"}, true},
      {"6: app id differs from ZeZud id", {"--persist-zezud", "Z"}, {"--app-id", "Q"}, true},
      {"6: app id is the ZeZud id", {"--persist-zezud", "Z"}, {"--app-id", "Z"}, false},
      {"7: nothing persisted", {}, {"--gmp", "A"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    testsupport::Sandbox sandbox;
    std::vector<std::string> seed{"seed"};
    seed.insert(seed.end(), c.seed.begin(), c.seed.end());
    run(seed);
    auto values = start(c.start);
    EXPECT_EQ(values["initialized"], "1");
    EXPECT_EQ(values["marker"], c.wiped ? "0" : "1");
    // A wipe that went through takes the retry count with it.
    if (c.wiped) {
      EXPECT_EQ(values["retryCount"], "0");
    }
  }
}

TEST_F(EngineChildTest, AWipeLeavesNoWriteAheadLogToReplay) {
  testsupport::ChildRun killed =
      testsupport::runChild({ENGINE_CHILD, "seed", "--persist-gmp", "A", "--kill", "1"});
  ASSERT_EQ(killed.signal(), SIGKILL);
  std::string path = measurement::measurementDataPath(measurement::kMeasurementDatabaseName);
  ASSERT_TRUE(std::filesystem::exists(path + "-wal"));
  auto values = start({"--gmp", "B"});
  EXPECT_EQ(values["initialized"], "1");
  EXPECT_EQ(values["marker"], "0");
}

TEST_F(EngineChildTest, ALockedDatabaseFailsTheStartKeepsTheFileAndTheNextEnableSucceeds) {
  run({"seed", "--persist-gmp", "1:1:macos:a"});
  std::string path = measurement::measurementDataPath(measurement::kMeasurementDatabaseName);
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);

  testsupport::Child child({ENGINE_CHILD, "start-after-signal", "--gmp", "1:1:macos:a"},
                           testsupport::ChildOutput::Both);
  std::string firstRun;
  for (std::optional<std::string> line; (line = child.readLine()) && *line != "waiting";) {
    firstRun += *line + "\n";
  }
  auto failed = testsupport::nameValueLines(firstRun);
  EXPECT_THAT(failed["codes"], HasSubstr(",23011,"));
  EXPECT_EQ(failed["enabled"], "0");
  EXPECT_EQ(failed["initialized"], "0");

  ASSERT_EQ(sqlite3_exec(holder, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(holder);
  child.signal(SIGUSR1);
  testsupport::ChildRun second = child.wait();
  ASSERT_TRUE(second.succeeded()) << second.output;
  auto enabled = testsupport::nameValueLines(second.output);
  EXPECT_EQ(enabled["enabled"], "1");
  EXPECT_EQ(enabled["initialized"], "1");
  // The file the lock kept the engine from was never replaced.
  EXPECT_EQ(enabled["marker"], "1");
}

TEST_F(EngineChildTest, ResetTakesTheNewIDAtOnceAndForgetsTheFirstOpen) {
  auto values = testsupport::nameValueLines(run({"reset"}));
  EXPECT_EQ(values["reset"], "1");
  EXPECT_EQ(values["appInstanceID"], values["newID"]);
  // The first open of the earlier data (seeded as 1) is gone; the engine reports a new one.
  EXPECT_EQ(values["fot"], "1");
  EXPECT_NE(values["fotValue"], "1");
  EXPECT_EQ(values["enabled"], "1");
}

TEST_F(EngineChildTest, AResetCutShortByAKillIsFinishedByTheNextStart) {
  run({"seed", "--persist-gmp", "1:1:macos:a"});
  testsupport::ChildRun killed = testsupport::runChild({ENGINE_CHILD, "request-reset"},
                                                       testsupport::ChildOutput::StandardOutput);
  ASSERT_EQ(killed.signal(), SIGKILL);
  std::string chosen = testsupport::nameValueLines(killed.output)["appInstanceID"];
  ASSERT_FALSE(chosen.empty());

  auto values = start({"--gmp", "1:1:macos:a"});
  EXPECT_EQ(values["marker"], "0");
  EXPECT_EQ(values["retryCount"], "0");
  EXPECT_EQ(values["appInstanceID"], chosen);
}

TEST_F(EngineChildTest, StartLinesGiveTheVersionAndTheArgumentThatTurnsEachLoggingOver) {
  const std::string see = " (see https://docs.tessaro.example/analytics/debug-logging): ";
  const std::string debug = "debug logging set the following application argument: %@" + see;
  const std::string verbose = "verbose logging set the following application argument: %@" + see;
  struct Case {
    std::vector<std::string> launchArguments;
    std::string debugHint;
    std::string verboseHint;
  };
  const std::vector<Case> cases{
      {{},
       "6 To enable " + debug + "-DIZUraruvazeDebugEnabled",
       "7 To enable " + verbose + "-DIZUraruvazeVerboseLoggingEnabled"},
      {{"-DIZUraruvazeDebugEnabled"},
       "6 To disable " + debug + "-noDIZUraruvazeDebugEnabled",
       "7 To enable " + verbose + "-DIZUraruvazeVerboseLoggingEnabled"},
      {{"-APMAnalyticsVerboseLoggingEnabled"},
       "6 To enable " + debug + "-DIZUraruvazeDebugEnabled",
       "7 To disable " + verbose + "-DIZUraruvazeVerboseLoggingDisabled"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.launchArguments.empty() ? "no argument" : c.launchArguments.front());
    testsupport::Sandbox sandbox;
    std::vector<std::string> arguments{"create"};
    arguments.insert(arguments.end(), c.launchArguments.begin(), c.launchArguments.end());
    auto values = testsupport::nameValueLines(run(arguments));
    EXPECT_EQ(values["log23007"], "6 Analytics v.%@ started: 10.29.0");
    EXPECT_EQ(values["log23222"], "8 Build %lld: 102800");
    EXPECT_EQ(values["log23008"], c.debugHint);
    EXPECT_EQ(values["log23009"], "7 Debug logging enabled");
    EXPECT_EQ(values["log23207"], c.verboseHint);
    EXPECT_EQ(values["fromAppStore"], "0");
  }
}

// The identity beneath the engine answers with the engine's facts of the bundle.
TEST_F(EngineChildTest, TheIdentityTakesTheStoreFactFromTheEngine) {
  std::filesystem::path bundle = sandbox_.root() / "Store.app";
  std::filesystem::create_directories(bundle / "Contents/Resources");
  std::filesystem::create_directories(bundle / "SC_Info");
  sandbox_.setEnv("TESSARO_MAIN_BUNDLE", bundle.string());
  EXPECT_EQ(testsupport::nameValueLines(run({"create"}))["fromAppStore"], "1");
}

TEST_F(EngineChildTest, EventsLoggedBeforeTheStartReachTheEngineInOrder) {
  std::map<std::string, std::string> seen = testsupport::nameValueLines(run({"order"}));
  EXPECT_EQ(seen["complete"], "1");
  EXPECT_EQ(seen["calls"], "8000");
  EXPECT_EQ(seen["perThreadInOrder"], "1");
  EXPECT_EQ(seen["timestampsInOrder"], "1");
}

TEST(EngineTest, MapsTheNetworkClientsLevelsOnTheMonitors) {
  const std::map<int64_t, int64_t> levels{{3, 1}, {4, 4}, {5, 3}, {6, 6},
                                          {7, 7}, {8, 3}, {0, 3}, {-1, 3}};
  for (auto [network, monitor] : levels) {
    EXPECT_EQ(APMMeasurement::monitorLevelFromNetworkLevel(network), monitor) << network;
  }
}

}  // namespace
