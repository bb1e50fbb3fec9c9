// RVOInstallationsAPIService: the installation service's three calls over HTTPS with JSON bodies:
// create (register) an installation, generate a new auth token for it, delete it.
//
//   RVOInstallationsAPIService service(APIKey, projectID, heartbeatLogger);
//   service.registerInstallation(item)
//       .then([](const RVOInstallationsItem& registered) { ... });   // status 2, tokens set
//
//   POST   <base>/v1/projects/<project>/installations/                       register
//   POST   <base>/v1/projects/<project>/installations/<fid>/authTokens:generate  token
//   DELETE <base>/v1/projects/<project>/installations/<fid>/                 delete
//
// Every request carries, in this order, "X-Vedo-Api-Key", "X-Ios-Bundle-Identifier",
// "Content-Type: application/json", "Authorization: RIS_v2 <refresh token>" (token and delete),
// "X-riveravo-client" with every heartbeat stored so far (left out when there is none), then the
// call's own headers ("x-vedo-ris-ios-iid-migration-auth" when registering a migrated
// installation). When a request finally fails (no answer, or a status outside 200..299) its
// heartbeats go back to the store, to be sent with the next request.
//
// A request answered with 500 is sent once more, one second later; any other status outside
// 200..299 rejects with an RVOInstallationsHTTPError. Requests are built on a global queue of low
// priority, answers arrive on the session's delegate queue, and the promises resolve on the
// promise library's default queue. The service may be destroyed while its promises are pending.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/heartbeat_logger.h"
#include "core/installations/installations_item.h"
#include "os/net/urlsession.h"
#include "platform/promises/promise.h"

// The installation service's origin. Tests and the demo send its host to a local server with
// TESSARO_CONNECT_TO.
inline constexpr const char* kRVOInstallationsAPIBaseURL = "https://installations.tessaro.example";

struct RVOInstallationsURLSessionResponse {
  std::shared_ptr<const os::HTTPURLResponse> HTTPResponse;
  os::Data data;
};

// A request ready to go, with the heartbeats its header took out of the store.
struct RVOInstallationsPreparedRequest {
  os::URLRequest request;
  std::shared_ptr<RVOHeartbeatsPayload> heartbeats;
};

class RVOInstallationsAPIService {
 public:
  // Over a session with the ephemeral configuration.
  RVOInstallationsAPIService(std::string APIKey, std::string projectID,
                             std::shared_ptr<RVOHeartbeatLoggerProtocol> heartbeatLogger);
  RVOInstallationsAPIService(std::shared_ptr<os::URLSession> URLSession, std::string APIKey,
                             std::string projectID,
                             std::shared_ptr<RVOHeartbeatLoggerProtocol> heartbeatLogger);

  // "i:" and the SDK version.
  static std::string SDKVersion();

  // The registered item (a copy of `item` with status 2 and the reply's tokens and FID); an
  // invalid item rejects with its validation error before anything is sent.
  PRMPromise<RVOInstallationsItem> registerInstallation(const RVOInstallationsItem& item);
  // A copy of `item` with the new auth token.
  PRMPromise<RVOInstallationsItem> refreshAuthTokenForInstallation(
      const RVOInstallationsItem& item);
  // `item` itself, once the service has deleted it.
  PRMPromise<RVOInstallationsItem> deleteInstallation(const RVOInstallationsItem& item);

  // The request as the header comment describes it, taking the stored heartbeats.
  PRMPromise<RVOInstallationsPreparedRequest> requestWithURL(
      const std::string& URL, const std::string& HTTPMethod, const os::Dictionary& bodyDict,
      const std::optional<std::string>& refreshToken, const os::HTTPHeaders& additionalHeaders);
  // Sends `request` (twice at most), then checks the status; restores its heartbeats on failure.
  PRMPromise<RVOInstallationsURLSessionResponse> sendURLRequest(
      const RVOInstallationsPreparedRequest& request);

 private:
  // requestWithURL, then sendURLRequest.
  PRMPromise<RVOInstallationsURLSessionResponse> send(
      const std::string& URL, const std::string& HTTPMethod, const os::Dictionary& bodyDict,
      const std::optional<std::string>& refreshToken, const os::HTTPHeaders& additionalHeaders);

  struct Shared;
  std::shared_ptr<const Shared> shared_;
};
