// Facts about the environment the process runs in, for log set-up, user agents and analytics.
//
//   std::string os = VDUAppEnvironmentUtil::systemVersion();   // "12.0", "22.4", "10.15.7"
//   if (!VDUAppEnvironmentUtil::isFromAppStore()) VDULoggerForceDebugLevel();
//
// On this host no build comes from an app store (the executable is an ELF file, which has no
// encryption command to inspect), the device model is the DMI product name, and the OS version
// is the distribution's (see systemVersion). Every member may be called from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class VDUAppEnvironmentUtil {
 public:
  // Whether the build was installed from the app store: never on this host, unless a test
  // says otherwise through setFromAppStoreForTesting.
  static bool isFromAppStore();
  // No store receipt exists on this host, so no build is a sandbox-receipt build.
  static bool isAppStoreReceiptSandbox() { return false; }
  static bool isSimulator() { return false; }

  // A kernel value by its sysctl-style dotted name: "kernel.ostype" reads
  // /proc/sys/kernel/ostype; "hw.model" reads the DMI product name
  // (/sys/class/dmi/id/product_name), the nearest thing to a hardware model. Trailing line
  // breaks are dropped. nullopt for an unknown, unreadable or empty value, or a name that is not
  // a plain dotted name.
  static std::optional<std::string> getSysctlEntry(std::string_view name);

  // Once per process: getSysctlEntry("hw.model"), or when that is missing or empty the machine
  // field of uname(2) ("x86_64").
  static std::string deviceModel();
  // Once per process: getSysctlEntry("hw.model") without fallback ("" when missing).
  static std::string deviceSimulatorModel();

  // The OS version as "major.minor", with ".patch" only when the patch number is not 0: the
  // VERSION_ID of /etc/os-release ("12" gives "12.0", "22.04" gives "22.4"), or, when that has
  // none, the kernel release ("6.1.0-18-amd64" gives "6.1"); "0.0" when neither is readable.
  static std::string systemVersion();

  static bool isAppExtension() { return false; }
  static bool isIOS7OrHigher() { return true; }
  // There is no Swift runtime in this process.
  static bool hasSwiftRuntime() { return false; }
  static std::string applePlatform() { return "macos"; }
  static std::string appleDevicePlatform() { return applePlatform(); }
  static std::string deploymentType() { return "zip"; }

  // Makes isFromAppStore answer `fromAppStore`; nullopt goes back to the host's answer.
  static void setFromAppStoreForTesting(std::optional<bool> fromAppStore);
};

namespace vdu_environment_internal {

// "major.minor[.patch]" from the leading dotted numbers of `text` ("10.15.7" gives "10.15.7",
// "11.0.0" gives "11.0", "6.1.0-18-amd64" gives "6.1"); nullopt when `text` starts with no number.
std::optional<std::string> versionFromText(std::string_view text);
// The VERSION_ID value of an os-release file's text, unquoted; nullopt when absent.
std::optional<std::string> versionIdFromOSRelease(std::string_view osRelease);

}  // namespace vdu_environment_internal
