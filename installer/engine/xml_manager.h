// The product's configuration on the maker's resource server: which zip address the maker names
// for the user's language. The progress screen fetches it before the first download of a product
// that has a configuration, and prefers a non-empty address from it to the built-in one:
//
//   XMLManager& configuration = XMLManager::sharedManager();
//   if (configuration.zipDownloadPath().value_or("").empty()) {
//     configuration.downloadByXMLPath(*product.configurationAddress(), [] {  // on the main queue
//       startDownload(XMLManager::sharedManager().zipDownloadPath());
//     });
//   }
//
// The configuration is a property-list dictionary keyed by language code ("en", "jp", "br", ...;
// see configurationLanguageKey), each value a dictionary whose "mac" string is the address.
// Values of any other type count as absent.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "os/sync/mutex.h"

class XMLManager {
 public:
  // Seconds without a byte before the configuration request fails.
  static constexpr double kRequestTimeout = 120;
  // The longest configuration taken; a real one is a few hundred bytes.
  static constexpr int64_t kMaximumConfigurationBytes = 1 << 20;

  // The shared instance, created on first use; never released.
  static XMLManager& sharedManager();
  // Forgets the address (tests).
  static void resetForTesting();

  XMLManager(const XMLManager&) = delete;
  XMLManager& operator=(const XMLManager&) = delete;

  // The configured zip address for the user's language: nullopt before any fetch and after
  // fetches whose configuration had no address for the language, "" after a failed fetch.
  std::optional<std::string> zipDownloadPath() const;

  // Downloads the configuration at `address` into the installer's cache folder (replacing a
  // file of the same name), reads it with readConfigurationFile on a global queue, then runs
  // `callBack` on the main queue. When the download fails (network, a status outside 200-299,
  // a redirect from https to another scheme, a bad address) zipDownloadPath becomes "" and
  // `callBack` still runs, once. A body longer than kMaximumConfigurationBytes is dropped as it
  // passes the limit, no file kept, and counts as an unreadable configuration: zipDownloadPath
  // stays as it was and `callBack` runs. Returns at once; any thread.
  void downloadByXMLPath(const std::string& address, std::function<void()> callBack);

  // Reads the downloaded configuration at `path`: when its entry for the user's language holds a
  // "mac" string, that becomes zipDownloadPath; otherwise (an unreadable file, a missing or
  // mistyped entry) zipDownloadPath stays as it was.
  void readConfigurationFile(const std::string& path);

  // The configuration key for a user of `language`: by prefix, "en" "en", "ja" "jp", "fr" "fr",
  // "de" "de", "es" "es", "ar" "ar", "it" "it", "pt" "br", "nl" "nl", "tr" "tr", "tw" "tw",
  // "kr" "kr", anything else "en".
  static std::string configurationLanguageKey(std::string_view language);

 private:
  XMLManager() = default;
  void setZipDownloadPath(std::optional<std::string> path);

  mutable os::Mutex mutex_;
  std::optional<std::string> zipDownloadPath_ OS_GUARDED_BY(mutex_);
};
