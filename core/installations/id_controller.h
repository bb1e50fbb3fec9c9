// RVOInstallationsIDController: the life of one app's installation. It reads the stored
// installation or creates one (taking over the legacy identifier for the default app), registers
// it with the service when needed, refreshes the auth token when it expires within the hour,
// starts over with a new installation when the service no longer knows the refresh token, and
// deletes the installation on request.
//
//   std::shared_ptr<RVOInstallationsIDController> controller =
//       RVOInstallationsIDController::initWithApp(*app);
//   controller->getInstallationItem().then([](const RVOInstallationsItem& item) { ... });
//   controller->getAuthTokenForcingRefresh(false).then(...);   // a token valid for an hour
//
// Concurrent callers of one operation (get, token, forced token, delete) share one run. A new
// installation is delivered as soon as it is saved; registration and the first token follow in
// the background. Each change of identifier posts kRVOInstallationIDDidChangeNotification with
// the app name under the same key. When a token or registration request is answered 401 or 404
// the installation is dropped and a new one made, registered and asked again, once per
// operation: a service that keeps refusing gets an error, never an endless series of new FIDs.
//
// Threads: entry points may be called from any thread; every step runs on the promise library's
// default queue (checked), the store's on its queue, requests on a global one. The controller is
// held through std::shared_ptr; its pending operations hold it weakly.
#pragma once

#include <memory>
#include <string>

#include "core/installations/api_service.h"
#include "core/installations/backoff_controller.h"
#include "core/installations/iid_store.h"
#include "core/installations/installations_item.h"
#include "core/installations/installations_store.h"
#include "core/installations/single_operation_promise_cache.h"
#include "platform/promises/promise.h"

class ZUZAze;

// Posted on the default centre with no object; the user info holds the app name under the same
// string.
inline constexpr const char* kRVOInstallationIDDidChangeNotification =
    "RVOInstallationIDDidChangeNotification";
inline constexpr const char* kRVOInstallationIDDidChangeNotificationAppNameKey =
    "RVOInstallationIDDidChangeNotification";

class RVOInstallationsIDController
    : public std::enable_shared_from_this<RVOInstallationsIDController> {
  struct Private {};

 public:
  // Seconds before expiry from which a token is refreshed.
  static constexpr double kTokenExpirationThreshold = 3600;

  // The controller of `app`, with its collaborators made from the app's options.
  static std::shared_ptr<RVOInstallationsIDController> initWithApp(ZUZAze& app);
  static std::shared_ptr<RVOInstallationsIDController> initWithVedodoAppID(
      std::string appID, std::string appName,
      std::shared_ptr<RVOInstallationsStore> installationsStore,
      std::shared_ptr<RVOInstallationsAPIService> APIService,
      std::shared_ptr<RVOInstallationsIIDStore> IIDStore,
      std::shared_ptr<RVOInstallationsIIDTokenStore> IIDTokenStore,
      std::shared_ptr<RVOInstallationsBackoffControllerProtocol> backoffController);

  // "com.riveravo.RVOInstallations.installations." and the app identifier: the keychain service
  // of the app's installation, which stored items rely on.
  static std::string keychainServiceWithAppID(const std::string& appID);

  RVOInstallationsIDController(Private, std::string appID, std::string appName,
                               std::shared_ptr<RVOInstallationsStore> installationsStore,
                               std::shared_ptr<RVOInstallationsAPIService> APIService,
                               std::shared_ptr<RVOInstallationsIIDStore> IIDStore,
                               std::shared_ptr<RVOInstallationsIIDTokenStore> IIDTokenStore,
                               std::shared_ptr<RVOInstallationsBackoffControllerProtocol> backoff);

  // The stored installation, or a new one (saved, announced).
  PRMPromise<RVOInstallationsItem> getInstallationItem();
  // The registered installation with a token valid for at least an hour (always a new token when
  // forced).
  PRMPromise<RVOInstallationsItem> getAuthTokenForcingRefresh(bool forceRefresh);
  // Deletes the installation on the service (a 404 counts as done) and here.
  PRMPromise<void> deleteInstallation();

  bool isDefaultApp() const;
  const std::string& appID() const { return appID_; }
  const std::string& appName() const { return appName_; }

 private:
  using ItemPromise = PRMPromise<RVOInstallationsItem>;

  void makeCaches();
  ItemPromise createGetInstallationItemPromise();
  ItemPromise createAndSaveInstallation();
  ItemPromise migrateOrGenerateInstallation();
  ItemPromise registerInstallationIfNeeded(const RVOInstallationsItem& item);
  ItemPromise installationWithValidAuthTokenForcingRefresh(bool forceRefresh);
  // Steps 2 and 3 of a token request: registration, then the token when it is due.
  ItemPromise validAuthTokenAttempt(bool forceRefresh);
  ItemPromise refreshAuthTokenForInstallation(const RVOInstallationsItem& item);
  PRMPromise<void> createDeleteInstallationPromise();
  ItemPromise deleteServerInstallationIfNeeded(const RVOInstallationsItem& item);
  PRMPromise<void> deleteLocalInstallation(const RVOInstallationsItem& item);
  void updateBackoffWithSuccess(bool success, const os::Error* APIError);
  void postFIDDidChangeNotification();

  const std::string appID_;
  const std::string appName_;
  const std::shared_ptr<RVOInstallationsStore> installationsStore_;
  const std::shared_ptr<RVOInstallationsIIDStore> IIDStore_;
  const std::shared_ptr<RVOInstallationsIIDTokenStore> IIDTokenStore_;
  const std::shared_ptr<RVOInstallationsAPIService> APIService_;
  const std::shared_ptr<RVOInstallationsBackoffControllerProtocol> backoffController_;
  std::unique_ptr<RVOInstallationsSingleOperationPromiseCache<RVOInstallationsItem>>
      getInstallationPromiseCache_;
  std::unique_ptr<RVOInstallationsSingleOperationPromiseCache<RVOInstallationsItem>>
      authTokenPromiseCache_;
  std::unique_ptr<RVOInstallationsSingleOperationPromiseCache<RVOInstallationsItem>>
      authTokenForcingRefreshPromiseCache_;
  std::unique_ptr<RVOInstallationsSingleOperationPromiseCache<void>>
      deleteInstallationPromiseCache_;
};
