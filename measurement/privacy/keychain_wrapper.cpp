#include "measurement/privacy/keychain_wrapper.h"

#include <mutex>

#include "platform/utilities/keychain_utils.h"

namespace measurement {

std::optional<os::keychain::Query> KeychainWrapper::searchDirectoryForIdentifier(
    std::string_view identifier, std::string_view appID) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  return os::keychain::Query{.service = std::string(appID), .account = std::string(identifier)};
}

bool KeychainWrapper::upsertKeychainValue(std::string_view value, std::string_view identifier,
                                          std::string_view appID) {
  std::optional<os::keychain::Query> query = searchDirectoryForIdentifier(identifier, appID);
  if (value.empty() || !query) return false;
  os::Data data(value.begin(), value.end());
  std::optional<std::string> existing = keychainValueWithIdentifier(identifier, appID);
  if (existing && !existing->empty()) {
    return os::keychain::update(*query, data) == os::keychain::kSecSuccess;
  }
  os::Dictionary attributes{
      {os::keychain::kSecAttrAccessible, kSecAttrAccessibleAlwaysThisDeviceOnly},
      {kSecAttrGeneric, std::string(identifier)}};
  os::keychain::OSStatus status = os::keychain::add(*query, data, attributes);
  // An item with empty data reads as no value but still occupies the place: replace its data
  // rather than fail every store from now on.
  if (status == os::keychain::kSecDuplicateItem) status = os::keychain::update(*query, data);
  return status == os::keychain::kSecSuccess;
}

std::optional<std::string> KeychainWrapper::keychainValueWithIdentifier(std::string_view identifier,
                                                                        std::string_view appID) {
  static std::once_flag migration;
  std::call_once(migration, [&] { migrateKeychainDataToStringWithIdentifier(identifier, appID); });
  std::optional<os::Data> data = keychainDataWithIdentifier(identifier, appID);
  if (!data || data->empty()) return std::nullopt;
  return std::string(data->begin(), data->end());
}

std::optional<os::Data> KeychainWrapper::keychainDataWithIdentifier(std::string_view identifier,
                                                                    std::string_view appID) {
  std::optional<os::keychain::Query> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return std::nullopt;
  std::optional<os::Error> error;
  return VDUKeychainUtils::getItemWithQuery(*query, &error);
}

void KeychainWrapper::deleteKeychainValueWithIdentifier(std::string_view identifier,
                                                        std::string_view appID) {
  std::optional<os::keychain::Query> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return;
  std::optional<os::Error> error;
  VDUKeychainUtils::removeItemWithQuery(*query, &error);
}

bool KeychainWrapper::isMigrationNeededForIdentifier(std::string_view identifier,
                                                     std::string_view appID) {
  std::optional<os::keychain::Query> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return false;
  os::Dictionary attributes;
  if (os::keychain::copyAttributes(*query, &attributes) != os::keychain::kSecSuccess) {
    return false;
  }
  // The account is a string by construction on this host; the generic attribute is whatever
  // the item was added with.
  auto generic = attributes.find(kSecAttrGeneric);
  return generic == attributes.end() || !generic->second.isString();
}

void KeychainWrapper::migrateKeychainDataToStringWithIdentifier(std::string_view,
                                                                std::string_view) {}

}  // namespace measurement
