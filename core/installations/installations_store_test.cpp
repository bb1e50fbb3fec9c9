#include "core/installations/installations_store.h"

#include <gtest/gtest.h>

#include "core/installations/installations_errors.h"
#include "core/installations/installations_test_support.h"
#include "os/bundle/defaults.h"
#include "os/keychain/keychain.h"
#include "platform/utilities/logger.h"
#include "platform/utilities/secure_coding.h"
#include "testsupport/sandbox.h"

namespace {

using installations_testing::awaitError;
using installations_testing::awaitValue;
using installations_testing::settle;

constexpr const char* kAppID = "1:1234567890:ios:0123456789abcdef";
constexpr const char* kAppName = "__ZUZAZE_DEFAULT";
constexpr const char* kService =
    "com.riveravo.RVOInstallations.installations.1:1234567890:ios:0123456789abcdef";

class RVOInstallationsStoreTest : public ::testing::Test {
 protected:
  RVOInstallationsStoreTest() { os::UserDefaults::resetForTesting(); }
  ~RVOInstallationsStoreTest() override { os::UserDefaults::resetForTesting(); }

  static RVOInstallationsItem item() {
    RVOInstallationsItem item(kAppID, kAppName);
    item.riveravoInstallationID = "cAbCdEfGhIjKlMnOpQrStU";
    item.registrationStatus = kRVOInstallationsRegistrationStatusUnregistered;
    item.IIDDefaultToken = "legacy";
    return item;
  }
  static std::string identifier() { return std::string(kAppID) + kAppName; }
  static os::Value flagIn(const std::string& suite) {
    return os::UserDefaults::suite(suite)->objectForKey(identifier());
  }
  static bool keychainHasItem() {
    return os::keychain::copyMatching({.service = kService, .account = identifier()}, nullptr) ==
           os::keychain::kSecSuccess;
  }

  testsupport::Sandbox sandbox_;
  std::shared_ptr<VDUKeychainStorage> storage_ = std::make_shared<VDUKeychainStorage>(kService);
};

TEST_F(RVOInstallationsStoreTest, SaveReadAndRemoveTheItemAndItsFlag) {
  RVOInstallationsStore store(storage_, std::nullopt);
  os::Error error;
  EXPECT_FALSE(awaitValue(store.installationForAppID(kAppID, kAppName), &error));
  EXPECT_EQ(
      error.userInfo[kRVOInstallationsFailureReasonKey].stringValue(),
      std::string("Installation for appID ") + kAppID + " appName " + kAppName + " not found");

  ASSERT_TRUE(settle(store.saveInstallation(item())));
  EXPECT_EQ(flagIn(RVOInstallationsStore::kUserDefaultsSuiteName), os::Value(true));
  EXPECT_TRUE(keychainHasItem());
  std::optional<RVOInstallationsItem> read =
      awaitValue(store.installationForAppID(kAppID, kAppName));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->storedItem(), item().storedItem());

  // A read issued after a save sees the saved item, not the one the store had read.
  RVOInstallationsItem changed = item();
  changed.riveravoInstallationID = "dChangedFidOfTheItem01";
  PRMPromise<void> saving = store.saveInstallation(changed);
  std::optional<RVOInstallationsItem> afterSave =
      awaitValue(store.installationForAppID(kAppID, kAppName));
  ASSERT_TRUE(afterSave);
  EXPECT_EQ(afterSave->riveravoInstallationID, "dChangedFidOfTheItem01");
  ASSERT_TRUE(settle(saving));

  // A second store (a later launch) reads the same item from the keychain file.
  RVOInstallationsStore later(std::make_shared<VDUKeychainStorage>(kService), std::nullopt);
  EXPECT_TRUE(awaitValue(later.installationForAppID(kAppID, kAppName)));

  ASSERT_TRUE(settle(store.removeInstallationForAppID(kAppID, kAppName)));
  EXPECT_TRUE(flagIn(RVOInstallationsStore::kUserDefaultsSuiteName).isNull());
  EXPECT_FALSE(keychainHasItem());
  EXPECT_TRUE(awaitError(store.installationForAppID(kAppID, kAppName)));
}

TEST_F(RVOInstallationsStoreTest, KeychainItemWithoutFlagIsNotFound) {
  RVOInstallationsStore store(storage_, std::nullopt);
  ASSERT_TRUE(settle(store.saveInstallation(item())));
  ASSERT_TRUE(settle(store.setInstallationExists(false, identifier())));
  EXPECT_TRUE(keychainHasItem());
  EXPECT_TRUE(awaitError(store.installationExistsForAppID(kAppID, kAppName)));
  EXPECT_TRUE(awaitError(store.installationForAppID(kAppID, kAppName)));
  ASSERT_TRUE(settle(store.setInstallationExists(true, identifier())));
  EXPECT_TRUE(awaitValue(store.installationForAppID(kAppID, kAppName)));
}

TEST_F(RVOInstallationsStoreTest, AppGroupKeepsTheFlagInItsOwnSuite) {
  RVOInstallationsStore grouped(storage_, std::string("group.com.tessaro.shared"));
  EXPECT_EQ(grouped.userDefaultsDomainName(), "group.com.tessaro.shared");
  ASSERT_TRUE(settle(grouped.saveInstallation(item())));
  EXPECT_EQ(flagIn("group.com.tessaro.shared"), os::Value(true));
  EXPECT_TRUE(flagIn(RVOInstallationsStore::kUserDefaultsSuiteName).isNull());
  EXPECT_TRUE(awaitValue(grouped.installationForAppID(kAppID, kAppName)));
  // The item lives under the group: a store without it sees no flag.
  RVOInstallationsStore ungrouped(storage_, std::nullopt);
  EXPECT_TRUE(awaitError(ungrouped.installationForAppID(kAppID, kAppName)));
}

TEST_F(RVOInstallationsStoreTest, NewerArchiveIsReadWithWarningAndCorruptOneRejects) {
  RVOInstallationsStore store(storage_, std::nullopt);
  os::Dictionary newer{{"riveravoInstallationID", "fid"},
                       {"registrationStatus", 1},
                       {"storageVersion", 2},
                       {"addedLater", "x"}};
  ASSERT_TRUE(settle(storage_->setObject(
      *VDUSecureCoding::archivedDataWithRootObject(newer, nullptr), identifier(), std::nullopt)));
  ASSERT_TRUE(settle(store.setInstallationExists(true, identifier())));
  VDULoggerCapture capture;
  std::optional<RVOInstallationsItem> read =
      awaitValue(store.installationForAppID(kAppID, kAppName));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->riveravoInstallationID, "fid");
  EXPECT_EQ(read->registrationStatus, 1);
  EXPECT_TRUE(capture.contains("[I-RIS003000]"));

  // Written behind the store's back: the store keeps serving what it read, a later launch (a new
  // store) reads the damage.
  ASSERT_TRUE(settle(storage_->setObject(os::Data{1, 2, 3}, identifier(), std::nullopt)));
  EXPECT_TRUE(awaitValue(store.installationForAppID(kAppID, kAppName)));
  RVOInstallationsStore later(storage_, std::nullopt);
  std::optional<os::Error> error = awaitError(later.installationForAppID(kAppID, kAppName));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, kRVOInstallationsErrorDomain);
  EXPECT_EQ(error->userInfo[kRVOInstallationsFailureReasonKey].stringValue(),
            "NSKeyedArchiver error.");
}

}  // namespace
