#include "platform/utilities/app_environment_util.h"

#include <fmt/format.h>
#include <sys/utsname.h>

#include <atomic>
#include <charconv>
#include <fstream>
#include <sstream>

namespace {

// -1: the host's answer; 0 or 1: a test's.
std::atomic<int> gFromAppStoreOverride{-1};

std::optional<std::string> readTrimmed(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::stringstream contents;
  contents << file.rdbuf();
  std::string text = contents.str();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return std::nullopt;
  return text;
}

std::string unameMachine() {
  utsname names{};
  return uname(&names) == 0 ? names.machine : "";
}

std::string unameRelease() {
  utsname names{};
  return uname(&names) == 0 ? names.release : "";
}

}  // namespace

namespace vdu_environment_internal {

std::optional<std::string> versionFromText(std::string_view text) {
  long parts[3] = {0, 0, 0};
  size_t at = 0;
  for (int index = 0; index < 3; ++index) {
    long value = 0;
    auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
    if (error != std::errc()) {
      if (index == 0) return std::nullopt;
      break;
    }
    parts[index] = value;
    at = static_cast<size_t>(end - text.data());
    if (at >= text.size() || text[at] != '.') break;
    ++at;
  }
  std::string version = fmt::format("{}.{}", parts[0], parts[1]);
  if (parts[2] != 0) version += fmt::format(".{}", parts[2]);
  return version;
}

std::optional<std::string> versionIdFromOSRelease(std::string_view osRelease) {
  constexpr std::string_view kKey = "VERSION_ID=";
  size_t lineStart = 0;
  while (lineStart < osRelease.size()) {
    size_t lineEnd = osRelease.find('\n', lineStart);
    if (lineEnd == osRelease.npos) lineEnd = osRelease.size();
    std::string_view line = osRelease.substr(lineStart, lineEnd - lineStart);
    if (line.substr(0, kKey.size()) == kKey) {
      std::string_view value = line.substr(kKey.size());
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return std::string(value);
    }
    lineStart = lineEnd + 1;
  }
  return std::nullopt;
}

}  // namespace vdu_environment_internal

bool VDUAppEnvironmentUtil::isFromAppStore() { return gFromAppStoreOverride.load() == 1; }

void VDUAppEnvironmentUtil::setFromAppStoreForTesting(std::optional<bool> fromAppStore) {
  gFromAppStoreOverride.store(fromAppStore ? (*fromAppStore ? 1 : 0) : -1);
}

std::optional<std::string> VDUAppEnvironmentUtil::getSysctlEntry(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.back() == '.' ||
      name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-") !=
          name.npos ||
      name.find("..") != name.npos) {
    return std::nullopt;
  }
  if (name == "hw.model") return readTrimmed("/sys/class/dmi/id/product_name");
  std::string path = "/proc/sys/" + std::string(name);
  for (char& c : path) {
    if (c == '.') c = '/';
  }
  return readTrimmed(path);
}

std::string VDUAppEnvironmentUtil::deviceModel() {
  static const std::string model = [] {
    std::optional<std::string> entry = getSysctlEntry("hw.model");
    return entry ? *entry : unameMachine();
  }();
  return model;
}

std::string VDUAppEnvironmentUtil::deviceSimulatorModel() {
  static const std::string model = getSysctlEntry("hw.model").value_or("");
  return model;
}

std::string VDUAppEnvironmentUtil::systemVersion() {
  using namespace vdu_environment_internal;
  std::optional<std::string> osRelease = readTrimmed("/etc/os-release");
  std::optional<std::string> versionId =
      osRelease ? versionIdFromOSRelease(*osRelease) : std::nullopt;
  std::optional<std::string> version = versionId ? versionFromText(*versionId) : std::nullopt;
  if (!version) version = versionFromText(unameRelease());
  return version.value_or("0.0");
}
