// The scaffolding that the analytics stand-ins (the measurement collector, the experiment
// server) share: an HTTPS server on 127.0.0.1 for their host names that keeps request bodies as
// the client compressed them, a script of faults per endpoint that requests take in arrival
// order, holds that the test releases, a log of JSON lines (in memory and, when a path is given,
// appended to a file), and the text commands that script all this from a binary's standard
// input.
//
//   tools::StandInServer stand({.hostNames = {"measurement.tessaro.example"},
//                               .endpoints = {"upload"}});
//   stand.http().on("POST", "/a", [&](const httplib::Request& request, httplib::Response& response) {
//     tools::ScriptedFault fault = stand.takeFault("upload");
//     int status = stand.answer(fault, request, response, {.status = 204});
//     stand.log({{"status", status}});
//   });
//   stand.appendFault("upload", {.hold = true});
//   ... a client posts; stand.waitForHeld(1, 10s) ... stand.release();
//
// Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/sync/mutex.h"
#include "testsupport/local_http_server.h"

namespace tools {

// How a reply is cut short.
enum class Cut {
  None,
  // The request is read, then the connection drops before any byte of a reply.
  AfterRequest,
  // The status, the headers and half of the announced body go out, then the connection drops.
  // A status that carries no body (204, 304) leaves nothing to cut: the client sees it whole.
  MidResponse,
};

// What the experiment server sends in place of its gzip-compressed reply.
enum class ReplyBody { Normal, NotGzip, GzipOfGarbage, GzipBomb };

// The fault one request meets. The default is none.
struct ScriptedFault {
  // Answered instead of the endpoint's own status when not 0. Any status but 200 comes without
  // the endpoint's body and headers; a 303 names "/redirected" in its Location.
  int status = 0;
  // Waited before answering.
  std::chrono::milliseconds delay{0};
  // Held after the delay until release() (or the server stops).
  bool hold = false;
  Cut cut = Cut::None;
  // Experiment server only: the body sent in place of the reply, and whether the reply also
  // carries "Content-Encoding: gzip".
  ReplyBody body = ReplyBody::Normal;
  bool contentEncoding = false;
};

// Parses fault words separated by blanks: "status=N", "delay-ms=N", "hold",
// "cut=request|response", and with `replyBodies` also "body=not-gzip|garbage|bomb" and
// "content-encoding". nullopt, with `problem` set when given, for anything else.
std::optional<ScriptedFault> parseFault(std::string_view words, bool replyBodies,
                                        std::string* problem);

// What an endpoint sends when no fault changes it.
struct NormalReply {
  int status = 200;
  std::string body = {};
  std::string contentType = "application/octet-stream";
  httplib::Headers headers = {};
};

// The largest body a stand-in inflates from a request.
inline constexpr size_t kMaxInflatedRequestBytes = size_t{32} << 20;

// The body of a POST as the analytics client sends it: "Content-Type"
// "application/x-www-form-urlencoded", "Content-Encoding" "gzip", "Content-Length" the length of
// the gzipped bytes that arrived, and those bytes one whole gzip member of at most
// kMaxInflatedRequestBytes. The inflated body; nullopt, with `problem` saying what was wrong,
// otherwise. `request` must come from a server that keeps request encodings.
std::optional<std::string> inflatedPostBody(const httplib::Request& request, std::string* problem);

class StandInServer {
 public:
  struct Options {
    // The names the certificate covers and connectTo() sends here.
    std::vector<std::string> hostNames;
    // The endpoints that faults can be scripted for, by name.
    std::vector<std::string> endpoints;
    // Whether faults may replace the reply's body (parseFault's `replyBodies`).
    bool replyBodies = false;
    // A file every log line is appended to as well; none when empty.
    std::filesystem::path logPath = {};
  };

  // Starts serving. Throws std::runtime_error when the server or the log file cannot be set up.
  explicit StandInServer(Options options);
  // Releases every hold and stops serving.
  ~StandInServer();
  StandInServer(const StandInServer&) = delete;
  StandInServer& operator=(const StandInServer&) = delete;

  testsupport::LocalHttpServer& http() { return *server_; }
  // Every host name on port 443 to this server, comma-separated, for TESSARO_CONNECT_TO.
  std::string connectTo() const;
  // The certificate (PEM), for TESSARO_CA_FILE.
  std::filesystem::path certificatePath() const { return server_->certificatePath(); }

  // Queues `fault` for the next request of `endpoint` that has none queued before it.
  void appendFault(const std::string& endpoint, ScriptedFault fault);
  // The next queued fault of `endpoint`, or no fault.
  ScriptedFault takeFault(const std::string& endpoint);

  // Answers per `fault`, or with `normal` where the fault leaves it: waits its delay and its
  // hold, then cuts, replaces the status or sends `normal`. The status the reply carries, or 0
  // when none goes out (cut after the request, or the server stopping meanwhile).
  int answer(const ScriptedFault& fault, const httplib::Request& request,
             httplib::Response& response, NormalReply normal);

  // Answers 400 with `reason` as a text body and logs {"type":"refused","path","reason"}.
  void refuse(const httplib::Request& request, httplib::Response& response,
              const std::string& reason);

  // Lets every request held now go on.
  void release();
  size_t heldCount() const;
  // Waits until at least `count` requests are held at once; false when `timeout` passes first.
  bool waitForHeld(size_t count, std::chrono::milliseconds timeout) const;

  // Appends one line to the log; its "type" names what it records.
  void log(nlohmann::json line);
  // The lines of the log whose "type" is `type`, in order; every line when `type` is empty.
  std::vector<nlohmann::json> logged(std::string_view type = {}) const;
  // Waits until the log holds at least `count` lines of `type` (of any type when empty); false
  // when `timeout` passes first.
  bool waitForLogged(std::string_view type, size_t count, std::chrono::milliseconds timeout) const;

  // Applies one command: "<endpoint> <fault words>" queues a fault (parseFault), "release"
  // releases the held requests. False, with `problem` set when given, for anything else.
  bool applyCommand(std::string_view command, std::string* problem);

 private:
  // Holds the calling request until the next release(); false when the server stops first.
  bool waitWhileHeld();

  const Options options_;
  std::unique_ptr<testsupport::LocalHttpServer> server_;

  mutable os::Mutex mutex_;
  mutable os::ConditionVariable changed_;  // signalled on a hold, a release, a log line and stop
  std::map<std::string, std::deque<ScriptedFault>> faults_ OS_GUARDED_BY(mutex_);
  size_t held_ OS_GUARDED_BY(mutex_) = 0;
  uint64_t releases_ OS_GUARDED_BY(mutex_) = 0;
  bool stopping_ OS_GUARDED_BY(mutex_) = false;
  size_t countLogged(std::string_view type) const OS_REQUIRES(mutex_);

  std::vector<nlohmann::json> logged_ OS_GUARDED_BY(mutex_);
  FILE* logFile_ OS_GUARDED_BY(mutex_) = nullptr;
};

// Reads commands from `input` line by line until its end, applies each with `apply`, and
// writes "ok" or "error: <problem>" for each to `output`, flushed, so that a script that
// writes a command can read when it took effect. Blank lines and lines starting with "#" are
// skipped. For the stand-ins' executables, on a thread of its own.
void runCommands(FILE* input, FILE* output,
                 const std::function<bool(std::string_view, std::string*)>& apply);

}  // namespace tools
