#include "testsupport/local_http_server.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>

namespace testsupport {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

double secondsSince(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

TEST(LocalHttpServer, PlainRoundTripWithRoutesHeadAnd404) {
  LocalHttpServer server;
  EXPECT_GT(server.port(), 0);
  EXPECT_EQ(server.baseUrl(), "http://127.0.0.1:" + std::to_string(server.port()));
  EXPECT_FALSE(server.isTls());
  EXPECT_TRUE(server.certificatePath().empty());

  server.respond("GET", "/hello", 200, "hello world", {{"X-Served-By", "test"}});
  server.respond("GET", "/data.json", 201, "{}", {{"content-type", "application/json"}});
  server.on("POST", "/echo", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content("got " + request.body, "text/plain");
  });

  httplib::Client client(server.baseUrl());
  httplib::Result hello = client.Get("/hello?x=1");
  ASSERT_TRUE(hello) << httplib::to_string(hello.error());
  EXPECT_EQ(hello->status, 200);
  EXPECT_EQ(hello->body, "hello world");
  EXPECT_EQ(hello->get_header_value("X-Served-By"), "test");
  EXPECT_EQ(hello->get_header_value("Content-Type"), "application/octet-stream");

  httplib::Result json = client.Get("/data.json");
  ASSERT_TRUE(json);
  EXPECT_EQ(json->status, 201);
  EXPECT_EQ(json->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(json->get_header_value_count("Content-Type"), 1u);

  httplib::Result echo = client.Post("/echo", "payload", "text/plain");
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->body, "got payload");

  httplib::Result head = client.Head("/hello");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->body, "");

  // A route is for one method and one exact path.
  EXPECT_EQ(client.Get("/missing")->status, 404);
  EXPECT_EQ(client.Get("/hello/more")->status, 404);
  EXPECT_EQ(client.Delete("/hello")->status, 404);
  EXPECT_EQ(client.Get("/echo")->status, 404);

  // A later route for the same method and path replaces the earlier one.
  server.respond("GET", "/hello", 200, "replaced");
  EXPECT_EQ(client.Get("/hello")->body, "replaced");
}

TEST(LocalHttpServer, ScriptedServerErrorReachesTheClient) {
  LocalHttpServer server;
  server.respond("GET", "/fail", 500, "internal trouble", {{"Retry-After", "3"}});
  httplib::Client client(server.baseUrl());
  httplib::Result result = client.Get("/fail");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 500);
  EXPECT_EQ(result->body, "internal trouble");
  EXPECT_EQ(result->get_header_value("Retry-After"), "3");
}

// Reads the server's PEM file back, as a client given it as a CA file would.
struct PemCertificate {
  explicit PemCertificate(const std::filesystem::path& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return;
    certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
  }
  ~PemCertificate() { X509_free(certificate); }
  X509* certificate = nullptr;
};

