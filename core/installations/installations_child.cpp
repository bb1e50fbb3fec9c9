// A launch of an application that uses the installation client, for the tests that restart the
// process: it configures the default app from its bundle, waits for a valid auth token, then
// prints "fid <FID>" (or "error <description>") and exits.
#include <cstdio>
#include <optional>
#include <string>

#include "core/installations/installations.h"
#include "core/zuzaze.h"
#include "os/dispatch/runloop.h"

int main() {
  RVOInstallations::registerLibrary();
  ZUZAze::configure();
  std::shared_ptr<RVOInstallations> installations = RVOInstallations::installations();
  std::optional<std::string> printed;
  installations->authTokenWithCompletion(
      [&](std::optional<RVOInstallationsAuthTokenResult>, std::optional<os::Error> error) {
        if (error) {
          printed = "error " + error->description;
          return;
        }
        installations->installationIDWithCompletion(
            [&](std::optional<std::string> fid, std::optional<os::Error> error) {
              printed = fid ? "fid " + *fid : "error " + error->description;
            });
      });
  if (!os::RunLoop::main().runUntil([&] { return printed.has_value(); }, 60)) return 1;
  std::printf("%s\n", printed->c_str());
  return printed->rfind("fid ", 0) == 0 ? 0 : 1;
}
