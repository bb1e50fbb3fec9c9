// The upload road end to end: a child process runs the engine against the local collector
// (TLS on 127.0.0.1), its raw events go out as one gzipped batch, and the queue keeps what was
// not answered 200 or 204. Schedules are read from the engine's alarm, never waited for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "measurement/engine/upload_test_support.h"
#include "testsupport/sandbox.h"
#include "tools/analytics/measurement_collector.h"

namespace {

using namespace testsupport;
using testing::ElementsAre;
using tools::CollectorEndpoint;
using tools::Cut;
using tools::ScriptedFault;

constexpr double kBackoff = 43200;

// Runs `sql` on the database file at `path`, as another program would.
void execute(const std::string& path, const std::string& sql) {
  sqlite3* database = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &database), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(database, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
      << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(database);
}

// The "seq" parameters of each bundle of the child's events the collector accepted.
std::vector<std::vector<int64_t>> receivedBundles(const tools::MeasurementCollector& collector) {
  std::vector<std::vector<int64_t>> bundles;
  for (const nlohmann::json& bundle : childBundles(collector)) {
    if (bundle.value("status", 0) != 200) continue;
    std::vector<int64_t> sequence;
    for (const nlohmann::json& event : bundle["events"]) {
      if (isChildEvent(event)) sequence.push_back(event["params"]["seq"].get<int64_t>());
    }
    bundles.push_back(sequence);
  }
  return bundles;
}

// The bundles of the collector's batch number `batch`.
std::vector<nlohmann::json> batchBundles(const tools::MeasurementCollector& collector,
                                         int64_t batch) {
  std::vector<nlohmann::json> bundles;
  for (const nlohmann::json& bundle : collector.logged("bundle")) {
    if (bundle["batch"] == batch) bundles.push_back(bundle);
  }
  return bundles;
}

TEST_F(UploadTest, RawEventsArriveAsOneBatchAndAreDeletedAfterTheAnswer) {
  auto values = run({"--events", "5"});
  EXPECT_THAT(receivedSequence(collector_), ElementsAre(0, 1, 2, 3, 4));
  // One batch: the engine's own bundles and the child's, all of one application.
  std::vector<nlohmann::json> all = collector_.logged("bundle");
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(batchBundles(collector_, 1).size(), all.size());
  expectDistinctIndexes(collector_);
  auto bundles = childBundles(collector_);
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_EQ(bundles[0]["events"].size(), 5u);
  EXPECT_EQ(bundles[0]["app_id"], kApplicationID);
  EXPECT_GE(bundles[0]["index"], 1);
  EXPECT_FALSE(bundles[0].contains("retry_count"));
  EXPECT_EQ(bundles[0]["start_ms"], bundles[0]["events"][0]["timestamp_ms"]);
  EXPECT_EQ(bundles[0]["end_ms"], bundles[0]["events"][4]["timestamp_ms"]);
  EXPECT_TRUE(bundles[0].contains("upload_ms"));
  // Each event names the time of the one before it of the same name.
  EXPECT_FALSE(bundles[0]["events"][0].contains("previous_timestamp_ms"));
  for (size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(bundles[0]["events"][i]["previous_timestamp_ms"],
              bundles[0]["events"][i - 1]["timestamp_ms"]);
  }
  EXPECT_EQ(values["lifetimeCount"], "5");
  EXPECT_EQ(values["rawEventsEmpty"], "1");
  EXPECT_EQ(values["queued"], "0");
  EXPECT_GT(number(values, "lastSuccess"), 0);
  EXPECT_EQ(number(values, "lastFailure"), 0);
  // Nothing bundles before the first configuration answer; a 404 means the defaults.
  auto config = collector_.logged("config");
  ASSERT_EQ(config.size(), 1u);
  EXPECT_EQ(config[0]["status"], 404);
  EXPECT_EQ(config[0]["query"]["platform"], "macos");
  EXPECT_EQ(config[0]["query"]["runtime_version"], "0");
  EXPECT_FALSE(config[0].contains("if_none_match"));
  EXPECT_FALSE(config[0].contains("if_modified_since"));
}

TEST_F(UploadTest, AFailedAnswerKeepsTheBundleAndSchedulesTheRetryOrTheBackOff) {
  struct Case {
    const char* name;
    ScriptedFault fault;
    bool backoff;
  };
  for (const Case& c : {
           Case{"500", {.status = 500}, false},
           Case{"503", {.status = 503}, true},
           Case{"429", {.status = 429}, true},
           Case{"400", {.status = 400}, false},
           Case{"303 is not followed", {.status = 303}, false},
           Case{"cut after the request", {.cut = Cut::AfterRequest}, false},
           Case{"cut mid-response", {.cut = Cut::MidResponse}, false},
       }) {
    SCOPED_TRACE(c.name);
    testsupport::Sandbox sandbox;
    tools::MeasurementCollector collector;
    sandbox.setEnv("TESSARO_CONNECT_TO", collector.connectTo());
    sandbox.setEnv("TESSARO_CA_FILE", collector.certificatePath().string());
    collector.appendFault(CollectorEndpoint::Upload, c.fault);
    auto values = run({"--events", "3"});
    // Every bundle of the refused batch stays, counted as retried once.
    std::vector<nlohmann::json> refused = batchBundles(collector, 1);
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(values["queued"], std::to_string(refused.size()));
    std::string onceEach = "1";
    for (size_t i = 1; i < refused.size(); ++i) onceEach += ",1";
    EXPECT_EQ(values["retryCounts"], onceEach);
    ASSERT_EQ(childBundles(collector).size(), 1u);
    const nlohmann::json sent = childBundles(collector).front();
    double failure = number(values, "lastFailure");
    EXPECT_GT(failure, 0);
    EXPECT_EQ(number(values, "lastSuccess"), 0);
    double latest = number(values, "latest");
    // The first retry: the data's initial delay, then one retry interval.
    EXPECT_NEAR(number(values, "nextUpload"), latest + kInitialDelay + kRetryInterval, 0.01);
    double alarm = number(values, "rescheduled");
    if (c.backoff) {
      EXPECT_EQ(number(values, "lastBackoff"), failure);
      EXPECT_GE(alarm, failure + kBackoff);
    } else {
      EXPECT_EQ(number(values, "lastBackoff"), 0);
      EXPECT_NEAR(alarm, latest + kInitialDelay + kRetryInterval, 1);
    }
    // Nothing went anywhere else: the redirect's target was never asked for.
    for (const nlohmann::json& line : collector.logged("refused")) {
      EXPECT_NE(line["path"], "/redirected");
    }
    // The next pass sends the same bundle again, marked as retried once.
    auto again = run({"--events", "0"});
    EXPECT_EQ(again["queued"], "0");
    auto bundles = childBundles(collector);
    ASSERT_EQ(bundles.size(), 2u);
    EXPECT_EQ(bundles.back()["retry_count"], 1);
    EXPECT_EQ(bundles.back()["index"], sent["index"]);
    EXPECT_NE(bundles.back()["batch"], sent["batch"]);
    EXPECT_THAT(receivedSequence(collector), ElementsAre(0, 1, 2));
  }
}

TEST_F(UploadTest, EveryBundleLeavesWithTheAppInstanceIDAndConsentOfTheUpload) {
  struct Case {
    const char* name;
    std::vector<std::string> dataControls;
    bool ephemeral;  // the app instance id replaced by the ephemeral one
  };
  for (const Case& c : {
           Case{"no data controls", {}, false},
           Case{"the app instance id under a data control", {"app_instance_id"}, true},
       }) {
    SCOPED_TRACE(c.name);
    testsupport::Sandbox sandbox;
    tools::MeasurementCollector collector;
    sandbox.setEnv("TESSARO_CONNECT_TO", collector.connectTo());
    sandbox.setEnv("TESSARO_CA_FILE", collector.certificatePath().string());
    collector.setConfiguration("1:1:macos:a", configuration("1:1:macos:a", {}, {}, c.dataControls));
    // The child's events were written under metadata with neither: the upload adds them.
    auto values = run({"--events", "2"});
    ASSERT_FALSE(values["appInstanceID"].empty());
    ASSERT_GE(values["consentSignals"].size(), 4u);
    std::vector<nlohmann::json> bundles = collector.logged("bundle");
    ASSERT_EQ(childBundles(collector).size(), 1u);
    for (const nlohmann::json& bundle : bundles) {
      SCOPED_TRACE(bundle.dump());
      EXPECT_EQ(bundle.value("consent_signals", ""), values["consentSignals"]);
      if (c.ephemeral) {
        EXPECT_FALSE(bundle.contains("app_instance_id"));
        EXPECT_FALSE(bundle.value("ephemeral_app_instance_id", "").empty());
        EXPECT_NE(bundle.value("ephemeral_app_instance_id", ""), values["appInstanceID"]);
      } else {
        EXPECT_EQ(bundle.value("app_instance_id", ""), values["appInstanceID"]);
        EXPECT_FALSE(bundle.contains("ephemeral_app_instance_id"));
      }
    }
  }
}

TEST_F(UploadTest, A204AnswerCountsAsSuccess) {
  collector_.appendFault(CollectorEndpoint::Upload, {.status = 204});
  auto values = run({"--events", "2"});
  EXPECT_EQ(values["queued"], "0");
  EXPECT_EQ(values["rawEventsEmpty"], "1");
  EXPECT_GT(number(values, "lastSuccess"), 0);
}

TEST_F(UploadTest, BundlesOfTwoAppIDsGoInTwoBatches) {
  auto values = run({"--events", "2", "--other-app-events", "2"});
  EXPECT_EQ(values["queued"], "0");
  auto bundles = childBundles(collector_);
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[0]["app_id"], kApplicationID);
  EXPECT_EQ(bundles[1]["app_id"], std::string(kApplicationID) + "-other");
  EXPECT_NE(bundles[0]["batch"], bundles[1]["batch"]);
  EXPECT_THAT(receivedSequence(collector_), ElementsAre(0, 1, 2, 3));
}

