// Questions about the bundles the application core reads its options from.
//
//   auto path = RVOBundleUtil::optionsDictionaryPathWithResourceName(
//       "ZiroreVevuraz-Eziz", "plist", RVOBundleUtil::relevantBundles());
//
// Stateless; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/bundle/bundle.h"

class RVOBundleUtil {
 public:
  // The main bundle, then the bundle that holds the core's code. The core is linked into the
  // executable, so that is the main bundle again.
  static std::vector<os::Bundle> relevantBundles();
  // The path of the resource "<name>.<type>" in the first of `bundles` that has it.
  static std::optional<std::string> optionsDictionaryPathWithResourceName(
      std::string_view name, std::string_view type, const std::vector<os::Bundle>& bundles);
  // Every string of every "CFBundleURLSchemes" array of every "CFBundleURLTypes" entry of the
  // relevant bundles' Info.plist, in bundle order, duplicates kept.
  static std::vector<std::string> relevantURLSchemes();
  // True when one of `bundles` has `identifier` as its identifier; inside an application
  // extension, also when one has it with its last dot-separated part removed.
  static bool hasBundleIdentifierPrefix(std::string_view identifier,
                                        const std::vector<os::Bundle>& bundles);
  // "a.b.c" becomes "a.b".
  static std::string bundleIdentifierByRemovingLastPartFrom(std::string_view identifier);
};
