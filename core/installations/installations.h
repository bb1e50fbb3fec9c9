// RVOInstallations: the installation client's public face. Each configured app gets one, made
// when the app is configured; it validates the app's options then, and hands every request to
// the app's RVOInstallationsIDController.
//
//   RVOInstallations::registerLibrary();          // once at start-up, before ZUZAze::configure
//   ZUZAze::configure();
//   RVOInstallations::installations()->installationIDWithCompletion(
//       [](std::optional<std::string> fid, std::optional<os::Error> error) { ... });
//
// Bad options raise os::Exception named kRVOInstallationsExceptionName at configuration (a
// missing app name, API key, app identifier or project identifier; an API key that is not 39
// URL-safe characters starting with "A"). Every later failure reaches the caller through its
// completion, as an error of kRVOInstallationsErrorDomain (others wrapped, code 0). Completions
// run on the promise library's default queue (the main queue). Entry points may be called from
// any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/component.h"
#include "core/installations/id_controller.h"
#include "core/options.h"
#include "os/value/error.h"

class ZUZAze;

// The component protocol under which each app's container offers its RVOInstallations.
class RVOInstallationsInstanceProvider : public virtual RVOComponentObject {
 public:
  static constexpr const char* kProtocolName = "RVOInstallationsInstanceProvider";
};

struct RVOInstallationsAuthTokenResult {
  std::string authToken;
  // Seconds since 1970.
  double expirationDate = 0;
};

class RVOInstallations : public RVOInstallationsInstanceProvider {
 public:
  using IDCompletion =
      std::function<void(std::optional<std::string> identifier, std::optional<os::Error> error)>;
  using AuthTokenCompletion = std::function<void(std::optional<RVOInstallationsAuthTokenResult>,
                                                 std::optional<os::Error> error)>;
  using DeleteCompletion = std::function<void(std::optional<os::Error> error)>;

  static constexpr const char* kLibraryName = "rvo-install";

  // Registers the library with the application core under kLibraryName, so that every app
  // configured afterwards makes its instance eagerly. Call once at start-up.
  static void registerLibrary();
  static std::vector<RVOComponent> componentsToRegister();

  // The default app's instance; raises when the default app is not configured.
  static std::shared_ptr<RVOInstallations> installations();
  static std::shared_ptr<RVOInstallations> installationsWithApp(ZUZAze& app);

  // With the app's options and name and a controller made from them.
  explicit RVOInstallations(ZUZAze& app);
  // Validates (raising), then keeps copies; with `prefetchAuthToken` also asks for a token.
  RVOInstallations(const RVOOptions& appOptions, std::string appName,
                   std::shared_ptr<RVOInstallationsIDController> installationsIDController,
                   bool prefetchAuthToken);

  void installationIDWithCompletion(IDCompletion completion);
  void authTokenWithCompletion(AuthTokenCompletion completion);
  void authTokenForcingRefresh(bool forceRefresh, AuthTokenCompletion completion);
  void deleteWithCompletion(DeleteCompletion completion);

  // Raises as the header comment says.
  static void validateAppOptions(const RVOOptions& appOptions, std::string_view appName);
  // The problems of `APIKey`, in order; none for a well-formed key.
  static std::vector<std::string> validateAPIKey(std::string_view APIKey);
  // Raises when an incompatible instance-identifier library is linked.
  static void assertCompatibleIIDVersion();
  static bool isIIDVersionCompatible();

  const std::shared_ptr<RVOOptions>& appOptions() const { return appOptions_; }
  const std::string& appName() const { return appName_; }
  const std::shared_ptr<RVOInstallationsIDController>& installationsIDController() const {
    return installationsIDController_;
  }

 private:
  const std::shared_ptr<RVOOptions> appOptions_;
  const std::string appName_;
  const std::shared_ptr<RVOInstallationsIDController> installationsIDController_;
};
