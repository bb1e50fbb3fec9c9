#include "core/installations/installations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

#include "core/installations/installations_errors.h"
#include "core/installations/installations_server_fixture.h"
#include "core/installations/installations_test_support.h"
#include "core/installations/legacy_identity_fixture.h"
#include "core/zuzaze.h"
#include "os/bundle/defaults.h"
#include "os/dispatch/notifications.h"
#include "os/dispatch/runloop.h"
#include "os/keychain/keychain.h"
#include "testsupport/child_process.h"

namespace {

using installations_testing::kNow;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using tools::InstallationEndpoint;

// The outcome of one call of the interface.
struct Outcome {
  bool done = false;
  std::optional<std::string> fid;
  std::optional<RVOInstallationsAuthTokenResult> token;
  std::optional<os::Error> error;
};

class RVOInstallationsTest : public installations_testing::InstallationsServerTest {
 protected:
  RVOInstallationsTest()
      : changes_(os::NotificationCenter::defaultCenter(),
                 os::NotificationCenter::defaultCenter().addObserver(
                     kRVOInstallationIDDidChangeNotification, nullptr,
                     [this](const os::Notification& note) {
                       EXPECT_EQ(note.userInfo[kRVOInstallationIDDidChangeNotificationAppNameKey],
                                 os::Value(ZUZAze::kDefaultAppName));
                       ++changeNotifications_;
                     })) {}

  std::shared_ptr<RVOInstallations> configure() {
    RVOInstallations::registerLibrary();
    ZUZAze::configure();
    return RVOInstallations::installations();
  }
  Outcome wait(const std::function<void(Outcome&)>& call) {
    Outcome outcome;
    call(outcome);
    EXPECT_TRUE(os::RunLoop::main().runUntil([&] { return outcome.done; },
                                             installations_testing::kPatience));
    return outcome;
  }
  Outcome installationID(RVOInstallations& installations) {
    return wait([&](Outcome& outcome) {
      installations.installationIDWithCompletion([&outcome](auto fid, auto error) {
        outcome = {true, fid, std::nullopt, error};
      });
    });
  }
  Outcome authToken(RVOInstallations& installations, bool forceRefresh = false) {
    return wait([&](Outcome& outcome) {
      installations.authTokenForcingRefresh(forceRefresh, [&outcome](auto token, auto error) {
        outcome = {true, std::nullopt, token, error};
      });
    });
  }
  Outcome deleteInstallation(RVOInstallations& installations) {
    return wait([&](Outcome& outcome) {
      installations.deleteWithCompletion([&outcome](auto error) {
        outcome = {true, std::nullopt, std::nullopt, error};
      });
    });
  }
  // Turns the run loop until `condition` holds.
  bool eventually(const std::function<bool()>& condition) {
    return os::RunLoop::main().runUntil(condition, installations_testing::kPatience);
  }
  static std::string itemIdentifier() {
    return std::string(core_testing::kAppID) + ZUZAze::kDefaultAppName;
  }
  static bool keychainHasItem() {
    return os::keychain::copyMatching(
               {.service =
                    RVOInstallationsIDController::keychainServiceWithAppID(core_testing::kAppID),
                .account = itemIdentifier()},
               nullptr) == os::keychain::kSecSuccess;
  }
  static os::Value existenceFlag() {
    return os::UserDefaults::suite("com.riveravo.RVOInstallations")->objectForKey(itemIdentifier());
  }

