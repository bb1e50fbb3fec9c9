// One HTTPS request to a local test server, for tests that judge a server's raw answer: the
// body comes back exactly as sent (no Content-Encoding undone) and nothing is retried.
//
//   testsupport::TlsAnswer answer = testsupport::tlsRequest(
//       {.caFile = server.certificatePath(), .port = server.port(), .method = "POST",
//        .path = "/a", .body = gzipped, .headers = {{"Content-Encoding", "gzip"}}});
//   EXPECT_EQ(answer.status, 204);
#pragma once

#include <httplib.h>

#include <filesystem>
#include <string>

namespace testsupport {

struct TlsRequest {
  // The certificate that the server must present (its CA file).
  std::filesystem::path caFile;
  int port = 0;
  std::string method = "GET";
  // Path and query.
  std::string path = "/";
  std::string body = {};
  httplib::Headers headers = {};
  std::string contentType = "application/octet-stream";
  // Sends the body with chunked transfer encoding, no Content-Length.
  bool chunked = false;
};

struct TlsAnswer {
  // 0 when no whole answer arrived (refused, cut, or unreadable).
  int status = 0;
  httplib::Headers headers;
  std::string body;

  // The first value of a header, or "" when absent.
  std::string header(const std::string& name) const;
};

// Sends `request` to 127.0.0.1 and waits up to 30 seconds for the whole answer.
TlsAnswer tlsRequest(const TlsRequest& request);

}  // namespace testsupport
