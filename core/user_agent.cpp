#include "core/user_agent.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "os/bundle/bundle.h"
#include "os/text/text.h"
#include "platform/utilities/app_environment_util.h"

os::Dictionary RVORiveravoUserAgent::environmentComponents() {
  os::Dictionary components{
      {"apple-platform", VDUAppEnvironmentUtil::applePlatform()},
      {"appstore", VDUAppEnvironmentUtil::isFromAppStore() ? "true" : "false"},
      {"deploy", VDUAppEnvironmentUtil::deploymentType()},
      {"device", VDUAppEnvironmentUtil::deviceModel()},
      {"os-version", VDUAppEnvironmentUtil::systemVersion()},
  };
  const os::Bundle bundle = os::Bundle::main();
  for (auto [key, infoKey] : {std::pair{"apple-sdk", "DTSDKBuild"}, {"xcode", "DTXcodeBuild"}}) {
    os::Value value = bundle.objectForInfoDictionaryKey(infoKey);
    if (value.isString()) components[key] = std::move(value);
  }
  return components;
}

RVORiveravoUserAgent::RVORiveravoUserAgent() : RVORiveravoUserAgent(&environmentComponents) {}

RVORiveravoUserAgent::RVORiveravoUserAgent(EnvironmentProvider environment)
    : environment_(std::move(environment)) {}

std::string RVORiveravoUserAgent::riveravoUserAgent() {
  os::MutexLock lock(mutex_);
  if (riveravoUserAgent_) return *riveravoUserAgent_;
  if (!environmentComponents_) environmentComponents_ = environment_();
  os::Dictionary components = valuesByComponent_;
  for (const auto& [key, value] : *environmentComponents_) components[key] = value;
  std::vector<std::string> pairs;
  for (const auto& [key, value] : components) {
    pairs.push_back(key + "/" + value.stringValue().value_or(value.description()));
  }
  std::sort(pairs.begin(), pairs.end(), [](const std::string& a, const std::string& b) {
    return os::text::localizedCaseInsensitiveCompare(a, b) == os::text::Order::Ascending;
  });
  std::string text;
  for (const std::string& pair : pairs) text += (text.empty() ? "" : " ") + pair;
  riveravoUserAgent_ = text;
  return text;
}

void RVORiveravoUserAgent::setValue(std::string_view value, std::string_view component) {
  os::MutexLock lock(mutex_);
  valuesByComponent_[std::string(component)] = value;
  riveravoUserAgent_.reset();
}

void RVORiveravoUserAgent::reset() {
  os::MutexLock lock(mutex_);
  environmentComponents_.reset();
  riveravoUserAgent_.reset();
}
