#include "core/installations/api_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "core/installations/installations_errors.h"
#include "core/installations/installations_server_fixture.h"
#include "core/installations/installations_test_support.h"
#include "core/installations/log_redaction.h"
#include "os/value/json.h"

namespace {

using installations_testing::awaitError;
using installations_testing::awaitValue;
using installations_testing::kNow;
using installations_testing::kProjectID;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using tools::InstallationEndpoint;

class RVOInstallationsAPIServiceTest : public installations_testing::InstallationsServerTest {
 protected:
  RVOInstallationsAPIService service_{core_testing::kAPIKey, kProjectID, heartbeatLogger()};

  RVOInstallationsItem registered() {
    std::optional<RVOInstallationsItem> item = awaitValue(service_.registerInstallation(newItem()));
    EXPECT_TRUE(item);
    return item.value_or(newItem());
  }
  std::string basePath() const {
    return std::string("/v1/projects/") + kProjectID + "/installations/";
  }
};

TEST_F(RVOInstallationsAPIServiceTest, RegistrationSendsTheExactRequestAndParsesTheReply) {
  RVOInstallationsItem item = newItem();
  item.IIDDefaultToken = "legacy-token";
  std::optional<RVOInstallationsItem> result = awaitValue(service_.registerInstallation(item));
  ASSERT_TRUE(result);

  ASSERT_EQ(server_.requests().size(), 1u);
  const testsupport::RecordedRequest request = server_.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, basePath());
  EXPECT_EQ(request.body, R"({"appId":"1:1234567890:ios:0123456789abcdef","authVersion":"RIS_v2",)"
                          R"("fid":")" +
                              item.riveravoInstallationID + R"(","sdkVersion":"i:10.29.0"})");
  EXPECT_EQ(request.header("X-Vedo-Api-Key"), core_testing::kAPIKey);
  EXPECT_EQ(request.header("X-Ios-Bundle-Identifier"), core_testing::kBundleID);
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Authorization"), "");
  EXPECT_EQ(request.header("x-vedo-ris-ios-iid-migration-auth"), "legacy-token");

  std::optional<tools::ServedInstallation> served =
      server_.installation(item.riveravoInstallationID);
  ASSERT_TRUE(served);
  EXPECT_EQ(served->migrationToken, "legacy-token");
  EXPECT_EQ(result->riveravoInstallationID, item.riveravoInstallationID);
  EXPECT_EQ(result->refreshToken, served->refreshToken);
  EXPECT_EQ(result->authToken.token, served->authToken);
  EXPECT_EQ(result->authToken.expirationDate, kNow + 604800);
  EXPECT_EQ(result->registrationStatus, kRVOInstallationsRegistrationStatusRegistered);
}

TEST_F(RVOInstallationsAPIServiceTest, HeadersGoInTheirOrderWithTheHeartbeatsFlushed) {
  heartbeatLogger()->log();
  std::optional<RVOInstallationsPreparedRequest> prepared = awaitValue(service_.requestWithURL(
      "https://installations.tessaro.example/x", "POST", {{"a", 1}}, std::string("refresh"),
      {{"x-vedo-ris-ios-iid-migration-auth", "legacy"}}));
  ASSERT_TRUE(prepared);
  std::vector<std::string> names;
  for (const auto& [name, value] : prepared->request.allHTTPHeaderFields().fields()) {
    names.push_back(name);
  }
  EXPECT_THAT(names, ElementsAre("X-Vedo-Api-Key", "X-Ios-Bundle-Identifier", "Content-Type",
                                 "Authorization", "X-riveravo-client",
                                 "x-vedo-ris-ios-iid-migration-auth"));
  EXPECT_EQ(prepared->request.valueForHTTPHeaderField("Authorization"), "RIS_v2 refresh");
  EXPECT_EQ(prepared->request.valueForHTTPHeaderField("X-riveravo-client"),
            prepared->heartbeats->headerValue());
  // The heartbeats were taken out of the store: the next request has none.
  prepared = awaitValue(
      service_.requestWithURL("https://installations.tessaro.example/x", "POST", {}, {}, {}));
  ASSERT_TRUE(prepared);
  EXPECT_FALSE(prepared->request.valueForHTTPHeaderField("X-riveravo-client"));
  EXPECT_FALSE(prepared->request.valueForHTTPHeaderField("Authorization"));
}