  std::atomic<int> changeNotifications_{0};
  os::ObserverRegistration changes_;
};

TEST_F(RVOInstallationsTest, FirstIdentifierIsRegisteredAndSurvivesARestart) {
  // The restarted process reads the real time: so does this one here, or the token it stores
  // would look expired there.
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  clock_.setNow(now);
  std::shared_ptr<RVOInstallations> installations = configure();
  Outcome first = installationID(*installations);
  ASSERT_TRUE(first.fid) << first.error->description;
  EXPECT_EQ(first.fid->size(), 22u);
  EXPECT_NE(std::string("cdef").find((*first.fid)[0]), std::string::npos);
  EXPECT_EQ(changeNotifications_, 1);

  // The registration runs in the background; a token request waits for it.
  Outcome token = authToken(*installations);
  ASSERT_TRUE(token.token);
  EXPECT_EQ(token.token->expirationDate, now + 604800);
  ASSERT_EQ(server_.requestCount(InstallationEndpoint::Create), 1u);
  const testsupport::RecordedRequest create = server_.requests().at(0);
  EXPECT_EQ(create.target, "/v1/projects/tessaro-core-test/installations/");
  EXPECT_EQ(create.body, R"({"appId":"1:1234567890:ios:0123456789abcdef","authVersion":"RIS_v2",)"
                         R"("fid":")" +
                             *first.fid + R"(","sdkVersion":"i:10.29.0"})");
  EXPECT_EQ(create.header("X-Vedo-Api-Key"), core_testing::kAPIKey);
  EXPECT_EQ(create.header("X-Ios-Bundle-Identifier"), core_testing::kBundleID);
  EXPECT_EQ(create.header("Content-Type"), "application/json");
  EXPECT_EQ(create.header("x-vedo-ris-ios-iid-migration-auth"), "");
  EXPECT_EQ(token.token->authToken, server_.installation(*first.fid)->authToken);

  testsupport::ChildRun restarted = testsupport::runChild({CORE_INSTALLATIONS_CHILD});
  EXPECT_TRUE(restarted.succeeded()) << restarted.output;
  EXPECT_EQ(restarted.output, "fid " + *first.fid + "\n");
  EXPECT_EQ(server_.requests().size(), 1u);  // no new create, no token request
}

TEST_F(RVOInstallationsTest, TenConcurrentCallersShareOneCreation) {
  std::shared_ptr<RVOInstallations> installations = configure();
  constexpr int kCallers = 10;
  std::vector<Outcome> outcomes(kCallers);
  std::atomic<int> finished{0};
  std::latch start(kCallers);
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i] {
      start.arrive_and_wait();
      installations->installationIDWithCompletion([&, i](auto fid, auto error) {
        outcomes[i] = {true, fid, std::nullopt, error};
        ++finished;
      });
    });
  }
  for (std::thread& caller : callers) caller.join();
  ASSERT_TRUE(eventually([&] { return finished == kCallers; }));
  for (const Outcome& outcome : outcomes) {
    ASSERT_TRUE(outcome.fid);
    EXPECT_EQ(outcome.fid, outcomes[0].fid);
  }
  EXPECT_EQ(changeNotifications_, 1);
  ASSERT_TRUE(authToken(*installations).token);
  EXPECT_EQ(server_.requestCount(InstallationEndpoint::Create), 1u);
  EXPECT_EQ(server_.installationCount(), 1u);
}

TEST_F(RVOInstallationsTest, TokensAreRefreshedWithinTheHourBeforeExpiryOrWhenForced) {
  const std::pair<const char*, size_t> cases[] = {{"3540s", 1}, {"3660s", 0}};
  for (const auto& [expiresIn, refreshes] : cases) {
    ZUZAze::resetForTesting();
    os::keychain::remove(
        {.service = RVOInstallationsIDController::keychainServiceWithAppID(core_testing::kAppID),
         .account = itemIdentifier()});
    server_.server().clearRequests();
    server_.setExpiresIn(expiresIn);
    std::shared_ptr<RVOInstallations> installations = configure();
    const size_t before = server_.requestCount(InstallationEndpoint::GenerateToken);
    Outcome token = authToken(*installations);
    ASSERT_TRUE(token.token) << expiresIn;
    EXPECT_EQ(server_.requestCount(InstallationEndpoint::GenerateToken) - before, refreshes)
        << expiresIn;
    ASSERT_TRUE(authToken(*installations, true).token);
    EXPECT_EQ(server_.requestCount(InstallationEndpoint::GenerateToken) - before, refreshes + 1)
        << expiresIn;
  }
}

