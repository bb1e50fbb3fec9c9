#include "os/net/internal/urlsession_errors.h"

#include <string>

#include "os/net/urlsession.h"

namespace os::internal {
namespace {

std::string descriptionOfURLError(int64_t code, const URL& url) {
  switch (code) {
    case kURLErrorCancelled:
      return "cancelled";
    case kURLErrorBadURL:
      return "bad URL";
    case kURLErrorTimedOut:
      return "The request timed out.";
    case kURLErrorUnsupportedURL:
      return "unsupported URL";
    case kURLErrorCannotFindHost:
      return "A server with the specified hostname could not be found.";
    case kURLErrorCannotConnectToHost:
      return "Could not connect to the server.";
    case kURLErrorNetworkConnectionLost:
      return "The network connection was lost.";
    case kURLErrorHTTPTooManyRedirects:
      return "too many HTTP redirects";
    case kURLErrorBadServerResponse:
      return "bad server response";
    case kURLErrorCannotDecodeContentData:
      return "cannot decode raw data";
    case kURLErrorCannotParseResponse:
      return "cannot parse response";
    case kURLErrorRequestBodyStreamExhausted:
      return "request body stream exhausted";
    case kURLErrorAppTransportSecurityRequiresSecureConnection:
      return "The resource could not be loaded because the App Transport Security policy "
             "requires the use of a secure connection.";
    case kURLErrorDataLengthExceedsMaximum:
      return "resource exceeds maximum size";
    case kURLErrorFileDoesNotExist:
      return "The requested URL was not found on this server.";
    case kURLErrorSecureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case kURLErrorServerCertificateUntrusted:
      return "The certificate for this server is invalid. You might be connecting to a server "
             "that is pretending to be \u201c" +
             url.host() + "\u201d which could put your confidential information at risk.";
    case kURLErrorCannotCreateFile:
      return "cannot create file";
    case kURLErrorCannotOpenFile:
      return "cannot open file";
    case kURLErrorCannotWriteToFile:
      return "cannot write file";
    default:
      return "unknown error";
  }
}

}  // namespace

Error urlError(int64_t code, const URL& url, std::string_view reason) {
  std::string description = descriptionOfURLError(code, url);
  Dictionary userInfo{{kURLErrorFailingURLStringKey, url.absoluteString()},
                      {"NSLocalizedDescription", description}};
  if (!reason.empty()) userInfo["NSDebugDescription"] = std::string(reason);
  return Error(kURLErrorDomain, code, std::move(description), std::move(userInfo));
}

int64_t urlErrorCodeOf(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      // Only http and https reach curl, so this is a reply that is not HTTP at all.
      return kURLErrorBadServerResponse;
    case CURLE_URL_MALFORMAT:
      return kURLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return kURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return kURLErrorTimedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return kURLErrorSecureConnectionFailed;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return kURLErrorServerCertificateUntrusted;
    case CURLE_BAD_CONTENT_ENCODING:
      return kURLErrorCannotDecodeContentData;
    case CURLE_WEIRD_SERVER_REPLY:
      return kURLErrorBadServerResponse;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return kURLErrorNetworkConnectionLost;
    case CURLE_READ_ERROR:
      return kURLErrorRequestBodyStreamExhausted;
    case CURLE_WRITE_ERROR:
      return kURLErrorCannotWriteToFile;
    default:
      return kURLErrorUnknown;
  }
}

}  // namespace os::internal
