// A URL-session data task as a promise: fulfilled with the response and body of any HTTP answer
// (a 404 too), rejected only by a transport error.
//
//   VDUPromises::gul_dataTaskPromiseWithRequest(session, request)
//       .then([](const VDUURLSessionDataResponse& answer) { ... answer.HTTPResponse ... });
#pragma once

#include <memory>

#include "os/net/urlsession.h"
#include "platform/promises/promise.h"

struct VDUURLSessionDataResponse {
  std::shared_ptr<const os::HTTPURLResponse> HTTPResponse;
  os::Data HTTPBody;
};

namespace VDUPromises {

PRMPromise<VDUURLSessionDataResponse> gul_dataTaskPromiseWithRequest(
    const std::shared_ptr<os::URLSession>& session, const os::URLRequest& request);

}  // namespace VDUPromises
