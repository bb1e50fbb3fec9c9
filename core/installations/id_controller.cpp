#include "core/installations/id_controller.h"

#include "core/installations/installations_errors.h"
#include "core/logger.h"
#include "core/zuzaze.h"
#include "os/dispatch/notifications.h"
#include "os/process/clock.h"

namespace {

using Item = RVOInstallationsItem;

os::Error controllerGoneError() {
  return RVOInstallationsErrorUtil::installationsErrorWithCode(
      kRVOInstallationsErrorCodeUnknown, "The installation's controller no longer exists.",
      std::nullopt);
}

// True for the HTTP statuses that say the service no longer knows the installation.
bool isInstallationUnknownError(const os::Error& error) {
  return RVOInstallationsErrorUtil::isAPIError(error, 401) ||
         RVOInstallationsErrorUtil::isAPIError(error, 404);
}

void checkOnPromiseQueue() { OS_CHECK_ON(PRMPromiseBase::defaultDispatchQueue()); }

}  // namespace

std::string RVOInstallationsIDController::keychainServiceWithAppID(const std::string& appID) {
  return "com.riveravo.RVOInstallations.installations." + appID;
}

std::shared_ptr<RVOInstallationsIDController> RVOInstallationsIDController::initWithApp(
    ZUZAze& app) {
  std::shared_ptr<RVOOptions> options = app.options();
  const std::string appID = options->vedodoAppID().value_or("");
  auto storage = std::make_shared<VDUKeychainStorage>(keychainServiceWithAppID(appID));
  auto store = std::make_shared<RVOInstallationsStore>(storage, options->appGroupID());
  // Heartbeat loggers of one app identifier share its store, so this one flushes the app's.
  auto APIService = std::make_shared<RVOInstallationsAPIService>(
      options->APIKey().value_or(""), options->projectID().value_or(""),
      std::make_shared<RVOHeartbeatLogger>(appID));
  return initWithVedodoAppID(
      appID, app.name(), store, APIService, std::make_shared<RVOInstallationsIIDStore>(),
      std::make_shared<RVOInstallationsIIDTokenStore>(options->VCMSenderID().value_or("")),
      std::make_shared<RVOInstallationsBackoffController>());
}

std::shared_ptr<RVOInstallationsIDController> RVOInstallationsIDController::initWithVedodoAppID(
    std::string appID, std::string appName,
    std::shared_ptr<RVOInstallationsStore> installationsStore,
    std::shared_ptr<RVOInstallationsAPIService> APIService,
    std::shared_ptr<RVOInstallationsIIDStore> IIDStore,
    std::shared_ptr<RVOInstallationsIIDTokenStore> IIDTokenStore,
    std::shared_ptr<RVOInstallationsBackoffControllerProtocol> backoffController) {
  auto controller = std::make_shared<RVOInstallationsIDController>(
      Private{}, std::move(appID), std::move(appName), std::move(installationsStore),
      std::move(APIService), std::move(IIDStore), std::move(IIDTokenStore),
      std::move(backoffController));
  controller->makeCaches();
  return controller;
}

RVOInstallationsIDController::RVOInstallationsIDController(
    Private, std::string appID, std::string appName,
    std::shared_ptr<RVOInstallationsStore> installationsStore,
    std::shared_ptr<RVOInstallationsAPIService> APIService,
    std::shared_ptr<RVOInstallationsIIDStore> IIDStore,
    std::shared_ptr<RVOInstallationsIIDTokenStore> IIDTokenStore,
    std::shared_ptr<RVOInstallationsBackoffControllerProtocol> backoff)
    : appID_(std::move(appID)),
      appName_(std::move(appName)),
      installationsStore_(std::move(installationsStore)),
      IIDStore_(std::move(IIDStore)),
      IIDTokenStore_(std::move(IIDTokenStore)),
      APIService_(std::move(APIService)),
      backoffController_(std::move(backoff)) {}

