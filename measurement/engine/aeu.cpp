#include "measurement/engine/aeu.h"

#include <filesystem>
#include <system_error>

#include "platform/utilities/app_environment_util.h"

namespace {

// The store encrypts the executables it distributes, and the encryption shows in the load
// commands of the executable's image. This host runs ELF executables, which carry no such
// command, so no executable of ours is ever found encrypted.
constexpr bool kExecutableEncrypted = false;

}  // namespace

bool APMAEU::isFAS() { return isFASForBundle(os::Bundle::main(), kExecutableEncrypted, isASRS()); }

bool APMAEU::isASRS() { return VDUAppEnvironmentUtil::isAppStoreReceiptSandbox(); }

bool APMAEU::isAEX() { return isAEXForBundle(os::Bundle::main()); }

std::string APMAEU::deviceModel() { return VDUAppEnvironmentUtil::deviceModel(); }

std::string APMAEU::systemVersion() { return VDUAppEnvironmentUtil::systemVersion(); }

bool APMAEU::isFASForBundle(const os::Bundle& bundle, bool executableEncrypted,
                            bool receiptIsSandbox) {
  if (isNOD()) return false;
  if (receiptIsSandbox) return false;
  std::error_code error;
  if (std::filesystem::exists(std::filesystem::path(bundle.bundlePath()) / "SC_Info", error)) {
    return true;
  }
  if (!executableEncrypted) return false;
  return !bundle.pathForResource("embedded", "mobileprovision").has_value();
}

bool APMAEU::isAEXForBundle(const os::Bundle& bundle) {
  return bundle.bundlePath().ends_with(".appex");
}
