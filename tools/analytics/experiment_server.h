// A stand-in for the experiment service on 127.0.0.1 (HTTPS), for the experiment service's
// tests. It judges the client with its own zlib and libprotobuf decoding:
//
//   POST /sdk-exp   a gzipped ExperimentRequest with the analytics client's three headers
//                   ("Content-Type" "application/x-www-form-urlencoded", "Content-Encoding"
//                   "gzip", "Content-Length" the gzipped length), else 400 (so is a body that
//                   does not inflate or decode); answered 200 with the configured
//                   ExperimentResponse gzip-compressed in the body and no Content-Encoding
//                   header: the client inflates it itself.
//
// Every request leaves one JSON line in the log (memory, and the file of Options::logPath):
//   {"type":"request","status":200,"request":{"app_property":{"platform":"macos",…},
//    "client_properties":[{"sdk_name":"zad_odavodivezi",…}]}}
// with the request in libprotobuf's JSON form under the schema's field names ("status" 0 when
// no reply went out), or {"type":"refused","reason":…} for a request answered 400.
//
//   tools::ExperimentServer server;
//   sandbox.setEnv("TESSARO_CONNECT_TO", server.connectTo());
//   sandbox.setEnv("TESSARO_CA_FILE", server.certificatePath().string());
//   server.setResponse(response.SerializeAsString());
//   server.appendFault({.body = tools::ReplyBody::GzipBomb});
//   ... the client fetches ...
//   server.waitForRequests(1, std::chrono::seconds(30));
//
// Faults (tools::ScriptedFault, taken by requests in arrival order, one each): another status,
// a delay, a hold, a cut after the request or mid-body, a body that is not gzip, gzip of bytes
// that are no ExperimentResponse, a gzip bomb (kBombInflatedBytes of zeros, about a thousandth
// of that on the wire, made once per process and never inflated here), and the reply with
// "Content-Encoding: gzip" as well. Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "tools/analytics/stand_in_server.h"

namespace tools {

class ExperimentServer {
 public:
  static constexpr const char* kHost = "experiments.tessaro.example";
  static constexpr const char* kPath = "/sdk-exp";
  // What the bomb inflates to: twice the most the client's gzip helper inflates.
  static constexpr size_t kBombInflatedBytes = size_t{128} << 20;

  struct Options {
    // A file that every log line is appended to as well; none when empty.
    std::filesystem::path logPath = {};
  };

  // Starts serving, with an empty ExperimentResponse. Throws std::runtime_error when it cannot.
  ExperimentServer();
  explicit ExperimentServer(Options options);

  // The host on port 443 to this server, for TESSARO_CONNECT_TO.
  std::string connectTo() const { return stand_.connectTo(); }
  // The certificate (PEM), for TESSARO_CA_FILE.
  std::filesystem::path certificatePath() const { return stand_.certificatePath(); }
  testsupport::LocalHttpServer& http() { return stand_.http(); }

  // The reply from now on: the bytes of an ExperimentResponse, gzipped as they are.
  void setResponse(std::string response);

  void appendFault(ScriptedFault fault) { stand_.appendFault(kEndpoint, fault); }
  void release() { stand_.release(); }
  bool waitForHeld(size_t count, std::chrono::milliseconds timeout) const {
    return stand_.waitForHeld(count, timeout);
  }

  // The log lines of one type ("request", "refused"), or all when `type` is empty.
  std::vector<nlohmann::json> logged(std::string_view type = {}) const {
    return stand_.logged(type);
  }
  // Waits until at least `count` requests are logged; false when `timeout` passes first.
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    return stand_.waitForLogged("request", count, timeout);
  }

  // Applies one command of the executable: "fetch <fault words>", "release"
  // (StandInServer::applyCommand), or "response <file>". False, with `problem` set when given,
  // for anything else.
  bool applyCommand(std::string_view command, std::string* problem);

  // The bomb's bytes, made on first use.
  static const std::string& gzipBomb();

 private:
  static constexpr const char* kEndpoint = "fetch";

  void fetch(const httplib::Request& request, httplib::Response& response);

  StandInServer stand_;

  mutable os::Mutex mutex_;
  std::string gzippedResponse_ OS_GUARDED_BY(mutex_);
};

}  // namespace tools