TEST(LocalHttpServer, TlsRoundTripVerifiesTheGeneratedCertificate) {
  const std::string namedHost = "downloads.tessaro.test";
  std::filesystem::path certificatePath;
  {
    LocalHttpServer server({.tls = true, .hostNames = {namedHost}});
    certificatePath = server.certificatePath();
    EXPECT_TRUE(server.isTls());
    EXPECT_EQ(server.baseUrl(), "https://127.0.0.1:" + std::to_string(server.port()));
    server.respond("GET", "/secure", 200, "over tls");

    PemCertificate pem(certificatePath);
    ASSERT_NE(pem.certificate, nullptr);
    EXPECT_EQ(X509_check_ip_asc(pem.certificate, "127.0.0.1", 0), 1);
    EXPECT_EQ(X509_check_host(pem.certificate, "localhost", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_host(pem.certificate, namedHost.c_str(), 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_host(pem.certificate, "other.tessaro.test", 0, 0, nullptr), 0);

    // By address, by localhost, and by the named host sent to 127.0.0.1: verification on.
    for (const std::string& host :
         {std::string("127.0.0.1"), std::string("localhost"), namedHost}) {
      SCOPED_TRACE(host);
      httplib::SSLClient client(host, server.port());
      client.set_hostname_addr_map({{namedHost, "127.0.0.1"}});
      client.set_ca_cert_path(certificatePath.string());
      client.enable_server_certificate_verification(true);
      httplib::Result result = client.Get("/secure");
      ASSERT_TRUE(result) << httplib::to_string(result.error());
      EXPECT_EQ(result->status, 200);
      EXPECT_EQ(result->body, "over tls");
    }

    // A name the certificate does not cover fails verification.
    httplib::SSLClient wrongName("other.tessaro.test", server.port());
    wrongName.set_hostname_addr_map({{"other.tessaro.test", "127.0.0.1"}});
    wrongName.set_ca_cert_path(certificatePath.string());
    wrongName.enable_server_certificate_verification(true);
    httplib::Result refused = wrongName.Get("/secure");
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.error(), httplib::Error::SSLServerVerification);
  }
  EXPECT_FALSE(std::filesystem::exists(certificatePath));
  EXPECT_FALSE(std::filesystem::exists(certificatePath.parent_path()));
}

TEST(LocalHttpServer, PrefixRoutesKeptEncodingsAndDroppedConnections) {
  LocalHttpServer server({.tls = true, .keepRequestEncoding = true});
  std::string handled;
  server.on("POST", "/items/*", [&](const httplib::Request& request, httplib::Response&) {
    handled =
        request.path + " " + request.get_header_value("Content-Encoding") + " " + request.body;
  });
  // Added later, so the prefix route answers it first.
  server.on("POST", "/items/shadowed",
            [&](const httplib::Request&, httplib::Response&) { handled = "shadowed"; });
  server.on("POST", "/cut", [](const httplib::Request& request, httplib::Response& response) {
    LocalHttpServer::dropConnection(request);
    response.set_content("never sent", "text/plain");
  });
  httplib::SSLClient client("127.0.0.1", server.port());
  client.set_ca_cert_path(server.certificatePath().string());
  client.enable_server_certificate_verification(true);

  // A body that would not inflate arrives as sent, with its header; a server that undoes
  // encodings would have refused it.
  httplib::Result kept =
      client.Post("/items/7", {{"Content-Encoding", "gzip"}}, "not gzip", "text/plain");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->status, 200);
  EXPECT_EQ(handled, "/items/7 gzip not gzip");
  EXPECT_EQ(server.requests().back().body, "not gzip");
  EXPECT_EQ(server.requests().back().header("Content-Encoding"), "gzip");

  ASSERT_TRUE(client.Post("/items/shadowed", "", "text/plain"));
  EXPECT_EQ(handled, "/items/shadowed  ");
  EXPECT_EQ(client.Post("/item", "", "text/plain")->status, 404);
  // A dropped connection gives the client nothing, not even a status.
  EXPECT_FALSE(client.Post("/cut", "", "text/plain"));
}

TEST(LocalHttpServer, LogsEveryRequestAndWaitsForThem) {
  LocalHttpServer server;
  server.respond("POST", "/upload", 204, "");

  // Nothing arrives: the wait ends at its deadline, not before.
  auto start = steady_clock::now();
  EXPECT_FALSE(server.waitForRequests(1, milliseconds(100)));
  EXPECT_GE(secondsSince(start), 0.099);

  constexpr int kClients = 4;
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&server, i] {
      httplib::Client client(server.baseUrl());
      client.Post("/upload?name=a%20b&n=" + std::to_string(i) + "&n=x",
                  {{"X-Client", std::to_string(i)}}, "body " + std::to_string(i), "text/plain");
    });
  }
  EXPECT_TRUE(server.waitForRequests(kClients, milliseconds(10000)));
  for (auto& client : clients) client.join();
  httplib::Client(server.baseUrl()).Get("/unrouted?q=1");

  std::vector<RecordedRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), kClients + 1u);
  EXPECT_EQ(server.requestCount(), kClients + 1u);
  std::set<std::string> bodies;
  for (int i = 0; i < kClients; ++i) {
    const RecordedRequest& request = requests[i];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/upload");
    EXPECT_EQ(request.target.rfind("/upload?name=a%20b&n=", 0), 0u) << request.target;
    EXPECT_EQ(request.queryValue("name"), "a b");
    EXPECT_EQ(request.query.count("n"), 2u);
    std::string client = request.header("x-client");
    EXPECT_EQ(request.queryValue("n"), client);
    EXPECT_EQ(request.body, "body " + client);
    EXPECT_EQ(request.header("Content-Type"), "text/plain");
    bodies.insert(request.body);
  }
  EXPECT_EQ(bodies.size(), static_cast<size_t>(kClients));
  EXPECT_EQ(requests.back().method, "GET");
  EXPECT_EQ(requests.back().path, "/unrouted");
  EXPECT_EQ(requests.back().queryValue("q"), "1");
  EXPECT_EQ(requests.back().header("Absent"), "");

  server.clearRequests();
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST(LocalHttpServer, PiecewiseBodiesArriveWholeChunkedOrWithLength) {
  LocalHttpServer server;
  std::string body;
  for (int i = 0; body.size() < 40000; ++i) body += std::to_string(i) + ",";
  Reply reply;
  reply.body = body;
  reply.pieceSize = 4000;
  reply.pause = milliseconds(10);
  reply.headers = {{"Content-Type", "text/csv"}};
  server.respond("GET", "/length", reply);
  reply.chunked = true;
  server.respond("GET", "/chunked", reply);
  reply.body = "";
  server.respond("GET", "/empty-chunked", reply);

  httplib::Client client(server.baseUrl());
  for (const std::string path : {"/length", "/chunked"}) {
    SCOPED_TRACE(path);
    std::string received;
    size_t receipts = 0;
    std::vector<double> receiptTimes;
    auto start = steady_clock::now();
    httplib::Result result = client.Get(
        path, [&](const httplib::Response&) { return true; },
        [&](const char* data, size_t length) {
          received.append(data, length);
          ++receipts;
          receiptTimes.push_back(secondsSince(start));
          return true;
        });
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(received, body);
    EXPECT_EQ(result->get_header_value("Content-Type"), "text/csv");
    if (path == "/chunked") {
      EXPECT_EQ(result->get_header_value("Transfer-Encoding"), "chunked");
      EXPECT_FALSE(result->has_header("Content-Length"));
    } else {
      EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(body.size()));
    }
    // Ten pieces with a pause before each but the first: the body spreads over time, so a
    // client sees progress before the end.
    EXPECT_GE(secondsSince(start), 0.089);
    EXPECT_GE(receipts, 2u);
    EXPECT_LT(receiptTimes.front(), receiptTimes.back());
  }

  httplib::Result empty = client.Get("/empty-chunked");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 200);
  EXPECT_EQ(empty->body, "");
}