// Heartbeats used to be lost whenever a request failed; now they wait for the next request.
TEST_F(RVOInstallationsAPIServiceTest, HeartbeatsOfAFailedRequestGoWithTheNextOne) {
  heartbeatLogger()->log();
  server_.setFaults(InstallationEndpoint::Create, {.cutConnection = true, .forRequests = 1});
  EXPECT_TRUE(awaitError(service_.registerInstallation(newItem())));
  const std::string sent = server_.requests().at(0).header("X-riveravo-client");
  EXPECT_FALSE(sent.empty());

  makeServiceUnreachable();
  EXPECT_TRUE(awaitError(service_.registerInstallation(newItem())));

  sandbox_.setEnv("TESSARO_CONNECT_TO", server_.connectTo());
  EXPECT_TRUE(awaitValue(service_.registerInstallation(newItem())));
  EXPECT_EQ(server_.requests().back().header("X-riveravo-client"), sent);
  EXPECT_TRUE(awaitValue(service_.registerInstallation(newItem())));
  EXPECT_EQ(server_.requests().back().header("X-riveravo-client"), "");
}

TEST_F(RVOInstallationsAPIServiceTest, StatusesDecideSuccessRetryAndError) {
  struct Case {
    int status;
    size_t expectedRequests;
    bool succeeds;
  };
  const Case cases[] = {
      {201, 1, true}, {304, 1, false}, {503, 1, false}, {400, 1, false}, {500, 2, false}};
  const std::string reply = R"({"refreshToken":"r","authToken":{"token":"t","expiresIn":"60s"}})";
  for (const Case& testCase : cases) {
    server_.server().clearRequests();
    // A 304 carries no body.
    server_.server().respond("POST", basePath(), testCase.status,
                             testCase.status == 304 ? "" : reply,
                             {{"Content-Type", "application/json"}});
    os::Error error;
    auto started = std::chrono::steady_clock::now();
    std::optional<RVOInstallationsItem> result =
        awaitValue(service_.registerInstallation(newItem()), &error);
    EXPECT_EQ(result.has_value(), testCase.succeeds) << testCase.status;
    EXPECT_EQ(server_.server().requestCount(), testCase.expectedRequests) << testCase.status;
    if (testCase.expectedRequests == 2) {
      EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    }
    if (!testCase.succeeds) {
      EXPECT_TRUE(RVOInstallationsErrorUtil::isAPIError(error, testCase.status)) << testCase.status;
      EXPECT_THAT(error.userInfo[kRVOInstallationsFailureReasonKey].stringValue().value_or(""),
                  HasSubstr(" - HTTP status code: " + std::to_string(testCase.status)));
    }
  }
}

TEST_F(RVOInstallationsAPIServiceTest, OneServerErrorIsRetriedAfterASecond) {
  server_.setFaults(InstallationEndpoint::Create, {.status = 500, .forRequests = 1});
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(awaitValue(service_.registerInstallation(newItem())));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  EXPECT_EQ(server_.requestCount(InstallationEndpoint::Create), 2u);
}