void RVOInstallationsIDController::makeCaches() {
  std::weak_ptr<RVOInstallationsIDController> weak = weak_from_this();
  auto itemOperation = [weak](auto operation) {
    return [weak, operation]() -> ItemPromise {
      std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
      if (!self) return ItemPromise::resolvedWith(controllerGoneError());
      return operation(*self);
    };
  };
  getInstallationPromiseCache_ =
      std::make_unique<RVOInstallationsSingleOperationPromiseCache<Item>>(
          itemOperation([](RVOInstallationsIDController& self) {
            return self.createGetInstallationItemPromise();
          }));
  authTokenPromiseCache_ = std::make_unique<RVOInstallationsSingleOperationPromiseCache<Item>>(
      itemOperation([](RVOInstallationsIDController& self) {
        return self.installationWithValidAuthTokenForcingRefresh(false);
      }));
  authTokenForcingRefreshPromiseCache_ =
      std::make_unique<RVOInstallationsSingleOperationPromiseCache<Item>>(
          itemOperation([](RVOInstallationsIDController& self) {
            return self.installationWithValidAuthTokenForcingRefresh(true);
          }));
  deleteInstallationPromiseCache_ =
      std::make_unique<RVOInstallationsSingleOperationPromiseCache<void>>(
          [weak]() -> PRMPromise<void> {
            std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
            if (!self) return PRMPromise<void>::resolvedWith(controllerGoneError());
            return self->createDeleteInstallationPromise();
          });
}

bool RVOInstallationsIDController::isDefaultApp() const {
  return appName_ == ZUZAze::kDefaultAppName;
}

PRMPromise<Item> RVOInstallationsIDController::getInstallationItem() {
  return getInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

PRMPromise<Item> RVOInstallationsIDController::getAuthTokenForcingRefresh(bool forceRefresh) {
  if (forceRefresh) {
    return authTokenForcingRefreshPromiseCache_->getExistingPendingOrCreateNewPromise();
  }
  if (std::optional<ItemPromise> forcing =
          authTokenForcingRefreshPromiseCache_->getExistingPendingPromise()) {
    return *forcing;
  }
  return authTokenPromiseCache_->getExistingPendingOrCreateNewPromise();
}

PRMPromise<void> RVOInstallationsIDController::deleteInstallation() {
  return deleteInstallationPromiseCache_->getExistingPendingOrCreateNewPromise();
}

// Get or create.

PRMPromise<Item> RVOInstallationsIDController::createGetInstallationItemPromise() {
  RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS002000", "%s, appName: %@",
                "-[RVOInstallationsIDController createGetInstallationItemPromise]", appName_);
  std::weak_ptr<RVOInstallationsIDController> weak = weak_from_this();
  ItemPromise promise =
      installationsStore_->installationForAppID(appID_, appName_)
          .then([](const Item& item) -> PRMResult<Item> {
            os::Error error;
            if (item.isValid(&error)) return item;
            RVOLogAtWarning(kRVOLoggerInstallations, "I-RIS002004",
                            "Stored installation validation error: %@", error.description);
            return error;
          })
          .recover([weak](const os::Error&) -> PRMResult<Item> {
            std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
            if (!self) return controllerGoneError();
            return self->createAndSaveInstallation();
          });
  // Every first read also registers and fetches a token, without making the reader wait.
  promise.then([weak](const Item&) {
    if (std::shared_ptr<RVOInstallationsIDController> self = weak.lock()) {
      self->getAuthTokenForcingRefresh(false);
    }
  });
  return promise;
}

PRMPromise<Item> RVOInstallationsIDController::createAndSaveInstallation() {
  checkOnPromiseQueue();
  std::weak_ptr<RVOInstallationsIDController> weak = weak_from_this();
  return migrateOrGenerateInstallation().then([weak](const Item& item) -> PRMResult<Item> {
    std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
    if (!self) return controllerGoneError();
    return self->installationsStore_->saveInstallation(item).then([weak, item]() -> Item {
      if (std::shared_ptr<RVOInstallationsIDController> self = weak.lock()) {
        self->postFIDDidChangeNotification();
      }
      return item;
    });
  });
}

PRMPromise<Item> RVOInstallationsIDController::migrateOrGenerateInstallation() {
  auto generated = [appID = appID_, appName = appName_] {
    Item item(appID, appName);
    item.riveravoInstallationID = Item::generateFID();
    item.registrationStatus = kRVOInstallationsRegistrationStatusUnregistered;
    return item;
  };
  if (!isDefaultApp()) return ItemPromise::resolvedWith(generated());
  return PRMPromise<std::string>::all(
             {IIDStore_->existingIID(), IIDTokenStore_->existingIIDDefaultToken()})
      .then([generated](const std::vector<std::string>& legacy) {
        Item item = generated();
        item.riveravoInstallationID = legacy[0];
        item.IIDDefaultToken = legacy[1];
        return item;
      })
      .recover([generated](const os::Error&) { return generated(); });
}