TEST_F(UploadTest, AnEventLargerThanTheBatchLimitGoesOutAloneInsteadOfBlockingTheQueue) {
  // A batch limit of 50 bytes: each event's encoding passes it on its own.
  collector_.setConfiguration(
      "1:1:macos:a", configuration("1:1:macos:a", {{"measurement.upload.max_batch_size", "50"}}));
  run({"--events", "1", "--size", "100", "--upload-pass", "0"});
  auto values = run({"--events", "2", "--first-seq", "1", "--size", "100"});
  EXPECT_EQ(values["rawEventsEmpty"], "1");
  EXPECT_EQ(values["queued"], "0");
  EXPECT_THAT(receivedSequence(collector_), ElementsAre(0, 1, 2));
  EXPECT_EQ(childBundles(collector_).size(), 3u);
}

TEST_F(UploadTest, TheValidatorsAreKeptOnlyWithAConfigurationPutInForce) {
  struct Case {
    const char* name;
    std::string servedFor;
    bool accepted;
  };
  for (const Case& c :
       {Case{"own app id", "1:1:macos:a", true}, Case{"another app id", "1:1:macos:z", false}}) {
    SCOPED_TRACE(c.name);
    testsupport::Sandbox sandbox;
    tools::MeasurementCollector collector;
    sandbox.setEnv("TESSARO_CONNECT_TO", collector.connectTo());
    sandbox.setEnv("TESSARO_CA_FILE", collector.certificatePath().string());
    // Served under the engine's app id, whatever app id the body names.
    tools::ConfigurationValidators validators =
        collector.setConfiguration("1:1:macos:a", configuration(c.servedFor, {}));
    auto values = run({"--events", "1"});
    EXPECT_EQ(values["etag"], c.accepted ? validators.ETag : "");
    // The fetch counts as an answer either way: the events still go out.
    EXPECT_THAT(receivedSequence(collector), ElementsAre(0));
  }
}

