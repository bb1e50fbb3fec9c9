#include "os/process/process.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "os/sync/mutex.h"

namespace os::process {
namespace {

os::Mutex argumentsMutex;
std::optional<std::vector<std::string>> recordedArguments OS_GUARDED_BY(argumentsMutex);

std::optional<std::string> readFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return std::nullopt;
  return contents;
}

std::vector<std::string> argumentsFromProc() {
  std::vector<std::string> result;
  std::string contents = readFile("/proc/self/cmdline").value_or("");
  // NUL-separated, with a NUL after the last argument.
  size_t start = 0;
  while (start < contents.size()) {
    size_t end = contents.find('\0', start);
    if (end == std::string::npos) end = contents.size();
    result.emplace_back(contents, start, end - start);
    start = end + 1;
  }
  return result;
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

struct utsname systemName() {
  struct utsname name = {};
  uname(&name);
  return name;
}

// The value of an os-release assignment: shell-like, either bare or in single or double quotes,
// where a backslash escapes the next character inside double quotes and in bare values.
std::string unquoted(std::string_view value) {
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
    return std::string(value.substr(1, value.size() - 2));
  }
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    value = value.substr(1, value.size() - 2);
  }
  std::string result;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    result.push_back(value[i]);
  }
  return result;
}

}  // namespace

void setArguments(int argc, const char* const* argv) {
  std::vector<std::string> values;
  for (int i = 0; i < argc; ++i) values.emplace_back(argv[i] != nullptr ? argv[i] : "");
  os::MutexLock lock(argumentsMutex);
  recordedArguments = std::move(values);
}

std::vector<std::string> arguments() {
  os::MutexLock lock(argumentsMutex);
  if (!recordedArguments) recordedArguments = argumentsFromProc();
  return *recordedArguments;
}

bool hasArgument(std::string_view argument) {
  for (const std::string& each : arguments()) {
    if (each == argument) return true;
  }
  return false;
}

std::optional<std::string> getEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

OperatingSystemVersion operatingSystemVersion() {
  static const OperatingSystemVersion version = internal::parseKernelRelease(systemName().release);
  return version;
}

std::string operatingSystemVersionString() {
  static const std::string text = [] {
    std::optional<std::string> prettyName;
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
      if (std::optional<std::string> contents = readFile(path)) {
        prettyName = internal::prettyNameFromOsRelease(*contents);
        break;
      }
    }
    return internal::versionString(operatingSystemVersion(),
                                   prettyName ? *prettyName : systemName().sysname);
  }();
  return text;
}

std::string machineModel() {
  static const std::string model = [] {
    std::string productName(
        trimmed(readFile("/sys/devices/virtual/dmi/id/product_name").value_or("")));
    return productName.empty() ? std::string(systemName().machine) : productName;
  }();
  return model;
}

std::string processName() {
  std::vector<std::string> launchArguments = arguments();
  if (launchArguments.empty() || launchArguments[0].empty()) {
    return program_invocation_short_name;
  }
  const std::string& path = launchArguments[0];
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int processIdentifier() { return static_cast<int>(getpid()); }

namespace internal {

OperatingSystemVersion parseKernelRelease(std::string_view release) {
  int64_t parts[3] = {0, 0, 0};
  size_t at = 0;
  for (int64_t& part : parts) {
    size_t start = at;
    while (at < release.size() && release[at] >= '0' && release[at] <= '9') {
      part = part * 10 + (release[at] - '0');
      ++at;
    }
    // Stop at the first part that is not "<digits>." ("-27-amd64", "-rc1", "+").
    if (at == start || at >= release.size() || release[at] != '.') break;
    ++at;
  }
  return {parts[0], parts[1], parts[2]};
}

std::optional<std::string> prettyNameFromOsRelease(std::string_view contents) {
  constexpr std::string_view kKey = "PRETTY_NAME=";
  size_t start = 0;
  while (start <= contents.size()) {
    size_t end = contents.find('\n', start);
    if (end == std::string_view::npos) end = contents.size();
    std::string_view line = trimmed(contents.substr(start, end - start));
    if (line.substr(0, kKey.size()) == kKey) {
      std::string value = unquoted(line.substr(kKey.size()));
      if (!value.empty()) return value;
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::string versionString(const OperatingSystemVersion& version, std::string_view distribution) {
  return "Version " + std::to_string(version.majorVersion) + "." +
         std::to_string(version.minorVersion) + "." + std::to_string(version.patchVersion) + " (" +
         std::string(distribution) + ")";
}

}  // namespace internal
}  // namespace os::process
