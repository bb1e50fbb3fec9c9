#include "platform/utilities/keychain_utils.h"

#include <fmt/format.h>

namespace keychain = os::keychain;

namespace {

// Resets or sets `*error` (when given) and answers whether the call succeeded.
bool report(std::optional<os::Error>* error, std::string_view function, keychain::OSStatus status,
            bool succeeded) {
  if (error != nullptr) {
    if (succeeded) {
      error->reset();
    } else {
      *error = VDUKeychainUtils::keychainErrorWithFunction(function, status);
    }
  }
  return succeeded;
}

}  // namespace

std::optional<os::Data> VDUKeychainUtils::getItemWithQuery(const keychain::Query& query,
                                                           std::optional<os::Error>* error) {
  os::Data data;
  keychain::OSStatus status = keychain::copyMatching(query, &data);
  bool found = status == keychain::kSecSuccess;
  report(error, "SecItemCopyMatching", status, found || status == keychain::kSecItemNotFound);
  if (!found) return std::nullopt;
  return data;
}

bool VDUKeychainUtils::setItem(const os::Data& item, const keychain::Query& query,
                               std::optional<os::Error>* error) {
  std::optional<os::Error> lookupError;
  std::optional<os::Data> existing = getItemWithQuery(query, &lookupError);
  if (lookupError) {
    if (error != nullptr) *error = lookupError;
    return false;
  }
  if (!existing) {
    keychain::OSStatus status =
        keychain::add(query, item,
                      {{keychain::kSecAttrAccessible,
                        keychain::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly}});
    if (status != keychain::kSecDuplicateItem) {
      return report(error, "SecItemAdd", status, status == keychain::kSecSuccess);
    }
  }
  keychain::OSStatus status = keychain::update(query, item);
  return report(error, "SecItemUpdate", status, status == keychain::kSecSuccess);
}

bool VDUKeychainUtils::removeItemWithQuery(const keychain::Query& query,
                                           std::optional<os::Error>* error) {
  keychain::OSStatus status = keychain::remove(query);
  return report(error, "SecItemDelete", status,
                status == keychain::kSecSuccess || status == keychain::kSecItemNotFound);
}

os::Error VDUKeychainUtils::keychainErrorWithFunction(std::string_view function,
                                                      keychain::OSStatus status) {
  return os::Error(
      kVDUKeychainErrorDomain, 0, {},
      os::Dictionary{{"NSLocalizedFailureReason", fmt::format("{} ({})", function, status)}});
}
