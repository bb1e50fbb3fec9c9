#include "platform/utilities/keychain_storage.h"

#include <gtest/gtest.h>

#include <fstream>

#include "os/keychain/keychain.h"
#include "platform/utilities/keychain_utils.h"
#include "platform/utilities/secure_coding.h"
#include "testsupport/sandbox.h"

namespace {

using Type = os::Value::Type;
namespace keychain = os::keychain;

constexpr const char* kService = "com.example.keychain-storage-test";

os::Value awaitValue(const PRMPromise<os::Value>& promise, os::Error* error = nullptr) {
  return PRMPromiseAwait(promise, error).value_or(os::Value("<rejected>"));
}

// What the keychain itself holds for `key` of the test's service, unarchived.
os::Value inKeychain(const std::string& key) {
  os::Data data;
  if (keychain::copyMatching({.service = kService, .account = key}, &data) !=
      keychain::kSecSuccess) {
    return nullptr;
  }
  return VDUSecureCoding::unarchivedObjectOfClasses({Type::String, Type::Integer, Type::Dictionary},
                                                    data, nullptr)
      .value_or(nullptr);
}

// Changes the item behind the store's back, as another process would.
void replaceInKeychain(const std::string& key, const os::Value& value) {
  auto data = VDUSecureCoding::archivedDataWithRootObject(value, nullptr);
  ASSERT_EQ(keychain::update({.service = kService, .account = key}, *data), keychain::kSecSuccess);
}

TEST(VDUKeychainUtils, AMissingItemIsNoError) {
  testsupport::Sandbox sandbox;
  keychain::Query query{.service = kService, .account = "a"};
  std::optional<os::Error> error = os::Error("stale", 1);
  EXPECT_EQ(VDUKeychainUtils::getItemWithQuery(query, &error), std::nullopt);
  EXPECT_EQ(error, std::nullopt);
  EXPECT_TRUE(VDUKeychainUtils::removeItemWithQuery(query, &error));
  EXPECT_EQ(error, std::nullopt);
  EXPECT_TRUE(VDUKeychainUtils::setItem({1, 2}, query, &error));
  EXPECT_TRUE(VDUKeychainUtils::setItem({3}, query, &error));  // updates in place
  EXPECT_EQ(VDUKeychainUtils::getItemWithQuery(query, &error), os::Data{3});
  os::Dictionary attributes;
  ASSERT_EQ(keychain::copyAttributes(query, &attributes), keychain::kSecSuccess);
  EXPECT_EQ(attributes[keychain::kSecAttrAccessible],
            os::Value(keychain::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));
}

TEST(VDUKeychainUtils, FailuresNameTheCallAndItsStatus) {
  testsupport::Sandbox sandbox;
  keychain::Query query{.service = kService, .account = "a"};
  ASSERT_TRUE(VDUKeychainUtils::setItem({1}, query, nullptr));
  { std::ofstream(keychain::storePath()) << "garbage"; }
  std::optional<os::Error> error;
  EXPECT_FALSE(VDUKeychainUtils::setItem({2}, query, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, kVDUKeychainErrorDomain);
  EXPECT_EQ(error->code, 0);
  EXPECT_EQ(error->userInfo["NSLocalizedFailureReason"], os::Value("SecItemCopyMatching (-26275)"));
  EXPECT_FALSE(VDUKeychainUtils::removeItemWithQuery(query, &error));
  EXPECT_EQ(error->userInfo["NSLocalizedFailureReason"], os::Value("SecItemDelete (-26275)"));
  EXPECT_EQ(VDUKeychainUtils::keychainErrorWithFunction("SecItemAdd", -25299)
                .userInfo["NSLocalizedFailureReason"],
            os::Value("SecItemAdd (-25299)"));
}

TEST(VDUSecureCoding, RoundTripsAndChecksKinds) {
  os::Value record = os::Dictionary{{"fid", "abc"}, {"created", os::Date{1.7e9}}, {"n", 3}};
  os::Error error;
  auto data = VDUSecureCoding::archivedDataWithRootObject(record, &error);
  ASSERT_TRUE(data);
  EXPECT_EQ(VDUSecureCoding::unarchivedObjectOfClasses(
                {Type::Dictionary, Type::String, Type::Date, Type::Real}, *data, &error),
            record);  // any number kind allows integers
  EXPECT_EQ(
      VDUSecureCoding::unarchivedObjectOfClasses({Type::Dictionary, Type::String}, *data, &error),
      std::nullopt);
  EXPECT_EQ(error.domain, os::kCocoaErrorDomain);
  EXPECT_EQ(error.code, 4864);
  EXPECT_EQ(VDUSecureCoding::unarchivedObjectOfClass(Type::String, {'x'}, &error), std::nullopt);
  EXPECT_EQ(error.code, 4864);
}

TEST(VDUSecureCoding, AValueWithoutArchiveFormIsTheArchiversExceptionAsAnError) {
  for (const os::Value& value : {os::Value(), os::Value(os::Array{"a", nullptr})}) {
    os::Error error;
    EXPECT_EQ(VDUSecureCoding::archivedDataWithRootObject(value, &error), std::nullopt);
    EXPECT_EQ(error.domain, kVDUSecureCodingErrorDomain);
    EXPECT_EQ(error.code, -1);
    const std::string* reason = error.userInfo["NSLocalizedFailureReason"].asString();
    ASSERT_TRUE(reason);
    EXPECT_EQ(reason->rfind("NSKeyedArchiver exception with name: NSInvalidArgumentException, "
                            "reason: ",
                            0),
              0u)
        << *reason;
    EXPECT_NE(reason->find(", userInfo: (null)"), std::string::npos);
  }
}

class VDUKeychainStorageTest : public testing::Test {
 protected:
  testsupport::Sandbox sandbox_;
};

TEST_F(VDUKeychainStorageTest, StoresReadsAndRemovesThroughTheKeychain) {
  VDUKeychainStorage storage(kService);
  EXPECT_TRUE(awaitValue(storage.getObjectForKey("fid", Type::String, std::nullopt)).isNull());
  ASSERT_TRUE(PRMPromiseAwait(storage.setObject("abc", "fid", std::nullopt)));
  EXPECT_EQ(inKeychain("fid"), os::Value("abc"));
  EXPECT_EQ(awaitValue(storage.getObjectForKey("fid", Type::String, std::nullopt)),
            os::Value("abc"));
  ASSERT_TRUE(PRMPromiseAwait(storage.setObject("def", "fid", std::nullopt)));  // in place
  EXPECT_EQ(awaitValue(storage.getObjectForKey("fid", Type::String, std::nullopt)),
            os::Value("def"));
  ASSERT_TRUE(PRMPromiseAwait(storage.removeObjectForKey("fid", std::nullopt)));
  EXPECT_TRUE(inKeychain("fid").isNull());
  EXPECT_TRUE(awaitValue(storage.getObjectForKey("fid", Type::String, std::nullopt)).isNull());
  EXPECT_TRUE(PRMPromiseAwait(storage.removeObjectForKey("never", std::nullopt)));
  // A second store of the service shares the items.
  ASSERT_TRUE(PRMPromiseAwait(storage.setObject(7, "n", std::nullopt)));
  VDUKeychainStorage other(kService);
  EXPECT_EQ(awaitValue(other.getObjectForKey("n", Type::Integer, std::nullopt)), os::Value(7));
}

TEST_F(VDUKeychainStorageTest, CallsOfOneThreadTakeEffectInOrder) {
  VDUKeychainStorage storage(kService);
  storage.setObject("one", "k", std::nullopt);
  storage.setObject("two", "k", std::nullopt);
  auto read = storage.getObjectForKey("k", Type::String, std::nullopt);
  storage.removeObjectForKey("k", std::nullopt);
  auto gone = storage.getObjectForKey("k", Type::String, std::nullopt);
  EXPECT_EQ(awaitValue(read), os::Value("two"));
  EXPECT_TRUE(awaitValue(gone).isNull());
}

TEST_F(VDUKeychainStorageTest, TheCacheHoldsFiveEntriesKeyedByKeyAndAccessGroup) {
  VDUKeychainStorage storage(kService);
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(PRMPromiseAwait(storage.setObject(i, "k" + std::to_string(i), std::nullopt)));
  }
  replaceInKeychain("k0", 100);  // k0 was pushed out by k5: read again from the keychain
  replaceInKeychain("k5", 500);  // k5 is cached
  EXPECT_EQ(awaitValue(storage.getObjectForKey("k0", Type::Integer, std::nullopt)), os::Value(100));
  EXPECT_EQ(awaitValue(storage.getObjectForKey("k5", Type::Integer, std::nullopt)), os::Value(5));
  storage.resetInMemoryCache();
  EXPECT_EQ(awaitValue(storage.getObjectForKey("k5", Type::Integer, std::nullopt)), os::Value(500));

  ASSERT_TRUE(PRMPromiseAwait(storage.setObject("plain", "g", std::nullopt)));
  ASSERT_TRUE(PRMPromiseAwait(storage.setObject("grouped", "g", std::string("group.example"))));
  EXPECT_EQ(awaitValue(storage.getObjectForKey("g", Type::String, std::string("group.example"))),
            os::Value("grouped"));
  EXPECT_EQ(awaitValue(storage.getObjectForKey("g", Type::String, std::string(""))),
            os::Value("plain"));
}

TEST_F(VDUKeychainStorageTest, AFailedWriteRejectsAndLeavesNothingInTheCache) {
  VDUKeychainStorage storage(kService);
  os::Error error;
  EXPECT_FALSE(PRMPromiseAwait(storage.setObject(os::Array{nullptr}, "k", std::nullopt), &error));
  EXPECT_EQ(error.domain, kVDUSecureCodingErrorDomain);
  EXPECT_EQ(error.code, -1);

  ASSERT_TRUE(PRMPromiseAwait(storage.setObject("stored", "k", std::nullopt)));
  { std::ofstream(keychain::storePath()) << "garbage"; }
  EXPECT_FALSE(PRMPromiseAwait(storage.setObject("lost", "k", std::nullopt), &error));
  EXPECT_EQ(error.domain, kVDUKeychainErrorDomain);
  // Neither the failed value nor the stale one answers from the cache: the read goes to the
  // keychain and reports its failure.
  EXPECT_FALSE(PRMPromiseAwait(storage.getObjectForKey("k", Type::String, std::nullopt), &error));
  EXPECT_EQ(error.domain, kVDUKeychainErrorDomain);
}

TEST_F(VDUKeychainStorageTest, AValueOfAnotherKindRejects) {
  VDUKeychainStorage storage(kService);
  ASSERT_TRUE(PRMPromiseAwait(storage.setObject(42, "n", std::nullopt)));
  storage.resetInMemoryCache();
  os::Error error;
  EXPECT_FALSE(PRMPromiseAwait(storage.getObjectForKey("n", Type::String, std::nullopt), &error));
  EXPECT_EQ(error.code, 4864);
}

}  // namespace
