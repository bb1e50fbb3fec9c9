// LocalHttpServer is a scripted HTTP or HTTPS server on 127.0.0.1 for tests: it answers the
// routes the test declares, logs every request, and stops cleanly when destroyed.
//
//   testsupport::LocalHttpServer server;                       // plain HTTP, started
//   server.respond("GET", "/config.json", 200, R"({"v":1})",
//                  {{"Content-Type", "application/json"}});
//   server.on("POST", "/upload", [](const httplib::Request& request, httplib::Response& response) {
//     response.status = request.body.empty() ? 400 : 204;
//   });
//   client.get(server.url("/config.json"));
//   ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(5)));
//   EXPECT_EQ(server.requests()[0].header("User-Agent"), "...");
//
// TLS: LocalHttpServer server({.tls = true, .hostNames = {"downloads.example.test"}}) creates a
// self-signed certificate for 127.0.0.1, localhost and the given names, and writes it to
// certificatePath() so that a client can trust it as its CA file; a client sent to a named host
// connects to 127.0.0.1:port() and verifies the certificate against that name.
//
// A server can also present a chain that the test makes itself, for trust and pinning tests:
//
//   auto authority = testsupport::makeTestIdentity({.commonName = "Test CA"});
//   auto leaf = testsupport::makeTestIdentity({.issuer = &authority, .isAuthority = false});
//   LocalHttpServer server({.tls = true, .identity = leaf,
//                           .extraChain = {authority.certificatePEM}});
//
// Handlers run on the server's worker threads. The server ignores SIGPIPE for the whole process
// (a client that hangs up mid-response would otherwise kill the test).
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "os/sync/mutex.h"

namespace testsupport {

// A certificate with its private key, made for tests.
struct TestIdentity {
  std::string certificatePEM;
  std::string privateKeyPEM;
  // The certificate as DER, the form a pinning policy keeps.
  std::vector<unsigned char> certificateDER;
};

struct TestIdentityOptions {
  // Names the certificate covers besides 127.0.0.1 and localhost.
  std::vector<std::string> hostNames = {};
  std::string commonName = "LocalHttpServer";
  // The identity that signs the certificate; nullptr for a self-signed one.
  const TestIdentity* issuer = nullptr;
  // An authority (basic constraints CA:TRUE, may sign certificates); a self-signed server
  // certificate is one, so that a client can trust it as its CA file.
  bool isAuthority = true;
  // Validity, in seconds from now: from an hour ago for a week by default. Two negative values
  // give an expired certificate.
  long notBeforeSeconds = -3600;
  long notAfterSeconds = 7 * 24 * 3600;
};

// A new P-256 key and its certificate as `options` say. Throws std::runtime_error (a test
// failure) when OpenSSL cannot make them.
TestIdentity makeTestIdentity(const TestIdentityOptions& options);

// One request as the server received it.
struct RecordedRequest {
  std::string method;
  // The request target as sent: path and query, still percent-encoded.
  std::string target;
  // The path without the query, percent-decoded.
  std::string path;
  // Query parameters, percent-decoded; sorted by name, repeated names in the order sent.
  std::multimap<std::string, std::string> query;
  // Header names compare case-insensitively.
  httplib::Headers headers;
  // The body; a gzip or br Content-Encoding has already been undone (the header stays), unless
  // the server keeps request encodings (Options::keepRequestEncoding).
  std::string body;

