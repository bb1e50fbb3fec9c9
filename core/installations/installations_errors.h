// The errors of the installation client, all of the domain "com.riveravo.installations", and the
// HTTP error that carries a reply the service refused.
//
//   os::Error error = RVOInstallationsErrorUtil::backoffIntervalWaitError();   // code 2
//   if (RVOInstallationsErrorUtil::isAPIError(error, 401)) startOver();
//
// Every error's user info holds a failure reason ("NSLocalizedFailureReason"), also its
// description, and, when one caused it, the underlying error ("NSUnderlyingError", a dictionary
// of its domain, code and description). Stateless; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/net/url.h"
#include "os/value/error.h"
#include "os/value/exception.h"
#include "platform/promises/promise.h"

inline constexpr const char* kRVOInstallationsErrorDomain = "com.riveravo.installations";
inline constexpr const char* kRVOInstallationsExceptionName = "com.riveravo.installations";

enum RVOInstallationsErrorCode : int64_t {
  kRVOInstallationsErrorCodeUnknown = 0,
  kRVOInstallationsErrorCodeKeychain = 1,
  kRVOInstallationsErrorCodeServerUnreachable = 2,
};

inline constexpr const char* kRVOInstallationsFailureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char* kRVOInstallationsUnderlyingErrorKey = "NSUnderlyingError";

// A reply outside 200..299, kept in the error's user info under "HTTPResponse" (the URL, the
// status and the headers) and "data" (the body).
struct RVOInstallationsHTTPError {
  std::string URL;
  int64_t statusCode = 0;
  os::Data data;

  // The error for `response` and its body: code 0 (errorCodeWithHTTPCode), the failure reason
  // "The server responded with an error: ..." with the URL, status and body as UTF-8 text.
  static os::Error errorWithHTTPResponse(const os::HTTPURLResponse& response, const os::Data& data);
  // The HTTP error inside `error`; nullopt when `error` is not one.
  static std::optional<RVOInstallationsHTTPError> fromError(const os::Error& error);
  // Every status gives 0.
  static int64_t errorCodeWithHTTPCode(int64_t HTTPCode);
};

class RVOInstallationsErrorUtil {
 public:
  static os::Error keyedArchiverErrorWithException(const os::Exception& exception);
  static os::Error keyedArchiverErrorWithError(const os::Error& error);
  static os::Error keychainErrorWithFunction(std::string_view function, int64_t status);
  static os::Error installationItemNotFoundForAppID(std::string_view appID,
                                                    std::string_view appName);
  static os::Error corruptedIIDTokenData();
  static os::Error JSONSerializationError(const std::optional<os::Error>& error);
  static os::Error FIDRegistrationErrorWithResponseMissingField(std::string_view field);
  static os::Error networkErrorWithError(const os::Error& error);
  static os::Error backoffIntervalWaitError();
  static os::Error APIErrorWithHTTPResponse(const os::HTTPURLResponse& response,
                                            const os::Data& data) {
    return RVOInstallationsHTTPError::errorWithHTTPResponse(response, data);
  }
  // An error of the public domain passes unchanged; any other is wrapped (code 0, "Underlying
  // error: <its description>").
  static os::Error publicDomainErrorWithError(const os::Error& error);

  // True when `error` is an HTTP error whose status is `HTTPCode`.
  static bool isAPIError(const os::Error& error, int64_t HTTPCode);

  template <typename T>
  static PRMPromise<T> rejectedPromiseWithError(os::Error error) {
    return PRMPromise<T>::resolvedWith(std::move(error));
  }

  // An error of the domain with `code` and `failureReason`; without a reason, "Underlying error:
  // <description>" of `underlying`.
  static os::Error installationsErrorWithCode(int64_t code,
                                              std::optional<std::string> failureReason,
                                              const std::optional<os::Error>& underlying);

  // The underlying error recorded in `error`'s user info, if any.
  static std::optional<os::Error> underlyingError(const os::Error& error);
};
