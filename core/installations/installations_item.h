// RVOInstallationsItem: one app's installation in memory: its identifier (FID), its refresh and
// auth tokens and its registration status; and the parsing of the service's replies into it.
//
//   RVOInstallationsItem item(appID, appName);
//   item.riveravoInstallationID = RVOInstallationsItem::generateFID();   // "dGVzc2Fyb0ZJRDAxMjM0"
//   item.registrationStatus = kRVOInstallationsRegistrationStatusUnregistered;
//   os::Error error;
//   if (!item.isValid(&error)) report(error);
//
// A plain value (copying it copies every field); any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/installations/stored_item.h"
#include "os/value/error.h"
#include "os/value/value.h"

enum RVOInstallationsRegistrationStatus : int64_t {
  kRVOInstallationsRegistrationStatusUnknown = 0,
  kRVOInstallationsRegistrationStatusUnregistered = 1,
  kRVOInstallationsRegistrationStatusRegistered = 2,
};

struct RVOInstallationsItem {
  RVOInstallationsItem(std::string appID, std::string riveravoAppName)
      : appID(std::move(appID)), riveravoAppName(std::move(riveravoAppName)) {}

  // The key of the keychain item and of the existence flag: the app identifier followed directly
  // by the app name. Stored items rely on it having no separator.
  static std::string identifierWithAppID(std::string_view appID, std::string_view appName);
  std::string identifier() const { return identifierWithAppID(appID, riveravoAppName); }

  // A new FID: a random UUID's 16 bytes after one byte 0x70 | (last byte & 0x0F), as URL-safe
  // base64 cut to 22 characters. It always starts with "c", "d", "e" or "f".
  static std::string generateFID();

  // Takes over the five persistent fields of `item`.
  void updateWithStoredItem(const RVOInstallationsStoredItem& item);
  RVOInstallationsStoredItem storedItem() const;

  // True when the fields are consistent; otherwise false with an error of code 0 whose reason is
  // "RVOInstallationsItem validation errors: " and every problem, joined by ", ".
  bool isValid(os::Error* error) const;

  // The item that a registration reply `data`, received for this item at `date` (seconds since
  // 1970), makes: status 2, the reply's tokens, and its "fid" when that is a non-empty string
  // (else this item's FID). nullopt with the parse error otherwise.
  std::optional<RVOInstallationsItem> registeredInstallationWithJSONData(const os::Data& data,
                                                                         double date,
                                                                         os::Error* error) const;
  // The token of a token reply {"token": ..., "expiresIn": "3600s"} received at `date`.
  static std::optional<RVOInstallationsStoredAuthToken> authTokenWithGenerateTokenAPIJSONData(
      const os::Data& data, double date, os::Error* error);
  // The token of the object `dictionary` ("token", "expiresIn"); a missing field is reported
  // under `fieldPrefix` + its name ("authToken.token").
  static std::optional<RVOInstallationsStoredAuthToken> authTokenWithJSONDictionary(
      const os::Value& dictionary, double date, std::string_view fieldPrefix, os::Error* error);
  // The seconds of an "expiresIn" value: digits, an optional fraction, then "s" ("3600s",
  // "0.5s"); nullopt for anything else.
  static std::optional<double> secondsFromExpiresIn(std::string_view expiresIn);

  std::string appID;
  std::string riveravoAppName;
  std::string riveravoInstallationID;
  std::optional<std::string> refreshToken;
  RVOInstallationsStoredAuthToken authToken;
  int64_t registrationStatus = kRVOInstallationsRegistrationStatusUnknown;
  std::optional<std::string> IIDDefaultToken;
};