TEST(LocalHttpServer, DelayHoldsTheResponseBack) {
  LocalHttpServer server;
  Reply slow;
  slow.delay = milliseconds(300);
  slow.body = "late";
  server.respond("GET", "/slow", slow);

  httplib::Client impatient(server.baseUrl());
  impatient.set_read_timeout(milliseconds(50));
  httplib::Result timedOut = impatient.Get("/slow");
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(timedOut.error(), httplib::Error::Read);
  EXPECT_TRUE(server.waitForRequests(1, milliseconds(1000)));

  httplib::Client patient(server.baseUrl());
  auto start = steady_clock::now();
  httplib::Result result = patient.Get("/slow");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->body, "late");
  EXPECT_GE(secondsSince(start), 0.29);
}

TEST(LocalHttpServer, StopCutsShortSlowBodiesAndDelays) {
  auto server = std::make_unique<LocalHttpServer>();
  Reply trickle;
  trickle.body = std::string(100, 'x');
  trickle.pieceSize = 1;
  trickle.pause = milliseconds(1000);
  server->respond("GET", "/trickle", trickle);
  trickle.chunked = true;
  server->respond("GET", "/trickle-chunked", trickle);
  Reply never;
  never.delay = std::chrono::minutes(10);
  server->respond("GET", "/never", never);

  std::vector<std::thread> clients;
  std::atomic<int> incomplete{0};
  std::string baseUrl = server->baseUrl();
  for (const char* path : {"/trickle", "/trickle-chunked", "/never"}) {
    clients.emplace_back([&, path] {
      httplib::Client client(baseUrl);
      client.set_read_timeout(std::chrono::seconds(60));
      httplib::Result result = client.Get(path);
      if (!result || result->body.size() < 100) ++incomplete;
    });
  }
  ASSERT_TRUE(server->waitForRequests(3, milliseconds(10000)));
  std::this_thread::sleep_for(milliseconds(50));

  auto start = steady_clock::now();
  server.reset();
  // Far below the 100 s the trickles and the 10 minutes the delay would take; generous for a
  // loaded machine.
  EXPECT_LT(secondsSince(start), 20.0);
  for (auto& client : clients) client.join();
  EXPECT_EQ(incomplete.load(), 3);
}

TEST(LocalHttpServer, StopIsIdempotentAndServersCoexist) {
  LocalHttpServer first;
  LocalHttpServer second({.tls = true, .hostNames = {}});
  EXPECT_NE(first.port(), second.port());
  first.stop();
  first.stop();
  httplib::Client client(first.baseUrl());
  client.set_connection_timeout(std::chrono::seconds(2));
  EXPECT_FALSE(client.Get("/"));
}

}  // namespace
}  // namespace testsupport