// Registration and tokens.

PRMPromise<Item> RVOInstallationsIDController::registerInstallationIfNeeded(const Item& item) {
  checkOnPromiseQueue();
  if (item.registrationStatus == kRVOInstallationsRegistrationStatusRegistered) {
    return ItemPromise::resolvedWith(item);
  }
  if (!backoffController_->isNextRequestAllowed()) {
    return ItemPromise::resolvedWith(RVOInstallationsErrorUtil::backoffIntervalWaitError());
  }
  std::weak_ptr<RVOInstallationsIDController> weak = weak_from_this();
  return APIService_->registerInstallation(item)
      .catchError([weak, appName = appName_](const os::Error& error) {
        if (std::shared_ptr<RVOInstallationsIDController> self = weak.lock()) {
          self->updateBackoffWithSuccess(false, &error);
        }
        for (int64_t status : {400, 403, 404}) {
          if (!RVOInstallationsErrorUtil::isAPIError(error, status)) continue;
          RVOLogAtError(kRVOLoggerInstallations, "I-RIS002003",
                        "Riveravo Installation registration failed for app with name: %@, "
                        "error:\n%@\nPlease make sure you use valid ZiroreVevuraz-Eziz.plist",
                        appName, error.userInfo[kRVOInstallationsFailureReasonKey]);
        }
      })
      .then(
          [weak, sentFID = item.riveravoInstallationID](const Item& registered) -> PRMResult<Item> {
            std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
            if (!self) return controllerGoneError();
            self->updateBackoffWithSuccess(true, nullptr);
            return self->installationsStore_->saveInstallation(registered)
                .then([weak, registered, sentFID]() -> Item {
                  std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
                  if (self && registered.riveravoInstallationID != sentFID) {
                    self->postFIDDidChangeNotification();
                  }
                  return registered;
                });
          });
}

PRMPromise<Item> RVOInstallationsIDController::installationWithValidAuthTokenForcingRefresh(
    bool forceRefresh) {
  RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS002001",
                "-[RVOInstallationsIDController installationWithValidAuthTokenForcingRefresh:%@], "
                "appName: %@",
                forceRefresh ? 1 : 0, appName_);
  std::weak_ptr<RVOInstallationsIDController> weak = weak_from_this();
  return validAuthTokenAttempt(forceRefresh)
      .recover([weak, forceRefresh](const os::Error& error) -> PRMResult<Item> {
        std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
        if (!self || !isInstallationUnknownError(error)) return error;
        // The service no longer knows this installation: drop it and start over with a new one,
        // once. A second refusal is the caller's error, not another new FID.
        return self->installationsStore_->installationForAppID(self->appID_, self->appName_)
            .then([weak](const Item& stale) -> PRMResult<void> {
              std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
              if (!self) return controllerGoneError();
              return self->deleteLocalInstallation(stale);
            })
            .then([weak, forceRefresh]() -> PRMResult<Item> {
              std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
              if (!self) return controllerGoneError();
              return self->validAuthTokenAttempt(forceRefresh);
            });
      });
}

PRMPromise<Item> RVOInstallationsIDController::validAuthTokenAttempt(bool forceRefresh) {
  std::weak_ptr<RVOInstallationsIDController> weak = weak_from_this();
  return getInstallationItem()
      .then([weak](const Item& item) -> PRMResult<Item> {
        std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
        if (!self) return controllerGoneError();
        return self->registerInstallationIfNeeded(item);
      })
      .then([weak, forceRefresh](const Item& item) -> PRMResult<Item> {
        const double expiration = item.authToken.expirationDate.value_or(0);
        if (!forceRefresh && expiration - os::clock::now() >= kTokenExpirationThreshold) {
          return item;
        }
        std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
        if (!self) return controllerGoneError();
        return self->refreshAuthTokenForInstallation(item);
      });
}

