// The running process and the system it runs on: launch arguments, environment variables, the
// operating-system version, the machine model, the process name and identifier.
//
//   int main(int argc, char** argv) {
//     os::process::setArguments(argc, argv);
//     if (os::process::hasArgument("-NSDocumentRevisionsDebugMode")) ...
//   }
//
//   os::process::OperatingSystemVersion version = os::process::operatingSystemVersion();
//   if (version.majorVersion >= 6) ...
//
// All functions are thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace os::process {

// Records the launch arguments (argv[0] included). Call it from main before other threads start;
// without it, arguments() reads them from /proc/self/cmdline.
void setArguments(int argc, const char* const* argv);

// The launch arguments, argv[0] first.
std::vector<std::string> arguments();

// True when one of the launch arguments equals `argument` exactly ("-Flag").
bool hasArgument(std::string_view argument);

// The value of an environment variable, std::nullopt when it is not set (an empty value is set).
std::optional<std::string> getEnv(const std::string& name);

struct OperatingSystemVersion {
  int64_t majorVersion = 0;
  int64_t minorVersion = 0;
  int64_t patchVersion = 0;
  friend bool operator==(const OperatingSystemVersion&, const OperatingSystemVersion&) = default;
};

// The running kernel's version, from the release that uname(2) reports: "6.1.0-27-amd64" gives
// {6, 1, 0}. Missing parts are 0.
OperatingSystemVersion operatingSystemVersion();

// A human-readable version: "Version <major>.<minor>.<patch> (<distribution>)", the
// distribution being PRETTY_NAME of os-release(5) (/etc/os-release, else /usr/lib/os-release),
// e.g. "Version 6.1.0 (Debian GNU/Linux 12 (bookworm))"; without PRETTY_NAME, the kernel's name
// from uname(2): "Version 6.1.0 (Linux)".
std::string operatingSystemVersionString();

// The machine model: the firmware's product name (/sys/devices/virtual/dmi/id/product_name)
// when it is readable and not blank, else the hardware name from uname(2) such as "x86_64".
// Read once per process.
std::string machineModel();

// The program's name: the last path component of argv[0] ("installer" for
// "/opt/app/bin/installer").
std::string processName();

// The process identifier.
int processIdentifier();

namespace internal {

// Exposed for tests; see operatingSystemVersion() and operatingSystemVersionString().
OperatingSystemVersion parseKernelRelease(std::string_view release);
// PRETTY_NAME of an os-release(5) file's contents, with its quotes and escapes removed.
std::optional<std::string> prettyNameFromOsRelease(std::string_view contents);
std::string versionString(const OperatingSystemVersion& version, std::string_view distribution);

}  // namespace internal
}  // namespace os::process
