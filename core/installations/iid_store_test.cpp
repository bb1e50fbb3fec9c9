#include "core/installations/iid_store.h"

#include <gtest/gtest.h>

#include "core/core_test_fixture.h"
#include "core/installations/installations_errors.h"
#include "core/installations/installations_test_support.h"
#include "core/installations/legacy_identity_fixture.h"
#include "os/crypto/crypto.h"
#include "os/files/files.h"
#include "os/value/plist.h"

namespace {

using installations_testing::awaitError;
using installations_testing::awaitValue;
using installations_testing::settle;

class RVOInstallationsIIDStoreTest : public core_testing::CoreTest {
 protected:
  RVOInstallationsIIDStore store_;
  RVOInstallationsIIDTokenStore tokenStore_{"1234567890"};
};

TEST_F(RVOInstallationsIIDStoreTest, IdentifierComesFromThePublicKeyOnlyWithTheMarker) {
  const os::Data key = installations_testing::legacyPublicKey();
  installations_testing::writeLegacyKeys(key);
  EXPECT_TRUE(awaitError(store_.existingIID()));  // keys but no marker: nothing to migrate

  installations_testing::writeLegacyMarker();
  std::optional<std::string> IID = awaitValue(store_.existingIID());
  ASSERT_TRUE(IID);
  EXPECT_EQ(*IID, "fDGvIDSqrOs");

  ASSERT_TRUE(settle(store_.deleteExistingIID()));
  EXPECT_TRUE(awaitError(store_.existingIID()));
  std::optional<os::Value> marker =
      os::plist::parse(*os::files::readFile(RVOInstallationsIIDStore::markerFilePath(), nullptr));
  ASSERT_TRUE(marker);
  EXPECT_FALSE(marker->asDictionary()->contains(kRVOInstallationsIIDMarkerKey));
  EXPECT_TRUE((*marker)["other"].isString());  // the rest of the file stays
  for (bool publicKey : {true, false}) {
    EXPECT_EQ(os::keychain::copyMatching(
                  RVOInstallationsIIDStore::keyQuery(*RVOInstallationsIIDStore::keyTag(publicKey)),
                  nullptr),
              os::keychain::kSecItemNotFound);
  }
  // Nothing left: deleting again still succeeds.
  PRMPromise<void> again = store_.deleteExistingIID();
  ASSERT_TRUE(settle(again));
  EXPECT_FALSE(again.isRejected());
}

TEST_F(RVOInstallationsIIDStoreTest, IdentifierTakesSevenAsTheHighNibbleOfTheDigest) {
  // Find a key whose SHA-1 begins with 0x2A: the identifier's first byte is then 0x7A.
  os::Data key{0, 0, 0, 0};
  for (uint32_t i = 0; os::crypto::sha1(key)[0] != 0x2A; ++i) {
    for (int b = 0; b < 4; ++b) key[b] = static_cast<uint8_t>(i >> (8 * b));
  }
  const std::string IID = RVOInstallationsIIDStore::IIDWithPublicKeyData(key);
  ASSERT_EQ(IID.size(), 11u);
  EXPECT_EQ(IID[0], 'e');  // 0x7A is 011110 10...: "e", then the next character starts with 10
  EXPECT_NE(std::string("ghijklmnopqrstuv").find(IID[1]), std::string::npos) << IID;
}

TEST_F(RVOInstallationsIIDStoreTest, DefaultTokenNeedsANonEmptyTokenOfTheLegacyClass) {
  const std::string corrupted =
      "IID token data stored in Keychain is corrupted or in an incompatible format.";
  std::optional<os::Error> error = awaitError(tokenStore_.existingIIDDefaultToken());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->userInfo[kRVOInstallationsFailureReasonKey].stringValue(), corrupted);

  installations_testing::writeLegacyToken("legacy-default-token");
  EXPECT_EQ(awaitValue(tokenStore_.existingIIDDefaultToken()), "legacy-default-token");

  const std::pair<const char*, const char*> bad[] = {{"", "RVOInstanceIDTokenInfo"},
                                                     {"token", "SomethingElse"}};
  for (const auto& [token, className] : bad) {
    installations_testing::writeLegacyToken(token, className);
    error = awaitError(tokenStore_.existingIIDDefaultToken());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->userInfo[kRVOInstallationsFailureReasonKey].stringValue(), corrupted);
  }
}

}  // namespace
