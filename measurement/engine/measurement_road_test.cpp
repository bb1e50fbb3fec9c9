// The event road end to end: a child process logs through the facade into a real database in the
// sandbox, and the test reads the file with SQLite, decodes the stored messages with libprotobuf
// and recomputes the metadata fingerprints with OpenSSL, none of it through the engine's code.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measurement/engine/road_test_support.h"
#include "os/bundle/bundle.h"
#include "os/value/plist.h"
#include "testsupport/child_process.h"
#include "testsupport/sandbox.h"

namespace {

using testsupport::fingerprintOf;
using testsupport::parametersOf;
using testsupport::StoredDatabase;
using testsupport::StoredEvent;
using testsupport::userAttributesOf;
namespace pb = tessaro::measurement;

class EventRoadTest : public ::testing::Test {
 protected:
  testsupport::Sandbox sandbox_;
};

TEST_F(EventRoadTest, EachPublicEventIsOneRowUnderTheMetadataOfItsState) {
  std::vector<std::string> command{ENGINE_CHILD, "log", "--actions",
                                   "event:level_up,event:level_up,prop:fav=x,event:level_up"};
  testsupport::ChildRun run = testsupport::runChild(command);
  ASSERT_TRUE(run.succeeded()) << run.output;

  StoredDatabase database;
  std::vector<StoredEvent> events = database.events("level_up");
  ASSERT_EQ(events.size(), 3u);
  std::vector<std::vector<std::string>> times = database.rows(
      "SELECT CAST(timestamp * 1000 AS INTEGER) FROM raw_events "
      "WHERE name = 'level_up' ORDER BY rowid");
  const std::map<std::string, std::string> expected{
      {"_o", "s:app"}, {"hero", "s:ada"}, {"level", "i:3"}, {"score", "d:1.500000"}};
  for (size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(parametersOf(events[i].message), expected);
    // The message carries the row's time in whole milliseconds, and no name (the row has it).
    EXPECT_FALSE(events[i].message.has_name());
    EXPECT_EQ(events[i].message.timestamp_millis(), std::stoll(times[i][0]));
    EXPECT_GT(events[i].message.timestamp_millis(), 1600000000000);

    std::optional<std::string> metadata = database.metadata(events[i].fingerprint);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(fingerprintOf(*metadata), events[i].fingerprint);
    pb::MeasurementBundle bundle;
    ASSERT_TRUE(bundle.ParseFromString(*metadata));
    EXPECT_EQ(bundle.protocol_version(), 1);
    EXPECT_EQ(bundle.platform(), "macos");
    EXPECT_EQ(bundle.app_store(), "manual_install");
    EXPECT_GT(bundle.library_version(), 0);
    std::map<std::string, std::string> attributes = userAttributesOf(bundle);
    EXPECT_EQ(attributes.contains("fav") ? attributes["fav"] : "none", i == 2 ? "x" : "none");
  }
  // The same state shares one record; the new property makes the next one.
  EXPECT_EQ(events[0].fingerprint, events[1].fingerprint);
  EXPECT_NE(events[1].fingerprint, events[2].fingerprint);
}

TEST_F(EventRoadTest, AnUpdatedAppReportsItsPreviousVersionOnce) {
  std::filesystem::path app = sandbox_.root() / "Kestrova.app";
  std::filesystem::create_directories(app / "Contents");
  sandbox_.setEnv("TESSARO_MAIN_BUNDLE", app.string());
  // Each launch runs the version its bundle says; the first one only records it.
  for (const char* version : {"1.0", "1.0", "1.1"}) {
    std::ofstream(app / "Contents/Info.plist", std::ios::binary)
        << *os::plist::serialize(os::Dictionary{{"CFBundleIdentifier", "com.tessaro.kestrova"},
                                                {"CFBundleShortVersionString", version}},
                                 os::plist::Format::Xml);
    testsupport::ChildRun run = testsupport::runChild({ENGINE_CHILD, "log", "--actions", ""});
    ASSERT_TRUE(run.succeeded()) << run.output;
  }
  // The database lies where this bundle's data goes.
  os::Bundle::resetMainForTesting();
  std::vector<StoredEvent> updates = StoredDatabase().events("_au");
  sandbox_.setEnv("TESSARO_MAIN_BUNDLE", std::nullopt);
  os::Bundle::resetMainForTesting();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(parametersOf(updates[0].message)["_pv"], "s:1.0");
  EXPECT_EQ(parametersOf(updates[0].message)["_o"], "s:auto");
}

TEST_F(EventRoadTest, AKilledWriterLeavesWholeEventsAndTheirCount) {
  // The moments are drawn once from a fixed seed, so a failure replays.
  std::mt19937 random(31);
  // The child reports every 5 events written while the next ones are on their way; each run is
  // killed within its first 100 events, so the many kills, not the many writes, make the test.
  std::uniform_int_distribution<int> moment(1, 20);
  int64_t written = 0;
  for (int run = 0; run < 30; ++run) {
    int killAfter = moment(random);
    SCOPED_TRACE("run " + std::to_string(run) + " killed after " + std::to_string(killAfter));
    testsupport::Child child({ENGINE_CHILD, "flood", "--count", "10000", "--every", "5"},
                             testsupport::ChildOutput::StandardOutput);
    for (int line = 0; line < killAfter && child.readLine(); ++line) {
    }
    child.signal(SIGKILL);
    child.wait();

    StoredDatabase database;
    EXPECT_EQ(database.rows("PRAGMA integrity_check")[0][0], "ok");
    EXPECT_EQ(database.number("SELECT COUNT(*) FROM raw_events r WHERE NOT EXISTS (SELECT 1 FROM "
                              "raw_events_metadata m WHERE m.metadata_fingerprint = "
                              "r.metadata_fingerprint)"),
              0);
    int64_t rows = database.number("SELECT COUNT(*) FROM raw_events");
    EXPECT_EQ(database.number("SELECT row_count FROM raw_events_count"), rows);
    written = rows;
  }
  // The runs did write: the check above was not over an empty table.
  EXPECT_GT(written, 0);
}

}  // namespace
