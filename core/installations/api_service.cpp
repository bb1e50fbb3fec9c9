#include "core/installations/api_service.h"

#include "core/installations/installations_errors.h"
#include "core/installations/log_redaction.h"
#include "core/logger.h"
#include "os/bundle/bundle.h"
#include "os/process/clock.h"
#include "os/value/json.h"
#include "platform/utilities/url_session_promise.h"

namespace {

constexpr double kRetryDelaySeconds = 1.0;

std::string bodyText(const std::optional<os::Data>& body) {
  return body ? RVOInstallationsRedactedBody(*body) : std::string();
}

// One sending of `request`: its answer, whatever the status, or the transport error.
PRMPromise<RVOInstallationsURLSessionResponse> URLRequestPromise(
    const std::shared_ptr<os::URLSession>& session, const os::URLRequest& request) {
  const std::string URL = request.url().absoluteString();
  RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS001001",
                "Sending request: %@, body:%@, headers: %@.", URL, bodyText(request.HTTPBody()),
                RVOInstallationsRedactedHeaders(request.allHTTPHeaderFields()));
  return VDUPromises::gul_dataTaskPromiseWithRequest(session, request)
      .catchError([URL](const os::Error& error) {
        RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS001002", "Request failed: %@, error: %@.", URL,
                      error.description);
      })
      .then([URL](const VDUURLSessionDataResponse& answer)
                -> PRMResult<RVOInstallationsURLSessionResponse> {
        RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS001003",
                      "Request response received: %@, error: %@, body: %@.", URL, os::Value(),
                      RVOInstallationsRedactedBody(answer.HTTPBody));
        if (!answer.HTTPResponse) {
          return os::Error(os::kURLErrorDomain, os::kURLErrorBadServerResponse,
                           "The answer is not an HTTP response.");
        }
        return RVOInstallationsURLSessionResponse{answer.HTTPResponse, answer.HTTPBody};
      });
}

PRMResult<RVOInstallationsURLSessionResponse> validateHTTPResponseStatus(
    const RVOInstallationsURLSessionResponse& response) {
  const int status = response.HTTPResponse->statusCode();
  if (status >= 200 && status < 300) return response;
  RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS001004", "Unexpected API response: %@, body: %@.",
                response.HTTPResponse->url().absoluteString(),
                RVOInstallationsRedactedBody(response.data));
  return RVOInstallationsErrorUtil::APIErrorWithHTTPResponse(*response.HTTPResponse, response.data);
}

void logParsing(const RVOInstallationsURLSessionResponse& response) {
  RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS001005", "Parsing server response for %@.",
                response.HTTPResponse->url().absoluteString());
}

}  // namespace

struct RVOInstallationsAPIService::Shared {
  std::shared_ptr<os::URLSession> URLSession;
  std::string APIKey;
  std::string projectID;
  std::shared_ptr<RVOHeartbeatLoggerProtocol> heartbeatLogger;

  std::string installationsURL() const {
    return std::string(kRVOInstallationsAPIBaseURL) + "/v1/projects/" + projectID +
           "/installations/";
  }
};

RVOInstallationsAPIService::RVOInstallationsAPIService(
    std::string APIKey, std::string projectID,
    std::shared_ptr<RVOHeartbeatLoggerProtocol> heartbeatLogger)
    : RVOInstallationsAPIService(os::URLSession::sessionWithConfiguration(
                                     os::URLSessionConfiguration::ephemeralSessionConfiguration()),
                                 std::move(APIKey), std::move(projectID),
                                 std::move(heartbeatLogger)) {}

RVOInstallationsAPIService::RVOInstallationsAPIService(
    std::shared_ptr<os::URLSession> URLSession, std::string APIKey, std::string projectID,
    std::shared_ptr<RVOHeartbeatLoggerProtocol> heartbeatLogger)
    : shared_(std::make_shared<const Shared>(Shared{std::move(URLSession), std::move(APIKey),
                                                    std::move(projectID),
                                                    std::move(heartbeatLogger)})) {}

std::string RVOInstallationsAPIService::SDKVersion() { return "i:" + RVOSDKVersionString(); }

PRMPromise<RVOInstallationsPreparedRequest> RVOInstallationsAPIService::requestWithURL(
    const std::string& URL, const std::string& HTTPMethod, const os::Dictionary& bodyDict,
    const std::optional<std::string>& refreshToken, const os::HTTPHeaders& additionalHeaders) {
  return PRMPromise<RVOInstallationsPreparedRequest>::doWork(
      os::DispatchQueue::global(os::DispatchPriority::Low),
      [shared = shared_, URL, HTTPMethod, bodyDict, refreshToken,
       additionalHeaders]() -> PRMResult<RVOInstallationsPreparedRequest> {
        std::optional<os::URL> parsed = os::URL::parse(URL);
        if (!parsed) {
          return os::Error(os::kURLErrorDomain, os::kURLErrorBadURL, "Bad URL: " + URL);
        }
        os::Error JSONError;
        std::optional<std::string> body = os::json::serialize(bodyDict, {}, &JSONError);
        if (!body) return RVOInstallationsErrorUtil::JSONSerializationError(JSONError);

        os::URLRequest request(*parsed);
        request.setHTTPMethod(HTTPMethod);
        request.addValue(shared->APIKey, "X-Vedo-Api-Key");
        request.addValue(os::Bundle::main().bundleIdentifier(), "X-Ios-Bundle-Identifier");
        request.setValue("application/json", "Content-Type");
        request.setHTTPBody(os::Data(body->begin(), body->end()));
        if (refreshToken) request.setValue("RIS_v2 " + *refreshToken, "Authorization");
        std::shared_ptr<RVOHeartbeatsPayload> heartbeats;
        if (shared->heartbeatLogger) {
          heartbeats = shared->heartbeatLogger->flushHeartbeatsIntoPayload();
          if (heartbeats)
            request.setValue(RVOHeartbeatHeaderValue(*heartbeats), "X-riveravo-client");
        }
        for (const auto& [name, value] : additionalHeaders.fields()) request.setValue(value, name);
        return RVOInstallationsPreparedRequest{std::move(request), std::move(heartbeats)};
      });
}

