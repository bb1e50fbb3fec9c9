// The event road end to end: a child process logs through the facade into a real database in the
// sandbox, and the test reads the file with SQLite, decodes the stored messages with libprotobuf
// and recomputes the metadata fingerprints with OpenSSL, none of it through the engine's code.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "measurement/database/database.h"
#include "measurement/foundation/storage_paths.h"
#include "measurement/wire/schema/cpp/upload.pb.h"
#include "testsupport/child_process.h"
#include "testsupport/sandbox.h"

namespace {

namespace pb = tessaro::measurement;

struct StoredEvent {
  std::string name;
  int64_t fingerprint = 0;
  pb::Event message;
};

// The measurement database of the sandbox, opened read-only for one check.
class StoredDatabase {
 public:
  StoredDatabase() {
    std::string path = measurement::measurementDataPath(measurement::kMeasurementDatabaseName);
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK)
        << path;
  }
  ~StoredDatabase() { sqlite3_close(db_); }

  // Each row's columns as text (blobs as their bytes).
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    std::vector<std::vector<std::string>> result;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db_);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string>& row = result.emplace_back();
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        const void* bytes = sqlite3_column_blob(statement, i);
        row.emplace_back(static_cast<const char*>(bytes), sqlite3_column_bytes(statement, i));
      }
    }
    sqlite3_finalize(statement);
    return result;
  }
  int64_t number(const std::string& sql) {
    auto found = rows(sql);
    return found.empty() ? -1 : std::stoll(found[0][0]);
  }

  std::vector<StoredEvent> events(const std::string& name) {
    std::vector<StoredEvent> found;
    for (auto& row : rows("SELECT name, metadata_fingerprint, data FROM raw_events WHERE name = '" +
                          name + "' ORDER BY rowid")) {
      StoredEvent& event = found.emplace_back();
      event.name = row[0];
      event.fingerprint = std::stoll(row[1]);
      EXPECT_TRUE(event.message.ParseFromString(row[2]));
    }
    return found;
  }
  std::optional<std::string> metadata(int64_t fingerprint) {
    auto found = rows("SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = " +
                      std::to_string(fingerprint));
    if (found.empty()) return std::nullopt;
    return found[0][0];
  }

 private:
  sqlite3* db_ = nullptr;
};

// Bytes 8 to 15 of the MD5 digest, big-endian, as the stored fingerprint.
int64_t fingerprintOf(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr), 1);
  EXPECT_EQ(length, 16u);
  uint64_t value = 0;
  for (int i = 8; i < 16; ++i) value = value << 8 | digest[i];
  return static_cast<int64_t>(value);
}

std::map<std::string, std::string> parametersOf(const pb::Event& event) {
  std::map<std::string, std::string> values;
  for (const pb::EventParam& param : event.params()) {
    if (param.has_string_value()) {
      values[param.name()] = "s:" + param.string_value();
    } else if (param.has_int_value()) {
      values[param.name()] = "i:" + std::to_string(param.int_value());
    } else if (param.has_double_value()) {
      values[param.name()] = "d:" + std::to_string(param.double_value());
    }
  }
  return values;
}

std::map<std::string, std::string> userAttributesOf(const pb::MeasurementBundle& bundle) {
  std::map<std::string, std::string> values;
  for (const pb::UserAttribute& attribute : bundle.user_attributes()) {
    values[attribute.name()] = attribute.has_string_value() ? attribute.string_value()
                                                            : std::to_string(attribute.int_value());
  }
  return values;
}

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

TEST_F(EventRoadTest, AKilledWriterLeavesWholeEventsAndTheirCount) {
  // The moments are drawn once from a fixed seed, so a failure replays.
  std::mt19937 random(31);
  // The child reports every 50 events written while the next ones are on their way.
  std::uniform_int_distribution<int> moment(1, 200);
  int64_t written = 0;
  for (int run = 0; run < 20; ++run) {
    int killAfter = moment(random);
    SCOPED_TRACE("run " + std::to_string(run) + " killed after " + std::to_string(killAfter));
    testsupport::Child child({ENGINE_CHILD, "flood", "--count", "10000"},
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