TEST_F(RVOInstallationsTest, RejectedRefreshTokenStartsOverOnceWithANewIdentifier) {
  std::shared_ptr<RVOInstallations> installations = configure();
  ASSERT_TRUE(authToken(*installations).token);
  const std::string oldFID = *installationID(*installations).fid;
  changeNotifications_ = 0;

  server_.setFaults(InstallationEndpoint::GenerateToken, {.status = 401, .forRequests = 1});
  Outcome refreshed = authToken(*installations, true);
  ASSERT_TRUE(refreshed.token) << refreshed.error->description;
  const std::string newFID = *installationID(*installations).fid;
  EXPECT_NE(newFID, oldFID);
  EXPECT_EQ(changeNotifications_, 2);  // dropped, then created
  EXPECT_EQ(server_.requestCount(InstallationEndpoint::Create), 2u);
  EXPECT_EQ(refreshed.token->authToken, server_.installation(newFID)->authToken);

  // A service that keeps refusing: an error after one new identifier, not an endless series.
  server_.setFaults(InstallationEndpoint::GenerateToken, {.status = 401});
  Outcome refused = authToken(*installations, true);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->domain, kRVOInstallationsErrorDomain);
  EXPECT_TRUE(RVOInstallationsErrorUtil::isAPIError(*refused.error, 401));
  EXPECT_EQ(server_.requestCount(InstallationEndpoint::GenerateToken), 4u);
  EXPECT_EQ(server_.requestCount(InstallationEndpoint::Create), 3u);
}

TEST_F(RVOInstallationsTest, ServerErrorIsRetriedOnceAndBadRequestBlocksForADay) {
  std::shared_ptr<RVOInstallations> installations = configure();
  ASSERT_TRUE(authToken(*installations).token);
  server_.setFaults(InstallationEndpoint::GenerateToken, {.status = 500, .forRequests = 1});
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(authToken(*installations, true).token);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  EXPECT_EQ(server_.requestCount(InstallationEndpoint::GenerateToken), 2u);

  server_.setFaults(InstallationEndpoint::GenerateToken, {.status = 400, .forRequests = 1});
  Outcome bad = authToken(*installations, true);
  ASSERT_TRUE(bad.error);
  EXPECT_TRUE(RVOInstallationsErrorUtil::isAPIError(*bad.error, 400));
  Outcome blocked = authToken(*installations, true);
  ASSERT_TRUE(blocked.error);
  EXPECT_EQ(blocked.error->code, kRVOInstallationsErrorCodeServerUnreachable);
  EXPECT_EQ(blocked.error->description, "Too many server requests.");
  EXPECT_EQ(server_.requestCount(InstallationEndpoint::GenerateToken), 3u);

  clock_.setMonotonic(1000 + 86400 - 1);
  EXPECT_TRUE(authToken(*installations, true).error);
  clock_.setMonotonic(1000 + 86400);
  EXPECT_TRUE(authToken(*installations, true).token);
  EXPECT_EQ(server_.requestCount(InstallationEndpoint::GenerateToken), 4u);
}

TEST_F(RVOInstallationsTest, RegistrationRefusedWith400IsLoggedAndBlocked) {
  server_.setFaults(InstallationEndpoint::Create, {.status = 400});
  VDULoggerCapture capture;
  std::shared_ptr<RVOInstallations> installations = configure();
  ASSERT_TRUE(installationID(*installations).fid);  // delivered before registration
  Outcome refused = authToken(*installations);
  ASSERT_TRUE(refused.error);
  EXPECT_TRUE(capture.contains(
      "[I-RIS002003] Riveravo Installation registration failed for app with name: "
      "__ZUZAZE_DEFAULT, error:\nThe server responded with an error: \n - URL: "
      "https://installations.tessaro.example/v1/projects/tessaro-core-test/installations/ \n - "
      "HTTP status code: 400"));
  const size_t creates = server_.requestCount(InstallationEndpoint::Create);
  EXPECT_EQ(authToken(*installations).error->description, "Too many server requests.");
  EXPECT_EQ(server_.requestCount(InstallationEndpoint::Create), creates);
}

TEST_F(RVOInstallationsTest, DeletionRemovesEverythingEvenWhenTheServiceForgotFirst) {
  for (bool serviceForgot : {false, true}) {
    std::shared_ptr<RVOInstallations> installations = configure();
    ASSERT_TRUE(authToken(*installations).token);
    const std::string fid = *installationID(*installations).fid;
    ASSERT_TRUE(keychainHasItem());
    ASSERT_EQ(existenceFlag(), os::Value(true));
    if (serviceForgot) server_.setFaults(InstallationEndpoint::Delete, {.status = 404});
    changeNotifications_ = 0;

    Outcome deleted = deleteInstallation(*installations);
    EXPECT_FALSE(deleted.error) << deleted.error->description;
    EXPECT_FALSE(server_.installation(fid) && !serviceForgot);
    EXPECT_FALSE(keychainHasItem());
    EXPECT_TRUE(existenceFlag().isNull());
    EXPECT_EQ(changeNotifications_, 1);
    // The next read makes a new installation.
    EXPECT_NE(installationID(*installations).fid, fid);
    EXPECT_TRUE(authToken(*installations).token);
    server_.setFaults(InstallationEndpoint::Delete, {});
    ZUZAze::resetForTesting();
  }
}