PRMPromise<RVOInstallationsURLSessionResponse> RVOInstallationsAPIService::sendURLRequest(
    const RVOInstallationsPreparedRequest& prepared) {
  const std::shared_ptr<os::URLSession> session = shared_->URLSession;
  const os::URLRequest request = prepared.request;
  return PRMPromise<RVOInstallationsURLSessionResponse>::attempts(
             1, kRetryDelaySeconds,
             [](int64_t, const os::Error& error) {
               return RVOInstallationsErrorUtil::isAPIError(error, 500);
             },
             [session, request] {
               return URLRequestPromise(session, request).then(&validateHTTPResponseStatus);
             })
      .catchError(
          [logger = shared_->heartbeatLogger, heartbeats = prepared.heartbeats](const os::Error&) {
            // The service has not taken these heartbeats: keep them for the next request.
            if (logger && heartbeats) logger->restoreHeartbeatsFromPayload(*heartbeats);
          });
}

PRMPromise<RVOInstallationsURLSessionResponse> RVOInstallationsAPIService::send(
    const std::string& URL, const std::string& HTTPMethod, const os::Dictionary& bodyDict,
    const std::optional<std::string>& refreshToken, const os::HTTPHeaders& additionalHeaders) {
  return requestWithURL(URL, HTTPMethod, bodyDict, refreshToken, additionalHeaders)
      .then([service = *this](const RVOInstallationsPreparedRequest& request) mutable {
        return service.sendURLRequest(request);
      });
}

PRMPromise<RVOInstallationsItem> RVOInstallationsAPIService::registerInstallation(
    const RVOInstallationsItem& item) {
  os::Error validationError;
  if (!item.isValid(&validationError)) {
    return RVOInstallationsErrorUtil::rejectedPromiseWithError<RVOInstallationsItem>(
        validationError);
  }
  os::Dictionary body{{"fid", item.riveravoInstallationID},
                      {"authVersion", "RIS_v2"},
                      {"appId", item.appID},
                      {"sdkVersion", SDKVersion()}};
  os::HTTPHeaders headers;
  if (item.IIDDefaultToken) headers.set("x-vedo-ris-ios-iid-migration-auth", *item.IIDDefaultToken);
  const double requestDate = os::clock::now();
  return send(shared_->installationsURL(), "POST", body, std::nullopt, headers)
      .then([item, requestDate](const RVOInstallationsURLSessionResponse& response)
                -> PRMResult<RVOInstallationsItem> {
        logParsing(response);
        os::Error error;
        std::optional<RVOInstallationsItem> registered =
            item.registeredInstallationWithJSONData(response.data, requestDate, &error);
        if (!registered) {
          RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS001006",
                        "Failed to parse RVOInstallationsItem: %@.", error.description);
          return error;
        }
        RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS001007",
                      "RVOInstallationsItem parsed successfully.");
        return *registered;
      });
}

PRMPromise<RVOInstallationsItem> RVOInstallationsAPIService::refreshAuthTokenForInstallation(
    const RVOInstallationsItem& item) {
  os::Dictionary body{{"installation", os::Dictionary{{"sdkVersion", SDKVersion()}}}};
  const double requestDate = os::clock::now();
  return send(shared_->installationsURL() + item.riveravoInstallationID + "/authTokens:generate",
              "POST", body, item.refreshToken, {})
      .then([item, requestDate](const RVOInstallationsURLSessionResponse& response)
                -> PRMResult<RVOInstallationsItem> {
        logParsing(response);
        os::Error error;
        std::optional<RVOInstallationsStoredAuthToken> token =
            RVOInstallationsItem::authTokenWithGenerateTokenAPIJSONData(response.data, requestDate,
                                                                        &error);
        if (!token) {
          RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS001008",
                        "Failed to parse RVOInstallationsStoredAuthToken: %@.", error.description);
          return error;
        }
        RVOLogAtDebug(kRVOLoggerInstallations, "I-RIS001009",
                      "RVOInstallationsStoredAuthToken parsed successfully.");
        RVOInstallationsItem updated = item;
        updated.authToken = *token;
        return updated;
      });
}

PRMPromise<RVOInstallationsItem> RVOInstallationsAPIService::deleteInstallation(
    const RVOInstallationsItem& item) {
  return send(shared_->installationsURL() + item.riveravoInstallationID + "/", "DELETE", {},
              item.refreshToken, {})
      .then([item](const RVOInstallationsURLSessionResponse&) { return item; });
}
