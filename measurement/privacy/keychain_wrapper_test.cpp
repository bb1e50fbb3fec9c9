#include "measurement/privacy/keychain_wrapper.h"

#include <gtest/gtest.h>

#include "measurement/privacy/test_support.h"

namespace measurement {
namespace {

constexpr const char* kAppID = "1:100:ios:aa";

TEST(KeychainWrapperTest, UpsertAddsOnceThenUpdatesInPlace) {
  PrivacySandbox sandbox;
  EXPECT_FALSE(KeychainWrapper::upsertKeychainValue("", "session", kAppID));
  EXPECT_EQ(KeychainWrapper::keychainDataWithIdentifier("session", kAppID), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(os::keychain::storePath())) << "nothing was touched";

  EXPECT_TRUE(KeychainWrapper::upsertKeychainValue("first", "session", kAppID));
  EXPECT_TRUE(KeychainWrapper::upsertKeychainValue("second", "session", kAppID));
  EXPECT_EQ(KeychainWrapper::keychainValueWithIdentifier("session", kAppID), "second");

  // One item, with the attributes it was added with.
  os::keychain::Query query{.service = kAppID, .account = "session"};
  os::Dictionary attributes;
  ASSERT_EQ(os::keychain::copyAttributes(query, &attributes), os::keychain::kSecSuccess);
  EXPECT_EQ(attributes[os::keychain::kSecAttrAccessible], os::Value("dku"));
  EXPECT_EQ(attributes["gena"], os::Value("session"));
  EXPECT_EQ(os::keychain::add(query, os::Data{1}, {}), os::keychain::kSecDuplicateItem);
  EXPECT_FALSE(KeychainWrapper::isMigrationNeededForIdentifier("session", kAppID));

  KeychainWrapper::deleteKeychainValueWithIdentifier("session", kAppID);
  EXPECT_EQ(KeychainWrapper::keychainValueWithIdentifier("session", kAppID), std::nullopt);
}

TEST(KeychainWrapperTest, EmptyArgumentsNameNoItem) {
  PrivacySandbox sandbox;
  EXPECT_EQ(KeychainWrapper::searchDirectoryForIdentifier("", kAppID), std::nullopt);
  EXPECT_EQ(KeychainWrapper::searchDirectoryForIdentifier("session", ""), std::nullopt);
  EXPECT_FALSE(KeychainWrapper::upsertKeychainValue("value", "", kAppID));
  EXPECT_FALSE(KeychainWrapper::upsertKeychainValue("value", "session", ""));
  EXPECT_EQ(KeychainWrapper::keychainValueWithIdentifier("", kAppID), std::nullopt);
  EXPECT_FALSE(KeychainWrapper::isMigrationNeededForIdentifier("", ""));
  KeychainWrapper::deleteKeychainValueWithIdentifier("", kAppID);
}

TEST(KeychainWrapperTest, ItemsWithoutTheIdentifierAttributeNeedMigration) {
  PrivacySandbox sandbox;
  EXPECT_FALSE(KeychainWrapper::isMigrationNeededForIdentifier("session", kAppID));
  os::keychain::Query query{.service = kAppID, .account = "session"};
  ASSERT_EQ(os::keychain::add(query, os::Data{'o', 'l', 'd'}, {}), os::keychain::kSecSuccess);
  EXPECT_TRUE(KeychainWrapper::isMigrationNeededForIdentifier("session", kAppID));
  EXPECT_EQ(KeychainWrapper::keychainValueWithIdentifier("session", kAppID), "old");
  EXPECT_TRUE(KeychainWrapper::upsertKeychainValue("new", "session", kAppID));
  EXPECT_EQ(KeychainWrapper::keychainValueWithIdentifier("session", kAppID), "new");
}

// An item whose data is empty reads as no value; storing over it must still succeed.
TEST(KeychainWrapperTest, UpsertReplacesAnItemWithEmptyData) {
  PrivacySandbox sandbox;
  os::keychain::Query query{.service = kAppID, .account = "session"};
  ASSERT_EQ(os::keychain::add(query, os::Data{}, {}), os::keychain::kSecSuccess);
  EXPECT_EQ(KeychainWrapper::keychainValueWithIdentifier("session", kAppID), std::nullopt);
  EXPECT_TRUE(KeychainWrapper::upsertKeychainValue("value", "session", kAppID));
  EXPECT_EQ(KeychainWrapper::keychainValueWithIdentifier("session", kAppID), "value");
}

}  // namespace
}  // namespace measurement