TEST_F(RVOInstallationsTest, DefaultAppTakesOverTheLegacyIdentity) {
  installations_testing::writeLegacyKeys(installations_testing::legacyPublicKey());
  installations_testing::writeLegacyMarker();
  installations_testing::writeLegacyToken("legacy-default-token");
  std::shared_ptr<RVOInstallations> installations = configure();
  EXPECT_EQ(installationID(*installations).fid, "fDGvIDSqrOs");
  ASSERT_TRUE(authToken(*installations).token);
  EXPECT_EQ(server_.requests().at(0).header("x-vedo-ris-ios-iid-migration-auth"),
            "legacy-default-token");

  // Deleting the installation deletes the legacy identifier too: the next one is new.
  EXPECT_FALSE(deleteInstallation(*installations).error);
  std::optional<std::string> next = installationID(*installations).fid;
  ASSERT_TRUE(next);
  EXPECT_EQ(next->size(), 22u);
}

TEST_F(RVOInstallationsTest, UnreadableLegacyTokenMeansAGeneratedIdentifier) {
  installations_testing::writeLegacyKeys(installations_testing::legacyPublicKey());
  installations_testing::writeLegacyMarker();
  installations_testing::writeLegacyToken("");
  std::shared_ptr<RVOInstallations> installations = configure();
  std::optional<std::string> fid = installationID(*installations).fid;
  ASSERT_TRUE(fid);
  EXPECT_EQ(fid->size(), 22u);
  ASSERT_TRUE(authToken(*installations).token);
  EXPECT_EQ(server_.requests().at(0).header("x-vedo-ris-ios-iid-migration-auth"), "");
}

TEST_F(RVOInstallationsTest, BadOptionsRaiseAtConfiguration) {
  struct Case {
    const char* name;
    os::Dictionary changes;
    bool missingValue;
    const char* problems;
  };
  const char* missing =
      "[RiveravoInstallations][I-RIS008000] Could not configure Riveravo Installations due to "
      "invalid RiveravoApp options. The following parameters are nil or empty: ";
  const char* malformed =
      "[RiveravoInstallations][I-RIS008000] Could not configure Riveravo Installations due to "
      "invalid RiveravoApp options. `RiveravoOptions.APIKey` doesn't match the expected format: ";
  const Case cases[] = {
      {"no project", {{"PROJECT_ID", os::Value()}}, true, "`RiveravoOptions.projectID`"},
      {"short key starting with B",
       {{"API_KEY", "BIzaTessaroTestKey0123456789abcdefghij"}},
       false,
       "API Key length must be 39 characters, API Key must start with `A`"},
      {"key with a slash",
       {{"API_KEY", "AIzaTessaroTestKey0123456789abcdefghi/k"}},
       false,
       "API Key must contain only base64 url-safe characters characters"},
  };
  for (const Case& testCase : cases) {
    os::Dictionary options = defaultOptionsDictionary();
    for (const auto& [key, value] : testCase.changes) {
      if (value.isNull()) {
        options.erase(key);
      } else {
        options[key] = value;
      }
    }
    writeOptionsFile(options);
    RVOInstallations::registerLibrary();
    try {
      ZUZAze::configure();
      ADD_FAILURE() << testCase.name << ": no exception";
    } catch (const os::Exception& exception) {
      EXPECT_EQ(exception.name(), kRVOInstallationsExceptionName) << testCase.name;
      EXPECT_THAT(exception.reason(),
                  StartsWith(std::string(testCase.missingValue ? missing : malformed) +
                             testCase.problems + ". If you use VedodoServices-Info.plist"))
          << testCase.name;
    }
  }
}

TEST_F(RVOInstallationsTest, DefaultInstanceNeedsAConfiguredDefaultApp) {
  try {
    RVOInstallations::installations();
    ADD_FAILURE() << "no exception";
  } catch (const os::Exception& exception) {
    EXPECT_EQ(exception.name(), kRVOInstallationsExceptionName);
    EXPECT_THAT(exception.reason(),
                HasSubstr("call `RiveravoApp.configure()` in the App  Delegate"));
  }
}

}  // namespace
