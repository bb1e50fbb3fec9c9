// A stand-in for the measurement service on 127.0.0.1 (HTTPS), for the measurement engine's
// tests and the demo. It judges the client with its own zlib and libprotobuf decoding:
//
//   POST /a                 a gzipped MeasurementBatch: "Content-Type"
//                           "application/x-www-form-urlencoded", "Content-Encoding" "gzip" and
//                           "Content-Length" the gzipped length, else 400 (so is a body that does
//                           not inflate or decode); answered 200 with no body unless scripted
//   GET  /config/app/<id>   the configuration set for that app id, with "ETag" and
//                           "Last-Modified", or 304 when "If-None-Match" matches the ETag; 404
//                           for an app id without one
//
// Every request leaves one JSON line in the log (memory, and the file of Options::logPath):
//   {"type":"bundle","batch":1,"status":200,"cut":false,"app_id":"1:1:ios:ab","index":3,
//    "retry_count":1,"upload_ms":…,"start_ms":…,"end_ms":…,"experiment_ids":[3,7],
//    "events":[{"name":"_e","timestamp_ms":…,"previous_timestamp_ms":…,
//               "params":{"_et":12,"label":"x","items":[{"id":"a"}]}}],
//    "user_properties":[{"name":"_fot","set_ms":…,"value":3600000}]}
// one per bundle of a batch (fields the bundle lacks are left out; "status" 0 when no reply went
// out), {"type":"config","app_id":…,"query":{"platform":"macos",…},"if_none_match":…,
// "if_modified_since":…,"status":304} per configuration request (absent conditional headers left
// out), and {"type":"refused","path":"/a","reason":"Content-Encoding is \"\""} per request
// answered 400.
//
//   tools::MeasurementCollector collector;
//   sandbox.setEnv("TESSARO_CONNECT_TO", collector.connectTo());
//   sandbox.setEnv("TESSARO_CA_FILE", collector.certificatePath().string());
//   collector.appendFault(tools::CollectorEndpoint::Upload, {.status = 503});
//   collector.appendFault(tools::CollectorEndpoint::Upload, {.hold = true});
//   ... the engine uploads ...
//   collector.waitForHeld(1, std::chrono::seconds(30));   // the second POST waits
//   collector.release();
//   collector.waitForBundles(2, std::chrono::seconds(30));
//
// Faults are taken by the requests of an endpoint in arrival order, one each. Thread-safe.
#pragma once

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "tools/analytics/stand_in_server.h"

namespace tools {

enum class CollectorEndpoint { Upload, Configuration };

// The validators a served configuration goes out with.
struct ConfigurationValidators {
  std::string ETag;
  std::string lastModified;
};

class MeasurementCollector {
 public:
  // The hosts the client uploads to and fetches its configuration from.
  static constexpr const char* kHost = "measurement.tessaro.example";
  static constexpr const char* kTrackingAuthorizedHost = "measurement-authorized.tessaro.example";

  struct Options {
    // A file that every log line is appended to as well; none when empty.
    std::filesystem::path logPath = {};
  };

  // Starts serving. Throws std::runtime_error when it cannot.
  MeasurementCollector();
  explicit MeasurementCollector(Options options);

  // Both hosts on port 443 to this server, for TESSARO_CONNECT_TO.
  std::string connectTo() const { return stand_.connectTo(); }
  // The certificate (PEM), for TESSARO_CA_FILE.
  std::filesystem::path certificatePath() const { return stand_.certificatePath(); }
  testsupport::LocalHttpServer& http() { return stand_.http(); }

  // Serves `configuration` (the bytes of a MeasurementConfig, sent as they are) for `appID`
  // from now on, with a new ETag and the current time as Last-Modified, which it returns.
  ConfigurationValidators setConfiguration(const std::string& appID, std::string configuration);

  void appendFault(CollectorEndpoint endpoint, ScriptedFault fault);
  void release() { stand_.release(); }
  bool waitForHeld(size_t count, std::chrono::milliseconds timeout) const {
    return stand_.waitForHeld(count, timeout);
  }

  // The log lines of one type ("bundle", "config", "refused"), or all when `type` is empty.
  std::vector<nlohmann::json> logged(std::string_view type = {}) const {
    return stand_.logged(type);
  }
  // Waits until at least `count` bundle lines are logged; false when `timeout` passes first.
  bool waitForBundles(size_t count, std::chrono::milliseconds timeout) const {
    return stand_.waitForLogged("bundle", count, timeout);
  }

  // Applies one command of the executable: "upload <fault words>", "config <fault words>",
  // "release" (StandInServer::applyCommand), or "configuration <app id> <file>". False, with
  // `problem` set when given, for anything else.
  bool applyCommand(std::string_view command, std::string* problem);

 private:
  struct Served {
    std::string body;
    ConfigurationValidators validators;
  };

  void upload(const httplib::Request& request, httplib::Response& response);
  void configuration(const httplib::Request& request, httplib::Response& response);

  StandInServer stand_;

  mutable os::Mutex mutex_;
  std::map<std::string, Served> configurations_ OS_GUARDED_BY(mutex_);
  uint64_t configurationVersions_ OS_GUARDED_BY(mutex_) = 0;
  uint64_t batches_ OS_GUARDED_BY(mutex_) = 0;
};

}  // namespace tools
