#include "core/installations/installations.h"

#include "core/class_registry.h"
#include "core/component_container.h"
#include "core/installations/installations_errors.h"
#include "core/logger.h"
#include "core/zuzaze.h"
#include "os/text/format.h"
#include "os/value/exception.h"

namespace {

constexpr size_t kAPIKeyLength = 39;

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

[[noreturn]] void raiseOptionsProblem(std::string_view format, const std::string& problems) {
  throw os::Exception(
      kRVOInstallationsExceptionName,
      os::formatObjects(format, {kRVOLoggerInstallations, "I-RIS008000", problems}));
}

}  // namespace

void RVOInstallations::registerLibrary() {
  ZUZAze::registerInternalLibrary(
      std::make_shared<RVOLibraryClass>(RVOLibraryClass{
          .name = "RVOInstallations", .componentsToRegister = &componentsToRegister}),
      kLibraryName);
}

std::vector<RVOComponent> RVOInstallations::componentsToRegister() {
  return {RVOComponent::componentWithProtocol(
      RVOProtocol::of<RVOInstallationsInstanceProvider>(), RVOInstantiationTiming::alwaysEager, {},
      [](RVOComponentContainer& container,
         bool* isCacheable) -> std::shared_ptr<RVOComponentObject> {
        std::shared_ptr<ZUZAze> app = container.app();
        if (!app) return nullptr;
        *isCacheable = true;
        return std::make_shared<RVOInstallations>(*app);
      })};
}

std::shared_ptr<RVOInstallations> RVOInstallations::installations() {
  std::shared_ptr<ZUZAze> app = ZUZAze::defaultApp();
  if (!app) {
    throw os::Exception(
        kRVOInstallationsExceptionName,
        "The default RiveravoApp instance must be configured before the defaultRiveravoApp "
        "instance can be initialized. One way to ensure this is to call "
        "`RiveravoApp.configure()` in the App  Delegate's "
        "`application(_:didFinishLaunchingWithOptions:)` (or the `@main` struct's initializer in "
        "SwiftUI).");
  }
  return installationsWithApp(*app);
}

std::shared_ptr<RVOInstallations> RVOInstallations::installationsWithApp(ZUZAze& app) {
  return std::dynamic_pointer_cast<RVOInstallations>(
      RVOComponentType<RVOInstallationsInstanceProvider>::instanceForProtocol(app.container()));
}

RVOInstallations::RVOInstallations(ZUZAze& app)
    : RVOInstallations(*app.options(), app.name(), RVOInstallationsIDController::initWithApp(app),
                       false) {}

RVOInstallations::RVOInstallations(
    const RVOOptions& appOptions, std::string appName,
    std::shared_ptr<RVOInstallationsIDController> installationsIDController, bool prefetchAuthToken)
    : appOptions_((validateAppOptions(appOptions, appName), assertCompatibleIIDVersion(),
                   appOptions.copy())),
      appName_(std::move(appName)),
      installationsIDController_(std::move(installationsIDController)) {
  if (prefetchAuthToken) installationsIDController_->getAuthTokenForcingRefresh(false);
}

void RVOInstallations::validateAppOptions(const RVOOptions& appOptions, std::string_view appName) {
  std::vector<std::string> missing;
  auto empty = [](const std::optional<std::string>& value) { return !value || value->empty(); };
  if (appName.empty()) missing.push_back("`RiveravoApp.name`");
  if (empty(appOptions.APIKey())) missing.push_back("`RiveravoOptions.APIKey`");
  if (empty(appOptions.vedodoAppID())) missing.push_back("`RiveravoOptions.vedodoAppID`");
  if (empty(appOptions.projectID())) missing.push_back("`RiveravoOptions.projectID`");
  if (!missing.empty()) {
    raiseOptionsProblem(
        "%@[%@] Could not configure Riveravo Installations due to invalid RiveravoApp options. "
        "The following parameters are nil or empty: %@. If you use VedodoServices-Info.plist "
        "please download the most recent version from the Riveravo Console. If you configure "
        "Riveravo in code, please make sure you specify all required parameters.",
        joined(missing));
  }
  std::vector<std::string> problems = validateAPIKey(*appOptions.APIKey());
  if (!problems.empty()) {
    raiseOptionsProblem(
        "%@[%@] Could not configure Riveravo Installations due to invalid RiveravoApp options. "
        "`RiveravoOptions.APIKey` doesn't match the expected format: %@. If you use "
        "VedodoServices-Info.plist please download the most recent version from the Riveravo "
        "Console. If you configure Riveravo in code, please make sure you specify all required "
        "parameters.",
        joined(problems));
  }
}

std::vector<std::string> RVOInstallations::validateAPIKey(std::string_view APIKey) {
  std::vector<std::string> problems;
  if (APIKey.size() != kAPIKeyLength) {
    problems.push_back(os::formatPrintf("API Key length must be %lu characters", {kAPIKeyLength}));
  }
  if (APIKey.empty() || APIKey.front() != 'A') problems.push_back("API Key must start with `A`");
  for (char c : APIKey) {
    const bool urlSafe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!urlSafe) {
      problems.push_back("API Key must contain only base64 url-safe characters characters");
      break;
    }
  }
  return problems;
}

bool RVOInstallations::isIIDVersionCompatible() {
  // An instance-identifier library that predates the installation service keeps its own
  // identity and would fight this client over it.
  return RVOClassRegistry::classNamed("RVOInstanceID") == nullptr;
}

void RVOInstallations::assertCompatibleIIDVersion() {
  if (isIIDVersionCompatible()) return;
  throw os::Exception(kRVOInstallationsExceptionName,
                      "Riveravo Instance ID is not compatible with Riveravo 8.x+. Please remove "
                      "the dependency from the app. See "
                      "https://docs.tessaro.example/installations/instance-id-migration");
}

void RVOInstallations::installationIDWithCompletion(IDCompletion completion) {
  installationsIDController_->getInstallationItem().observe(
      PRMPromiseBase::defaultDispatchQueue(),
      [completion](const RVOInstallationsItem& item) {
        completion(item.riveravoInstallationID, std::nullopt);
      },
      [completion](const os::Error& error) {
        completion(std::nullopt, RVOInstallationsErrorUtil::publicDomainErrorWithError(error));
      });
}

void RVOInstallations::authTokenWithCompletion(AuthTokenCompletion completion) {
  authTokenForcingRefresh(false, std::move(completion));
}

void RVOInstallations::authTokenForcingRefresh(bool forceRefresh, AuthTokenCompletion completion) {
  installationsIDController_->getAuthTokenForcingRefresh(forceRefresh)
      .observe(
          PRMPromiseBase::defaultDispatchQueue(),
          [completion](const RVOInstallationsItem& item) {
            completion(RVOInstallationsAuthTokenResult{item.authToken.token.value_or(""),
                                                       item.authToken.expirationDate.value_or(0)},
                       std::nullopt);
          },
          [completion](const os::Error& error) {
            completion(std::nullopt, RVOInstallationsErrorUtil::publicDomainErrorWithError(error));
          });
}

void RVOInstallations::deleteWithCompletion(DeleteCompletion completion) {
  installationsIDController_->deleteInstallation().observe(
      PRMPromiseBase::defaultDispatchQueue(), [completion] { completion(std::nullopt); },
      [completion](const os::Error& error) {
        completion(RVOInstallationsErrorUtil::publicDomainErrorWithError(error));
      });
}
