// For the upload road's tests: a child process (UPLOAD_CHILD) runs the engine in the test's
// sandbox against the local collector, and these read what arrived there, independently of the
// engine's code.
//
//   TEST_F(UploadTest, Something) {
//     auto values = run({"--events", "3"});   // the child's "name=value" lines
//     EXPECT_THAT(receivedSequence(collector_), ElementsAre(0, 1, 2));
//   }
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "measurement/wire/schema/cpp/config.pb.h"
#include "os/value/plist.h"
#include "testsupport/child_process.h"
#include "testsupport/sandbox.h"
#include "tools/analytics/measurement_collector.h"

namespace testsupport {

// The schedule's intervals with the default settings (seconds).
constexpr double kRetryInterval = 1800;
constexpr double kInitialDelay = 15;
// The child runs as this application; every bundle names it.
constexpr const char* kApplicationID = "com.tessaro.kestrova";

// The bytes of a MeasurementConfig for `appID` with `settings`, blocklisted event names and the
// names of data controls.
inline std::string configuration(const std::string& appID,
                                 const std::vector<std::pair<std::string, std::string>>& settings,
                                 const std::vector<std::string>& blocklisted = {},
                                 const std::vector<std::string>& dataControls = {}) {
  tessaro::measurement::MeasurementConfig config;
  config.set_app_id(appID);
  for (const auto& [name, value] : settings) {
    tessaro::measurement::Setting* setting = config.add_settings();
    setting->set_name(name);
    setting->set_value(value);
  }
  for (const std::string& name : blocklisted) {
    tessaro::measurement::EventConfig* event = config.add_event_config();
    event->set_name(name);
    event->set_blocklisted(true);
  }
  for (const std::string& name : dataControls) config.add_data_controls()->set_name(name);
  return config.SerializeAsString();
}

inline double number(const std::map<std::string, std::string>& values, const std::string& name) {
  auto found = values.find(name);
  return found == values.end() ? -1 : std::stod(found->second);
}

// The "seq" parameters of every event the collector answered in full, in arrival order (the
// events the engine writes of itself, such as its first open, carry none and are left out).
inline std::vector<int64_t> receivedSequence(const tools::MeasurementCollector& collector) {
  std::vector<int64_t> sequence;
  for (const nlohmann::json& bundle : collector.logged("bundle")) {
    bool answered = bundle.value("status", 0) == 200 || bundle.value("status", 0) == 204;
    if (!answered || bundle.value("cut", false)) continue;
    for (const nlohmann::json& event : bundle["events"]) {
      if (event["params"].contains("seq"))
        sequence.push_back(event["params"]["seq"].get<int64_t>());
    }
  }
  return sequence;
}

inline bool isChildEvent(const nlohmann::json& event) { return event["params"].contains("seq"); }

// The bundles the collector logged that hold the child's events (the engine's own events,
// first open, session start and engagement, go in bundles of their own).
inline std::vector<nlohmann::json> childBundles(const tools::MeasurementCollector& collector) {
  std::vector<nlohmann::json> bundles;
  for (const nlohmann::json& bundle : collector.logged("bundle")) {
    const nlohmann::json& events = bundle["events"];
    if (std::any_of(events.begin(), events.end(), isChildEvent)) bundles.push_back(bundle);
  }
  return bundles;
}

// The bundles' indexes are distinct: each bundle the engine made is numbered once.
inline void expectDistinctIndexes(const tools::MeasurementCollector& collector) {
  std::set<int64_t> indexes;
  for (const nlohmann::json& bundle : collector.logged("bundle")) {
    EXPECT_TRUE(indexes.insert(bundle["index"].get<int64_t>()).second) << bundle["index"];
  }
}

// What the collector must have after an interruption and a healthy run: each event of
// `expected` and no other of the child's, once, except that with `batchInFlight` the bundles of
// one batch (the one answered 200 that the process did not live to delete) arrived twice, with
// the same index and the same events each time.
inline void expectEachEventOnceButTheBatchInFlight(const tools::MeasurementCollector& collector,
                                                   const std::set<int64_t>& expected,
                                                   bool batchInFlight) {
  std::map<int64_t, std::vector<int64_t>> byIndex;
  std::map<int64_t, int64_t> firstBatch;
  std::set<int64_t> repeatedBatches;
  std::map<int64_t, int> arrivals;
  for (const nlohmann::json& bundle : childBundles(collector)) {
    bool answered = bundle.value("status", 0) == 200 || bundle.value("status", 0) == 204;
    if (!answered || bundle.value("cut", false)) continue;
    std::vector<int64_t> sequence;
    for (const nlohmann::json& event : bundle["events"]) {
      if (isChildEvent(event)) sequence.push_back(event["params"]["seq"].get<int64_t>());
    }
    int64_t index = bundle["index"].get<int64_t>();
    auto [first, isFirst] = byIndex.emplace(index, sequence);
    if (isFirst) {
      firstBatch[index] = bundle["batch"].get<int64_t>();
      for (int64_t seq : sequence) ++arrivals[seq];
    } else {
      EXPECT_EQ(first->second, sequence) << "bundle " << index << " changed when sent again";
      repeatedBatches.insert(firstBatch[index]);
    }
  }
  EXPECT_EQ(repeatedBatches.size(), batchInFlight ? 1u : 0u);
  std::vector<int64_t> twice;
  std::vector<int64_t> missing;
  std::vector<int64_t> unexpected;
  for (const auto& [seq, count] : arrivals) {
    if (count > 1) twice.push_back(seq);
    if (!expected.contains(seq)) unexpected.push_back(seq);
  }
  for (int64_t seq : expected) {
    if (!arrivals.contains(seq)) missing.push_back(seq);
  }
  EXPECT_THAT(twice, testing::IsEmpty()) << "in bundles of different indexes";
  EXPECT_THAT(missing, testing::IsEmpty());
  EXPECT_THAT(unexpected, testing::IsEmpty());
}

// A sandbox for the child, with the collector its servers' names lead to; run() starts the child
// with the given options and returns its "name=value" lines.
class UploadTest : public ::testing::Test {
 protected:
  UploadTest() {
    sandbox_.setEnv("TESSARO_CONNECT_TO", collector_.connectTo());
    sandbox_.setEnv("TESSARO_CA_FILE", collector_.certificatePath().string());
    // The child runs as an application with an identifier, which every bundle carries.
    const std::filesystem::path app = sandbox_.root() / "Kestrova.app";
    std::filesystem::create_directories(app / "Contents");
    std::ofstream(app / "Contents/Info.plist", std::ios::binary)
        << *os::plist::serialize(os::Dictionary{{"CFBundleIdentifier", "com.tessaro.kestrova"},
                                                {"CFBundleShortVersionString", "1.0"}},
                                 os::plist::Format::Xml);
    sandbox_.setEnv("TESSARO_MAIN_BUNDLE", app.string());
  }

  std::map<std::string, std::string> run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {UPLOAD_CHILD, "run"});
    testsupport::ChildRun run = testsupport::runChild(arguments);
    EXPECT_TRUE(run.succeeded()) << run.output;
    return testsupport::nameValueLines(run.output);
  }

  testsupport::Sandbox sandbox_;
  tools::MeasurementCollector collector_;
};

}  // namespace testsupport
