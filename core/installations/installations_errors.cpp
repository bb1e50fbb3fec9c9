#include "core/installations/installations_errors.h"

#include "os/text/format.h"

namespace {

constexpr const char* kHTTPResponseKey = "HTTPResponse";
constexpr const char* kDataKey = "data";

os::Value errorValue(const os::Error& error) {
  return os::Dictionary{
      {"domain", error.domain}, {"code", error.code}, {"description", error.description}};
}

std::string utf8Text(const os::Data& data) { return std::string(data.begin(), data.end()); }

}  // namespace

os::Error RVOInstallationsHTTPError::errorWithHTTPResponse(const os::HTTPURLResponse& response,
                                                           const os::Data& data) {
  const std::string URL = response.url().absoluteString();
  std::string reason = os::formatPrintf(
      "The server responded with an error: \n - URL: %@ \n - HTTP status code: %ld \n - Response "
      "body: %@",
      {URL, response.statusCode(), utf8Text(data)});
  os::Dictionary userInfo{
      {kRVOInstallationsFailureReasonKey, reason},
      {kHTTPResponseKey, os::Dictionary{{"URL", URL},
                                        {"statusCode", response.statusCode()},
                                        {"headers", response.allHeaderFields().toValue()}}},
      {kDataKey, data}};
  return os::Error(kRVOInstallationsErrorDomain, errorCodeWithHTTPCode(response.statusCode()),
                   reason, std::move(userInfo));
}

std::optional<RVOInstallationsHTTPError> RVOInstallationsHTTPError::fromError(
    const os::Error& error) {
  if (error.domain != kRVOInstallationsErrorDomain) return std::nullopt;
  const os::Value& response = error.userInfo[kHTTPResponseKey];
  const std::string* URL = response["URL"].asString();
  if (!URL || !response["statusCode"].isInteger()) return std::nullopt;
  const os::Data* data = error.userInfo[kDataKey].asData();
  return RVOInstallationsHTTPError{*URL, response["statusCode"].integerValue(),
                                   data ? *data : os::Data{}};
}

int64_t RVOInstallationsHTTPError::errorCodeWithHTTPCode(int64_t) {
  return kRVOInstallationsErrorCodeUnknown;
}

os::Error RVOInstallationsErrorUtil::installationsErrorWithCode(
    int64_t code, std::optional<std::string> failureReason,
    const std::optional<os::Error>& underlying) {
  if (!failureReason) {
    failureReason = os::formatObjects("Underlying error: %@",
                                      {underlying ? underlying->description : os::Value()});
  }
  os::Dictionary userInfo{{kRVOInstallationsFailureReasonKey, *failureReason}};
  if (underlying) userInfo[kRVOInstallationsUnderlyingErrorKey] = errorValue(*underlying);
  return os::Error(kRVOInstallationsErrorDomain, code, *failureReason, std::move(userInfo));
}

std::optional<os::Error> RVOInstallationsErrorUtil::underlyingError(const os::Error& error) {
  const os::Value& value = error.userInfo[kRVOInstallationsUnderlyingErrorKey];
  const std::string* domain = value["domain"].asString();
  if (!domain) return std::nullopt;
  const std::string* description = value["description"].asString();
  return os::Error(*domain, value["code"].integerValue(), description ? *description : "");
}

os::Error RVOInstallationsErrorUtil::keyedArchiverErrorWithException(
    const os::Exception& exception) {
  return installationsErrorWithCode(
      kRVOInstallationsErrorCodeUnknown,
      os::formatObjects("NSKeyedArchiver exception with name: %@, reason: %@, userInfo: %@",
                        {exception.name(), exception.reason(), exception.userInfo()}),
      std::nullopt);
}

os::Error RVOInstallationsErrorUtil::keyedArchiverErrorWithError(const os::Error& error) {
  return installationsErrorWithCode(kRVOInstallationsErrorCodeUnknown, "NSKeyedArchiver error.",
                                    error);
}

os::Error RVOInstallationsErrorUtil::keychainErrorWithFunction(std::string_view function,
                                                               int64_t status) {
  return installationsErrorWithCode(kRVOInstallationsErrorCodeKeychain,
                                    os::formatPrintf("%@ (%li)", {function, status}), std::nullopt);
}

os::Error RVOInstallationsErrorUtil::installationItemNotFoundForAppID(std::string_view appID,
                                                                      std::string_view appName) {
  return installationsErrorWithCode(
      kRVOInstallationsErrorCodeUnknown,
      os::formatObjects("Installation for appID %@ appName %@ not found", {appID, appName}),
      std::nullopt);
}

os::Error RVOInstallationsErrorUtil::corruptedIIDTokenData() {
  return installationsErrorWithCode(
      kRVOInstallationsErrorCodeUnknown,
      "IID token data stored in Keychain is corrupted or in an incompatible format.", std::nullopt);
}

os::Error RVOInstallationsErrorUtil::JSONSerializationError(const std::optional<os::Error>& error) {
  return installationsErrorWithCode(kRVOInstallationsErrorCodeUnknown,
                                    "Failed to serialize JSON data.", error);
}

os::Error RVOInstallationsErrorUtil::FIDRegistrationErrorWithResponseMissingField(
    std::string_view field) {
  return installationsErrorWithCode(
      kRVOInstallationsErrorCodeUnknown,
      os::formatObjects("A required response field with name %@ is missing", {field}),
      std::nullopt);
}

os::Error RVOInstallationsErrorUtil::networkErrorWithError(const os::Error& error) {
  return installationsErrorWithCode(kRVOInstallationsErrorCodeServerUnreachable,
                                    "Network connection error.", error);
}

os::Error RVOInstallationsErrorUtil::backoffIntervalWaitError() {
  return installationsErrorWithCode(kRVOInstallationsErrorCodeServerUnreachable,
                                    "Too many server requests.", std::nullopt);
}

os::Error RVOInstallationsErrorUtil::publicDomainErrorWithError(const os::Error& error) {
  if (error.domain == kRVOInstallationsErrorDomain) return error;
  return installationsErrorWithCode(kRVOInstallationsErrorCodeUnknown, std::nullopt, error);
}

bool RVOInstallationsErrorUtil::isAPIError(const os::Error& error, int64_t HTTPCode) {
  std::optional<RVOInstallationsHTTPError> HTTPError = RVOInstallationsHTTPError::fromError(error);
  return HTTPError && HTTPError->statusCode == HTTPCode;
}