TEST_F(RVOInstallationsAPIServiceTest, TokenRefreshAndDeletion) {
  RVOInstallationsItem item = registered();
  std::optional<RVOInstallationsItem> refreshed =
      awaitValue(service_.refreshAuthTokenForInstallation(item));
  ASSERT_TRUE(refreshed);
  const testsupport::RecordedRequest request = server_.requests().back();
  EXPECT_EQ(request.target, basePath() + item.riveravoInstallationID + "/authTokens:generate");
  EXPECT_EQ(request.body, R"({"installation":{"sdkVersion":"i:10.29.0"}})");
  EXPECT_EQ(request.header("Authorization"), "RIS_v2 " + *item.refreshToken);
  EXPECT_NE(refreshed->authToken.token, item.authToken.token);
  EXPECT_EQ(refreshed->authToken.token,
            server_.installation(item.riveravoInstallationID)->authToken);
  EXPECT_EQ(refreshed->refreshToken, item.refreshToken);

  RVOInstallationsItem stranger = item;
  stranger.refreshToken = "not-the-refresh-token";
  EXPECT_TRUE(RVOInstallationsErrorUtil::isAPIError(
      *awaitError(service_.refreshAuthTokenForInstallation(stranger)), 401));

  std::optional<RVOInstallationsItem> deleted = awaitValue(service_.deleteInstallation(item));
  ASSERT_TRUE(deleted);
  EXPECT_EQ(server_.requests().back().method, "DELETE");
  EXPECT_EQ(server_.requests().back().target, basePath() + item.riveravoInstallationID + "/");
  EXPECT_EQ(server_.requests().back().body, "{}");
  EXPECT_FALSE(server_.installation(item.riveravoInstallationID));
  EXPECT_TRUE(
      RVOInstallationsErrorUtil::isAPIError(*awaitError(service_.deleteInstallation(item)), 404));
}

TEST_F(RVOInstallationsAPIServiceTest, BadRepliesAndTransportErrorsReject) {
  server_.setExpiresIn("3600");  // no unit: refused, not a token that never expires
  std::optional<os::Error> error = awaitError(service_.registerInstallation(newItem()));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->userInfo[kRVOInstallationsFailureReasonKey].stringValue(),
            "A required response field with name authToken.expiresIn is missing");

  RVOInstallationsItem invalid = newItem();
  invalid.riveravoInstallationID.clear();
  error = awaitError(service_.registerInstallation(invalid));
  ASSERT_TRUE(error);
  EXPECT_THAT(error->description, HasSubstr("RVOInstallationsItem validation errors"));
  EXPECT_EQ(server_.requestCount(InstallationEndpoint::Create), 1u);

  makeServiceUnreachable();
  error = awaitError(service_.registerInstallation(newItem()));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, os::kURLErrorDomain);
  EXPECT_FALSE(RVOInstallationsHTTPError::fromError(*error));
}

// The API key and the tokens are credentials: debug lines show them shortened only.
TEST_F(RVOInstallationsAPIServiceTest, LogLinesNeverShowCredentialsInFull) {
  installations_testing::ScopedDebugLogging debug;
  VDULoggerCapture capture;
  RVOInstallationsItem item = newItem();
  item.IIDDefaultToken = "legacy-token-0123456789";
  std::optional<RVOInstallationsItem> result = awaitValue(service_.registerInstallation(item));
  ASSERT_TRUE(result);
  ASSERT_TRUE(awaitValue(service_.refreshAuthTokenForInstallation(*result)));
  const std::string latestToken = server_.installation(result->riveravoInstallationID)->authToken;

  std::string all;
  for (const VDULoggedLine& line : capture.lines()) all += line.text + "\n";
  EXPECT_THAT(all, HasSubstr("[I-RIS001001]"));
  EXPECT_THAT(all, HasSubstr("[I-RIS001003]"));
  for (const std::string& secret :
       {std::string(core_testing::kAPIKey), *result->refreshToken, *result->authToken.token,
        latestToken, std::string("legacy-token-0123456789")}) {
    EXPECT_THAT(all, Not(HasSubstr(secret))) << secret;
    EXPECT_THAT(all, HasSubstr(RVOInstallationsRedactedSecret(secret)));
  }
}

}  // namespace
