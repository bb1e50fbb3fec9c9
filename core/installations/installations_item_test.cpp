#include "core/installations/installations_item.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "core/installations/installations_errors.h"
#include "os/value/json.h"
#include "platform/utilities/logger.h"
#include "platform/utilities/secure_coding.h"

namespace {

using ::testing::HasSubstr;

constexpr const char* kAppID = "1:1234567890:ios:0123456789abcdef";
constexpr double kRequestDate = 1.8e9;

os::Data bytes(std::string_view text) { return os::Data(text.begin(), text.end()); }

RVOInstallationsItem registeredItem() {
  RVOInstallationsItem item(kAppID, "__ZUZAZE_DEFAULT");
  item.riveravoInstallationID = "cAbCdEfGhIjKlMnOpQrStU";
  item.refreshToken = "refresh";
  item.authToken.status = kRVOInstallationsAuthTokenStatusTokenOK;
  item.authToken.token = "token";
  item.authToken.expirationDate = kRequestDate;
  item.registrationStatus = kRVOInstallationsRegistrationStatusRegistered;
  return item;
}

TEST(RVOInstallationsItemTest, GeneratedFIDsAreDistinctTwentyTwoURLSafeCharactersStartingCToF) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string fid = RVOInstallationsItem::generateFID();
    ASSERT_EQ(fid.size(), 22u) << fid;
    EXPECT_NE(std::string("cdef").find(fid[0]), std::string::npos) << fid;
    EXPECT_EQ(
        fid.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
        std::string::npos)
        << fid;
    seen.insert(fid);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(RVOInstallationsItemTest, IdentifierJoinsAppIDAndNameWithoutSeparator) {
  EXPECT_EQ(RVOInstallationsItem(kAppID, "app").identifier(), std::string(kAppID) + "app");
}

TEST(RVOInstallationsItemTest, ValidationListsEveryProblemInOrder) {
  struct Case {
    const char* name;
    std::function<void(RVOInstallationsItem&)> change;
    const char* problems;  // null: valid
  };
  const Case cases[] = {
      {"registered", [](RVOInstallationsItem&) {}, nullptr},
      {"unregistered without tokens",
       [](RVOInstallationsItem& item) {
         item = RVOInstallationsItem(kAppID, "app");
         item.riveravoInstallationID = "fid";
         item.registrationStatus = kRVOInstallationsRegistrationStatusUnregistered;
       },
       nullptr},
      {"everything empty", [](RVOInstallationsItem& item) { item = RVOInstallationsItem("", ""); },
       "`appID` must not be empty, `riveravoAppName` must not be empty, "
       "`riveravoInstallationID` must not be empty, invalid `registrationStatus`"},
      {"registered without tokens",
       [](RVOInstallationsItem& item) {
         item.refreshToken.reset();
         item.authToken.token = "";
         item.authToken.expirationDate.reset();
       },
       "registered installation must have non-empty `refreshToken`, registered installation must "
       "have non-empty `authToken.token`, registered installation must have non-empty "
       "`authToken.expirationDate`"},
  };
  for (const Case& testCase : cases) {
    RVOInstallationsItem item = registeredItem();
    testCase.change(item);
    os::Error error;
    EXPECT_EQ(item.isValid(&error), testCase.problems == nullptr) << testCase.name;
    if (testCase.problems) {
      EXPECT_EQ(error.domain, kRVOInstallationsErrorDomain);
      EXPECT_EQ(error.code, 0);
      EXPECT_EQ(error.userInfo[kRVOInstallationsFailureReasonKey].stringValue(),
                std::string("RVOInstallationsItem validation errors: ") + testCase.problems)
          << testCase.name;
    }
  }
}

TEST(RVOInstallationsItemTest, ExpiresInIsDigitsWithOptionalFractionThenS) {
  const std::pair<const char*, std::optional<double>> cases[] = {
      {"3600s", 3600.0},        {"0.5s", 0.5},
      {"604800s", 604800.0},    {"3600", std::nullopt},
      {"s", std::nullopt},      {"-5s", std::nullopt},
      {"1e3s", std::nullopt},   {"3600ms", std::nullopt},
      {" 3600s", std::nullopt}, {"3600.s", std::nullopt},
      {".5s", std::nullopt},    {"", std::nullopt},
      {"abcs", std::nullopt},   {"36 00s", std::nullopt},
  };
  for (const auto& [text, seconds] : cases) {
    EXPECT_EQ(RVOInstallationsItem::secondsFromExpiresIn(text), seconds) << '"' << text << '"';
  }
}

TEST(RVOInstallationsItemTest, RegistrationReplyBecomesRegisteredItem) {
  struct Case {
    const char* reply;
    const char* expectedFID;
  };
  const Case cases[] = {
      {R"({"fid":"dNewFidFromTheServer0","refreshToken":"r1","authToken":{"token":"t1","expiresIn":"3600s"}})",
       "dNewFidFromTheServer0"},
      {R"({"refreshToken":"r1","authToken":{"token":"t1","expiresIn":"3600s"}})",
       "cAbCdEfGhIjKlMnOpQrStU"},
      {R"({"fid":"","refreshToken":"r1","authToken":{"token":"t1","expiresIn":"3600s"}})",
       "cAbCdEfGhIjKlMnOpQrStU"},
  };
  RVOInstallationsItem sent(kAppID, "app");
  sent.riveravoInstallationID = "cAbCdEfGhIjKlMnOpQrStU";
  sent.registrationStatus = kRVOInstallationsRegistrationStatusUnregistered;
  sent.IIDDefaultToken = "legacy";
  for (const Case& testCase : cases) {
    os::Error error;
    std::optional<RVOInstallationsItem> registered =
        sent.registeredInstallationWithJSONData(bytes(testCase.reply), kRequestDate, &error);
    ASSERT_TRUE(registered) << testCase.reply << ": " << error.description;
    EXPECT_EQ(registered->riveravoInstallationID, testCase.expectedFID);
    EXPECT_EQ(registered->appID, kAppID);
    EXPECT_EQ(registered->riveravoAppName, "app");
    EXPECT_EQ(registered->refreshToken, "r1");
    EXPECT_EQ(registered->authToken.token, "t1");
    EXPECT_EQ(registered->authToken.status, kRVOInstallationsAuthTokenStatusTokenOK);
    EXPECT_EQ(registered->authToken.expirationDate, kRequestDate + 3600);
    EXPECT_EQ(registered->registrationStatus, kRVOInstallationsRegistrationStatusRegistered);
    EXPECT_TRUE(registered->isValid(nullptr));
  }
}

TEST(RVOInstallationsItemTest, MalformedRepliesNameTheMissingField) {
  const std::pair<const char*, const char*> cases[] = {
      {"not json", "Failed to serialize JSON data."},
      {"[1,2]", "Failed to serialize JSON data."},
      {R"({"authToken":{"token":"t","expiresIn":"1s"}})",
       "A required response field with name refreshToken is missing"},
      {R"({"refreshToken":"","authToken":{"token":"t","expiresIn":"1s"}})",
       "A required response field with name refreshToken is missing"},
      {R"({"refreshToken":"r","authToken":"t"})",
       "A required response field with name authToken is missing"},
      {R"({"refreshToken":"r","authToken":{"expiresIn":"1s"}})",
       "A required response field with name authToken.token is missing"},
      {R"({"refreshToken":"r","authToken":{"token":"t"}})",
       "A required response field with name authToken.expiresIn is missing"},
      {R"({"refreshToken":"r","authToken":{"token":"t","expiresIn":"soon"}})",
       "A required response field with name authToken.expiresIn is missing"},
      {R"({"refreshToken":"r","authToken":{"token":"t","expiresIn":"-1s"}})",
       "A required response field with name authToken.expiresIn is missing"},
  };
  RVOInstallationsItem sent(kAppID, "app");
  sent.riveravoInstallationID = "cAbCdEfGhIjKlMnOpQrStU";
  for (const auto& [reply, reason] : cases) {
    os::Error error;
    EXPECT_FALSE(sent.registeredInstallationWithJSONData(bytes(reply), kRequestDate, &error))
        << reply;
    EXPECT_EQ(error.domain, kRVOInstallationsErrorDomain);
    EXPECT_EQ(error.userInfo[kRVOInstallationsFailureReasonKey].stringValue(), reason) << reply;
  }
}

TEST(RVOInstallationsItemTest, TokenReplyParsesAndRefusesBadExpiry) {
  os::Error error;
  auto token = RVOInstallationsItem::authTokenWithGenerateTokenAPIJSONData(
      bytes(R"({"token":"t2","expiresIn":"1800.5s"})"), kRequestDate, &error);
  ASSERT_TRUE(token);
  EXPECT_EQ(token->token, "t2");
  EXPECT_EQ(token->expirationDate, kRequestDate + 1800.5);
  EXPECT_FALSE(RVOInstallationsItem::authTokenWithGenerateTokenAPIJSONData(
      bytes(R"({"token":"t2","expiresIn":"1800"})"), kRequestDate, &error));
  EXPECT_EQ(error.userInfo[kRVOInstallationsFailureReasonKey].stringValue(),
            "A required response field with name expiresIn is missing");
}

TEST(RVOInstallationsItemTest, StoredItemRoundTripsAndNewerVersionsKeepKnownFields) {
  RVOInstallationsItem item = registeredItem();
  item.IIDDefaultToken = "legacy";
  os::Error error;
  std::optional<os::Data> archived = item.storedItem().archivedData(&error);
  ASSERT_TRUE(archived) << error.description;
  auto back = RVOInstallationsStoredItem::unarchivedItem(*archived, &error);
  ASSERT_TRUE(back) << error.description;
  EXPECT_EQ(*back, item.storedItem());
  RVOInstallationsItem restored(kAppID, "__ZUZAZE_DEFAULT");
  restored.updateWithStoredItem(*back);
  EXPECT_EQ(restored.storedItem(), item.storedItem());

  os::Dictionary newer{
      {"riveravoInstallationID", "fid"},
      {"registrationStatus", 1},
      {"storageVersion", 2},
      {"futureField", "x"},
      {"authToken",
       os::Dictionary{
           {"status", 1}, {"token", "t"}, {"storageVersion", 3}, {"expirationDate", os::Date{5}}}}};
  VDULoggerCapture capture;
  auto decoded = RVOInstallationsStoredItem::unarchivedItem(
      *VDUSecureCoding::archivedDataWithRootObject(newer, nullptr), &error);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->riveravoInstallationID, "fid");
  EXPECT_EQ(decoded->authToken->token, "t");
  EXPECT_EQ(decoded->authToken->expirationDate, 5.0);
  EXPECT_TRUE(capture.contains(
      "[I-RIS003000] RVOInstallationsStoredItem was encoded by a newer coder version 2. Current "
      "coder version is 1. Some installation data may be lost."));
  EXPECT_TRUE(
      capture.contains("[I-RIS004000] RVOInstallationsStoredAuthToken was encoded by a "
                       "newer coder version 3."));

  EXPECT_FALSE(RVOInstallationsStoredItem::unarchivedItem(bytes("garbage"), &error));
}

}  // namespace
