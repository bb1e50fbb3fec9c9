#include "measurement/config/endpoints.h"

#include <gtest/gtest.h>

#include <future>

#include "measurement/config/config_test_support.h"
#include "measurement/database/database_test_support.h"
#include "measurement/foundation/monitor_capture.h"
#include "os/net/urlsession.h"
#include "testsupport/local_http_server.h"
#include "testsupport/sandbox.h"

namespace measurement {
namespace {

TEST(EndpointsTest, TheFetchAddressCarriesTheAppIDAndTheQueryInOneOrder) {
  testing::DatabaseSandbox sandbox;
  EXPECT_EQ(remoteConfigURL("1:123:ios:abc", "macos", 102800, 0)->absoluteString(),
            "https://measurement.tessaro.example/config/app/1:123:ios:abc"
            "?gmp_version=102800&platform=macos&runtime_version=0");
  // The app id stays one path segment; the platform is a query value.
  EXPECT_EQ(remoteConfigURL("1:1:ios:a/b?c#d e", "mac os", -1, 7)->absoluteString(),
            "https://measurement.tessaro.example/config/app/1:1:ios:a%2Fb%3Fc%23d%20e"
            "?gmp_version=-1&platform=mac%20os&runtime_version=7");
  {
    MonitorCapture capture;
    EXPECT_EQ(remoteConfigURL("1:123:ios:abc", std::nullopt, 102800, 0), std::nullopt);
    EXPECT_TRUE(capture.contains(29010));
  }
  // Only a missing platform is refused; an empty one is an empty query value.
  MonitorCapture capture;
  EXPECT_EQ(remoteConfigURL("1:123:ios:abc", "", 102800, 0)->absoluteString(),
            "https://measurement.tessaro.example/config/app/1:123:ios:abc"
            "?gmp_version=102800&platform=&runtime_version=0");
  EXPECT_FALSE(capture.contains(29010));
}

TEST(EndpointsTest, ExperimentsAreFetchedFromTheirOwnHost) {
  EXPECT_EQ(experimentFetchURL().absoluteString(), "https://experiments.tessaro.example/sdk-exp");
}

TEST(EndpointsTest, TheUploadAddressTakesOnlyAHostNameAsSubdomain) {
  struct Case {
    std::optional<std::string_view> subdomain;
    bool trackingAuthorized;
    const char* url;
  } cases[] = {
      {std::nullopt, false, "https://measurement.tessaro.example/a"},
      {"", false, "https://measurement.tessaro.example/a"},
      {"eu", false, "https://eu.measurement.tessaro.example/a"},
      {"region-1.eu", false, "https://region-1.eu.measurement.tessaro.example/a"},
      {std::nullopt, true, "https://measurement-authorized.tessaro.example/a"},
      {"eu", true, "https://eu.measurement-authorized.tessaro.example/a"},
      // Texts that would move the upload to another host or path.
      {"evil.example#", false, "https://measurement.tessaro.example/a"},
      {"evil.example/", false, "https://measurement.tessaro.example/a"},
      {"user@evil", false, "https://measurement.tessaro.example/a"},
      {"evil.example:8443", false, "https://measurement.tessaro.example/a"},
      {"a..b", false, "https://measurement.tessaro.example/a"},
      {"-a", false, "https://measurement.tessaro.example/a"},
      {"a b", true, "https://measurement-authorized.tessaro.example/a"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(uploadURL(c.subdomain, c.trackingAuthorized).absoluteString(), c.url)
        << c.subdomain.value_or("(none)");
  }
}

// The addresses as a client sends them: a real HTTPS server on 127.0.0.1 that the service's
// host names reach.
TEST(EndpointsTest, AClientFetchesAndUploadsAtTheseAddresses) {
  testing::DatabaseSandbox sandbox;
  const std::string regional = std::string("region1.") + kAnalyticsServicesHost;
  testsupport::LocalHttpServer server(
      {.tls = true, .hostNames = {kAnalyticsServicesHost, regional}});
  const std::string port = std::to_string(server.port());
  sandbox.setEnv("TESSARO_CONNECT_TO", std::string(kAnalyticsServicesHost) + ":443:127.0.0.1:" +
                                           port + "," + regional + ":443:127.0.0.1:" + port);
  sandbox.setEnv("TESSARO_CA_FILE", server.certificatePath().string());
  std::optional<os::Data> served = testing::fixture("full").protoBuffer();
  ASSERT_TRUE(served);
  server.respond("GET", "/config/app/1:123:ios:abc", 200,
                 std::string(served->begin(), served->end()));
  server.respond("POST", "/a", 204, "");

  auto session = os::URLSession::sessionWithConfiguration(
      os::URLSessionConfiguration::ephemeralSessionConfiguration());
  auto send = [&](os::URLRequest request) {
    auto outcome = std::make_shared<std::promise<std::optional<os::Data>>>();
    session
        ->dataTaskWithRequest(request,
                              [outcome](const std::optional<os::Data>& data,
                                        const std::shared_ptr<const os::URLResponse>&,
                                        const std::optional<os::Error>& error) {
                                outcome->set_value(error ? std::nullopt : data);
                              })
        ->resume();
    return outcome->get_future().get();
  };

  std::optional<os::Data> fetched =
      send(os::URLRequest(*remoteConfigURL(testing::kAppID, "macos", 102800, 0)));
  ASSERT_TRUE(fetched);
  std::optional<APMPBMeasurementConfig> decoded = APMPBMeasurementConfig::initWithBuffer(*fetched);
  ASSERT_TRUE(decoded);
  std::optional<std::string> subdomain =
      APMPBGetString(*decoded, kMeasurementConfig_upload_subdomain);
  EXPECT_EQ(subdomain, "region1");

  os::URLRequest upload(uploadURL(subdomain, false));
  upload.setHTTPMethod("POST");
  upload.setHTTPBody(os::Data{1, 2, 3});
  EXPECT_TRUE(send(upload));

  std::vector<testsupport::RecordedRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target,
            "/config/app/1:123:ios:abc?gmp_version=102800&platform=macos&runtime_version=0");
  EXPECT_EQ(requests[0].header("Host"), kAnalyticsServicesHost);
  EXPECT_EQ(requests[1].target, "/a");
  EXPECT_EQ(requests[1].header("Host"), regional);
  session->invalidateAndCancel();
}

TEST(EndpointsTest, UploadsWatchTheAddressTheServiceHostIsSentTo) {
  struct Case {
    std::optional<std::string> connectTo;
    std::string host;
  };
  for (const Case& c : {
           Case{std::nullopt, kAnalyticsServicesHost},
           Case{"measurement.tessaro.example:443:127.0.0.1:8443", "127.0.0.1"},
           Case{"a.example:443:10.0.0.1:1, measurement.tessaro.example:443:[::1]:9", "::1"},
           Case{"measurement.tessaro.example:80:127.0.0.2:1", kAnalyticsServicesHost},
           Case{"measurement-authorized.tessaro.example:443:127.0.0.3:1", kAnalyticsServicesHost},
       }) {
    SCOPED_TRACE(c.connectTo.value_or("unset"));
    testsupport::Sandbox sandbox;
    sandbox.setEnv("TESSARO_CONNECT_TO", c.connectTo);
    EXPECT_EQ(uploadReachabilityHost(), c.host);
  }
}

}  // namespace
}  // namespace measurement
