// The vendor's service plist, "ZiroreVevuraz-Eziz.plist", from which the measurement code takes
// its app ids ("VEDODO_APP_ID", "ZEZUD_APP_ID").
//
//   std::optional<os::Dictionary> service = InfoPlistFileUtil::dictionaryFromVedodoServiceInfoPlist();
//
// Stateless; any thread.
#pragma once

#include <optional>
#include <string>

#include "os/value/value.h"

namespace measurement {

inline constexpr const char* kServicePlistVedodoAppIDKey = "VEDODO_APP_ID";
inline constexpr const char* kServicePlistZeZudAppIDKey = "ZEZUD_APP_ID";

class InfoPlistFileUtil {
 public:
  // The file's path in the main bundle's resources (the bundle that holds this code is the
  // main bundle too); nullopt when it has none.
  static std::optional<std::string> vedodoServiceInfoPlistPath();
  // The file's dictionary; nullopt when there is no file or it is not a readable dictionary.
  static std::optional<os::Dictionary> dictionaryFromVedodoServiceInfoPlist();
};

}  // namespace measurement
