// The identity an older instance-identifier library left behind, which the default app's first
// installation takes over so that a device keeps its identity:
//
//   RVOInstallationsIIDStore iidStore;
//   iidStore.existingIID().then([](const std::string& iid) { ... });   // 11 characters
//   RVOInstallationsIIDTokenStore tokenStore(VCMSenderID);
//   tokenStore.existingIIDDefaultToken().then([](const std::string& token) { ... });
//
// The identifier is derived from the public key of an RSA key pair in the keychain and counts
// only while the marker "|S|cre" is in the property list
// <Application Support>/Vedodo/RiveravoInstanceID/com.vedodo.iid-keypair.plist. This host's
// keychain holds generic-password items only, so a key is kept as the item whose service is the
// key's application tag ("com.vedodo.iid.keypair.public-" or "...private-" followed by the main
// bundle's identifier) and whose account is kRVOInstallationsIIDKeyAccount; its data is the key's
// bytes. The default token is the item of service "<sender ID>:*" and account the main bundle's
// identifier, holding the VDUSecureCoding archive of {"$class": "RVOInstanceIDTokenInfo",
// "token": <text>}. Absent legacy data is the normal case here: the promises then reject, and a
// new FID is generated.
//
// Work runs on the global queue of low priority; promises resolve on the promise library's
// default queue. Stateless apart from the sender ID; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "os/keychain/keychain.h"
#include "os/value/value.h"
#include "platform/promises/promise.h"

inline constexpr const char* kRVOInstallationsIIDKeyAccount = "RSA";
inline constexpr const char* kRVOInstallationsIIDMarkerKey = "|S|cre";
inline constexpr const char* kRVOInstallationsIIDTokenInfoClassName = "RVOInstanceIDTokenInfo";

class RVOInstallationsIIDStore {
 public:
  // The legacy identifier; rejected when there is none.
  PRMPromise<std::string> existingIID();
  // Removes the marker and both keys; a missing file or key counts as removed.
  PRMPromise<void> deleteExistingIID();

  // SHA-1 of the key's bytes, first byte 0x70 | (byte & 0x0F), first 8 bytes as URL-safe base64
  // without padding: 11 characters.
  static std::string IIDWithPublicKeyData(const os::Data& publicKeyData);
  static std::filesystem::path markerFilePath();
  // The application tag of the public or private key; nullopt when the main bundle has no
  // identifier.
  static std::optional<std::string> keyTag(bool publicKey);
  static os::keychain::Query keyQuery(const std::string& tag);
};

class RVOInstallationsIIDTokenStore {
 public:
  explicit RVOInstallationsIIDTokenStore(std::string GCMSenderID);

  // The legacy default token; rejected with the keychain's error, or with the corrupted-data
  // error when there is none or it cannot be read.
  PRMPromise<std::string> existingIIDDefaultToken();

  static os::keychain::Query tokenQuery(const std::string& senderID);

 private:
  const std::string VCMSenderID_;
};
