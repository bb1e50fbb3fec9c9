#include "installer/app/temp_helper.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <initializer_list>
#include <vector>

#include "installer/app/software_info.h"
#include "os/bundle/bundle.h"
#include "os/bundle/languages.h"
#include "os/crypto/crypto.h"
#include "os/files/files.h"
#include "os/files/paths.h"
#include "os/process/process.h"
#include "support/data_extensions.h"
#include "support/string_extensions.h"

namespace {

constexpr size_t kDigestChunkSize = 1 << 20;

std::string createdFolder(const std::filesystem::path& folder) {
  os::files::createDirectory(folder, /*withIntermediates=*/true, nullptr);
  return folder.string();
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool isOneOf(int32_t product, std::initializer_list<int32_t> products) {
  return std::find(products.begin(), products.end(), product) != products.end();
}

}  // namespace

std::string TempHelper::getAppSupportPath() { return ExtendTool::getAppSupportPath(); }

std::string TempHelper::getAppTempPath() {
  return createdFolder(std::filesystem::path(getAppSupportPath()) / "tmp");
}

std::string TempHelper::getAppCachePath() {
  return createdFolder(std::filesystem::path(getAppSupportPath()) / "Cache");
}

std::string TempHelper::getApplicationPath() { return os::paths::userApplications().string(); }

bool TempHelper::stringIsNilOrEmpty(std::optional<std::string_view> text) {
  return ExtendTool::isNilOrEmpty(text);
}

std::string TempHelper::userLanguage() {
  std::vector<std::string> languages = os::preferredLanguages();
  return languages.empty() ? "en" : languages.front();
}

std::string TempHelper::currentSelectionLanguage() {
  static constexpr std::array<std::string_view, 12> kReported = {
      "en", "ja", "fr", "de", "es", "ar", "it", "pt", "ko", "zh", "nl", "tr"};
  std::string language = userLanguage();
  for (std::string_view prefix : kReported) {
    if (startsWith(language, prefix)) return language;
  }
  return "en";
}

std::string TempHelper::localizationLanguage(std::string_view language, int32_t product) {
  if (isOneOf(product, {14, 15})) return startsWith(language, "ja") ? "ja" : "en";
  for (std::string_view everyone : {"en", "ja", "de", "fr", "es", "ar"}) {
    if (startsWith(language, everyone)) return std::string(everyone);
  }
  // A language whose product condition fails matches no later test either, so it ends as "en".
  if (isOneOf(product, {1, 3, 8, 9, 13})) {
    for (std::string_view wide : {"it", "pt"}) {
      if (startsWith(language, wide)) return std::string(wide);
    }
  }
  if (isOneOf(product, {1, 8, 13})) {
    for (std::string_view widest : {"zh-Hant", "ko", "nl", "tr"}) {
      if (startsWith(language, widest)) return std::string(widest);
    }
  }
  return "en";
}

std::string TempHelper::getDefaultsLocalizableLanguages(std::string_view key) {
  os::Bundle bundle = os::Bundle::main();
  std::string language =
      localizationLanguage(userLanguage(), TSRSoftWareInfo::singleton().installProduct());
  if (language != "en" && !bundle.pathForResource(language, "lproj")) language = "en";
  return bundle.localizedStringForLanguage(key, language);
}

std::string TempHelper::md5ForFile(const std::string& path) {
  os::crypto::Digest digest(os::crypto::Algorithm::MD5);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    std::vector<uint8_t> chunk(kDigestChunkSize);
    while (true) {
      ssize_t count = ::read(fd, chunk.data(), chunk.size());
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      digest.update(os::crypto::Bytes(chunk.data(), static_cast<size_t>(count)));
    }
    ::close(fd);
  }
  std::string hex = ExtendTool::dataToHex(digest.finish());
  std::transform(hex.begin(), hex.end(), hex.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return hex;
}

std::string TempHelper::getSystemLastNumberString() {
  const std::string version = os::process::operatingSystemVersionString();
  const size_t first = version.find('.');
  if (first == std::string::npos) return "0";
  const size_t second = version.find('.', first + 1);
  return version.substr(first + 1,
                        second == std::string::npos ? std::string::npos : second - first - 1);
}

bool TempHelper::isVersionMajorEqual(std::string_view version, std::string_view equalVersion) {
  if (version.empty()) return false;
  return ExtendTool::isGreaterThanOrEqual(equalVersion, version);
}