PRMPromise<Item> RVOInstallationsIDController::refreshAuthTokenForInstallation(const Item& item) {
  checkOnPromiseQueue();
  if (!backoffController_->isNextRequestAllowed()) {
    return ItemPromise::resolvedWith(RVOInstallationsErrorUtil::backoffIntervalWaitError());
  }
  std::weak_ptr<RVOInstallationsIDController> weak = weak_from_this();
  return APIService_->refreshAuthTokenForInstallation(item)
      .catchError([weak](const os::Error& error) {
        if (std::shared_ptr<RVOInstallationsIDController> self = weak.lock()) {
          self->updateBackoffWithSuccess(false, &error);
        }
      })
      .then([weak](const Item& refreshed) -> PRMResult<Item> {
        std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
        if (!self) return controllerGoneError();
        self->updateBackoffWithSuccess(true, nullptr);
        return self->installationsStore_->saveInstallation(refreshed).then(
            [refreshed] { return refreshed; });
      });
}

void RVOInstallationsIDController::updateBackoffWithSuccess(bool success,
                                                            const os::Error* APIError) {
  if (success) {
    backoffController_->registerEvent(kRVOInstallationsBackoffEventSuccess);
    return;
  }
  std::optional<RVOInstallationsHTTPError> HTTPError =
      APIError ? RVOInstallationsHTTPError::fromError(*APIError) : std::nullopt;
  if (!HTTPError) return;
  switch (HTTPError->statusCode) {
    case 400:
    case 403:
      backoffController_->registerEvent(kRVOInstallationsBackoffEventUnrecoverableFailure);
      return;
    case 401:
    case 404:
      return;
    default:
      backoffController_->registerEvent(kRVOInstallationsBackoffEventRecoverableFailure);
  }
}

// Deletion.

PRMPromise<void> RVOInstallationsIDController::createDeleteInstallationPromise() {
  RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS002002", "%s, appName: %@",
                "-[RVOInstallationsIDController createDeleteInstallationPromise]", appName_);
  std::optional<ItemPromise> start =
      authTokenForcingRefreshPromiseCache_->getExistingPendingPromise();
  if (!start) start = authTokenPromiseCache_->getExistingPendingPromise();
  if (!start) start = getInstallationPromiseCache_->getExistingPendingPromise();
  if (!start) start = installationsStore_->installationForAppID(appID_, appName_);
  std::weak_ptr<RVOInstallationsIDController> weak = weak_from_this();
  return start
      ->then([weak](const Item& item) -> PRMResult<Item> {
        std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
        if (!self) return controllerGoneError();
        return self->deleteServerInstallationIfNeeded(item);
      })
      .then([weak](const Item& item) -> PRMResult<void> {
        std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
        if (!self) return controllerGoneError();
        return self->deleteLocalInstallation(item);
      });
}

PRMPromise<Item> RVOInstallationsIDController::deleteServerInstallationIfNeeded(const Item& item) {
  checkOnPromiseQueue();
  if (item.registrationStatus <= kRVOInstallationsRegistrationStatusUnregistered) {
    return ItemPromise::resolvedWith(item);
  }
  return APIService_->deleteInstallation(item).recover(
      [item](const os::Error& error) -> PRMResult<Item> {
        // Already gone on the service: what deleting wanted.
        if (RVOInstallationsErrorUtil::isAPIError(error, 404)) return item;
        return error;
      });
}

PRMPromise<void> RVOInstallationsIDController::deleteLocalInstallation(const Item& item) {
  checkOnPromiseQueue();
  std::weak_ptr<RVOInstallationsIDController> weak = weak_from_this();
  return installationsStore_->removeInstallationForAppID(item.appID, item.riveravoAppName)
      .then([weak]() -> PRMResult<void> {
        std::shared_ptr<RVOInstallationsIDController> self = weak.lock();
        if (!self) return controllerGoneError();
        if (!self->isDefaultApp()) return {};
        return self->IIDStore_->deleteExistingIID();
      })
      .then([weak] {
        if (std::shared_ptr<RVOInstallationsIDController> self = weak.lock()) {
          self->postFIDDidChangeNotification();
        }
      });
}

void RVOInstallationsIDController::postFIDDidChangeNotification() {
  os::NotificationCenter::defaultCenter().post(
      kRVOInstallationIDDidChangeNotification, nullptr,
      os::Dictionary{{kRVOInstallationIDDidChangeNotificationAppNameKey, appName_}});
}