  // The first value of a header, or "" when absent.
  std::string header(const std::string& name) const;
  // The first value of a query parameter, or "" when absent.
  std::string queryValue(const std::string& name) const;
};

// What a scripted route sends back.
struct Reply {
  int status = 200;
  std::string body;
  // Extra response headers. A Content-Type here replaces the default
  // "application/octet-stream".
  httplib::Headers headers;
  // Waited before the response starts, for timeout tests. stop() cuts the wait short.
  std::chrono::milliseconds delay{0};
  // When non-zero, the body goes out in pieces of this many bytes with `pause` before each piece
  // after the first, for progress tests. The response is still Content-Length framed unless
  // `chunked` is set.
  size_t pieceSize = 0;
  std::chrono::milliseconds pause{0};
  // Sends the body with chunked transfer encoding (no Content-Length).
  bool chunked = false;
};

class LocalHttpServer {
 public:
  struct Options {
    // Serve HTTPS with a certificate generated for this server.
    bool tls = false;
    // Host names that the certificate covers besides 127.0.0.1 and localhost.
    std::vector<std::string> hostNames = {};
    // The certificate and key to serve instead of a generated one (hostNames are then unused);
    // certificatePath() holds its certificate.
    std::optional<TestIdentity> identity = std::nullopt;
    // Certificates (PEM) sent after the server's own in the handshake: intermediates, a root, or
    // whatever else a test wants a client to be shown.
    std::vector<std::string> extraChain = {};
    // Request bodies reach the log and the handlers as sent: a Content-Encoding is not undone,
    // for servers that judge a client's compression themselves.
    bool keepRequestEncoding = false;
  };

  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Binds 127.0.0.1 on a free port and starts serving before returning. Throws
  // std::runtime_error (a test failure) when the port or the certificate cannot be made.
  LocalHttpServer();
  explicit LocalHttpServer(Options options);
  // Stops the server: waits and slow bodies in progress are cut short, the worker threads are
  // joined, and the certificate folder is removed.
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  int port() const { return port_; }
  bool isTls() const { return options_.tls; }
  // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
  std::string baseUrl() const;
  // baseUrl() followed by `pathAndQuery` ("/a/b?c=d").
  std::string url(const std::string& pathAndQuery) const;
  // The PEM file of the server's certificate (TLS only; empty otherwise).
  const std::filesystem::path& certificatePath() const { return certificatePath_; }

  // Answers `method` requests for `path` (the decoded request path without the query, matched
  // exactly; a `path` that ends in "*" matches every path that starts with what precedes the
  // "*", and the first route added that matches wins) with `handler`, replacing an earlier route
  // for the same pair. May be called while
  // the server runs. A HEAD request uses the GET route when it has none of its own. Requests
  // that match no route get 404.
  void on(const std::string& method, const std::string& path, Handler handler);
  // A route that always sends `reply`.
  void respond(const std::string& method, const std::string& path, Reply reply);
  void respond(const std::string& method, const std::string& path, int status, std::string body,
               httplib::Headers headers = {});

  // Fills `response` from `reply`, including its delay and piecewise body; for handlers that
  // choose a reply per request.
  void send(const Reply& reply, httplib::Response& response);
  // Sleeps for `duration` unless the server stops first; false when it stopped. For handlers
  // that wait.
  bool pause(std::chrono::milliseconds duration);
  // Shuts down the connection that `request` arrived on (TLS servers only): the client gets no
  // byte more than it already has, whatever the handler then puts into its response. For
  // handlers that cut a client off after its request.
  static void dropConnection(const httplib::Request& request);

  // Every request received so far, in arrival order. A request is logged when its headers and
  // body have arrived, before its handler runs.
  std::vector<RecordedRequest> requests() const;
  size_t requestCount() const;
  // Waits until at least `count` requests have been logged; false when `timeout` passes first.
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
  void clearRequests();

  // Stops serving, as the destructor does: waits and slow bodies in progress end at once (their
  // connections are dropped), idle keep-alive connections within a second. Idempotent; call it
  // from the thread that owns the server.
  void stop();

 private:
  struct Route {
    std::string method;
    std::string path;
    std::shared_ptr<const Handler> handler;
  };

  void start();
  void dispatch(const httplib::Request& request, httplib::Response& response);
  std::shared_ptr<const Handler> findHandler(const std::string& method,
                                             const std::string& path) const;

  Options options_;
  std::filesystem::path certificateFolder_;
  std::filesystem::path certificatePath_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  mutable os::Mutex mutex_;
  mutable os::ConditionVariable changed_;  // signalled on a new request and on stop
  std::vector<Route> routes_ OS_GUARDED_BY(mutex_);
  std::vector<RecordedRequest> requests_ OS_GUARDED_BY(mutex_);
  bool stopping_ OS_GUARDED_BY(mutex_) = false;
};

}  // namespace testsupport
