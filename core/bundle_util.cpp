#include "core/bundle_util.h"

#include "platform/utilities/app_environment_util.h"

std::vector<os::Bundle> RVOBundleUtil::relevantBundles() {
  return {os::Bundle::main(), os::Bundle::main()};
}

std::optional<std::string> RVOBundleUtil::optionsDictionaryPathWithResourceName(
    std::string_view name, std::string_view type, const std::vector<os::Bundle>& bundles) {
  for (const os::Bundle& bundle : bundles) {
    if (std::optional<std::string> path = bundle.pathForResource(name, type)) return path;
  }
  return std::nullopt;
}

std::vector<std::string> RVOBundleUtil::relevantURLSchemes() {
  std::vector<std::string> schemes;
  for (const os::Bundle& bundle : relevantBundles()) {
    const os::Value urlTypes = bundle.objectForInfoDictionaryKey("CFBundleURLTypes");
    for (size_t i = 0; i < urlTypes.count(); ++i) {
      const os::Value& urlSchemes = urlTypes[i]["CFBundleURLSchemes"];
      for (size_t j = 0; j < urlSchemes.count(); ++j) {
        if (const std::string* scheme = urlSchemes[j].asString()) schemes.push_back(*scheme);
      }
    }
  }
  return schemes;
}

bool RVOBundleUtil::hasBundleIdentifierPrefix(std::string_view identifier,
                                              const std::vector<os::Bundle>& bundles) {
  for (const os::Bundle& bundle : bundles) {
    const std::string bundleIdentifier = bundle.bundleIdentifier();
    if (bundleIdentifier == identifier) return true;
    if (VDUAppEnvironmentUtil::isAppExtension() &&
        bundleIdentifierByRemovingLastPartFrom(bundleIdentifier) == identifier) {
      return true;
    }
  }
  return false;
}

std::string RVOBundleUtil::bundleIdentifierByRemovingLastPartFrom(std::string_view identifier) {
  size_t lastDot = identifier.rfind('.');
  if (lastDot == std::string_view::npos) return "";
  return std::string(identifier.substr(0, lastDot));
}
