// The upload road interrupted: a child process killed at named points on the way from the
// facade to the collector, and a database another process holds or that cannot grow. After a
// healthy run every event that was stored, or had arrived, has arrived, each once, except the
// bundles of the one batch in flight.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/engine/upload_test_support.h"
#include "measurement/wire/schema/cpp/upload.pb.h"
#include "testsupport/child_process.h"
#include "testsupport/sandbox.h"
#include "tools/analytics/gzip_codec.h"
#include "tools/analytics/measurement_collector.h"

namespace {

using namespace testsupport;
using tools::CollectorEndpoint;
namespace pb = tessaro::measurement;

// The "seq" parameter of a stored or received event, when it has one.
std::optional<int64_t> sequenceOf(const pb::Event& event) {
  for (const pb::EventParam& param : event.params()) {
    if (param.name() == "seq" && param.has_int_value()) return param.int_value();
  }
  return std::nullopt;
}

// The "seq" of every event the database file at `path` holds, as raw events or in the gzipped
// bundles of the upload queue; read with SQLite, zlib and libprotobuf, not the engine's code.
std::vector<int64_t> storedSequence(const std::string& path) {
  std::vector<int64_t> sequence;
  sqlite3* database = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  auto eachBlob = [&](const char* sql, const std::function<void(const std::string&)>& use) {
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(database, sql, -1, &statement, nullptr), SQLITE_OK)
        << sqlite3_errmsg(database);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
      const void* bytes = sqlite3_column_blob(statement, 0);
      use(std::string(static_cast<const char*>(bytes), sqlite3_column_bytes(statement, 0)));
    }
    sqlite3_finalize(statement);
  };
  eachBlob("SELECT data FROM raw_events", [&](const std::string& data) {
    pb::Event event;
    EXPECT_TRUE(event.ParseFromString(data));
    if (auto seq = sequenceOf(event)) sequence.push_back(*seq);
  });
  eachBlob("SELECT data FROM queue", [&](const std::string& data) {
    std::string problem;
    std::optional<std::string> plain = tools::gunzip(data, 64 << 20, &problem);
    pb::MeasurementBundle bundle;
    EXPECT_TRUE(plain && bundle.ParseFromString(*plain)) << problem;
    for (const pb::Event& event : bundle.events()) {
      if (auto seq = sequenceOf(event)) sequence.push_back(*seq);
    }
  });
  sqlite3_close(database);
  return sequence;
}

// The inode of the file at `path`: the same file, not one made again under its name.
ino_t inodeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status.st_ino;
}

TEST_F(UploadTest, AProcessKilledOnTheRoadLosesNoCommittedEventAndRepeatsOnlyTheBatchInFlight) {
  struct Case {
    const char* name;
    // The kill point (TESSARO_KILL_AT); none: the test kills the child while the collector
    // holds its POST.
    const char* killAt;
    // A POST had gone out when the process died, and the collector answered it 200 (the held
    // one once released): its bundles arrive twice.
    bool batchInFlight;
  };
  for (const Case& c : {
           Case{"after an event's commit", "event-committed:200", false},
           Case{"inside the bundling transaction", "bundling-transaction:3", false},
           Case{"with the POST held by the collector", nullptr, true},
           Case{"after the collector's 200, before the delete", "answered-before-delete", true},
       }) {
    SCOPED_TRACE(c.name);
    testsupport::Sandbox sandbox;
    tools::MeasurementCollector collector;
    sandbox.setEnv("TESSARO_CONNECT_TO", collector.connectTo());
    sandbox.setEnv("TESSARO_CA_FILE", collector.certificatePath().string());
    // An earlier launch made the database.
    const std::string path = run({"--upload-pass", "0"})["databasePath"];
    if (c.killAt == nullptr) collector.appendFault(CollectorEndpoint::Upload, {.hold = true});
    {
      // A stream of events through the facade, then the upload pass: two groups of the
      // child's events besides the engine's own.
      if (c.killAt != nullptr) sandbox.setEnv("TESSARO_KILL_AT", c.killAt);
      testsupport::Child child({UPLOAD_CHILD, "run", "--threads", "1", "--per-thread", "1500"});
      sandbox.setEnv("TESSARO_KILL_AT", std::nullopt);
      if (c.killAt == nullptr) {
        ASSERT_TRUE(collector.waitForHeld(1, std::chrono::seconds(60)));
        child.signal(SIGKILL);
      }
      ASSERT_EQ(child.wait().signal(), SIGKILL);
    }
    // Whatever was stored at the kill, or had arrived already, must arrive.
    std::vector<int64_t> stored = storedSequence(path);
    std::set<int64_t> expected(stored.begin(), stored.end());
    EXPECT_EQ(expected.size(), stored.size()) << "an event stored twice";
    for (int64_t seq : receivedSequence(collector)) expected.insert(seq);
    EXPECT_FALSE(expected.empty());
    if (c.killAt == nullptr) {
      // The attempt counted as failed when it was sent: the bundles wait for their first retry,
      // none counted as retried, since the answer never came.
      auto values = run({"--events", "0", "--upload-pass", "0"});
      EXPECT_NE(values["queued"], "0");
      EXPECT_THAT(values["retryCounts"], testing::MatchesRegex("0(,0)*"));
      EXPECT_NEAR(number(values, "nextUpload"),
                  number(values, "latest") + kInitialDelay + kRetryInterval, 0.01);
      collector.release();
    }
    auto values = run({"--events", "0"});
    EXPECT_EQ(values["queued"], "0");
    EXPECT_EQ(values["rawEventsEmpty"], "1");
    expectEachEventOnceButTheBatchInFlight(collector, expected, c.batchInFlight);
  }
}

