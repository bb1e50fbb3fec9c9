#include "installer/engine/xml_manager.h"

#include <array>
#include <filesystem>
#include <memory>
#include <utility>

#include "installer/app/temp_helper.h"
#include "installer/engine/download_file_name.h"
#include "net/http_session_manager.h"
#include "net/session_manager.h"
#include "os/dispatch/dispatch.h"
#include "os/files/files.h"
#include "os/log/log.h"
#include "os/net/url.h"
#include "os/net/urlsession.h"
#include "os/sync/mutex.h"
#include "os/value/plist.h"

XMLManager& XMLManager::sharedManager() {
  static XMLManager* const manager = new XMLManager();
  return *manager;
}

void XMLManager::resetForTesting() { sharedManager().setZipDownloadPath(std::nullopt); }

std::optional<std::string> XMLManager::zipDownloadPath() const {
  os::MutexLock lock(mutex_);
  return zipDownloadPath_;
}

void XMLManager::setZipDownloadPath(std::optional<std::string> path) {
  os::MutexLock lock(mutex_);
  zipDownloadPath_ = std::move(path);
}

std::string XMLManager::configurationLanguageKey(std::string_view language) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 12> kKeys = {{
      {"en", "en"},
      {"ja", "jp"},
      {"fr", "fr"},
      {"de", "de"},
      {"es", "es"},
      {"ar", "ar"},
      {"it", "it"},
      {"pt", "br"},
      {"nl", "nl"},
      {"tr", "tr"},
      {"tw", "tw"},
      {"kr", "kr"},
  }};
  for (const auto& [prefix, key] : kKeys) {
    if (language.substr(0, prefix.size()) == prefix) return std::string(key);
  }
  return "en";
}

void XMLManager::downloadByXMLPath(const std::string& address, std::function<void()> callBack) {
  auto failed = [this, callBack] {
    setZipDownloadPath("");
    if (callBack) callBack();
  };
  std::optional<os::URL> url = os::URL::parse(address);
  if (!url) {
    os::DispatchQueue::main()->async(failed);
    return;
  }
  const std::filesystem::path localPath =
      std::filesystem::path(TempHelper::getAppCachePath()) / localDownloadFileName(*url);
  os::files::removeItem(localPath, nullptr);

  auto manager = NKHTTPSessionManager::manager();
  auto task = manager->downloadTaskWithRequest(
      os::URLRequest(*url, kRequestTimeout), [](Progress&) {},
      [localPath](const os::URL&, const NKURLSessionManager::Response&) {
        return std::optional<os::URL>(os::URL::fileURLWithPath(localPath));
      },
      [this, localPath, callBack, failed](const NKURLSessionManager::Response&,
                                          const std::optional<os::URL>&,
                                          const std::optional<os::Error>& error) {
        if (error && error->code == os::kURLErrorDataLengthExceedsMaximum) {
          // Nothing was kept of it: the address stays as after a configuration that cannot
          // be read.
          os::log::console("The configuration at " + localPath.filename().string() +
                           " is too large: " + error->localizedDescription());
          if (callBack) callBack();
          return;
        }
        if (error || !os::files::exists(localPath)) {
          failed();
          return;
        }
        // Reading may take a while for a large file; the window goes on meanwhile.
        os::DispatchQueue::global()->async([this, localPath, callBack] {
          readConfigurationFile(localPath.string());
          if (callBack) os::DispatchQueue::main()->async(callBack);
        });
      });
  if (!task) return;
  task->setCountOfBytesReceivedLimit(kMaximumConfigurationBytes);
  task->resume();
}

void XMLManager::readConfigurationFile(const std::string& path) {
  std::optional<std::string> bytes = os::files::readFile(path, nullptr);
  if (!bytes) return;
  std::optional<os::Value> configuration = os::plist::parse(*bytes);
  if (!configuration) return;
  const os::Value& entry = (*configuration)[configurationLanguageKey(TempHelper::userLanguage())];
  if (const std::string* address = entry["mac"].asString()) setZipDownloadPath(*address);
}
