// The records that the installations store keeps in the keychain: one installation and its auth
// token, each archived with its storage version.
//
//   std::optional<os::Data> bytes = storedItem.archivedData(&error);
//   std::optional<RVOInstallationsStoredItem> back =
//       RVOInstallationsStoredItem::unarchivedItem(*bytes, &error);
//
// The archive is a VDUSecureCoding archive of a dictionary whose keys are the field names below
// ("riveravoInstallationID", "refreshToken", "authToken", "registrationStatus",
// "IIDDefaultToken", "storageVersion"; the token: "status", "token", "expirationDate",
// "storageVersion"); an absent field is left out. A record written by a newer version (storage
// version above 1) is read with a warning (I-RIS003000, I-RIS004000) and its known fields kept.
// Plain values; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "os/value/error.h"
#include "os/value/value.h"

enum RVOInstallationsAuthTokenStatus : int64_t {
  kRVOInstallationsAuthTokenStatusUnknown = 0,
  kRVOInstallationsAuthTokenStatusTokenOK = 1,
};

struct RVOInstallationsStoredAuthToken {
  static constexpr int64_t kStorageVersion = 1;

  int64_t status = kRVOInstallationsAuthTokenStatusUnknown;
  std::optional<std::string> token;
  // Seconds since 1970.
  std::optional<double> expirationDate;
  int64_t storageVersion = kStorageVersion;

  os::Value encoded() const;
  // The token in `value` (a dictionary as encoded() writes it); missing fields stay empty.
  static RVOInstallationsStoredAuthToken decoded(const os::Value& value);

  friend bool operator==(const RVOInstallationsStoredAuthToken&,
                         const RVOInstallationsStoredAuthToken&) = default;
};

struct RVOInstallationsStoredItem {
  static constexpr int64_t kStorageVersion = 1;

  std::optional<std::string> riveravoInstallationID;
  std::optional<std::string> refreshToken;
  std::optional<RVOInstallationsStoredAuthToken> authToken;
  int64_t registrationStatus = 0;
  std::optional<std::string> IIDDefaultToken;
  int64_t storageVersion = kStorageVersion;

  // The archive of the item, written with storage version 1; nullopt (with the archiver's error)
  // when it cannot be made.
  std::optional<os::Data> archivedData(os::Error* error) const;
  // The item in `data`; nullopt with the unarchiver's error when `data` is not such an archive.
  static std::optional<RVOInstallationsStoredItem> unarchivedItem(const os::Data& data,
                                                                  os::Error* error);

  friend bool operator==(const RVOInstallationsStoredItem&,
                         const RVOInstallationsStoredItem&) = default;
};
