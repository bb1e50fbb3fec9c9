#include "core/installations/installations_item.h"

#include <cmath>
#include <cstdlib>
#include <vector>

#include "core/heartbeats/heartbeats_payload.h"
#include "core/installations/installations_errors.h"
#include "os/crypto/crypto.h"
#include "os/value/json.h"

namespace {

// The 16 bytes of a UUID string such as "1B4E28BA-2FA1-41D2-883F-0016D3CCA427".
std::vector<uint8_t> uuidBytes(const std::string& uuid) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < uuid.size(); ++i) {
    if (uuid[i] == '-') continue;
    bytes.push_back(static_cast<uint8_t>(std::stoi(uuid.substr(i, 2), nullptr, 16)));
    ++i;
  }
  return bytes;
}

const std::string* nonEmptyString(const os::Value& value) {
  const std::string* text = value.asString();
  return text && !text->empty() ? text : nullptr;
}

bool missingField(os::Error* error, std::string_view field) {
  return os::fail(error,
                  RVOInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField(field));
}

std::optional<os::Value> JSONObject(const os::Data& data, os::Error* error) {
  os::Error parseError;
  std::optional<os::Value> object = os::json::parse(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), &parseError);
  if (object && object->isDictionary()) return object;
  os::fail(error, RVOInstallationsErrorUtil::JSONSerializationError(
                      object ? std::nullopt : std::optional<os::Error>(parseError)));
  return std::nullopt;
}

}  // namespace

std::string RVOInstallationsItem::identifierWithAppID(std::string_view appID,
                                                      std::string_view appName) {
  return std::string(appID) + std::string(appName);
}

std::string RVOInstallationsItem::generateFID() {
  std::vector<uint8_t> uuid = uuidBytes(os::crypto::uuidString());
  std::vector<uint8_t> bytes;
  bytes.reserve(17);
  bytes.push_back(static_cast<uint8_t>(0x70 | (uuid.back() & 0x0F)));
  bytes.insert(bytes.end(), uuid.begin(), uuid.end());
  return heartbeats::base64UrlWithoutPadding(bytes.data(), bytes.size()).substr(0, 22);
}

void RVOInstallationsItem::updateWithStoredItem(const RVOInstallationsStoredItem& item) {
  riveravoInstallationID = item.riveravoInstallationID.value_or("");
  refreshToken = item.refreshToken;
  authToken = item.authToken.value_or(RVOInstallationsStoredAuthToken{});
  registrationStatus = item.registrationStatus;
  IIDDefaultToken = item.IIDDefaultToken;
}

RVOInstallationsStoredItem RVOInstallationsItem::storedItem() const {
  RVOInstallationsStoredItem item;
  item.riveravoInstallationID = riveravoInstallationID;
  item.refreshToken = refreshToken;
  item.authToken = authToken;
  item.registrationStatus = registrationStatus;
  item.IIDDefaultToken = IIDDefaultToken;
  return item;
}

bool RVOInstallationsItem::isValid(os::Error* error) const {
  std::vector<std::string> problems;
  if (appID.empty()) problems.push_back("`appID` must not be empty");
  if (riveravoAppName.empty()) problems.push_back("`riveravoAppName` must not be empty");
  if (riveravoInstallationID.empty()) {
    problems.push_back("`riveravoInstallationID` must not be empty");
  }
  if (registrationStatus == kRVOInstallationsRegistrationStatusUnknown) {
    problems.push_back("invalid `registrationStatus`");
  } else if (registrationStatus == kRVOInstallationsRegistrationStatusRegistered) {
    if (!refreshToken || refreshToken->empty()) {
      problems.push_back("registered installation must have non-empty `refreshToken`");
    }
    if (!authToken.token || authToken.token->empty()) {
      problems.push_back("registered installation must have non-empty `authToken.token`");
    }
    if (!authToken.expirationDate) {
      problems.push_back("registered installation must have non-empty `authToken.expirationDate`");
    }
  }
  if (problems.empty()) return true;
  std::string joined;
  for (const std::string& problem : problems) joined += (joined.empty() ? "" : ", ") + problem;
  return os::fail(error, RVOInstallationsErrorUtil::installationsErrorWithCode(
                             kRVOInstallationsErrorCodeUnknown,
                             "RVOInstallationsItem validation errors: " + joined, std::nullopt));
}

std::optional<double> RVOInstallationsItem::secondsFromExpiresIn(std::string_view expiresIn) {
  // Only "<digits>[.<digits>]s": anything else would make a token that expires at once or
  // never, so it is refused instead.
  if (expiresIn.size() < 2 || expiresIn.back() != 's') return std::nullopt;
  std::string_view number = expiresIn.substr(0, expiresIn.size() - 1);
  size_t point = number.find('.');
  std::string_view whole = number.substr(0, point);
  std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : number.substr(point + 1);
  auto allDigits = [](std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (!allDigits(whole) || (point != std::string_view::npos && !allDigits(fraction))) {
    return std::nullopt;
  }
  double seconds = std::strtod(std::string(number).c_str(), nullptr);
  if (!std::isfinite(seconds)) return std::nullopt;
  return seconds;
}

std::optional<RVOInstallationsStoredAuthToken> RVOInstallationsItem::authTokenWithJSONDictionary(
    const os::Value& dictionary, double date, std::string_view fieldPrefix, os::Error* error) {
  const std::string* token = nonEmptyString(dictionary["token"]);
  if (!token) {
    missingField(error, std::string(fieldPrefix) + "token");
    return std::nullopt;
  }
  const std::string* expiresIn = nonEmptyString(dictionary["expiresIn"]);
  std::optional<double> seconds =
      expiresIn ? secondsFromExpiresIn(*expiresIn) : std::optional<double>();
  if (!seconds) {
    missingField(error, std::string(fieldPrefix) + "expiresIn");
    return std::nullopt;
  }
  RVOInstallationsStoredAuthToken authToken;
  authToken.status = kRVOInstallationsAuthTokenStatusTokenOK;
  authToken.token = *token;
  authToken.expirationDate = date + *seconds;
  return authToken;
}

std::optional<RVOInstallationsStoredAuthToken>
RVOInstallationsItem::authTokenWithGenerateTokenAPIJSONData(const os::Data& data, double date,
                                                            os::Error* error) {
  std::optional<os::Value> object = JSONObject(data, error);
  if (!object) return std::nullopt;
  return authTokenWithJSONDictionary(*object, date, "", error);
}

std::optional<RVOInstallationsItem> RVOInstallationsItem::registeredInstallationWithJSONData(
    const os::Data& data, double date, os::Error* error) const {
  std::optional<os::Value> object = JSONObject(data, error);
  if (!object) return std::nullopt;
  const std::string* refresh = nonEmptyString((*object)["refreshToken"]);
  if (!refresh) {
    missingField(error, "refreshToken");
    return std::nullopt;
  }
  const os::Value& authTokenObject = (*object)["authToken"];
  if (!authTokenObject.isDictionary()) {
    missingField(error, "authToken");
    return std::nullopt;
  }
  std::optional<RVOInstallationsStoredAuthToken> token =
      authTokenWithJSONDictionary(authTokenObject, date, "authToken.", error);
  if (!token) return std::nullopt;

  RVOInstallationsItem registered(appID, riveravoAppName);
  const std::string* fid = nonEmptyString((*object)["fid"]);
  registered.riveravoInstallationID = fid ? *fid : riveravoInstallationID;
  registered.refreshToken = *refresh;
  registered.authToken = *token;
  registered.registrationStatus = kRVOInstallationsRegistrationStatusRegistered;
  return registered;
}