TEST_F(UploadTest, AGroupEndsAtAnotherHourOrAGapAndAnUnreadableRowIsDroppedNotStalledOn) {
  using Bundles = std::vector<std::vector<int64_t>>;
  // The child's rows, not the engine's own events.
  const std::string kChildRows = " FROM raw_events WHERE name = 'level_up'";
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> inserts;
    // Run on the database after the inserts.
    std::string sql;
    Bundles expected;
  };
  for (const Case& c : {
           Case{"two clock hours",
                {{"--events", "2", "--age", "60"},
                 {"--events", "2", "--age", "7260", "--first-seq", "2"}},
                "",
                {{0, 1}, {2, 3}}},
           Case{"a gap in the rows",
                {{"--events", "4"}},
                "DELETE FROM raw_events WHERE rowid = (SELECT MIN(rowid) + 1" + kChildRows + ")",
                {{0}, {2, 3}}},
           Case{"an unreadable first row",
                {{"--events", "3"}},
                "UPDATE raw_events SET data = x'ffffffff0f' WHERE rowid = (SELECT MIN(rowid)" +
                    kChildRows + ")",
                {{1, 2}}},
       }) {
    SCOPED_TRACE(c.name);
    testsupport::Sandbox sandbox;
    tools::MeasurementCollector collector;
    sandbox.setEnv("TESSARO_CONNECT_TO", collector.connectTo());
    sandbox.setEnv("TESSARO_CA_FILE", collector.certificatePath().string());
    std::string path;
    for (std::vector<std::string> insert : c.inserts) {
      insert.insert(insert.end(), {"--upload-pass", "0"});
      path = run(insert)["databasePath"];
    }
    if (!c.sql.empty()) execute(path, c.sql);
    auto values = run({"--events", "0"});
    EXPECT_EQ(receivedBundles(collector), c.expected);
    EXPECT_EQ(values["rawEventsEmpty"], "1");
    EXPECT_EQ(values["queued"], "0");
  }
}

