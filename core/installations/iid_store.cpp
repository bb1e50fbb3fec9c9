#include "core/installations/iid_store.h"

#include "core/heartbeats/heartbeats_payload.h"
#include "core/installations/installations_errors.h"
#include "os/bundle/bundle.h"
#include "os/crypto/crypto.h"
#include "os/dispatch/dispatch.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/value/plist.h"
#include "platform/utilities/keychain_utils.h"
#include "platform/utilities/secure_coding.h"

namespace {

const std::shared_ptr<os::DispatchQueue>& utilityQueue() {
  return os::DispatchQueue::global(os::DispatchPriority::Low);
}

// The marker file's property list; nullopt when there is no readable file.
std::optional<os::Value> readMarkerFile() {
  std::optional<std::string> bytes =
      os::files::readFile(RVOInstallationsIIDStore::markerFilePath(), nullptr);
  if (!bytes) return std::nullopt;
  return os::plist::parse(*bytes);
}

}  // namespace

std::filesystem::path RVOInstallationsIIDStore::markerFilePath() {
  return os::paths::applicationSupport() / "Vedodo" / "RiveravoInstanceID" /
         "com.vedodo.iid-keypair.plist";
}

std::optional<std::string> RVOInstallationsIIDStore::keyTag(bool publicKey) {
  const std::string bundleID = os::Bundle::main().bundleIdentifier();
  if (bundleID.empty()) return std::nullopt;
  return std::string(publicKey ? "com.vedodo.iid.keypair.public-"
                               : "com.vedodo.iid.keypair.private-") +
         bundleID;
}

os::keychain::Query RVOInstallationsIIDStore::keyQuery(const std::string& tag) {
  return {.service = tag, .account = kRVOInstallationsIIDKeyAccount};
}

std::string RVOInstallationsIIDStore::IIDWithPublicKeyData(const os::Data& publicKeyData) {
  os::Data digest = os::crypto::sha1(publicKeyData);
  digest[0] = static_cast<uint8_t>(0x70 | (digest[0] & 0x0F));
  return heartbeats::base64UrlWithoutPadding(digest.data(), 8);
}

PRMPromise<std::string> RVOInstallationsIIDStore::existingIID() {
  return PRMPromise<std::string>::doWork(utilityQueue(), []() -> PRMResult<std::string> {
    std::optional<os::Value> marker = readMarkerFile();
    const os::Dictionary* markers = marker ? marker->asDictionary() : nullptr;
    std::optional<std::string> tag = keyTag(true);
    os::Data publicKey;
    if (!markers || !markers->contains(kRVOInstallationsIIDMarkerKey) || !tag ||
        os::keychain::copyMatching(keyQuery(*tag), &publicKey) != os::keychain::kSecSuccess) {
      return RVOInstallationsErrorUtil::installationsErrorWithCode(
          kRVOInstallationsErrorCodeUnknown, "There is no legacy instance identifier.",
          std::nullopt);
    }
    std::string IID = IIDWithPublicKeyData(publicKey);
    if (IID.empty()) {
      return RVOInstallationsErrorUtil::installationsErrorWithCode(
          kRVOInstallationsErrorCodeUnknown, "The legacy instance identifier is empty.",
          std::nullopt);
    }
    return IID;
  });
}

PRMPromise<void> RVOInstallationsIIDStore::deleteExistingIID() {
  return PRMPromise<void>::doWork(utilityQueue(), []() -> PRMResult<void> {
    if (std::optional<os::Value> marker = readMarkerFile()) {
      if (os::Dictionary* markers = marker->asDictionary())
        markers->erase(kRVOInstallationsIIDMarkerKey);
      os::Error error;
      std::optional<std::string> bytes =
          os::plist::serialize(*marker, os::plist::Format::Xml, &error);
      if (!bytes || !os::files::writeAtomically(markerFilePath(), *bytes, &error)) return error;
    }
    for (bool publicKey : {true, false}) {
      std::optional<std::string> tag = keyTag(publicKey);
      if (!tag) continue;
      os::keychain::OSStatus status = os::keychain::remove(keyQuery(*tag));
      if (status != os::keychain::kSecSuccess && status != os::keychain::kSecItemNotFound) {
        return RVOInstallationsErrorUtil::keychainErrorWithFunction("SecItemDelete", status);
      }
    }
    return {};
  });
}

RVOInstallationsIIDTokenStore::RVOInstallationsIIDTokenStore(std::string GCMSenderID)
    : VCMSenderID_(std::move(GCMSenderID)) {}

os::keychain::Query RVOInstallationsIIDTokenStore::tokenQuery(const std::string& senderID) {
  return {.service = senderID + ":*", .account = os::Bundle::main().bundleIdentifier()};
}

PRMPromise<std::string> RVOInstallationsIIDTokenStore::existingIIDDefaultToken() {
  return PRMPromise<std::string>::doWork(
      utilityQueue(), [senderID = VCMSenderID_]() -> PRMResult<std::string> {
        std::optional<os::Error> keychainError;
        std::optional<os::Data> data =
            VDUKeychainUtils::getItemWithQuery(tokenQuery(senderID), &keychainError);
        if (!data) {
          if (keychainError) return *keychainError;
          return RVOInstallationsErrorUtil::corruptedIIDTokenData();
        }
        os::Error archiveError;
        std::optional<os::Value> root = VDUSecureCoding::unarchivedObjectOfClasses(
            {os::Value::Type::Dictionary, os::Value::Type::String}, *data, &archiveError);
        if (!root) return archiveError;
        const std::string* className = (*root)["$class"].asString();
        const std::string* token = (*root)["token"].asString();
        if (!className || *className != kRVOInstallationsIIDTokenInfoClassName || !token ||
            token->empty()) {
          return RVOInstallationsErrorUtil::corruptedIIDTokenData();
        }
        return *token;
      });
}
