#include "testsupport/tls_client.h"

#include <memory>

namespace testsupport {

std::string TlsAnswer::header(const std::string& name) const {
  auto found = headers.find(name);
  return found == headers.end() ? std::string() : found->second;
}

TlsAnswer tlsRequest(const TlsRequest& request) {
  httplib::SSLClient client("127.0.0.1", request.port);
  client.set_ca_cert_path(request.caFile.c_str());
  client.enable_server_certificate_verification(true);
  client.set_read_timeout(30, 0);
  client.set_decompress(false);
  auto send = [&]() -> httplib::Result {
    if (request.method == "GET") return client.Get(request.path, request.headers);
    if (!request.chunked) {
      return client.Post(request.path, request.headers, request.body, request.contentType);
    }
    auto body = std::make_shared<const std::string>(request.body);
    return client.Post(
        request.path, request.headers,
        [body](size_t offset, httplib::DataSink& sink) {
          if (offset < body->size()) sink.write(body->data() + offset, body->size() - offset);
          sink.done();
          return true;
        },
        request.contentType);
  };
  httplib::Result result = send();
  if (!result) return {};
  return {result->status, result->headers, result->body};
}

}  // namespace testsupport