// Takes the write lock of the database at `path` for another connection, in exclusive locking
// mode unless `writersOnly`: then no other connection may even read it. Null when it cannot.
sqlite3* holdDatabase(const std::string& path, bool writersOnly) {
  sqlite3* holder = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  std::string sql = "BEGIN EXCLUSIVE; UPDATE raw_events_count SET row_count = row_count;";
  if (!writersOnly) sql = "PRAGMA locking_mode=EXCLUSIVE; " + sql;
  if (sqlite3_exec(holder, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return holder;
  ADD_FAILURE() << "cannot hold the database: " << sqlite3_errmsg(holder);
  sqlite3_close(holder);
  return nullptr;
}

void letGo(sqlite3* holder) {
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
}

TEST_F(UploadTest, ADatabaseHeldByAnotherProcessOrOnAFullDiskIsKeptAndItsEventsArriveLater) {
  enum class Obstacle {
    // Another connection holds the file EXCLUSIVE for the whole run: the engine cannot open it.
    HeldFromTheStart,
    // Another connection takes the write lock while the collector holds the POST: the answer
    // comes, the bundles cannot be deleted, and uploads are suspended.
    HeldWhenTheAnswerComes,
    // No file of the database may grow (RLIMIT_FSIZE, SIGXFSZ ignored): writes fail as on a
    // full disk.
    FullDisk,
  };
  struct Case {
    const char* name;
    Obstacle obstacle;
  };
  for (const Case& c : {
           Case{"held EXCLUSIVE from the start", Obstacle::HeldFromTheStart},
           Case{"held when the answer comes", Obstacle::HeldWhenTheAnswerComes},
           Case{"no room to grow the files", Obstacle::FullDisk},
       }) {
    SCOPED_TRACE(c.name);
    testsupport::Sandbox sandbox;
    tools::MeasurementCollector collector;
    sandbox.setEnv("TESSARO_CONNECT_TO", collector.connectTo());
    sandbox.setEnv("TESSARO_CA_FILE", collector.certificatePath().string());
    // The events of an earlier launch, committed and not yet sent.
    const std::string path = run({"--events", "50", "--upload-pass", "0"})["databasePath"];
    const ino_t inode = inodeOf(path);

    // A launch that logs 50 more through the facade and uploads, against the obstacle.
    std::vector<std::string> obstructed = {UPLOAD_CHILD,   "run", "--threads",   "1",
                                           "--per-thread", "50",  "--first-seq", "50"};
    std::map<std::string, std::string> during;
    if (c.obstacle == Obstacle::HeldFromTheStart) {
      sqlite3* holder = holdDatabase(path, false);
      ASSERT_NE(holder, nullptr);
      during = run({obstructed.begin() + 2, obstructed.end()});
      letGo(holder);
      EXPECT_EQ(during["database"], "0");
    } else if (c.obstacle == Obstacle::HeldWhenTheAnswerComes) {
      collector.appendFault(CollectorEndpoint::Upload, {.hold = true});
      testsupport::Child child(obstructed, testsupport::ChildOutput::StandardOutput);
      ASSERT_TRUE(collector.waitForHeld(1, std::chrono::seconds(60)));
      sqlite3* holder = holdDatabase(path, true);
      collector.release();
      testsupport::ChildRun ended = child.wait();
      letGo(holder);
      ASSERT_TRUE(ended.succeeded()) << ended.output;
      during = testsupport::nameValueLines(ended.output);
      // Answered, and not deleted: the bundles stay for the next launch.
      EXPECT_THAT(during["codes"], testing::HasSubstr(",23045,"));
      EXPECT_NE(during["queued"], "0");
    } else {
      // Room for the files as they are, so that the database opens, and not a page more.
      uintmax_t largest = 0;
      for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code missing;
        largest = std::max(largest, std::filesystem::file_size(path + suffix, missing));
      }
      obstructed.insert(obstructed.end(), {"--file-size-limit", std::to_string(largest)});
      during = run({obstructed.begin() + 2, obstructed.end()});
      // The engine opened the file and failed to write it.
      EXPECT_THAT(during["codes"], testing::HasSubstr(",12056,"));
    }
    EXPECT_EQ(inodeOf(path), inode);
    std::vector<int64_t> stored = storedSequence(path);
    std::set<int64_t> expected(stored.begin(), stored.end());
    for (int64_t seq = 0; seq < 50; ++seq) EXPECT_TRUE(expected.contains(seq)) << seq;
    for (int64_t seq : receivedSequence(collector)) expected.insert(seq);

    // The obstacle gone, the next launch sends them: the batch answered but not deleted again.
    auto after = run({"--events", "0"});
    EXPECT_EQ(after["queued"], "0");
    EXPECT_EQ(after["rawEventsEmpty"], "1");
    EXPECT_EQ(inodeOf(path), inode);
    expectEachEventOnceButTheBatchInFlight(collector, expected,
                                           c.obstacle == Obstacle::HeldWhenTheAnswerComes);
  }
}

}  // namespace
