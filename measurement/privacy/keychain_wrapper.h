// Strings kept as generic-password keychain items of the measurement code: the service is the
// app id, the account and the generic attribute are the identifier, the data is the string's
// UTF-8 bytes, readable at any time on this device only.
//
//   KeychainWrapper::upsertKeychainValue("token", "session", appID);   // adds, later updates
//   std::optional<std::string> value = KeychainWrapper::keychainValueWithIdentifier("session",
//                                                                                   appID);
//
// Any thread: the keychain serialises its own calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/keychain/keychain.h"
#include "os/value/value.h"

namespace measurement {

// The accessibility of the wrapper's items, and the attribute that holds the identifier.
inline constexpr const char* kSecAttrAccessibleAlwaysThisDeviceOnly = "dku";
inline constexpr const char* kSecAttrGeneric = "gena";

class KeychainWrapper {
 public:
  // The item's query; nullopt when either argument is empty.
  static std::optional<os::keychain::Query> searchDirectoryForIdentifier(
      std::string_view identifier, std::string_view appID);
  // Stores `value`: updates the item when it holds a non-empty value, else adds it. False for
  // an empty value or arguments, or when the keychain refuses.
  static bool upsertKeychainValue(std::string_view value, std::string_view identifier,
                                  std::string_view appID);
  // The stored string; nullopt when missing, empty or unreadable.
  static std::optional<std::string> keychainValueWithIdentifier(std::string_view identifier,
                                                                std::string_view appID);
  // The stored bytes; nullopt unless the lookup succeeds.
  static std::optional<os::Data> keychainDataWithIdentifier(std::string_view identifier,
                                                            std::string_view appID);
  // Deletes the item, when the arguments can name one.
  static void deleteKeychainValueWithIdentifier(std::string_view identifier,
                                                std::string_view appID);
  // Whether a found item lacks the string form of its identifier attribute (an item an older
  // version or another program added); false when nothing matches.
  static bool isMigrationNeededForIdentifier(std::string_view identifier, std::string_view appID);
  // Items need no conversion on this host; run once, before the first read of the process.
  static void migrateKeychainDataToStringWithIdentifier(std::string_view identifier,
                                                        std::string_view appID);
};

}  // namespace measurement
