#include "core/installations/stored_item.h"

#include "core/logger.h"
#include "platform/utilities/secure_coding.h"

namespace {

using Type = os::Value::Type;

void setIfPresent(os::Dictionary& dictionary, const char* key,
                  const std::optional<std::string>& value) {
  if (value) dictionary[key] = *value;
}

std::optional<std::string> stringFor(const os::Value& value, const char* key) {
  const std::string* text = value[key].asString();
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

}  // namespace

os::Value RVOInstallationsStoredAuthToken::encoded() const {
  os::Dictionary dictionary{{"status", status}, {"storageVersion", kStorageVersion}};
  setIfPresent(dictionary, "token", token);
  if (expirationDate) dictionary["expirationDate"] = os::Date{*expirationDate};
  return dictionary;
}

RVOInstallationsStoredAuthToken RVOInstallationsStoredAuthToken::decoded(const os::Value& value) {
  RVOInstallationsStoredAuthToken authToken;
  authToken.storageVersion = value["storageVersion"].integerValue();
  if (authToken.storageVersion > kStorageVersion) {
    RVOLogAtWarning(kRVOLoggerInstallations, "I-RIS004000",
                    "RVOInstallationsStoredAuthToken was encoded by a newer coder version %ld. "
                    "Current coder version is %ld. Some auth token data may be lost.",
                    authToken.storageVersion, kStorageVersion);
  }
  authToken.status = value["status"].integerValue();
  authToken.token = stringFor(value, "token");
  if (const os::Date* date = value["expirationDate"].asDate()) {
    authToken.expirationDate = date->secondsSince1970;
  }
  return authToken;
}

std::optional<os::Data> RVOInstallationsStoredItem::archivedData(os::Error* error) const {
  os::Dictionary dictionary{{"registrationStatus", registrationStatus},
                            {"storageVersion", kStorageVersion}};
  setIfPresent(dictionary, "riveravoInstallationID", riveravoInstallationID);
  setIfPresent(dictionary, "refreshToken", refreshToken);
  setIfPresent(dictionary, "IIDDefaultToken", IIDDefaultToken);
  if (authToken) dictionary["authToken"] = authToken->encoded();
  return VDUSecureCoding::archivedDataWithRootObject(dictionary, error);
}

std::optional<RVOInstallationsStoredItem> RVOInstallationsStoredItem::unarchivedItem(
    const os::Data& data, os::Error* error) {
  std::optional<os::Value> root = VDUSecureCoding::unarchivedObjectOfClasses(
      {Type::Dictionary, Type::String, Type::Integer, Type::Date}, data, error);
  if (!root) return std::nullopt;
  if (!root->isDictionary()) {
    os::fail(error, os::Error(os::kCocoaErrorDomain, 4864,
                              "The stored installation is not a dictionary."));
    return std::nullopt;
  }
  RVOInstallationsStoredItem item;
  item.storageVersion = (*root)["storageVersion"].integerValue();
  if (item.storageVersion > kStorageVersion) {
    RVOLogAtWarning(kRVOLoggerInstallations, "I-RIS003000",
                    "RVOInstallationsStoredItem was encoded by a newer coder version %ld. Current "
                    "coder version is %ld. Some installation data may be lost.",
                    item.storageVersion, kStorageVersion);
  }
  item.riveravoInstallationID = stringFor(*root, "riveravoInstallationID");
  item.refreshToken = stringFor(*root, "refreshToken");
  if ((*root)["authToken"].isDictionary()) {
    item.authToken = RVOInstallationsStoredAuthToken::decoded((*root)["authToken"]);
  }
  item.registrationStatus = (*root)["registrationStatus"].integerValue();
  item.IIDDefaultToken = stringFor(*root, "IIDDefaultToken");
  return item;
}
