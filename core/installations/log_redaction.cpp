#include "core/installations/log_redaction.h"

#include <array>

#include "os/value/json.h"

namespace {

constexpr std::array<const char*, 2> kCredentialFields = {"refreshToken", "token"};

bool isCredentialHeader(std::string_view name) {
  // HTTPHeaders compares names as HTTP does, without regard to case.
  static const os::HTTPHeaders credentials{
      {"X-Vedo-Api-Key", ""}, {"Authorization", ""}, {"x-vedo-ris-ios-iid-migration-auth", ""}};
  return credentials.contains(name);
}

void redactFields(os::Value& value) {
  if (os::Dictionary* dictionary = value.asDictionary()) {
    for (auto& [key, field] : *dictionary) {
      bool credential = false;
      for (const char* name : kCredentialFields) credential = credential || key == name;
      if (credential && field.isString()) {
        field = RVOInstallationsRedactedSecret(*field.asString());
      } else {
        redactFields(field);
      }
    }
  } else if (os::Array* array = value.asArray()) {
    for (os::Value& element : *array) redactFields(element);
  }
}

}  // namespace

std::string RVOInstallationsRedactedSecret(std::string_view secret) {
  const std::string length = "(" + std::to_string(secret.size()) + ")";
  if (secret.size() < 12) return "…" + length;
  return std::string(secret.substr(0, 4)) + "…" + length;
}

os::Value RVOInstallationsRedactedHeaders(const os::HTTPHeaders& headers) {
  os::Dictionary fields;
  for (const auto& [name, value] : headers.fields()) {
    fields[name] = isCredentialHeader(name) ? RVOInstallationsRedactedSecret(value) : value;
  }
  return fields;
}

std::string RVOInstallationsRedactedBody(const os::Data& body) {
  const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
  std::optional<os::Value> object = os::json::parse(text);
  if (!object) return std::string(text);
  redactFields(*object);
  os::json::WriteOptions options;
  options.escapeSlashes = false;
  return os::json::serialize(*object, options).value_or(std::string(text));
}
