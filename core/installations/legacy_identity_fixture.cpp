#include "core/installations/legacy_identity_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/installations/iid_store.h"
#include "os/files/files.h"
#include "os/value/plist.h"
#include "platform/utilities/keychain_utils.h"
#include "platform/utilities/secure_coding.h"

namespace installations_testing {

os::Data legacyPublicKey() {
  const std::string text = "30820122300d06092a864886f70d01010105000382010f003082010a0282010100";
  return os::Data(text.begin(), text.end());
}

void writeLegacyKeys(const os::Data& publicKey) {
  for (bool isPublic : {true, false}) {
    std::optional<os::Error> error;
    ASSERT_TRUE(VDUKeychainUtils::setItem(
        isPublic ? publicKey : os::Data{1, 2, 3},
        RVOInstallationsIIDStore::keyQuery(*RVOInstallationsIIDStore::keyTag(isPublic)), &error));
  }
}

void writeLegacyMarker() {
  std::filesystem::path path = RVOInstallationsIIDStore::markerFilePath();
  std::filesystem::create_directories(path.parent_path());
  os::Value marker = os::Dictionary{{kRVOInstallationsIIDMarkerKey, "keypair"}, {"other", "kept"}};
  ASSERT_TRUE(os::files::writeAtomically(
      path, *os::plist::serialize(marker, os::plist::Format::Xml), nullptr));
}

void writeLegacyToken(const std::string& token, const std::string& className) {
  os::Value info = os::Dictionary{{"$class", className}, {"token", token}};
  std::optional<os::Error> error;
  ASSERT_TRUE(VDUKeychainUtils::setItem(*VDUSecureCoding::archivedDataWithRootObject(info, nullptr),
                                        RVOInstallationsIIDTokenStore::tokenQuery("1234567890"),
                                        &error));
}

}  // namespace installations_testing
