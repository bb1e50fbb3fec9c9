// VDUKeychainUtils: the keychain calls (os/keychain/keychain.h) with one convention for a missing item: it
// is not an error. Reading it gives nothing, deleting it succeeds.
//
//   std::optional<os::Error> error;
//   std::optional<os::Data> data = VDUKeychainUtils::getItemWithQuery(query, &error);
//   if (error) report(*error); else if (!data) useDefaults();
//
// `error`, when given, is reset on success and set on failure to an error of
// kVDUKeychainErrorDomain, code 0, whose failure reason ("NSLocalizedFailureReason") names the
// failed call and its status ("SecItemAdd (-25299)").
#pragma once

#include <optional>
#include <string_view>

#include "os/keychain/keychain.h"
#include "os/value/error.h"
#include "os/value/value.h"

inline constexpr const char* kVDUKeychainErrorDomain = "com.vdu.keychain.ErrorDomain";

class VDUKeychainUtils {
 public:
  // The data of the matching item; nullopt when there is none (no error) or on failure.
  static std::optional<os::Data> getItemWithQuery(const os::keychain::Query& query,
                                                  std::optional<os::Error>* error);

  // Stores `item` under the query: updates the item when it exists, else adds it with the
  // accessibility "after first unlock, this device only" (an item that another process added
  // meanwhile is updated instead). False on failure.
  static bool setItem(const os::Data& item, const os::keychain::Query& query,
                      std::optional<os::Error>* error);

  // Deletes the matching items; true also when there are none.
  static bool removeItemWithQuery(const os::keychain::Query& query,
                                  std::optional<os::Error>* error);

  static os::Error keychainErrorWithFunction(std::string_view function,
                                             os::keychain::OSStatus status);
};