TEST_F(UploadTest, ARefusedConfigurationFetchBacksOffAndBundlesNothing) {
  collector_.appendFault(CollectorEndpoint::Configuration, {.status = 503});
  auto values = run({"--events", "2"});
  EXPECT_TRUE(collector_.logged("bundle").empty());
  EXPECT_EQ(values["rawEventsEmpty"], "0");
  EXPECT_EQ(values["queued"], "0");
  double failure = number(values, "lastFailure");
  EXPECT_GT(failure, 0);
  EXPECT_EQ(number(values, "lastBackoff"), failure);
  EXPECT_GE(number(values, "rescheduled"), failure + kBackoff);
  // The next pass fetches again, now answered, and the events go out.
  run({"--events", "0"});
  EXPECT_THAT(receivedSequence(collector_), ElementsAre(0, 1));
  EXPECT_EQ(collector_.logged("config").size(), 2u);
}

TEST_F(UploadTest, ManyBatchesCarryEveryEventExactlyOnce) {
  // 10,000 events: ten full groups, several batches of at most 65,536 bytes, one pass.
  auto values = run({"--events", "10000"});
  EXPECT_EQ(values["rawEventsEmpty"], "1");
  EXPECT_EQ(values["queued"], "0");
  std::vector<int64_t> sequence = receivedSequence(collector_);
  std::sort(sequence.begin(), sequence.end());
  std::vector<int64_t> expected(10000);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(sequence, expected);
  expectDistinctIndexes(collector_);
  std::set<int64_t> batches;
  for (const nlohmann::json& bundle : collector_.logged("bundle")) {
    batches.insert(bundle["batch"].get<int64_t>());
    EXPECT_LE(bundle["events"].size(), 1000u);
  }
  EXPECT_EQ(childBundles(collector_).size(), 10u);
  EXPECT_GT(batches.size(), 1u);
}

