#include "measurement/privacy/info_plist_file_util.h"

#include "core/bundle_util.h"
#include "core/options.h"
#include "os/files/files.h"
#include "os/value/plist.h"

namespace measurement {

std::optional<std::string> InfoPlistFileUtil::vedodoServiceInfoPlistPath() {
  return RVOBundleUtil::optionsDictionaryPathWithResourceName(
      kRVOOptionsFileName, kRVOOptionsFileType, RVOBundleUtil::relevantBundles());
}

std::optional<os::Dictionary> InfoPlistFileUtil::dictionaryFromVedodoServiceInfoPlist() {
  std::optional<std::string> path = vedodoServiceInfoPlistPath();
  if (!path) return std::nullopt;
  std::optional<std::string> bytes = os::files::readFile(*path, nullptr);
  if (!bytes) return std::nullopt;
  std::optional<os::Value> contents = os::plist::parse(*bytes);
  if (!contents || !contents->isDictionary()) return std::nullopt;
  return *contents->asDictionary();
}

}  // namespace measurement
