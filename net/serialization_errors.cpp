#include "net/serialization_errors.h"

#include <utility>

os::Value NKErrorValue(const os::Error& error) {
  os::Dictionary value{{"domain", error.domain}, {"code", error.code}};
  if (!error.description.empty()) value["description"] = error.description;
  if (!error.userInfo.isNull()) value["userInfo"] = error.userInfo;
  return value;
}

std::optional<os::Error> NKErrorFromValue(const os::Value& value) {
  const std::string* domain = value["domain"].asString();
  if (!domain || !value["code"].isInteger()) return std::nullopt;
  const std::string* description = value["description"].asString();
  return os::Error(*domain, value["code"].integerValue(), description ? *description : "",
                   value["userInfo"]);
}

std::optional<os::Error> NKUnderlyingError(const os::Error& error) {
  return NKErrorFromValue(error.userInfo[kNSUnderlyingErrorKey]);
}

std::optional<os::Error> NKErrorWithUnderlyingError(std::optional<os::Error> error,
                                                    std::optional<os::Error> underlying) {
  if (!error) return underlying;
  if (!underlying || NKUnderlyingError(*error)) return error;
  os::Dictionary userInfo;
  if (const os::Dictionary* existing = error->userInfo.asDictionary()) userInfo = *existing;
  userInfo[kNSUnderlyingErrorKey] = NKErrorValue(*underlying);
  error->userInfo = std::move(userInfo);
  return error;
}

bool NKErrorHasCodeInDomain(const os::Error& error, int64_t code, std::string_view domain) {
  if (error.domain == domain && error.code == code) return true;
  std::optional<os::Error> underlying = NKUnderlyingError(error);
  return underlying && NKErrorHasCodeInDomain(*underlying, code, domain);
}
