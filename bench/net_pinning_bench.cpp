// What pinning costs: small HTTPS GETs through an HTTP session manager, each on a new connection
// with a full TLS handshake, judged
//  - without pinning: the default policy (the chain against the system's roots plus
//    TESSARO_CA_FILE, which names the server's certificate; the host name checked);
//  - with public-key pinning and with certificate pinning of the server's certificate, invalid
//    certificates not allowed (so the same evaluation runs, and the pin is checked after it).
// Every request asks the server to close its connection, and the server keeps no TLS sessions
// and issues no tickets, so no handshake is resumed: each one runs the policy. The server counts
// its handshakes to show it.
//
//   net_pinning_bench
//
// The requests under the three policies take turns. After the benchmark it prints requests per
// second under each policy and the cost of pinning: 1 - pinned rate / unpinned rate.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "net/http_session_manager.h"
#include "net/security_policy.h"
#include "os/dispatch/runloop.h"
#include "testsupport/local_http_server.h"
#include "testsupport/sandbox.h"

namespace {

struct Setup {
  testsupport::TestIdentity identity;
  std::string url;
};
Setup setup;
std::atomic<int64_t> handshakes{0};

// Requests per second under each policy, and the requests made.
double unpinnedRate = 0;
double publicKeyRate = 0;
double certificateRate = 0;
int64_t requestsMade = 0;

void countHandshake(const SSL*, int where, int) {
  if (where & SSL_CB_HANDSHAKE_START) ++handshakes;
}

// One GET of the small resource; true when it succeeded.
bool fetch(NKHTTPSessionManager& manager) {
  bool done = false;
  bool succeeded = false;
  manager.GET(
      setup.url, std::nullopt,
      [&](const auto&, const NKResponseObject&) {
        done = true;
        succeeded = true;
      },
      [&](const auto&, const os::Error&) { done = true; });
  os::RunLoop::main().runUntil([&] { return done; }, 30);
  ++requestsMade;
  return succeeded;
}

std::shared_ptr<NKHTTPSessionManager> managerWith(std::shared_ptr<NKSecurityPolicy> policy) {
  auto manager = NKHTTPSessionManager::manager();
  manager->requestSerializer()->setValue("close", "Connection");
  manager->setSecurityPolicy(std::move(policy));
  return manager;
}

std::shared_ptr<NKSecurityPolicy> pinning(NKSSLPinningMode mode) {
  return NKSecurityPolicy::policyWithPinningMode(
      mode, {os::Data(setup.identity.certificateDER.begin(), setup.identity.certificateDER.end())});
}

// Each iteration makes one request under each policy, in turn, so that whatever else the machine
// does weighs on all three alike; each policy's requests are timed on their own.
void BM_HandshakeAndGetUnderEachPolicy(benchmark::State& state) {
  struct Side {
    std::shared_ptr<NKHTTPSessionManager> manager;
    double* rate;
    double seconds = 0;
  };
  Side sides[] = {{managerWith(NKSecurityPolicy::defaultPolicy()), &unpinnedRate},
                  {managerWith(pinning(NKSSLPinningMode::PublicKey)), &publicKeyRate},
                  {managerWith(pinning(NKSSLPinningMode::Certificate)), &certificateRate}};
  for (auto _ : state) {
    for (Side& side : sides) {
      const auto started = std::chrono::steady_clock::now();
      if (!fetch(*side.manager)) {
        state.SkipWithError("a request failed");
        return;
      }
      side.seconds +=
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
  }
  for (Side& side : sides) {
    *side.rate = static_cast<double>(state.iterations()) / side.seconds;
  }
  state.counters["unpinned/s"] = unpinnedRate;
  state.counters["public-key/s"] = publicKeyRate;
  state.counters["certificate/s"] = certificateRate;
}

BENCHMARK(BM_HandshakeAndGetUnderEachPolicy)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  testsupport::Sandbox sandbox;
  setup.identity = testsupport::makeTestIdentity({});
  const std::filesystem::path caFile = sandbox.root() / "server.pem";
  std::ofstream(caFile) << setup.identity.certificatePEM;
  sandbox.setEnv("TESSARO_CA_FILE", caFile.string());

  const std::filesystem::path keyFile = sandbox.root() / "server.key";
  std::ofstream(keyFile) << setup.identity.privateKeyPEM;
  httplib::SSLServer server(caFile.c_str(), keyFile.c_str());
  // Nothing to resume from: every connection makes a full handshake.
  SSL_CTX_set_options(server.ssl_context(), SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(server.ssl_context(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_info_callback(server.ssl_context(), countHandshake);
  server.Get("/small.json", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"ok":true})", "application/json");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  setup.url = "https://127.0.0.1:" + std::to_string(port) + "/small.json";
  std::printf("server %s\n", setup.url.c_str());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  server.stop();
  serving.join();

  std::printf("full handshakes %lld for %lld requests\n", static_cast<long long>(handshakes.load()),
              static_cast<long long>(requestsMade));
  if (unpinnedRate > 0 && publicKeyRate > 0 && certificateRate > 0) {
    std::printf(
        "handshake + small GET per second: without pinning %.0f, public-key pinning %.0f (costs "
        "%.1f%%), certificate pinning %.0f (costs %.1f%%)\n",
        unpinnedRate, publicKeyRate, 100 * (1 - publicKeyRate / unpinnedRate), certificateRate,
        100 * (1 - certificateRate / unpinnedRate));
  }
  return 0;
}