TEST_F(UploadTest, BundlingRenamesAdImpressionsAndLeavesOutBlocklistedEvents) {
  struct Case {
    const char* name;
    std::string names;  // taken in turn by the events
    int events;
    std::vector<std::string> blocklisted;
    std::vector<int64_t> received;
    std::set<std::string> receivedNames;
  };
  for (const Case& c : {
           Case{"ad impressions go as internal events", "ad_impression", 2, {}, {0, 1}, {"_ai"}},
           Case{"one name blocklisted", "level_up,other", 4, {"other"}, {0, 2}, {"level_up"}},
           Case{"every event blocklisted", "level_up", 2, {"level_up"}, {}, {}},
       }) {
    SCOPED_TRACE(c.name);
    testsupport::Sandbox sandbox;
    tools::MeasurementCollector collector;
    sandbox.setEnv("TESSARO_CONNECT_TO", collector.connectTo());
    sandbox.setEnv("TESSARO_CA_FILE", collector.certificatePath().string());
    collector.setConfiguration("1:1:macos:a", configuration("1:1:macos:a", {}, c.blocklisted));
    auto values = run({"--events", std::to_string(c.events), "--names", c.names});
    EXPECT_EQ(values["rawEventsEmpty"], "1");
    EXPECT_EQ(values["queued"], "0");
    EXPECT_EQ(receivedSequence(collector), c.received);
    std::set<std::string> names;
    for (const nlohmann::json& bundle : collector.logged("bundle")) {
      for (const nlohmann::json& event : bundle["events"]) {
        if (isChildEvent(event)) names.insert(event["name"]);
      }
    }
    EXPECT_EQ(names, c.receivedNames);
  }
}

TEST_F(UploadTest, TheScheduleFollowsTheLastUploadsTheRetriesAndTheBackOff) {
  // Offsets from the newest event (L): the child's events and the engine's own are written now.
  struct Case {
    const char* name;
    std::vector<std::string> history;
    double fromLatest;  // the expected time minus L; -1 for nothing scheduled
  };
  // The retry series after a failure: 1800, 3600, 7200, 14400, 28800, 57600 s, cumulative.
  const double afterSixRetries = kInitialDelay + 1800 + 3600 + 7200 + 14400 + 28800 + 57600;
  for (const Case& c : {
           Case{"never uploaded: the initial delay", {}, kInitialDelay},
           Case{"a success 10 minutes ago: one interval after it",
                {"--success-age", "600"},
                -600 + 3600},
           Case{"a failure after the data: the first retry",
                {"--failure-after", "10"},
                kInitialDelay + 1800},
           Case{"a failure past the first retry: the second",
                {"--failure-after", "1816"},
                kInitialDelay + 1800 + 3600},
           Case{"a failure past the sixth retry: nothing",
                {"--failure-after", std::to_string(afterSixRetries + 1)},
                -1},
       }) {
    SCOPED_TRACE(c.name);
    testsupport::Sandbox sandbox;
    std::vector<std::string> arguments = {"--events",   "1", "--age",         "0",
                                          "--schedule", "1", "--upload-pass", "0"};
    arguments.insert(arguments.end(), c.history.begin(), c.history.end());
    auto values = run(arguments);
    double latest = number(values, "latest");
    if (c.fromLatest < 0) {
      EXPECT_EQ(number(values, "nextUpload"), 0);
      EXPECT_EQ(number(values, "alarm"), 0);
    } else {
      EXPECT_NEAR(number(values, "nextUpload"), latest + c.fromLatest, 1);
      // A time already past fires at once; a later one stays armed.
      if (latest + c.fromLatest > number(values, "now")) {
        EXPECT_NEAR(number(values, "alarm"), latest + c.fromLatest, 1);
      }
    }
  }
  // A 429 or 503 an hour ago holds everything back until the back-off period has passed.
  testsupport::Sandbox sandbox;
  auto values = run({"--events", "1", "--age", "0", "--upload-pass", "0", "--schedule", "1",
                     "--backoff-age", "3600"});
  EXPECT_NEAR(number(values, "alarm"), number(values, "latest") - 3600 + kBackoff, 1);
}

TEST_F(UploadTest, AReachabilityChangeBeforeStartUpSchedulesNothing) {
  auto values = run({"--enabled", "0"});
  EXPECT_EQ(values["database"], "0");
}

}  // namespace
